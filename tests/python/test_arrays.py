"""Frame planes as numpy arrays and frame records, on the noise-free kit."""
import gc
import sys
import time

import numpy as np
import pytest

import NorvaneDepthCamera as ndc
from conftest import CENTRE_MM, OK, open_camera, take, write_kit

WIDTH, HEIGHT = 240, 180
RAW_HEIGHT = 4 * HEIGHT  # the four phase images, interleaved


def check_owned_copy(array, dtype, shape):
    assert array.dtype == np.dtype(dtype) and array.dtype.isnative
    assert array.shape == shape
    assert array.strides == (shape[1] * array.itemsize, array.itemsize)
    assert array.flags.c_contiguous and array.flags.writeable and array.flags.owndata
    assert array.base is None


def test_depth_planes_shapes_types_and_values(depth_cam):
    frame = take(depth_cam)
    depth = frame.getDepthData()
    confidence = frame.getConfidenceData()
    amplitude = frame.getAmplitudeData()
    for plane in (depth, confidence, amplitude):
        check_owned_copy(plane, np.float32, (HEIGHT, WIDTH))
    assert depth.strides == (960, 4)
    assert depth[HEIGHT // 2, WIDTH // 2] == pytest.approx(CENTRE_MM, abs=5)
    assert 1100 < depth.min() and depth.max() < 3700, "the room lies within 1150 to 3650 mm"
    assert amplitude.min() > 0 and not np.array_equal(amplitude, depth)
    assert not np.shares_memory(depth, confidence) and not np.shares_memory(confidence, amplitude)
    assert depth_cam.releaseFrame(frame) == OK


def test_raw_plane_shape_type_and_values(raw_cam):
    frame = take(raw_cam)
    raw = frame.getRawData()
    check_owned_copy(raw, np.int16, (RAW_HEIGHT, WIDTH))
    assert raw.strides == (480, 2)
    assert raw.min() < raw.max()
    assert raw_cam.releaseFrame(frame) == OK
    later = take(raw_cam)
    assert np.array_equal(later.getRawData(), raw), "the noise-free kit repeats its captures"
    assert raw_cam.releaseFrame(later) == OK


def test_every_call_is_a_distinct_copy_that_writes_never_reach(depth_cam):
    frame = take(depth_cam)
    first = frame.getDepthData()
    second = frame.getDepthData()
    assert first is not second and not np.shares_memory(first, second)
    assert np.array_equal(first, second)
    first[0, 0] = -1.0
    first[HEIGHT - 1, WIDTH - 1] = -2.0
    assert second[0, 0] != -1.0 and second[HEIGHT - 1, WIDTH - 1] != -2.0
    assert np.array_equal(frame.getDepthData(), second), "the frame is unchanged"
    assert depth_cam.releaseFrame(frame) == OK


def test_arrays_outlive_release_later_captures_stop_close_and_the_camera(tmp_path):
    # With noise every capture differs, so a later capture into the same
    # buffer would show in an array that still looked at it.
    cam = open_camera(write_kit(tmp_path / "noisy.conf", fps=200, noise=1), ndc.TOFOutput.DEPTH)
    first, *others = [take(cam) for _ in range(3)]
    depth = first.getDepthData()
    amplitude = first.getAmplitudeData()
    kept = depth.copy(), amplitude.copy()
    refs = sys.getrefcount(depth)
    assert cam.releaseFrame(first) == OK
    # The other two buffers are held: the next capture goes into the released one.
    later = take(cam)
    assert not np.array_equal(later.getDepthData(), kept[0])
    for frame in [later, *others]:
        assert cam.releaseFrame(frame) == OK
    assert cam.stop() == OK and cam.close() == OK
    del cam, first, later, others
    gc.collect()
    assert np.array_equal(depth, kept[0]) and np.array_equal(amplitude, kept[1])
    assert sys.getrefcount(depth) == refs, "nothing else holds the array"
    depth += 1.0  # still writable memory of its own
    assert depth[0, 0] == kept[0][0, 0] + 1.0


def test_frame_format_records_carry_kind_size_and_the_capture_timestamp(tmp_path):
    cam = ndc.NorvaneCamera()
    opened = time.monotonic()
    assert cam.openWithFile(str(write_kit(tmp_path / "50.conf", fps=50))) == OK
    assert cam.start(ndc.TOFOutput.DEPTH) == OK
    stamps = []
    for _ in range(8):
        frame = take(cam)
        record = frame.getFrameFormat()
        assert (record.type, record.width, record.height) == (ndc.TOFOutput.DEPTH, WIDTH, HEIGHT)
        record.width = 1
        again = frame.getFrameFormat()
        assert again is not record and (again.width, again.timestamp) == (WIDTH, record.timestamp)
        stamps.append(record.timestamp)
        assert cam.releaseFrame(frame) == OK
    since_open_ms = (time.monotonic() - opened) * 1000
    # The kit stamps captures in milliseconds since it opened, one period
    # (20 ms, give or take the rounding) apart, more where captures were dropped.
    assert 0 < stamps[0] and stamps[-1] <= since_open_ms + 5  # phases of a capture are stamped 1 ms apart
    gaps = np.diff(stamps)
    assert gaps.min() >= 19 and 19 <= gaps.min() <= 21, stamps

    assert cam.stop() == OK and cam.start(ndc.TOFOutput.RAW) == OK
    raw = take(cam)
    record = raw.getFrameFormat()
    assert (record.type, record.width, record.height) == (ndc.TOFOutput.RAW, WIDTH, RAW_HEIGHT)
    assert record.timestamp > stamps[-1]
    cam.stop()
    cam.close()


def test_accessors_refuse_a_frame_of_the_other_kind(depth_cam, raw_cam):
    depth = take(depth_cam)
    raw = take(raw_cam)
    with pytest.raises(AttributeError):
        raw.getDepthData()
    with pytest.raises(AttributeError):
        depth.getRawData()
    for call in (lambda: ndc.DepthData.getDepthData(raw), lambda: ndc.DepthData.getAmplitudeData(raw),
                 lambda: ndc.DepthData.getFrameFormat(raw), lambda: ndc.RawData.getFrameFormat(depth)):  # fmt: skip
        with pytest.raises(TypeError):
            call()
    # getRawData takes any frame; a depth frame has no raw plane to read.
    with pytest.raises(RuntimeError, match="no raw plane"):
        ndc.RawData.getRawData(depth)
    assert ndc.RawData.getRawData(raw).shape == (RAW_HEIGHT, WIDTH)
