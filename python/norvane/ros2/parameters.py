"""The node's parameters: the camera's controls and the node's own settings, with descriptors."""

from __future__ import annotations

from typing import Any, Dict, Tuple

from rcl_interfaces.msg import IntegerRange, ParameterDescriptor, ParameterType
from rclpy.qos import DurabilityPolicy, HistoryPolicy, QoSProfile, ReliabilityPolicy

from ..camera import Camera
from ..errors import CameraError
from ..filters import PRESETS, preset_name
from .messages import DEPTH_ENCODINGS

# Camera controls, by the property name norvane gives them; the depth
# filters are set as a preset name.
CONTROLS = ("range_mm", "frame_rate", "skip", "mode", "filters")
# Chosen once, when the node starts.
OUTPUTS = ("depth", "raw")
DEFAULT_FRAME_ID = "norvane_depth_optical_frame"

# "default" is what rviz2 and most subscribers ask for: reliable, so both
# reliable and best-effort subscribers receive it. "sensor_data" is best
# effort: only best-effort subscribers receive it.
QOS = {
    "default": QoSProfile(depth=5, reliability=ReliabilityPolicy.RELIABLE, history=HistoryPolicy.KEEP_LAST,
                          durability=DurabilityPolicy.VOLATILE),
    "sensor_data": QoSProfile(depth=5, reliability=ReliabilityPolicy.BEST_EFFORT, history=HistoryPolicy.KEEP_LAST,
                              durability=DurabilityPolicy.VOLATILE),
}

_HQVGA_RANGES_MM = (2000, 4000)


def _describe(kind: int, text: str, *, read_only: bool = False, low: int = 0, high: int = 0,
              step: int = 0) -> ParameterDescriptor:
    descriptor = ParameterDescriptor(type=kind, description=text, read_only=read_only)
    if high:
        descriptor.integer_range = [IntegerRange(from_value=low, to_value=high, step=step)]
    return descriptor


def _read(camera: Camera, name: str, absent: Any) -> Any:
    try:
        value = getattr(camera, name)
    except CameraError:
        return absent
    return list(value) if isinstance(value, tuple) else value


def declarations(camera: Camera) -> Dict[str, Tuple[Any, ParameterDescriptor]]:
    """Every parameter's initial value and descriptor, the controls as the camera has them now.

    A control the device lacks, or cannot set, is read-only; a recording's
    controls are all read-only (they are what was recorded).
    """
    controls = camera.controls
    settable = {name: controls[name].applies and controls[name].writable for name in CONTROLS if name in controls}
    hqvga = camera.info.device == "hqvga"
    rate = controls["frame_rate"]
    top = int(rate.values.split(" to ")[1]) if settable["frame_rate"] else 0
    low, high = _HQVGA_RANGES_MM
    return {
        "range_mm": (_read(camera, "range_mm", 0), _describe(
            ParameterType.PARAMETER_INTEGER, f"measuring range, mm: {controls['range_mm'].values}",
            read_only=not settable["range_mm"],
            **({"low": low, "high": high, "step": high - low} if hqvga and settable["range_mm"] else {}))),
        "frame_rate": (_read(camera, "frame_rate", 0), _describe(
            ParameterType.PARAMETER_INTEGER,
            f"sensor frame rate, frames per second: {rate.values}" + (f" ({rate.note})" if rate.note else ""),
            read_only=not settable["frame_rate"], low=1, high=top, step=1)),
        "skip": (_read(camera, "skip", [0, 1]), _describe(
            ParameterType.PARAMETER_INTEGER_ARRAY,
            "[skip, cycle]: skip of every cycle captures are dropped, 0 <= skip < cycle; [0, 1] delivers all",
            read_only=not settable["skip"])),
        "mode": (_read(camera, "mode", "none"), _describe(
            ParameterType.PARAMETER_STRING,
            "VGA frequency mode: 'single' (1250 mm range) or 'dual' (4500 mm); setting it restarts the stream"
            if settable["mode"] else f"VGA frequency mode: {controls['mode'].note or 'not settable'}",
            read_only=not settable["mode"])),
        "filters": (preset_name(camera.filters) or "custom", _describe(
            ParameterType.PARAMETER_STRING,
            f"depth filter preset: {', '.join(repr(p) for p in PRESETS)}; removed pixels have no depth"
            + ("; a recording replays the depth as it was filtered when recorded"
               if camera.info.connection == "recording" else ""),
            read_only=camera.info.connection == "recording")),
        "output": ("depth", _describe(
            ParameterType.PARAMETER_STRING, "'depth' (depth, amplitude, confidence, points) or 'raw' (raw images); "
            "chosen at start", read_only=True)),
        "depth_encoding": ("32FC1", _describe(
            ParameterType.PARAMETER_STRING, "'32FC1' (metres, NaN where none) or '16UC1' (millimetres, 0 where none)")),
        "publish_points": (True, _describe(ParameterType.PARAMETER_BOOL, "publish ~/points (PointCloud2)")),
        "qos": ("default", _describe(
            ParameterType.PARAMETER_STRING,
            "'default' (reliable: every subscriber receives it) or 'sensor_data' (best effort: "
            "only best-effort subscribers receive it)")),
        "frame_id": (DEFAULT_FRAME_ID, _describe(
            ParameterType.PARAMETER_STRING, "frame id of every header: the camera's optical frame (REP 103)")),
    }  # fmt: skip


def camera_value(name: str, value: Any) -> Any:
    """A parameter's value as the camera's property takes it."""
    if name == "skip":
        return tuple(int(v) for v in value)
    return value


def check_setting(name: str, value: Any) -> None:
    """Raises ValueError for a setting of the node's own that it cannot take."""
    choices = {"depth_encoding": DEPTH_ENCODINGS, "qos": tuple(QOS), "output": OUTPUTS}.get(name)
    if choices is not None and value not in choices:
        raise ValueError(f"{name} must be {' or '.join(repr(c) for c in choices)}, got {value!r}")
    if name == "frame_id" and not value:
        raise ValueError("frame_id must not be empty")
