"""ROS 2 messages from a frame's numpy planes: images, the lens, the point cloud.

numpy fills each message's data in place; nothing loops over pixels in Python.
"""

from __future__ import annotations

import array
from functools import lru_cache
from typing import Any, Dict, Optional, Tuple

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


def camera_info(head: Header, lens: Intrinsics) -> CameraInfo:
    """The depth image's pinhole lens: K, P = [K | 0], no distortion, identity rectification."""
    k = lens.camera_matrix()
    p = np.hstack([k, np.zeros((3, 1))])
    return CameraInfo(header=head, height=lens.height, width=lens.width, distortion_model="plumb_bob",
                      d=[0.0] * 5, k=k.reshape(-1).tolist(), r=np.eye(3).reshape(-1).tolist(),
                      p=p.reshape(-1).tolist())


@lru_cache(maxsize=4)
def _rays(lens: Intrinsics) -> Tuple[npt.NDArray[np.float32], ...]:
    """The x, y and z planes of each pixel's ray: a point is its ray times its depth."""
    rays = lens.rays().astype(np.float32)
    return tuple(np.ascontiguousarray(rays[..., axis]) for axis in range(3))


def _data_view(message: Any, shape: Tuple[int, ...], dtype: str) -> npt.NDArray[Any]:
    """Gives message a zeroed data field of this shape and type, and a numpy view that writes into it."""
    message.data = array.array("B", bytes(int(np.prod(shape)) * np.dtype(dtype).itemsize))
    return np.frombuffer(message.data, dtype).reshape(shape)


class Messages:
    """Builds the messages of one stream of frames: one message object per kind, kept across frames.

    Each kind's message is made once for its size and encoding; every frame
    then gets a new header and numpy refills the data in place. Making a
    message and its 0.2 to 0.7 MB data anew for every frame costs more than
    filling it, and rclpy takes the data field as it is. So a message must be
    published before the next of its kind is built (publish() has copied it
    when it returns).
    """

    def __init__(self) -> None:
        self._images: Dict[str, Tuple[Image, npt.NDArray[Any]]] = {}
        self._cloud: Optional[Tuple[PointCloud2, npt.NDArray[np.float32]]] = None
        self._info: Optional[Tuple[Intrinsics, CameraInfo]] = None
        # The depth in metres, NaN where none: made once per frame for the depth image and the cloud.
        self._metres: Optional[npt.NDArray[np.float32]] = None
        self._metres_of: Optional[npt.NDArray[np.float32]] = None

    def _image(self, head: Header, kind: str, shape: Tuple[int, ...], dtype: str) -> Tuple[Image, npt.NDArray[Any]]:
        held = self._images.get(kind)
        if held is None or held[1].shape != shape or held[1].dtype != np.dtype(dtype):
            height, width = shape
            message = Image(height=height, width=width, encoding=_ENCODINGS[dtype], is_bigendian=0,
                            step=width * np.dtype(dtype).itemsize)
            held = self._images[kind] = (message, _data_view(message, shape, dtype))
        held[0].header = head
        return held

    def _depth_metres(self, depth_mm: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
        """Metres, NaN for the pixels without a depth (the ones Frame.points() leaves out)."""
        if self._metres_of is not depth_mm:
            if self._metres is None or self._metres.shape != depth_mm.shape:
                self._metres = np.empty(depth_mm.shape, np.float32)
            metres = self._metres
            np.divide(depth_mm, np.float32(1000.0), out=metres)
            valid = np.greater(metres, 0)
            valid &= np.less(metres, np.inf)
            np.copyto(metres, np.float32(np.nan), where=~valid)
            self._metres_of = depth_mm  # held, so that identity means this frame's plane
        assert self._metres is not None
        return self._metres

    def image(self, head: Header, kind: str, plane: npt.NDArray[Any]) -> Image:
        """A mono image of a float32 (32FC1) or int16 (16SC1) plane, little-endian."""
        message, values = self._image(head, kind, plane.shape, "<f4" if plane.dtype == np.float32 else "<i2")
        np.copyto(values, plane)
        return message

    def depth(self, head: Header, depth_mm: npt.NDArray[np.float32], encoding: str) -> Image:
        """32FC1: metres, NaN where there is no depth (REP 118); 16UC1: whole millimetres, 0 where none."""
        metres = self._depth_metres(depth_mm)
        if encoding == "32FC1":
            message, values = self._image(head, "depth", depth_mm.shape, "<f4")
            np.copyto(values, metres)
            return message
        message, values = self._image(head, "depth", depth_mm.shape, "<u2")
        millimetres = np.clip(np.rint(np.where(np.isnan(metres), np.float32(0), depth_mm)), 0, _MAX_MM)
        np.copyto(values, millimetres, casting="unsafe")
        return message

    def camera_info(self, head: Header, lens: Intrinsics) -> CameraInfo:
        """The lens's CameraInfo (see camera_info), made again only when the lens changes."""
        if self._info is None or self._info[0] is not lens:
            self._info = (lens, camera_info(head, lens))
        message = self._info[1]
        message.header = head
        return message

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
        shape = (height, width, len(_POINT_FIELDS))
        if self._cloud is None or self._cloud[1].shape != shape:
            fields = [PointField(name=name, offset=4 * i, datatype=PointField.FLOAT32, count=1)
                      for i, name in enumerate(_POINT_FIELDS)]
            message = PointCloud2(height=height, width=width, fields=fields, is_bigendian=False,
                                  point_step=_POINT_STEP, row_step=_POINT_STEP * width, is_dense=False)
            self._cloud = (message, _data_view(message, shape, "<f4"))
        message, cloud = self._cloud
        message.header = head
        metres = self._depth_metres(frame.depth)
        for axis, ray in enumerate(_rays(frame.intrinsics)):
            np.multiply(ray, metres, out=cloud[..., axis])
        cloud[..., 3] = frame.amplitude
        return message
