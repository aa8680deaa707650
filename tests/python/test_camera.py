"""The camera class end to end on the simulated kit: arguments, results, records."""
import time

import pytest

import NorvaneDepthCamera as ndc
from conftest import OK, WAIT_MS, hold_every_frame, take

UNKNOWN = ndc.TOFErrorCode.NorvaneUnkownError


def test_arguments_are_converted_strictly_before_the_library_runs():
    cam = ndc.NorvaneCamera()
    for bad in (lambda: cam.open(0), lambda: cam.open(ndc.TOFOutput.RAW), lambda: cam.open(ndc.TOFConnect.USB, 1.0),
                lambda: cam.start(0), lambda: cam.setControl(6, 30),
                lambda: cam.setControl(ndc.TOFControl.FRAME_RATE, 2.5),
                lambda: cam.setControl(ndc.TOFControl.FRAME_RATE, 2**31),
                lambda: cam.requestFrame(32768), lambda: cam.requestFrame(-32769), lambda: cam.requestFrame(1.5),
                lambda: cam.releaseFrame(0), lambda: cam.openWithFile(1)):  # fmt: skip
        with pytest.raises(TypeError):
            bad()
    for none_for_enum in (lambda: cam.open(None), lambda: cam.start(None), lambda: cam.setControl(None, 1),
                          lambda: cam.getControl(None)):  # fmt: skip
        with pytest.raises(RuntimeError) as raised:
            none_for_enum()
        assert str(raised.value) == ""
    assert cam.getCameraInfo().connect == ndc.TOFConnect.CSI, "nothing reached the camera"


def test_failures_come_back_as_results(tmp_path, capfd):
    cam = ndc.NorvaneCamera()
    assert cam.requestFrame(-1) is None, "no pool yet: no wait"
    assert cam.close() == UNKNOWN, "nothing open to close"
    assert cam.stop() == UNKNOWN
    assert cam.releaseFrame(None) == UNKNOWN
    assert cam.start(ndc.TOFOutput.DEPTH) == UNKNOWN
    assert cam.openWithFile(None) == UNKNOWN
    bad = tmp_path / "bad.conf"
    bad.write_text("fps = fast\n")
    result = cam.openWithFile(str(bad))
    assert isinstance(result, ndc.TOFErrorCode) and result == UNKNOWN
    assert "fps" in capfd.readouterr().err
    assert cam.openWithFile("/dev/zero") == UNKNOWN, "a file without end is refused, not read forever"
    assert "larger than 64 KiB" in capfd.readouterr().err


def test_open_defaults_and_paths(kit):
    cam = ndc.NorvaneCamera()
    assert cam.open(ndc.TOFConnect.USB) == OK
    info = cam.getCameraInfo()
    assert (info.index, info.connect, info.device_type) == (0, ndc.TOFConnect.USB, ndc.TOFDeviceType.HQVGA)
    assert info.device_type == 1, "TOFDeviceType compares with ints"
    assert (info.width, info.height) == (240, 180)
    assert cam.close() == OK
    fresh = ndc.NorvaneCamera()
    for cut_short in ("\0" + str(kit), str(kit) + "\0x", b"\0"):
        with pytest.raises(ValueError, match="embedded null byte"):
            fresh.openWithFile(cut_short)
    assert fresh.getCameraInfo().connect == ndc.TOFConnect.CSI, "a path with a NUL opens nothing"
    assert cam.openWithFile(str(kit).encode()) == OK, "bytes are a path too"
    assert cam.openWithFile(str(kit), 0) == OK
    cam.close()


def test_get_control_is_a_plain_int_and_set_control_reaches_the_camera(depth_cam):
    assert type(depth_cam.getControl(ndc.TOFControl.FMT_WIDTH)) is int, "also when the camera wrote nothing"
    range_mm = depth_cam.getControl(ndc.TOFControl.RANGE)
    assert type(range_mm) is int and range_mm == 4000
    assert depth_cam.setControl(ndc.TOFControl.RANGE, 2000) == OK
    assert depth_cam.getControl(ndc.TOFControl.RANGE) == 2000
    assert depth_cam.setControl(ndc.TOFControl.RANGE, 3000) == ndc.TOFErrorCode.NorvaneInvalidParameter
    assert depth_cam.getControl(ndc.TOFControl.RANGE) == 2000, "a refused range changes nothing"
    invalid = ndc.TOFErrorCode.NorvaneInvalidParameter
    assert depth_cam.setControl(ndc.TOFControl.SKIP_FRAME_LOOP, 0) == invalid
    assert depth_cam.setControl(ndc.TOFControl.SKIP_FRAME, 1) == invalid, "1 of 1 would drop every frame"
    assert depth_cam.setControl(ndc.TOFControl.SKIP_FRAME_LOOP, 2) == OK
    assert depth_cam.setControl(ndc.TOFControl.SKIP_FRAME, 1) == OK
    assert depth_cam.setControl(ndc.TOFControl.SKIP_FRAME_LOOP, 1) == invalid, "the skip comes down first"
    assert depth_cam.setControl(ndc.TOFControl.SKIP_FRAME, 0) == OK
    assert depth_cam.setControl(ndc.TOFControl.SKIP_FRAME_LOOP, 1) == OK


