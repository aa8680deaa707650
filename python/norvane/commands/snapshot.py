"""norvane snapshot: one frame as pictures, a point cloud and numpy planes."""

import argparse
import os
import sys
from pathlib import Path
from typing import Any, List, Optional

import numpy as np
import numpy.typing as npt

import norvane

from ._common import Progress, add_source_arguments, open_source, seconds

OUTPUTS = ("depth.png", "amplitude.png", "points.ply", "depth.npy", "amplitude.npy", "confidence.npy")


def register(subparsers: "argparse._SubParsersAction[Any]") -> None:
    parser = subparsers.add_parser(
        "snapshot", help="save one frame: depth and amplitude PNGs, a PLY point cloud, the planes as .npy"
    )
    add_source_arguments(parser)
    parser.add_argument("-o", "--output", metavar="DIR", type=Path, required=True, help="folder for the files")
    parser.add_argument("--timeout", type=seconds, default=5.0, help="seconds to wait for the frame (default 5)")
    parser.add_argument("--overwrite", action="store_true", help="replace files of an earlier snapshot")
    parser.set_defaults(handler=run)


def depth_picture(depth: npt.NDArray[np.float32]) -> npt.NDArray[np.uint8]:
    """Near red to far blue, black where there is no distance."""
    valid = np.isfinite(depth) & (depth > 0)
    near, far = (float(v) for v in np.percentile(depth[valid], [1, 99])) if valid.any() else (0.0, 1.0)
    shade = np.clip((depth.astype(np.float64) - near) / max(far - near, 1.0), 0.0, 1.0)
    # Hue from red (0) over green to blue (2/3 of the circle), full saturation.
    hue = shade * 4.0
    rgb = np.stack([np.clip(2.0 - hue, 0, 1), np.clip(np.minimum(hue, 4.0 - hue), 0, 1), np.clip(hue - 2.0, 0, 1)], -1)
    rgb[~valid] = 0.0
    picture: npt.NDArray[np.uint8] = np.rint(rgb * 255).astype(np.uint8)
    return picture


def amplitude_picture(amplitude: npt.NDArray[np.float32]) -> npt.NDArray[np.uint8]:
    bright = float(np.percentile(amplitude, 99.5)) if amplitude.size else 1.0
    # A square root brings out dim surfaces next to bright ones.
    grey = np.sqrt(np.clip(amplitude.astype(np.float64) / max(bright, 1e-6), 0.0, 1.0))
    picture: npt.NDArray[np.uint8] = np.rint(grey * 255).astype(np.uint8)
    return picture


def refusal(out: Path, overwrite: bool) -> Optional[str]:
    """Why the snapshot must not be written to `out`, checked before the camera opens."""
    if out.exists() and not out.is_dir():
        return f"{out} exists and is not a folder"
    existing = [name for name in OUTPUTS if (out / name).exists()]
    if existing and not overwrite:
        return f"{out} already holds {', '.join(existing)}; use --overwrite to replace them"
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        return f"cannot create {out}: {error.strerror}"
    if not os.access(out, os.W_OK):
        return f"{out} is not writable"
    return None


def run(args: argparse.Namespace) -> int:
    from PIL import Image

    out: Path = args.output
    refused = refusal(out, args.overwrite)
    if refused:
        print(f"norvane: {refused}", file=sys.stderr)
        return 2

    with open_source(args) as cam, Progress() as progress:
        progress.show(f"starting {cam.info.source}")
        cam.start("depth")
        progress.show(f"waiting for a frame from {cam.info.source}")
        frame = cam.read(args.timeout)
        if frame is None:
            raise norvane.CameraTimeout(f"no frame from {cam.info.source} within {args.timeout} s", -1)
    assert frame.depth is not None and frame.amplitude is not None and frame.confidence is not None

    written: List[Path] = []
    Image.fromarray(depth_picture(frame.depth), "RGB").save(out / "depth.png")
    Image.fromarray(amplitude_picture(frame.amplitude), "L").save(out / "amplitude.png")
    written += [out / "depth.png", out / "amplitude.png"]
    if frame.intrinsics is not None:
        valid = np.isfinite(frame.depth) & (frame.depth > 0)
        grey = amplitude_picture(frame.amplitude)[valid]
        norvane.save_ply(out / "points.ply", frame.points(), np.repeat(grey[:, np.newaxis], 3, axis=1))
        written.append(out / "points.ply")
    else:
        stale = out / "points.ply"  # an earlier snapshot's, replaced as --overwrite asked
        removed = f"; removed the earlier {stale}" if stale.exists() else ""
        stale.unlink(missing_ok=True)
        print(f"norvane: no point cloud: the lens of this camera is not known{removed}", file=sys.stderr)
    for name in ("depth", "amplitude", "confidence"):
        np.save(out / f"{name}.npy", getattr(frame, name))
        written.append(out / f"{name}.npy")
    print(f"frame {frame.index} at {frame.timestamp_ms} ms")
    for path in written:
        print(f"wrote {path}")
    return 0
