"""ROS 2 messages from a frame's numpy planes: images, the lens, the point cloud.

numpy fills each message's data in place; nothing loops over pixels in Python.
"""

from __future__ import annotations

import array
from functools import lru_cache
from typing import Any, Callable, Dict, Optional, Tuple

import numpy as np
import numpy.typing as npt
from builtin_interfaces.msg import Time
from sensor_msgs.msg import CameraInfo, Image, PointCloud2, PointField
from std_msgs.msg import Header

from ..camera import Frame
from ..geometry import Intrinsics

DEPTH_ENCODINGS = ("32FC1", "16UC1")
_ENCODINGS = {"<f4": "32FC1", "<u2": "16UC1", "<i2": "16SC1"}
_MAX_MM = 65535
# x, y, z in metres and intensity, float32 each, in this order.
_POINT_FIELDS = ("x", "y", "z", "intensity")
_POINT_STEP = 4 * len(_POINT_FIELDS)


def header(stamp_ns: int, frame_id: str) -> Header:
    return Header(stamp=Time(sec=stamp_ns // 1_000_000_000, nanosec=stamp_ns % 1_000_000_000), frame_id=frame_id)


def _depth_or_nan(depth_mm: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """Millimetres, NaN for the pixels without a depth (the ones Frame.points() leaves out)."""
    return np.where(np.isfinite(depth_mm) & (depth_mm > 0), depth_mm, np.float32(np.nan))


def camera_info(head: Header, lens: Intrinsics) -> CameraInfo:
    """The depth image's pinhole lens: K, P = [K | 0], no distortion, identity rectification."""
    k = lens.camera_matrix()
    p = np.hstack([k, np.zeros((3, 1))])
    return CameraInfo(header=head, height=lens.height, width=lens.width, distortion_model="plumb_bob",
                      d=[0.0] * 5, k=k.reshape(-1).tolist(), r=np.eye(3).reshape(-1).tolist(),
                      p=p.reshape(-1).tolist())


@lru_cache(maxsize=4)
def _rays_metres(lens: Intrinsics) -> Tuple[npt.NDArray[np.float32], ...]:
    """The x, y and z planes of each pixel's unit ray, in metres per millimetre of depth."""
    rays = (lens.rays() / 1000.0).astype(np.float32)
    return tuple(np.ascontiguousarray(rays[..., axis]) for axis in range(3))


class Messages:
    """Builds the messages of one stream of frames, each kind's data in a buffer of its own.

    A large message allocated anew for every frame costs more than filling
    it: each kind's data buffer is kept and refilled, so a message must be
    published before the next of its kind is built (publish() has copied it
    when it returns).
    """

    def __init__(self) -> None:
        self._buffers: Dict[str, Tuple["array.array[int]", npt.NDArray[Any]]] = {}

    def _buffer(self, kind: str, shape: Tuple[int, ...], dtype: str) -> Tuple["array.array[int]", npt.NDArray[Any]]:
        held = self._buffers.get(kind)
        if held is None or held[1].shape != shape or held[1].dtype != np.dtype(dtype):
            data = array.array("B", bytes(int(np.prod(shape)) * np.dtype(dtype).itemsize))
            held = self._buffers[kind] = (data, np.frombuffer(data, dtype).reshape(shape))
        return held

    def _image(self, head: Header, kind: str, plane: npt.NDArray[Any], dtype: str,
               fill: Callable[[npt.NDArray[Any]], None]) -> Image:
        height, width = plane.shape
        data, values = self._buffer(kind, plane.shape, dtype)
        fill(values)
        message = Image(header=head, height=height, width=width, encoding=_ENCODINGS[dtype],
                        is_bigendian=0, step=width * values.itemsize)
        message.data = data  # not copied again
        return message

    def image(self, head: Header, kind: str, plane: npt.NDArray[Any]) -> Image:
        """A mono image of a float32 (32FC1) or int16 (16SC1) plane, little-endian."""
        dtype = "<f4" if plane.dtype == np.float32 else "<i2"
        return self._image(head, kind, plane, dtype, lambda values: np.copyto(values, plane))

    def depth(self, head: Header, depth_mm: npt.NDArray[np.float32], encoding: str) -> Image:
        """32FC1: metres, NaN where there is no depth (REP 118); 16UC1: whole millimetres, 0 where none."""
        depth = _depth_or_nan(depth_mm)
        if encoding == "32FC1":
            return self._image(head, "depth", depth, "<f4",
                               lambda values: np.divide(depth, np.float32(1000.0), out=values))
        millimetres = np.clip(np.rint(np.nan_to_num(depth, nan=0.0, copy=False)), 0, _MAX_MM)
        return self._image(head, "depth", depth, "<u2",
                           lambda values: np.copyto(values, millimetres, casting="unsafe"))

    def point_cloud(self, head: Header, frame: Frame) -> Optional[PointCloud2]:
        """An organized cloud, one point per pixel in row-major order; None without a lens.

        x, y, z: float32 metres in the optical frame (x right, y down, z
        forward), NaN for a pixel without a depth; intensity: the pixel's
        amplitude. The points with a depth are Frame.points() in metres, to
        float32 rounding.
        """
        if frame.depth is None or frame.amplitude is None or frame.intrinsics is None:
            return None
        height, width = frame.depth.shape
        data, cloud = self._buffer("points", (height, width, len(_POINT_FIELDS)), "<f4")
        depth = _depth_or_nan(frame.depth)
        for axis, ray in enumerate(_rays_metres(frame.intrinsics)):
            np.multiply(ray, depth, out=cloud[..., axis])
        cloud[..., 3] = frame.amplitude
        fields = [PointField(name=name, offset=4 * i, datatype=PointField.FLOAT32, count=1)
                  for i, name in enumerate(_POINT_FIELDS)]
        message = PointCloud2(header=head, height=height, width=width, fields=fields, is_bigendian=False,
                              point_step=_POINT_STEP, row_step=_POINT_STEP * width, is_dense=False)
        message.data = data
        return message
