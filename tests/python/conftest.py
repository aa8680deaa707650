"""Cameras on the simulated evaluation kit, configured for quick tests."""
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from typing import Iterator, List

import pytest

import NorvaneDepthCamera as ndc

OK = ndc.TOFErrorCode.NorvaneSuccess
WAIT_MS = 5000
# The room scene: the centre pixel looks at the back wall.
CENTRE_MM = 3000.0


def write_kit(path: Path, fps: int, noise: int = 0) -> Path:
    path.write_text(f"fps = {fps}\nnoise = {noise}\n")
    return path


@pytest.fixture(scope="session")
def kit(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A noise-free HQVGA kit at a quick rate."""
    return write_kit(tmp_path_factory.mktemp("kit") / "fast.conf", fps=200)


@pytest.fixture(scope="session")
def slow_kit(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A kit whose capture thread spends most of its time waiting for the next capture."""
    return write_kit(tmp_path_factory.mktemp("kit") / "slow.conf", fps=2)


def open_camera(config: Path, output: "ndc.TOFOutput | None" = None) -> ndc.NorvaneCamera:
    cam = ndc.NorvaneCamera()
    assert cam.openWithFile(str(config)) == OK
    if output is not None:
        assert cam.start(output) == OK
    return cam


@pytest.fixture
def depth_cam(kit: Path) -> Iterator[ndc.NorvaneCamera]:
    cam = open_camera(kit, ndc.TOFOutput.DEPTH)
    yield cam
    cam.stop()
    cam.close()


@pytest.fixture
def raw_cam(kit: Path) -> Iterator[ndc.NorvaneCamera]:
    cam = open_camera(kit, ndc.TOFOutput.RAW)
    yield cam
    cam.stop()
    cam.close()


def take(cam: ndc.NorvaneCamera) -> ndc.NorvaneFrame:
    frame = cam.requestFrame(WAIT_MS)
    assert frame is not None, "no frame from the kit"
    return frame


def hold_every_frame(cam: ndc.NorvaneCamera) -> List[ndc.NorvaneFrame]:
    """Takes all three frames of the pool: no further frame can arrive until one goes back."""
    return [take(cam) for _ in range(3)]


def run_isolated(body: str, config: Path, timeout: float = 60) -> "subprocess.CompletedProcess[str]":
    """Runs `body` in a fresh interpreter (a crash there fails the test, not the run).

    The script sees `ndc`, `OK`, `CONFIG` (the kit's configuration path) and
    `WAIT_MS`; it must print "ok" at its end. A script still running after
    `timeout` seconds has its Python and native stacks shown before it is killed.
    """
    prelude = (
        # SIGUSR1 dumps every thread's Python stack, also while a thread is stuck in native code.
        "import faulthandler, signal\n"
        "faulthandler.register(signal.SIGUSR1, all_threads=True)\n"
        # Started from a background job, the interpreter inherits SIGINT ignored and keeps it so:
        # Ctrl-C must raise KeyboardInterrupt here as in an interactive Python.
        "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
        "import gc, os, sys, threading, time\n"
        "import NorvaneDepthCamera as ndc\n"
        "OK = ndc.TOFErrorCode.NorvaneSuccess\n"
        f"CONFIG = {str(config)!r}\nWAIT_MS = {WAIT_MS}\n"
    )
    # Unbuffered: what a hung script printed is not lost with it.
    child = subprocess.Popen([sys.executable, "-u", "-c", prelude + textwrap.dedent(body)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        stdout, stderr = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        native = native_stacks(child.pid)
        child.send_signal(signal.SIGUSR1)
        time.sleep(1.0)
        child.kill()
        stdout, stderr = child.communicate()
        pytest.fail(f"the script hung for {timeout} s\nstdout:\n{stdout}\n"
                    f"stderr (the Python stacks at the end):\n{stderr}\nnative stacks:\n{native}")
    result = subprocess.CompletedProcess(child.args, child.returncode, stdout, stderr)
    assert result.returncode == 0, f"exit {result.returncode}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}"
    assert result.stdout.strip().endswith("ok"), result.stdout + result.stderr
    return result


def native_stacks(pid: int) -> str:
    """Every thread's native stack of process `pid`: gdb's backtraces, else the kernel's stacks."""
    gdb = shutil.which("gdb")
    if gdb:
        try:
            done = subprocess.run([gdb, "-p", str(pid), "-batch", "-nx", "-iex", "set auto-load python-scripts off",
                                   "-ex", "set pagination off",
                                   "-ex", "thread apply all bt"],
                                  capture_output=True, text=True, timeout=60)
            if "Thread" in done.stdout:
                return done.stdout
            shown = f"gdb showed no threads: {done.stderr.strip()}\n"
        except subprocess.TimeoutExpired:
            shown = "gdb did not finish within 60 s\n"
    else:
        shown = "no gdb; the kernel's stacks instead:\n"
    for task in sorted(Path(f"/proc/{pid}/task").glob("*")):
        parts = []
        for name in ("comm", "wchan", "stack"):
            try:
                parts.append((task / name).read_text().strip())
            except OSError as error:
                parts.append(f"({name}: {error.strerror})")
        shown += f"thread {task.name} {parts[0]} waiting in {parts[1]}\n{parts[2]}\n"
    return shown
