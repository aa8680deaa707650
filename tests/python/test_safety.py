"""Waits that let other threads run and end on Ctrl-C, calls from several
threads at once, and frames that refuse every use once they are stale.

Cases that would crash on a fault run in a fresh interpreter, so that a
crash fails the test instead of ending the test run.
"""
import gc
import signal
import threading
import time

import pytest

import NorvaneDepthCamera as ndc
from conftest import OK, WAIT_MS, hold_every_frame, open_camera, run_isolated, take


class Ticker:
    """A thread that notes the time every few milliseconds, as a GUI or network loop would run."""

    def __init__(self):
        self.ticks = []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run)

    def run(self):
        while not self.done.is_set():
            self.ticks.append(time.monotonic())
            time.sleep(0.005)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.done.set()
        self.thread.join()

    def between(self, begin, end):
        return sum(1 for t in self.ticks if begin < t < end)


def test_other_threads_run_while_a_request_waits(depth_cam):
    held = hold_every_frame(depth_cam)
    with Ticker() as ticker:
        begin = time.monotonic()
        assert depth_cam.requestFrame(500) is None
        end = time.monotonic()
    assert 0.45 < end - begin < 3
    assert ticker.between(begin + 0.05, end - 0.05) >= 10, "the wait held the interpreter lock"
    for frame in held:
        assert depth_cam.releaseFrame(frame) == OK


@pytest.mark.parametrize("operation", ["stop", "close"])
def test_other_threads_run_while_stop_and_close_join_the_capture_thread(slow_kit, operation):
    # The join waits only while the capture thread is inside a capture (half a
    # second at this rate). Right after a frame it normally is, but nothing
    # guarantees that the thread got that far before the stop: an attempt
    # whose join did not wait shows nothing and is repeated.
    attempts = 10
    for _ in range(attempts):
        cam = open_camera(slow_kit, ndc.TOFOutput.DEPTH)
        assert cam.releaseFrame(take(cam)) == OK
        time.sleep(0.05)
        with Ticker() as ticker:
            begin = time.monotonic()
            assert getattr(cam, operation)() == OK
            end = time.monotonic()
        cam.close()
        if end - begin > 0.2:
            assert ticker.between(begin + 0.05, end - 0.05) >= 5, f"{operation} held the interpreter lock"
            return
    pytest.fail(f"in {attempts} attempts no {operation} waited for a capture in progress")


@pytest.fixture(params=["default", "ignored"])
def inherited_sigint(request):
    """How the script inherits SIGINT: as from a terminal, or ignored as by a background job."""
    if request.param == "default":
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def test_ctrl_c_ends_unlimited_and_long_waits(kit, inherited_sigint):
    run_isolated(
        """
        cam = ndc.NorvaneCamera()
        assert cam.openWithFile(CONFIG) == OK and cam.start(ndc.TOFOutput.DEPTH) == OK
        held = [cam.requestFrame(WAIT_MS) for _ in range(3)]
        assert all(held)
        for timeout in (-1, 30000):
            threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
            begin = time.monotonic()
            try:
                cam.requestFrame(timeout)
            except KeyboardInterrupt:
                waited = time.monotonic() - begin
                assert 0.25 < waited < 2, waited
            else:
                raise AssertionError("the wait was not interrupted")
        # The camera carries on after the interrupt.
        assert cam.releaseFrame(held[0]) == OK
        assert isinstance(cam.requestFrame(WAIT_MS), ndc.DepthData)
        assert cam.stop() == OK and cam.close() == OK
        print("ok")
        """,
        kit,
    )


def test_a_hung_script_shows_its_stacks_before_it_is_killed(kit):
    with pytest.raises(pytest.fail.Exception) as failed:
        run_isolated(
            """
            def stuck_forever():
                threading.Event().wait()
            threading.Thread(target=stuck_forever, daemon=True).start()
            print("started")
            time.sleep(600)
            """,
            kit,
            timeout=3,
        )
    text = str(failed.value)
    assert "hung for 3 s" in text and "started" in text, text
    assert "in stuck_forever" in text and "most recent call first" in text, text  # the Python stacks
    assert "Thread 2" in text or "waiting in" in text, text  # gdb's, or the kernel's


