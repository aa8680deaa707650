"""The norvane package end to end on the simulated kit."""
import gc
import re
import subprocess
import sys
import threading
import time
import weakref
from pathlib import Path

import numpy as np
import pytest

import norvane
from conftest import write_kit
from norvane.cli import main

# The room scene: back wall 3000 mm ahead, floor 900 mm below, left wall 1600 mm to the left.
WALL_Z, FLOOR_Y, LEFT_X = 3000.0, 900.0, -1600.0


@pytest.fixture
def cam(kit):
    with norvane.open(kit) as camera:
        camera.start()
        yield camera


def test_the_room_lies_on_its_surfaces(cam):
    frame = cam.read(5.0)
    k = frame.intrinsics
    assert (k.width, k.height, k.model) == (240, 180, "pinhole") and k.horizontal_fov_deg == pytest.approx(70.0)
    assert k == cam.intrinsics
    points = frame.points()
    assert points.dtype == np.float32 and points.shape == (240 * 180, 3), "the room leaves no pixel empty"
    grid = points.reshape(180, 240, 3)
    # Pixel blocks that see one surface each, clear of the ball and the box.
    for rows, cols, axis, plane in [
        ((80, 100), (110, 130), 2, WALL_Z),  # back wall: z
        ((170, 180), (110, 130), 1, FLOOR_Y),  # floor: y
        ((85, 95), (0, 4), 0, LEFT_X),  # left wall: x
    ]:
        block = grid[rows[0] : rows[1], cols[0] : cols[1], axis]
        assert np.abs(block - plane).max() < 3.0, (axis, block.min(), block.max())
    # A distance along the ray is not z: a floor pixel's depth exceeds its z by a tenth.
    assert frame.depth[175, 120] - grid[175, 120, 2] > 150.0


def test_a_raising_with_block_closes_the_camera(kit):
    ended = threading.Event()

    def consume(camera):
        for _ in camera.frames(timeout=None):
            pass
        ended.set()

    with pytest.raises(KeyError):
        with norvane.open(Path(kit)) as camera:
            camera.start()
            threading.Thread(target=consume, args=(camera,), daemon=True).start()
            raise KeyError("boom")
    assert camera.closed and not camera.running
    assert ended.wait(5.0), "a reader waiting without limit ends when the camera closes"
    with pytest.raises(norvane.CameraError, match="closed"):
        camera.start()
    camera.close()  # again: nothing happens
    ref = weakref.ref(camera)
    del camera
    gc.collect()
    assert ref() is None, "a closed camera can be collected"


