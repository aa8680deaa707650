"""Cameras on the simulated evaluation kit, configured for quick tests."""
import subprocess
import sys
import textwrap
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
    `WAIT_MS`; it must print "ok" at its end.
    """
    prelude = (
        "import gc, os, signal, sys, threading, time\n"
        "import NorvaneDepthCamera as ndc\n"
        "OK = ndc.TOFErrorCode.NorvaneSuccess\n"
        f"CONFIG = {str(config)!r}\nWAIT_MS = {WAIT_MS}\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(body)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert result.returncode == 0, f"exit {result.returncode}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}"
    assert result.stdout.strip().endswith("ok"), result.stdout + result.stderr
    return result