def test_lifecycle_calls_from_other_threads_during_waits(kit):
    run_isolated(
        """
        cam = ndc.NorvaneCamera()
        assert cam.openWithFile(CONFIG) == OK and cam.start(ndc.TOFOutput.DEPTH) == OK
        closed = threading.Event()
        counts = []

        def consumer():
            frames = 0
            while True:
                frame = cam.requestFrame(-1)
                if frame is None:  # the pool went away: a restart, or the end
                    if closed.is_set():
                        break
                    continue
                frames += 1
                try:
                    plane = frame.getDepthData() if isinstance(frame, ndc.DepthData) else frame.getRawData()
                    assert plane.size > 0
                except RuntimeError:
                    pass  # a restart retired the frame meanwhile
                cam.releaseFrame(frame)
            counts.append(frames)

        def controls():
            while not closed.is_set():
                cam.setControl(ndc.TOFControl.SKIP_FRAME, 0)
                assert type(cam.getControl(ndc.TOFControl.RANGE)) is int
                cam.getCameraInfo()

        threads = [threading.Thread(target=consumer) for _ in range(2)] + [threading.Thread(target=controls)]
        for t in threads:
            t.start()
        for output in (ndc.TOFOutput.RAW, ndc.TOFOutput.DEPTH, ndc.TOFOutput.RAW, ndc.TOFOutput.DEPTH):
            time.sleep(0.1)
            assert cam.stop() == OK
            assert cam.start(output) == OK
        time.sleep(0.1)
        kept = cam.requestFrame(WAIT_MS)
        assert kept is not None
        closed.set()
        assert cam.close() == OK
        for t in threads:
            t.join(10)
            assert not t.is_alive(), "a thread hung"
        assert len(counts) == 2 and all(n > 0 for n in counts), counts
        del cam
        gc.collect()
        try:
            kept.getFrameFormat()
        except RuntimeError:
            pass
        else:
            raise AssertionError("a frame of a closed camera was read")

        # The last reference to a camera goes with the thread that waited on it.
        cam = ndc.NorvaneCamera()
        assert cam.openWithFile(CONFIG) == OK and cam.start(ndc.TOFOutput.DEPTH) == OK
        held = [cam.requestFrame(WAIT_MS) for _ in range(3)]
        outcome = []
        waiter = threading.Thread(target=lambda c: outcome.append(c.requestFrame(-1)), args=(cam,))
        closer = threading.Timer(0.3, lambda c: c.close(), args=(cam,))
        waiter.start()
        closer.start()
        del cam
        waiter.join(10)
        closer.join(10)
        assert not waiter.is_alive() and outcome == [None], outcome
        gc.collect()
        for frame in held:
            try:
                frame.getDepthData()
            except RuntimeError:
                pass
            else:
                raise AssertionError("a frame of a deleted camera was read")
        print("ok")
        """,
        kit,
    )


def test_stop_and_every_open_end_a_wait_without_limit(kit):
    run_isolated(
        """
        def waiting(cam):
            outcome = []
            waiter = threading.Thread(target=lambda: outcome.append(cam.requestFrame(-1)), daemon=True)
            waiter.start()
            time.sleep(0.2)
            assert waiter.is_alive(), "a running camera with every frame held has nothing to give"
            return waiter, outcome

        cam = ndc.NorvaneCamera()
        for end in ("stop", "open", "failed open"):
            assert cam.openWithFile(CONFIG) == OK and cam.start(ndc.TOFOutput.DEPTH) == OK
            held = [cam.requestFrame(WAIT_MS) for _ in range(3)]
            assert all(held)
            waiter, outcome = waiting(cam)
            if end == "stop":
                assert cam.stop() == OK
            elif end == "open":
                assert cam.openWithFile(CONFIG) == OK
            else:
                assert cam.openWithFile("/nonexistent/kit.conf") != OK
            waiter.join(5)
            assert not waiter.is_alive() and outcome == [None], (end, outcome)
            if end == "stop":
                # The usual shutdown: the frames stay valid, the next wait ends at once.
                assert cam.requestFrame(-1) is None
                assert held[0].getDepthData().shape == (180, 240)
                assert all(cam.releaseFrame(f) == OK for f in held)
            else:
                # A new session: the old frames are gone.
                for f in held:
                    try:
                        f.getFrameFormat()
                    except RuntimeError:
                        pass
                    else:
                        raise AssertionError("a frame of the previous session was read after " + end)
                    assert cam.releaseFrame(f) == ndc.TOFErrorCode.NorvaneUnkownError
            cam.close()
        print("ok")
        """,
        kit,
    )


