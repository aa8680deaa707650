"""Lens geometry: pinhole intrinsics, depth to points, PLY files.

A time-of-flight pixel measures the distance along its ray, not the z
coordinate: a point lies at `depth * r` where `r` is the pixel's unit ray.
Pixel (column u, row v) has its centre at image coordinates (u, v); its ray
is ((u - cx) / fx, (v - cy) / fy, 1), normalised. The camera frame has x to
the right, y down and z forward, in millimetres.

Calibration file (JSON), for a real sensor:

    {"model": "pinhole", "width": 240, "height": 180,
     "fx": 171.4, "fy": 171.4, "cx": 119.5, "cy": 89.5}

fx, fy: focal lengths in pixels; cx, cy: the principal point in pixels, in
the convention above (119.5 is the middle of a 240-pixel row).
"""

import json
import math
import os
from dataclasses import asdict, dataclass
from functools import lru_cache
from pathlib import Path
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

__all__ = ["Intrinsics", "depth_to_points", "save_ply"]

PathLike = Union[str, "os.PathLike[str]"]
Points = npt.NDArray[np.float32]

_MODELS = ("pinhole",)


@dataclass(frozen=True)
class Intrinsics:
    """Pinhole intrinsics of the depth image, in pixels."""

    width: int
    height: int
    fx: float
    fy: float
    cx: float
    cy: float
    model: str = "pinhole"

    def __post_init__(self) -> None:
        if self.model not in _MODELS:
            raise ValueError(f"lens model {self.model!r} is not supported (supported: {', '.join(_MODELS)})")
        if self.width <= 0 or self.height <= 0:
            raise ValueError(f"image size must be positive, got {self.width} x {self.height}")
        for name in ("fx", "fy", "cx", "cy"):
            if not math.isfinite(getattr(self, name)):
                raise ValueError(f"{name} must be a finite number")
        if self.fx <= 0 or self.fy <= 0:
            raise ValueError(f"focal lengths must be positive, got fx {self.fx}, fy {self.fy}")

    @classmethod
    def from_fov(cls, width: int, height: int, horizontal_fov_deg: float) -> "Intrinsics":
        """A centred pinhole with square pixels and the given horizontal field of view."""
        if not 0.0 < horizontal_fov_deg < 180.0:
            raise ValueError(f"horizontal field of view must lie between 0 and 180 degrees, got {horizontal_fov_deg}")
        focal = (width / 2.0) / math.tan(math.radians(horizontal_fov_deg) / 2.0)
        return cls(width, height, focal, focal, (width - 1) / 2.0, (height - 1) / 2.0)

    @classmethod
    def load(cls, path: PathLike) -> "Intrinsics":
        """Reads a calibration file (the JSON format in this module's documentation)."""
        try:
            data: Any = json.loads(Path(path).read_text())
        except (OSError, ValueError) as error:
            raise ValueError(f"cannot read the calibration file {os.fspath(path)}: {error}") from None
        if not isinstance(data, dict):
            raise ValueError(f"calibration file {os.fspath(path)}: expected a JSON object")
        try:
            return cls(
                width=_integer(data["width"]),
                height=_integer(data["height"]),
                fx=float(data["fx"]),
                fy=float(data["fy"]),
                cx=float(data["cx"]),
                cy=float(data["cy"]),
                model=str(data.get("model", "pinhole")),
            )
        except KeyError as missing:
            raise ValueError(f"calibration file {os.fspath(path)}: missing key {missing}") from None
        except (TypeError, ValueError) as error:
            raise ValueError(f"calibration file {os.fspath(path)}: {error}") from None

    def save(self, path: PathLike) -> None:
        Path(path).write_text(json.dumps(asdict(self), indent=2) + "\n")

    @property
    def horizontal_fov_deg(self) -> float:
        return math.degrees(2.0 * math.atan((self.width / 2.0) / self.fx))

    def camera_matrix(self) -> npt.NDArray[np.float64]:
        """The 3 x 3 matrix K that maps camera coordinates to homogeneous pixels."""
        return np.array([[self.fx, 0.0, self.cx], [0.0, self.fy, self.cy], [0.0, 0.0, 1.0]])

    def rays(self) -> npt.NDArray[np.float64]:
        """Unit ray of every pixel, shape (height, width, 3); read-only and shared."""
        return _unit_rays(self)


@lru_cache(maxsize=8)
def _unit_rays(k: Intrinsics) -> npt.NDArray[np.float64]:
    u = (np.arange(k.width, dtype=np.float64) - k.cx) / k.fx
    v = (np.arange(k.height, dtype=np.float64) - k.cy) / k.fy
    rays = np.empty((k.height, k.width, 3))
    rays[..., 0] = u[np.newaxis, :]
    rays[..., 1] = v[:, np.newaxis]
    rays[..., 2] = 1.0
    rays /= np.linalg.norm(rays, axis=2, keepdims=True)
    rays.flags.writeable = False
    return rays


def _integer(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise ValueError(f"expected an integer, got {value!r}")
    return value


def depth_to_points(depth: npt.NDArray[Any], intrinsics: Intrinsics) -> Points:
    """(N, 3) float32 points in millimetres from a depth image of distances along the rays.

    Pixels without a distance (zero, negative, not finite) are dropped; the
    points keep the row-major order of their pixels.
    """
    if depth.shape != (intrinsics.height, intrinsics.width):
        raise ValueError(
            f"depth image is {depth.shape[1] if depth.ndim == 2 else '?'} x {depth.shape[0]}, "
            f"the intrinsics describe {intrinsics.width} x {intrinsics.height}"
        )
    distance = depth.astype(np.float64, copy=False)
    valid = np.isfinite(distance) & (distance > 0)
    points = intrinsics.rays()[valid] * distance[valid][:, np.newaxis]
    return points.astype(np.float32)


def save_ply(path: PathLike, points: npt.ArrayLike, colors: Optional[npt.ArrayLike] = None) -> None:
    """Writes points (N, 3) as a binary PLY point cloud, with colours (N, 3) if given.

    Colours are 8-bit RGB values (0..255), or floats in 0..1.
    """
    from plyfile import PlyData, PlyElement  # type: ignore[import-untyped]

    xyz = np.asarray(points)
    if xyz.ndim != 2 or xyz.shape[1] != 3:
        raise ValueError(f"points must have shape (N, 3), got {xyz.shape}")
    fields = [("x", "<f4"), ("y", "<f4"), ("z", "<f4")]
    rgb: Optional[npt.NDArray[np.uint8]] = None
    if colors is not None:
        c = np.asarray(colors)
        if c.shape != xyz.shape:
            raise ValueError(f"colors must have the points' shape {xyz.shape}, got {c.shape}")
        if np.issubdtype(c.dtype, np.floating):
            c = np.clip(np.rint(c * 255.0), 0, 255)
        elif c.size and (c.min() < 0 or c.max() > 255):
            raise ValueError("integer colors must lie within 0..255")
        rgb = c.astype(np.uint8)
        fields += [("red", "u1"), ("green", "u1"), ("blue", "u1")]
    vertices = np.empty(len(xyz), dtype=fields)
    for i, axis in enumerate("xyz"):
        vertices[axis] = xyz[:, i]
    if rgb is not None:
        for i, channel in enumerate(("red", "green", "blue")):
            vertices[channel] = rgb[:, i]
    PlyData([PlyElement.describe(vertices, "vertex")], byte_order="<").write(os.fspath(path))
