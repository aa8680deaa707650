#!/usr/bin/env python3
"""First run: stream from a depth camera for a few seconds and save two pictures.

Opens the camera (USB by default: without the maker's evaluation-kit library
that is the simulated kit, which looks at a small room; --csi N for the CSI
camera /dev/videoN on a board), streams depth frames with a progress line,
prints the frame rate and the distance at the image centre, and writes
depth.png (distances, colour-mapped) and amplitude.png (reflected light).

The pictures need the package's demo extra: pip install '.[demo]'.
"""

import argparse
import sys
import time
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

import NorvaneDepthCamera as ndc

Plane = npt.NDArray[np.float32]

OK = ndc.TOFErrorCode.NorvaneSuccess
# A frame wait longer than this means the camera has stopped delivering.
FRAME_TIMEOUT_MS = 2000


def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--csi", type=int, metavar="N", help="open the CSI camera /dev/videoN instead of USB")
    source.add_argument(
        "--config", metavar="FILE", help="USB: configuration file for the camera (simulated kit: key = value lines)"
    )
    parser.add_argument("--seconds", type=float, default=3.0, help="how long to stream (default 3)")
    parser.add_argument("--out", type=Path, default=Path("."), help="folder for the PNG files (default: here)")
    parser.add_argument("--scale", type=int, default=3, help="enlarge the pictures this many times (default 3)")
    return parser.parse_args(argv)


def open_camera(cam: ndc.NorvaneCamera, args: argparse.Namespace) -> Tuple[ndc.TOFErrorCode, str]:
    if args.csi is not None:
        return cam.open(ndc.TOFConnect.CSI, args.csi), f"CSI camera /dev/video{args.csi}"
    if args.config:
        return cam.openWithFile(args.config), f"USB camera configured by {args.config}"
    return cam.open(ndc.TOFConnect.USB), "USB camera 0"


class Progress:
    """One status line, redrawn in place on a terminal, else printed once a second."""

    WIDTH = 30

    def __init__(self, seconds: float) -> None:
        self.seconds = seconds
        self.tty = sys.stdout.isatty()
        self.last_print = -1.0

    def update(self, elapsed: float, frames: int, centre_mm: float) -> None:
        if not self.tty and elapsed - self.last_print < 1.0:
            return
        self.last_print = elapsed
        done = min(int(self.WIDTH * elapsed / self.seconds), self.WIDTH) if self.seconds > 0 else self.WIDTH
        bar = "#" * done + "." * (self.WIDTH - done)
        rate = frames / elapsed if elapsed > 0 else 0.0
        line = f"[{bar}] {elapsed:4.1f}/{self.seconds:.1f} s  {frames:4d} frames  {rate:5.1f} fps"
        line += f"  centre {centre_mm:6.0f} mm"
        if self.tty:
            print("\r" + line, end="", flush=True)
        else:
            print(line, flush=True)

    def finish(self) -> None:
        if self.tty:
            print()


def centre_of(plane: Plane) -> float:
    height, width = plane.shape
    return float(plane[height // 2, width // 2])


def stream(cam: ndc.NorvaneCamera, seconds: float) -> Tuple[int, float, Plane, Plane]:
    """Requests depth frames for `seconds`; returns the count, the time taken and the last frame's planes."""
    progress = Progress(seconds)
    frames = 0
    depth: Optional[Plane] = None
    amplitude: Optional[Plane] = None
    begin = time.monotonic()
    elapsed = 0.0
    while elapsed < seconds or depth is None:
        frame = cam.requestFrame(FRAME_TIMEOUT_MS)
        elapsed = time.monotonic() - begin
        if frame is None:
            progress.finish()
            raise RuntimeError(f"no frame within {FRAME_TIMEOUT_MS} ms")
        try:
            if not isinstance(frame, ndc.DepthData):
                raise RuntimeError("the camera delivers no depth frames")
            # Arrays are copies: they stay valid after the frame goes back.
            depth = frame.getDepthData()
            amplitude = frame.getAmplitudeData()
        finally:
            cam.releaseFrame(frame)
        frames += 1
        progress.update(elapsed, frames, centre_of(depth))
    progress.finish()
    assert amplitude is not None
    return frames, elapsed, depth, amplitude


def enlarge(image: npt.NDArray[np.float64], scale: int) -> npt.NDArray[np.float64]:
    return np.repeat(np.repeat(image, scale, axis=0), scale, axis=1) if scale > 1 else image


def save_pictures(out: Path, depth: Plane, amplitude: Plane, scale: int) -> List[Path]:
    from matplotlib import colormaps

    import matplotlib.image

    out.mkdir(parents=True, exist_ok=True)
    valid = np.isfinite(depth) & (depth > 0)
    if valid.any():
        near, far = (float(v) for v in np.percentile(depth[valid], [1, 99]))
    else:
        near, far = 0.0, 1.0
    shade = np.clip((depth.astype(np.float64) - near) / max(far - near, 1.0), 0.0, 1.0)
    # Near is red, far is blue; pixels without a distance are black.
    rgba = colormaps["turbo_r"](shade)
    rgba[~valid] = (0.0, 0.0, 0.0, 1.0)
    depth_png = out / "depth.png"
    matplotlib.image.imsave(depth_png, enlarge(rgba, scale))

    bright = float(np.percentile(amplitude, 99.5)) if amplitude.size else 1.0
    # A square root brings out the dim walls next to the bright ball.
    grey = np.sqrt(np.clip(amplitude.astype(np.float64) / max(bright, 1e-6), 0.0, 1.0))
    amplitude_png = out / "amplitude.png"
    matplotlib.image.imsave(amplitude_png, enlarge(grey, scale), cmap="gray", vmin=0.0, vmax=1.0)
    return [depth_png, amplitude_png]


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_args(argv)
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("the pictures need matplotlib: pip install 'NorvaneDepthCamera[demo]' (or '.[demo]')", file=sys.stderr)
        return 2

    cam = ndc.NorvaneCamera()
    result, name = open_camera(cam, args)
    if result != OK:
        print(f"cannot open the {name}: {result.str()} ({result})", file=sys.stderr)
        return 1
    info = cam.getCameraInfo()
    print(f"opened the {name}: {info.width} x {info.height}, {info.device_type.name} device")
    result = cam.start(ndc.TOFOutput.DEPTH)
    if result != OK:
        print(f"cannot start streaming: {result.str()} ({result})", file=sys.stderr)
        cam.close()
        return 1
    try:
        frames, elapsed, depth, amplitude = stream(cam, args.seconds)
    except RuntimeError as error:
        print(f"streaming failed: {error}", file=sys.stderr)
        return 1
    finally:
        cam.stop()
        cam.close()

    height, width = depth.shape
    print(f"{frames} frames in {elapsed:.1f} s: {frames / elapsed:.1f} frames per second")
    print(f"distance at the image centre (row {height // 2}, column {width // 2}): {centre_of(depth):.0f} mm")
    for path in save_pictures(args.out, depth, amplitude, args.scale):
        print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
