"""ROS 2 messages from a frame's numpy planes: images, the lens, the point cloud.

Every builder copies a plane's bytes once into the message (array.array
from bytes); none loops over pixels in Python.
"""

from __future__ import annotations

import array
from functools import lru_cache
from typing import Any, Optional

import numpy as np
import numpy.typing as npt
from builtin_interfaces.msg import Time
from sensor_msgs.msg import CameraInfo, Image, PointCloud2, PointField
from std_msgs.msg import Header

from ..camera import Frame
from ..geometry import Intrinsics, millimetres_to_metres

DEPTH_ENCODINGS = ("32FC1", "16UC1")
_ENCODINGS = {np.dtype(np.float32): "32FC1", np.dtype(np.uint16): "16UC1", np.dtype(np.int16): "16SC1"}
_MAX_MM = 65535
# x, y, z in metres and intensity, float32 each, in this order.
_POINT_FIELDS = ("x", "y", "z", "intensity")
_POINT_STEP = 4 * len(_POINT_FIELDS)


def header(stamp_ns: int, frame_id: str) -> Header:
    return Header(stamp=Time(sec=stamp_ns // 1_000_000_000, nanosec=stamp_ns % 1_000_000_000), frame_id=frame_id)


def _bytes(values: npt.NDArray[Any]) -> "array.array[int]":
    data = array.array("B")
    data.frombytes(np.ascontiguousarray(values).reshape(-1).view(np.uint8).data)
    return data


def image(head: Header, plane: npt.NDArray[Any]) -> Image:
    """A mono image of a float32 (32FC1), uint16 (16UC1) or int16 (16SC1) plane, little-endian."""
    height, width = plane.shape
    plane = plane.astype(plane.dtype.newbyteorder("<"), copy=False)
    return Image(header=head, height=height, width=width, encoding=_ENCODINGS[plane.dtype], is_bigendian=0,
                 step=width * plane.itemsize, data=_bytes(plane))


def _valid(depth: npt.NDArray[np.float32]) -> npt.NDArray[np.bool_]:
    # The pixels Frame.points() keeps.
    return np.isfinite(depth) & (depth > 0)


def depth_plane(depth_mm: npt.NDArray[np.float32], encoding: str) -> npt.NDArray[Any]:
    """32FC1: metres, NaN where there is no depth (REP 118); 16UC1: whole millimetres, 0 where none."""
    valid = _valid(depth_mm)
    if encoding == "32FC1":
        metres = millimetres_to_metres(depth_mm)
        metres[~valid] = np.nan
        return metres
    millimetres = np.rint(np.where(valid, depth_mm, 0.0))
    np.clip(millimetres, 0, _MAX_MM, out=millimetres)
    return millimetres.astype(np.uint16)


def camera_info(head: Header, lens: Intrinsics) -> CameraInfo:
    """The depth image's pinhole lens: K, P = [K | 0], no distortion, identity rectification."""
    k = lens.camera_matrix()
    p = np.hstack([k, np.zeros((3, 1))])
    return CameraInfo(header=head, height=lens.height, width=lens.width, distortion_model="plumb_bob",
                      d=[0.0] * 5, k=k.reshape(-1).tolist(), r=np.eye(3).reshape(-1).tolist(),
                      p=p.reshape(-1).tolist())


@lru_cache(maxsize=4)
def _rays_metres(lens: Intrinsics) -> npt.NDArray[np.float32]:
    """Each pixel's unit ray scaled to metres per millimetre of depth, (height, width, 3)."""
    return (lens.rays() / 1000.0).astype(np.float32)


def point_cloud(head: Header, frame: Frame) -> Optional[PointCloud2]:
    """An organized cloud, one point per pixel in row-major order; None without a lens.

    x, y, z: float32 metres in the optical frame (x right, y down, z forward),
    NaN for a pixel without a depth; intensity: the pixel's amplitude. The
    points with a depth are Frame.points() in metres, to float32 rounding.
    """
    if frame.depth is None or frame.amplitude is None or frame.intrinsics is None:
        return None
    height, width = frame.depth.shape
    cloud = np.empty((height, width, len(_POINT_FIELDS)), dtype="<f4")
    xyz = cloud[..., :3]
    np.multiply(_rays_metres(frame.intrinsics), frame.depth[..., np.newaxis], out=xyz)
    np.copyto(xyz, np.float32(np.nan), where=~_valid(frame.depth)[..., np.newaxis])
    cloud[..., 3] = frame.amplitude
    fields = [PointField(name=name, offset=4 * i, datatype=PointField.FLOAT32, count=1)
              for i, name in enumerate(_POINT_FIELDS)]
    return PointCloud2(header=head, height=height, width=width, fields=fields, is_bigendian=False,
                       point_step=_POINT_STEP, row_step=_POINT_STEP * width, data=_bytes(cloud),
                       is_dense=False)
