"""norvane: the Norvane time-of-flight depth cameras from Python.

    import norvane

    with norvane.open() as cam:              # the first camera found
        cam.start()
        for frame in cam.frames():
            points = frame.points()          # (N, 3) float32, millimetres
            ...

NorvaneDepthCamera remains the compatibility interface over the same library.
"""

from .camera import KIT_FOV_DEG, Camera, CameraInfo, Control, Frame, FrameSink, LiveCamera, find_cameras, open
from .errors import CameraError, CameraTimeout, RecordingError
from . import filters
from .filters import FilterChain
from .geometry import Intrinsics, depth_to_points, save_ply

__all__ = [
    "open",
    "Camera",
    "LiveCamera",
    "Frame",
    "FrameSink",
    "CameraInfo",
    "Control",
    "CameraError",
    "CameraTimeout",
    "RecordingError",
    "Intrinsics",
    "depth_to_points",
    "save_ply",
    "find_cameras",
    "KIT_FOV_DEG",
    "filters",
    "FilterChain",
]

__version__ = "0.1.0"