def test_camera_info_is_a_copy_with_checked_properties(depth_cam):
    info = depth_cam.getCameraInfo()
    assert info.type == ndc.TOFOutput.DEPTH
    info.width = 7
    info.type = ndc.TOFOutput.RAW
    again = depth_cam.getCameraInfo()
    assert (again.width, again.type) == (240, ndc.TOFOutput.DEPTH)
    assert info is not again
    with pytest.raises(TypeError):
        info.type = 0
    with pytest.raises(TypeError):
        info.device_type = 1
    with pytest.raises(TypeError):
        info.width = -1
    with pytest.raises(RuntimeError):
        info.connect = None
    assert info.type == ndc.TOFOutput.RAW, "refused assignments change nothing"
    # An enum read from a record is a copy: it keeps its value (and its hash
    # in a set) when the field changes afterwards.
    before = info.type
    seen = {before}
    info.type = ndc.TOFOutput.DEPTH
    assert before == ndc.TOFOutput.RAW and info.type == ndc.TOFOutput.DEPTH
    assert ndc.TOFOutput.RAW in seen


def test_request_gives_the_frame_class_of_the_output(depth_cam, raw_cam):
    depth = take(depth_cam)
    assert type(depth) is ndc.DepthData and isinstance(depth, ndc.NorvaneFrame)
    raw = take(raw_cam)
    assert type(raw) is ndc.RawData and isinstance(raw, ndc.NorvaneFrame)
    assert depth_cam.releaseFrame(raw) == UNKNOWN, "a frame of another camera"
    assert depth_cam.releaseFrame(None) == UNKNOWN
    assert depth_cam.releaseFrame(depth) == OK
    assert raw_cam.releaseFrame(raw) == OK
    assert depth_cam.releaseFrame(depth) == UNKNOWN, "released twice"


def test_request_times_out_with_none_while_every_frame_is_held(depth_cam):
    held = hold_every_frame(depth_cam)
    begin = time.monotonic()
    assert depth_cam.requestFrame(200) is None
    assert 0.15 < time.monotonic() - begin < 3
    assert depth_cam.requestFrame(0) is None
    assert depth_cam.releaseFrame(held.pop()) == OK
    assert depth_cam.requestFrame(WAIT_MS) is not None, "a released buffer flows again"


def test_start_twice_and_restart_with_another_output(depth_cam):
    assert depth_cam.start(ndc.TOFOutput.DEPTH) == UNKNOWN, "already running"
    assert depth_cam.start(ndc.TOFOutput.CONFIDENCE) == UNKNOWN
    assert depth_cam.stop() == OK
    for refused in (ndc.TOFOutput.CONFIDENCE, ndc.TOFOutput.CACHE, ndc.TOFOutput(3)):
        assert depth_cam.start(refused) == UNKNOWN
    assert depth_cam.start(ndc.TOFOutput.RAW) == OK, "a refused start leaves nothing behind"
    assert type(take(depth_cam)) is ndc.RawData
    assert depth_cam.getCameraInfo().type == ndc.TOFOutput.RAW


def test_the_documented_vga_kit_starts_as_written(tmp_path, monkeypatch):
    # The VGA kit of docs/simulated-kit.md. Geometry, frequency mode and width
    # come from the kit at open: no control needs setting first. The start
    # writes its configuration files here.
    monkeypatch.chdir(tmp_path)
    kit = tmp_path / "vga.conf"
    kit.write_text("# a noise-free VGA kit, as fast as it is read\ngeometry = vga\nfrequency = dual\n"
                   "width = 320\nheight = 240\nfps = 0\nnoise = 0\n")  # fmt: skip
    cam = ndc.NorvaneCamera()
    assert cam.openWithFile(str(kit)) == OK
    assert [cam.getControl(c) for c in (ndc.TOFControl.FMT_WIDTH, ndc.TOFControl.FMT_HEIGHT, ndc.TOFControl.MODE)] == [
        320, 240, 1]  # fmt: skip
    assert cam.start(ndc.TOFOutput.DEPTH) == OK
    frame = take(cam)
    assert frame.getDepthData().shape == (240, 320)
    assert cam.releaseFrame(frame) == OK
    assert cam.stop() == OK and cam.close() == OK