def test_dropped_frames_give_their_buffers_back(depth_cam):
    for _ in range(10):
        assert depth_cam.requestFrame(WAIT_MS) is not None, "a dropped frame kept its buffer"
    held = hold_every_frame(depth_cam)
    stale = held.pop()
    assert depth_cam.releaseFrame(stale) == OK
    held.append(take(depth_cam))
    del stale
    gc.collect()
    # Dropping the released frame gave nothing back: every buffer is still held.
    assert depth_cam.requestFrame(100) is None
    assert all(f.getFrameFormat().width == 240 for f in held)
    del held
    assert depth_cam.requestFrame(WAIT_MS) is not None


STALE_PRELUDE = """
UNKNOWN = ndc.TOFErrorCode.NorvaneUnkownError
ACCESSORS = ("getRawData", "getDepthData", "getConfidenceData", "getAmplitudeData", "getFrameFormat")

def refused(frame):
    names = [n for n in ACCESSORS if hasattr(frame, n)]
    assert len(names) >= 2
    for name in names:
        try:
            getattr(frame, name)()
        except RuntimeError as error:
            assert "no longer valid" in str(error), error
        else:
            raise AssertionError(name + " read a stale frame")

def started(output):
    cam = ndc.NorvaneCamera()
    assert cam.openWithFile(CONFIG) == OK and cam.start(output) == OK
    return cam
"""

STALE_CASES = {
    "released": """
        for output in (ndc.TOFOutput.DEPTH, ndc.TOFOutput.RAW):
            cam = started(output)
            frame = cam.requestFrame(WAIT_MS)
            assert cam.releaseFrame(frame) == OK
            refused(frame)
            assert cam.releaseFrame(frame) == UNKNOWN
            # Every buffer is lent again, the stale frame's among them: giving
            # back the stale frame must not give back the newer one.
            newer = [cam.requestFrame(WAIT_MS) for _ in range(3)]
            refused(frame)
            assert cam.releaseFrame(frame) == UNKNOWN
            for f in newer:
                assert f.getFrameFormat().width == 240
                assert cam.releaseFrame(f) == OK
            cam.close()
    """,
    "replaced": """
        cam = started(ndc.TOFOutput.DEPTH)
        frame = cam.requestFrame(WAIT_MS)
        assert cam.stop() == OK
        assert frame.getDepthData().shape == (180, 240), "a stop keeps the frames"
        assert cam.start(ndc.TOFOutput.RAW) == OK
        refused(frame)
        assert cam.releaseFrame(frame) == UNKNOWN
        raw = cam.requestFrame(WAIT_MS)
        assert cam.stop() == OK and cam.start(ndc.TOFOutput.RAW) == OK
        refused(raw)
        assert cam.releaseFrame(raw) == UNKNOWN
        cam.close()
    """,
    "closed": """
        cam = started(ndc.TOFOutput.DEPTH)
        frame = cam.requestFrame(WAIT_MS)
        assert cam.close() == OK
        refused(frame)
        assert cam.releaseFrame(frame) == UNKNOWN
        begin = time.monotonic()
        assert cam.requestFrame(-1) is None, "a closed camera has no frame to wait for"
        assert time.monotonic() - begin < 1
        # Opened and started again, the camera lends new frames.
        assert cam.openWithFile(CONFIG) == OK and cam.start(ndc.TOFOutput.DEPTH) == OK
        assert cam.releaseFrame(cam.requestFrame(WAIT_MS)) == OK
        refused(frame)
        cam.close()
    """,
    "collected": """
        frames = []
        for output in (ndc.TOFOutput.DEPTH, ndc.TOFOutput.RAW):
            cam = started(output)
            frames.append(cam.requestFrame(WAIT_MS))
            del cam
            gc.collect()
        other = started(ndc.TOFOutput.DEPTH)
        for frame in frames:
            refused(frame)
            assert other.releaseFrame(frame) == UNKNOWN
        other.close()
    """,
}


@pytest.mark.parametrize("case", list(STALE_CASES))
def test_stale_frames_refuse_every_use(kit, case):
    run_isolated(STALE_PRELUDE + __import__("textwrap").dedent(STALE_CASES[case]) + "\nprint('ok')\n", kit)
