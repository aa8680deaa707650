"""norvane.filters: the chain set on a live camera, the invalid plane, the presets' checks."""
import numpy as np
import pytest

import norvane
from norvane import filters
from norvane.filters import (AmplitudeThreshold, FilterChain, FlyingPixelFilter, RangeThreshold, Reason,
                             SpatialFilter, TemporalFilter)


def read_until(camera, test, tries=50):
    for _ in range(tries):
        frame = camera.read(5.0)
        assert frame is not None
        if test(frame):
            return frame
    pytest.fail("no frame showed the change")


def test_filters_set_before_and_while_streaming(tmp_path):
    config = tmp_path / "kit.conf"
    config.write_text("fps = 200\nnoise = 1\n")
    with norvane.open(config) as camera:
        assert camera.filters == FilterChain() and filters.preset_name(camera.filters) == "off"
        camera.filters = FilterChain(RangeThreshold(max_mm=2500.0))
        camera.start()
        frame = camera.read(5.0)
        assert frame.invalid.dtype == np.uint8 and frame.invalid.shape == frame.depth.shape
        far = frame.invalid == Reason.OUT_OF_RANGE
        assert far.any() and (frame.depth[far] == 0).all() and (frame.depth[~far] <= 2500.0).all()
        assert ((frame.invalid == 0) == (frame.depth > 0)).all(), "valid exactly where there is depth"

        camera.filters = "default"  # while streaming: from a next capture on
        assert camera.filters is filters.PRESETS["default"]
        frame = read_until(camera, lambda f: not (f.invalid == Reason.OUT_OF_RANGE).any())
        assert ((frame.invalid == 0) == (frame.depth > 0)).all()

        camera.filters = None  # today's output: only the decode's misses marked
        frame = read_until(camera, lambda f: set(np.unique(f.invalid)) <= {Reason.VALID, Reason.NO_DEPTH})
        assert (frame.depth[frame.invalid == Reason.VALID] > 0).all()
        camera.stop()
        camera.start("raw")
        assert camera.read(5.0).invalid is None


def test_bad_filters_are_refused_with_their_reason():
    cases = [
        (lambda: RangeThreshold(min_mm=500.0, max_mm=100.0), ValueError, "RangeThreshold: max_mm must lie within"),
        (lambda: SpatialFilter(alpha=0.0), ValueError, "SpatialFilter: alpha must lie in (0, 1]"),
        (lambda: SpatialFilter(iterations=2.5), TypeError, "whole number"),
        (lambda: TemporalFilter(persist_valid=3, persist_frames=2), ValueError, "persist_valid must lie within"),
        (lambda: FlyingPixelFilter(radius=0), ValueError, "radius must be 1, 2 or 3"),
        (lambda: AmplitudeThreshold(min_amplitude="high"), TypeError, "must be a number"),
        (lambda: FilterChain(SpatialFilter(), SpatialFilter()), ValueError, "one SpatialFilter"),
        (lambda: FilterChain("default"), TypeError, "filter objects"),
        (lambda: filters.resolve("sharp"), ValueError, "unknown filter preset 'sharp'"),
        (lambda: filters.resolve(3), TypeError, "preset name"),
    ]
    for make, kind, text in cases:
        with pytest.raises(kind) as raised:
            make()
        assert text in str(raised.value)


def test_chains_run_in_the_fixed_order_and_presets_are_valid():
    chain = FilterChain(TemporalFilter(), RangeThreshold())
    assert [type(f) for f in chain] == [RangeThreshold, TemporalFilter]
    assert {"off", "default"} <= set(filters.PRESETS)
    assert filters.PRESETS["off"].parameters() == {}
    for name, preset in filters.PRESETS.items():
        norvane._native.check_filters(preset.parameters())
        assert filters.preset_name(preset) == name


def test_a_replay_refuses_filters_and_keeps_what_was_recorded(tmp_path):
    pytest.importorskip("mcap")
    config = tmp_path / "kit.conf"
    config.write_text("fps = 200\nnoise = 1\n")
    path = tmp_path / "take.mcap"
    with norvane.open(config) as camera:
        camera.filters = FilterChain(RangeThreshold(max_mm=2500.0))
        camera.start()
        with camera.record(path):
            recorded = [camera.read(5.0).depth for _ in range(3)]
    with norvane.open(path, realtime=False) as replay:
        replay.filters = "off"  # nothing to undo: accepted
        with pytest.raises(norvane.CameraError, match="replays the depth as the camera delivered it"):
            replay.filters = "default"
        replay.start()
        frame = replay.read(5.0)
        assert frame.invalid is None
        assert np.array_equal(frame.depth, recorded[0]) and frame.depth.max() <= 2500.0