def test_latest_hands_over_the_newest_capture_to_a_slow_consumer(tmp_path):
    period_ms = 50
    kit = write_kit(tmp_path / "paced.conf", fps=1000 // period_ms)
    ages = {False: [], True: []}
    frames = []
    with norvane.open(kit) as camera:
        camera.start()
        camera.read(5.0)
        for _ in range(6):
            for latest in (False, True):  # interleaved: a busy moment hits both alike
                time.sleep(0.1)
                frame = camera.read(5.0, latest=latest)
                ages[latest].append((time.monotonic_ns() - frame.received_ns) / 1e6)
                if latest:
                    frames.append(frame)
    for a, b in zip(frames, frames[1:]):
        # The capture number counts the captures read: it follows the sensor's clock.
        assert 1 <= b.index - a.index <= round((b.timestamp_ms - a.timestamp_ms) / period_ms)
    # Sleeping 100 ms per frame, the consumer gets a frame at most one capture
    # old with latest=True; the oldest ready frame is older.
    newest, oldest = np.median(ages[True]), np.median(ages[False])
    assert newest < period_ms and newest + period_ms / 4 < oldest, ages


def test_index_shows_the_captures_a_slow_consumer_missed(tmp_path):
    kit = write_kit(tmp_path / "paced.conf", fps=50)
    with norvane.open(kit) as camera:
        camera.start()
        indexes, stamps = [], []
        for frame in camera.frames(5.0):
            indexes.append(frame.index)
            stamps.append(frame.timestamp_ms)
            if len(indexes) == 10:
                break
            time.sleep(0.06)  # three captures per frame
    gaps = np.diff(indexes)
    assert (gaps >= 1).all() and gaps.sum() >= 2 * len(gaps), indexes
    # Never more than the sensor's clock shows (a busy machine may make the kit itself drop one).
    assert (gaps <= np.rint(np.diff(stamps) / 20)).all(), (indexes, stamps)


def test_mistakes_and_failures_raise_with_their_reasons(kit, tmp_path, capfd):
    bad = write_kit(tmp_path / "bad.conf", fps=0)
    bad.write_text("fps = fast\n")
    for call, kind, text in [
        (lambda: norvane.open(3), TypeError, "source"),
        (lambda: norvane.open("usb:x"), ValueError, "usb:N"),
        (lambda: norvane.open("usb:99999999999"), ValueError, "out of range"),
        (lambda: norvane.open(config=tmp_path / "missing.conf"), FileNotFoundError, "missing.conf"),
        (lambda: norvane.open("csi:0", config=kit), ValueError, "CSI"),
        (lambda: norvane.open(bad), norvane.CameraError, "bad.conf"),
        (lambda: norvane.open("csi:99"), norvane.CameraError, "/dev/video99 does not exist"),
        (lambda: norvane.open(tmp_path / "take.mcap"), norvane.CameraError, "take.mcap"),
    ]:
        with pytest.raises(kind, match=text):
            call()
    capfd.readouterr()
    with norvane.open(config=str(kit)) as camera:
        with pytest.raises(norvane.CameraError, match="not streaming"):
            camera.read()
        for action, kind, text in [
            (lambda: camera.start("rgb"), ValueError, "'depth' or 'raw'"),
            (lambda: camera.start(2), TypeError, "output"),
            (lambda: setattr(camera, "range_mm", 3000), ValueError, "2000 or 4000"),
            (lambda: setattr(camera, "range_mm", "4000"), TypeError, "int"),
            (lambda: setattr(camera, "mode", "dual"), norvane.CameraError, "VGA sensors only"),
            (lambda: setattr(camera, "frame_rate", 10), norvane.CameraError, "does not report a frame rate"),
            (lambda: setattr(camera, "skip", (2, 2)), ValueError, "skip < cycle"),
            (lambda: setattr(camera, "skip", [1, 2]), TypeError, "tuple"),
            (lambda: setattr(camera, "intrinsics", norvane.Intrinsics.from_fov(320, 240, 70)), ValueError, "240 x 180"),
        ]:
            with pytest.raises(kind, match=text):
                action()
        camera.range_mm = 2000
        camera.skip = (1, 3)
        assert (camera.range_mm, camera.skip) == (2000, (1, 3))
        camera.start("raw")
        with pytest.raises(norvane.CameraError, match="already streaming"):
            camera.start()
        frame = camera.read(5.0)
        assert frame.depth is None and frame.raw.dtype == np.int16 and frame.raw.shape == (720, 240)
        with pytest.raises(ValueError, match="raw frame"):
            frame.points()
        with pytest.raises(norvane.CameraError) as refused:
            camera.mode = "single"
        assert refused.value.code == 1, "the library's code for a refused parameter"


def test_vga_controls_and_lens(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # a VGA start writes its default configuration files here
    kit = tmp_path / "vga.conf"
    kit.write_text("geometry = vga\nfrequency = dual\nwidth = 320\nheight = 240\nfps = 0\nnoise = 0\n")
    config = tmp_path / "algorithm"
    config.mkdir()
    # Distances beyond 2500 mm count as invalid: the back wall drops out.
    (config / "ConfigAlgorithm.json").write_text("[ConfidenceParams]\nValidDistMin=0\nValidDistMax=2500\n")
    with norvane.open(kit) as camera:
        assert camera.info.device == "vga" and camera.info.depth_size == (320, 240)
        assert {n for n, c in camera.controls.items() if c.applies} == {"range_mm", "frame_rate", "skip", "mode",
                                                                        "config_dir"}  # fmt: skip
        camera.mode = "single"
        with pytest.raises(norvane.CameraError, match="frequency mode"):
            camera.start()  # the kit renders two frequencies
        camera.mode = "dual"
        camera.config_dir = config
        assert (camera.mode, camera.range_mm, camera.config_dir) == ("dual", 4500, str(config))
        with pytest.raises(ValueError, match="not an existing directory"):
            camera.config_dir = tmp_path / "nowhere"
        with pytest.raises(norvane.CameraError, match="follows mode"):
            camera.range_mm = 2000
        camera.start()
        frame = camera.read(10.0)
        assert frame.intrinsics == norvane.Intrinsics.from_fov(320, 240, 70.0)
        assert frame.depth[120, 160] == 0, "the text control reached the library"
        points = frame.points()
        assert 0 < len(points) == np.count_nonzero(frame.depth > 0) < 320 * 240
        assert points[:, 2].max() < 2500


def test_frames_are_owned_copies_and_stop_ends_the_iteration(tmp_path):
    kit = write_kit(tmp_path / "paced.conf", fps=100)
    with norvane.open(kit) as camera:
        camera.skip = (1, 2)
        camera.start()
        # The module's pool lends three buffers; frames kept here hold none.
        kept = [camera.read(5.0) for _ in range(8)]
        assert all(f is not None for f in kept)
        steps = {b.index - a.index for a, b in zip(kept, kept[1:])}
        assert steps and all(step % 2 == 0 for step in steps), "every other capture is skipped"
        threading.Timer(0.3, camera.stop).start()
        begin = time.monotonic()
        count = sum(1 for _ in camera.frames(timeout=None))
        assert count > 0 and time.monotonic() - begin < 2.0, "stop ends a wait without limit"
        camera.start()  # a stopped camera starts again
        assert camera.read(5.0).index in (0, 1), "numbered anew from start"


def test_intrinsics_files_and_ply(tmp_path):
    for bad in [lambda: norvane.Intrinsics.from_fov(240, 180, 180.0),
                lambda: norvane.Intrinsics(240, 180, -1.0, 1.0, 0.0, 0.0),
                lambda: norvane.Intrinsics(240, 180, 1.0, 1.0, float("nan"), 0.0),
                lambda: norvane.Intrinsics(240, 180, 1.0, 1.0, 0.0, 0.0, model="fisheye"),
                lambda: norvane.depth_to_points(np.ones((3, 3), np.float32), norvane.Intrinsics.from_fov(4, 3, 60)),
                lambda: norvane.save_ply(tmp_path / "bad.ply", np.ones((3, 2))),
                lambda: norvane.save_ply(tmp_path / "bad.ply", np.ones((3, 3)), np.full((3, 3), 300))]:  # fmt: skip
        with pytest.raises(ValueError):
            bad()

    k = norvane.Intrinsics(width=4, height=2, fx=2.0, fy=2.0, cx=1.5, cy=0.5)
    k.save(tmp_path / "lens.json")
    assert norvane.Intrinsics.load(tmp_path / "lens.json") == k
    (tmp_path / "bad.json").write_text('{"width": 4, "height": 2, "fx": 2}')
    with pytest.raises(ValueError, match="missing key 'fy'"):
        norvane.Intrinsics.load(tmp_path / "bad.json")
    depth = np.full((2, 4), 1000.0, np.float32)
    depth[0, 0] = 0.0
    depth[1, 3] = np.nan
    points = norvane.depth_to_points(depth, k)
    assert points.shape == (6, 3)
    assert np.allclose(np.linalg.norm(points, axis=1), 1000.0), "each point lies at its distance along the ray"
    assert np.allclose(points[:, 0] / points[:, 2], [(u - 1.5) / 2 for u in (1, 2, 3, 0, 1, 2)])
    plyfile = pytest.importorskip("plyfile")
    norvane.save_ply(tmp_path / "p.ply", points, np.full_like(points, 0.5))
    vertex = plyfile.PlyData.read(str(tmp_path / "p.ply"))["vertex"]
    assert np.array_equal(np.stack([vertex["x"], vertex["y"], vertex["z"]], 1), points)
    assert set(vertex["red"]) == {128}


def test_snapshot_and_info_commands(kit, tmp_path, capsys):
    out = tmp_path / "snap"
    assert main(["snapshot", str(kit), "-o", str(out)]) == 0
    for name in ("depth.png", "amplitude.png", "points.ply", "depth.npy", "amplitude.npy", "confidence.npy"):
        assert (out / name).stat().st_size > 0, name
    depth = np.load(out / "depth.npy")
    assert depth.shape == (180, 240) and abs(depth[90, 120] - WALL_Z) < 3
    assert main(["snapshot", str(kit), "-o", str(out)]) == 2, "an earlier snapshot is kept"
    assert "--overwrite" in capsys.readouterr().err
    assert main(["info", "--config", str(kit)]) == 0
    shown = capsys.readouterr().out
    assert "hqvga, sensor 240 x 180" in shown and "fx 171.38" in shown and "range_mm    2000 or 4000 mm" in shown
    assert main(["info"]) == 0, "without a source: every camera found"
    assert "usb:0: USB camera 0 (simulated kit)" in capsys.readouterr().out
    assert main(["snapshot", "csi:99", "-o", str(tmp_path / "none")]) == 1
    assert "norvane: open failed on CSI camera /dev/video99" in capsys.readouterr().err
    assert main(["nonsense"]) == 2


@pytest.mark.parametrize("argv, code, said", [
    (["snapshot", "KIT", "-o", "OUT", "--timeout", "-1"], 2, "--timeout: not a number of seconds above 0: '-1'"),
    (["snapshot", "KIT", "-o", "OUT", "--timeout", "nan"], 2, "--timeout: not a number of seconds above 0: 'nan'"),
    (["snapshot", "KIT", "-o", "OUT", "--timeout", "soon"], 2, "--timeout"),
    (["snapshot", "usb:99999999999", "-o", "OUT"], 2, "camera index of 'usb:99999999999' is out of range"),
    (["info", "usb:99999999999"], 2, "out of range (0 to 2147483647)"),
    (["info", "csi:2147483648"], 2, "out of range"),
    (["view", "--port", "-1"], 2, "not a port number"),
    (["info", "--bogus"], 2, "unrecognized arguments: --bogus"),
    ([], 2, "required: COMMAND"),
    (["snapshot", "csi:99", "-o", "OUT"], 1, "open failed on CSI camera /dev/video99"),
    (["info", "NOTHING"], 1, "neither 'csi:N', 'usb:N' nor an existing file"),
])
def test_command_failures_are_one_line(argv, code, said, kit, tmp_path, capsys):
    out = tmp_path / "snap"
    names = {"KIT": str(kit), "OUT": str(out), "NOTHING": str(tmp_path / "nothing")}
    assert main([names.get(a, a) for a in argv]) == code
    captured = capsys.readouterr()
    lines = captured.err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("norvane: ") and said in lines[0], captured.err
    if code == 2:  # refused before anything started
        assert not out.exists()


def test_snapshot_overwrite_leaves_no_stale_point_cloud(kit, tmp_path, monkeypatch, capsys):
    out = tmp_path / "snap"
    assert main(["snapshot", str(kit), "-o", str(out)]) == 0 and (out / "points.ply").exists()
    # A camera whose lens is not known (a real kit rather than the simulated one) writes no point cloud.
    monkeypatch.setattr(norvane.camera._native, "SIMULATED_KIT", False)
    capsys.readouterr()
    assert main(["snapshot", str(kit), "-o", str(out), "--overwrite"]) == 0
    assert not (out / "points.ply").exists(), "the earlier frame's point cloud would pass for this one's"
    assert f"removed the earlier {out / 'points.ply'}" in capsys.readouterr().err
    assert sorted(p.name for p in out.iterdir()) == sorted(
        ["depth.png", "amplitude.png", "depth.npy", "amplitude.npy", "confidence.npy"])


def test_the_package_needs_no_newer_python_than_it_declares():
    pytest.importorskip("vermin")  # the test command installs it
    root = Path(__file__).resolve().parents[2]
    declared = re.search(r'^requires-python = ">=(3\.\d+)"$', (root / "pyproject.toml").read_text(), re.M)
    assert declared, "requires-python is not of the form >=3.N"
    done = subprocess.run([sys.executable, "-c", "import sys, vermin; sys.exit(vermin.main())", "--no-tips",
                           "--violations", f"-t={declared.group(1)}-", str(root / "python" / "norvane")],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr


class ListSink:
    def __init__(self, failure=None):
        self.frames, self.closed, self.failure = [], 0, failure

    def put(self, frame):
        self.frames.append(frame)

    def close(self):
        self.closed += 1
        if self.failure:
            raise norvane.CameraError(self.failure)


def test_sinks_see_every_frame_read_and_end_with_the_camera(kit):
    first, failing, removed = ListSink(), ListSink("the sink could not finish"), ListSink()
    camera = norvane.open(kit)
    camera.start()
    for sink in (first, failing, removed):
        camera.add_sink(sink)
    for sink, error in [(first, ValueError), (object(), TypeError)]:
        with pytest.raises(error, match="already sees|put"):
            camera.add_sink(sink)
    read = [camera.read(5.0) for _ in range(3)]
    camera.remove_sink(removed)
    read += [frame for _, frame in zip(range(2), camera.frames(timeout=5.0))]
    assert first.frames == read and failing.frames == read and removed.frames == read[:3]
    # Every sink ends even when one fails; the failure comes after the camera closed.
    with pytest.raises(norvane.CameraError, match="could not finish"):
        camera.close()
    camera.close()
    assert camera.closed and camera.sinks == () and (first.closed, failing.closed, removed.closed) == (1, 1, 0)
    with pytest.raises(norvane.CameraError, match="closed"):
        camera.add_sink(ListSink())

def test_a_camera_that_went_away_says_so_when_read(cam, monkeypatch):
    class Gone:
        """The library's camera after its device was unplugged while streaming."""

        def __init__(self, native):
            self._native = native

        def __getattr__(self, name):
            return getattr(self._native, name)

        def take(self, timeout_ms, latest):
            return None

        def disconnected(self):
            return True

        def stop(self):
            self._native.stop()
            return -2  # STREAMOFF on a gone device fails

    assert cam._native.disconnected() is False
    assert cam.read(5.0) is not None
    monkeypatch.setattr(cam, "_native", Gone(cam._native))
    with pytest.raises(norvane.CameraError, match=r"read failed on USB camera 0 configured by .*: the camera is gone"):
        cam.read(5.0)
    cam.stop()  # the stream has ended: nothing to report
