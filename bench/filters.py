"""The depth filters measured against the simulated kit's own scene.

The truth is the kit's ray cast of the room (norvane._native.scene_truth):
each pixel's distance along its centre ray and its distance in pixels to a
depth edge. It comes from the scene's geometry, never from a camera's
output. The camera is the kit with shot noise and mixed pixels (each pixel
integrates its footprint, so edge pixels carry mixed phases), 30 captures
per second, seed 1: every run, and every preset, sees the same captures.

Per preset, over the last KEPT of FRAMES captures of the still scene:
- rms_mm: RMS depth error on smooth surfaces (pixels SMOOTH or more from an
  edge) that the output keeps;
- flying: valid output pixels on an edge whose depth is more than
  max(50 mm, 3 %) from the truth of every pixel of their 3 x 3 window, per
  frame; flying_removed_pct: the share of `off`'s that the preset removes;
- lost_pct: smooth pixels valid with `off` that the preset invalidates;
- edge_p95_mm: 95th percentile of the error 1 to 2 pixels from an edge.
Ratios compare each preset with `off` in the same run. The cost of each
filter and preset per frame is bench/FilterBench.cpp's (bench/run).
"""
import os
import sys
import tempfile
from typing import Dict, Iterator, List, Tuple

import numpy as np
import numpy.typing as npt

import norvane
from norvane import _native

SCENE = "room"
WIDTH, HEIGHT = 240, 180
FRAMES, KEPT = 30, 10
SMOOTH = 3
NEAR_EDGE = (1, 2)
FLYING_MM, FLYING_SHARE = 50.0, 0.03
KIT = "fps = 30\nnoise = 1\nseed = 1\nmixed_pixels = 1\n"
NOISE_FREE_KIT = "fps = 0\nnoise = 0\n"

Plane = npt.NDArray[np.float32]
Mask = npt.NDArray[np.bool_]


def presets() -> List[str]:
    """`off` and every preset the package names (only `off` before the filters exist)."""
    try:
        from norvane import filters
    except ImportError:
        return ["off"]
    names = [name for name in getattr(filters, "PRESETS", {}) if name != "off"]
    return ["off"] + sorted(names, key=lambda n: (n != "default", n))


def still_frames(config: str, preset: str, frames: int = FRAMES, kept: int = KEPT) -> List[Tuple[int, Plane, Mask]]:
    """(capture index, depth, valid) of the captures frames - kept ... frames - 1."""
    out: List[Tuple[int, Plane, Mask]] = []
    with norvane.open(config) as cam:
        if preset != "off":
            cam.filters = preset  # type: ignore[attr-defined]
        cam.start("depth")
        for frame in cam.frames(timeout=5.0):
            assert frame.depth is not None
            if frame.index >= frames - kept:
                valid = np.isfinite(frame.depth) & (frame.depth > 0)
                invalid = getattr(frame, "invalid", None)
                if invalid is not None:
                    valid &= invalid == 0
                out.append((frame.index, frame.depth, valid))
            if frame.index >= frames - 1:
                break
    return out


def windows(plane: npt.NDArray[np.float64]) -> Iterator[npt.NDArray[np.float64]]:
    """The plane shifted by each offset of a 3 x 3 window (edges repeated)."""
    padded = np.pad(plane, 1, mode="edge")
    h, w = plane.shape
    for dy in range(3):
        for dx in range(3):
            yield padded[dy : dy + h, dx : dx + w]


def far_from_every_truth(depth: Plane, truth: Plane) -> Mask:
    """Pixels whose depth matches the truth of no pixel of their 3 x 3 window."""
    d = depth.astype(np.float64)
    far = np.ones(depth.shape, dtype=bool)
    for t in windows(truth.astype(np.float64)):
        far &= np.abs(d - t) > np.maximum(FLYING_MM, FLYING_SHARE * t)
    return far


def measure(frames: List[Tuple[int, Plane, Mask]], truth: Plane, edge: npt.NDArray[np.uint8]) -> Dict[str, float]:
    smooth, on_edge = edge >= SMOOTH, edge == 0
    near = (edge >= NEAR_EDGE[0]) & (edge <= NEAR_EDGE[1])
    squares: List[npt.NDArray[np.float64]] = []
    near_errors: List[npt.NDArray[np.float64]] = []
    flying = 0
    for _, depth, valid in frames:
        error = np.abs(depth.astype(np.float64) - truth)
        squares.append(error[smooth & valid] ** 2)
        near_errors.append(error[near & valid])
        flying += int(np.count_nonzero(on_edge & valid & far_from_every_truth(depth, truth)))
    return {
        "rms_mm": float(np.sqrt(np.concatenate(squares).mean())),
        "edge_p95_mm": float(np.percentile(np.concatenate(near_errors), 95)),
        "flying": flying / len(frames),
    }


def lost_share(off: List[Tuple[int, Plane, Mask]], filtered: List[Tuple[int, Plane, Mask]], smooth: Mask) -> float:
    """Share of the smooth pixels valid with `off` that the filtered capture of the same index invalidates."""
    by_index = {index: valid for index, _, valid in off}
    lost = kept = 0
    for index, _, valid in filtered:
        if index not in by_index:
            continue
        before = by_index[index] & smooth
        lost += int(np.count_nonzero(before & ~valid))
        kept += int(np.count_nonzero(before))
    return lost / max(kept, 1)


def figure(name: str, value: float, unit: str) -> None:
    print(f"{name} {value:.6g} {unit}")


def main() -> int:
    if not _native.SIMULATED_KIT:
        print("filters bench: needs the simulated kit", file=sys.stderr)
        return 1
    truth, edge = _native.scene_truth(SCENE, WIDTH, HEIGHT)
    with tempfile.TemporaryDirectory() as tmp:
        kit, noise_free = os.path.join(tmp, "kit.conf"), os.path.join(tmp, "noise-free.conf")
        with open(kit, "w") as f:
            f.write(KIT)
        with open(noise_free, "w") as f:
            f.write(NOISE_FREE_KIT)
        # The truth agrees with the noise-free kit, which renders each pixel's centre ray.
        (_, depth, _), = still_frames(noise_free, "off", frames=1, kept=1)
        figure("truth_noise_free_max_error_mm", float(np.abs(depth - truth).max()), "mm")
        figure("truth_edge_pixels", float(np.count_nonzero(edge == 0)), "px")
        figure("truth_smooth_pixels", float(np.count_nonzero(edge >= SMOOTH)), "px")

        runs = {preset: still_frames(kit, preset) for preset in presets()}
    off = measure(runs["off"], truth, edge)
    for preset, frames in runs.items():
        m = off if preset == "off" else measure(frames, truth, edge)
        figure(f"filters_{preset}_rms_mm", m["rms_mm"], "mm")
        figure(f"filters_{preset}_edge_p95_mm", m["edge_p95_mm"], "mm")
        figure(f"filters_{preset}_flying_per_frame", m["flying"], "px")
        if preset == "off":
            continue
        figure(f"filters_{preset}_rms_off_over_preset", off["rms_mm"] / m["rms_mm"], "x")
        figure(f"filters_{preset}_flying_removed_pct", 100.0 * (1.0 - m["flying"] / max(off["flying"], 1e-9)), "%")
        figure(f"filters_{preset}_lost_pct", 100.0 * lost_share(runs["off"], frames, edge >= SMOOTH), "%")
    return 0


if __name__ == "__main__":
    sys.exit(main())
