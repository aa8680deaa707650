"""Control messages from the browser: parsed, checked and applied to the camera.

A message is a JSON object ``{"type": "set", "name": NAME, "value": VALUE}``
with NAME one of ``range_mm``, ``frame_rate`` (whole numbers), ``skip`` (a
pair ``[skip, cycle]``) or ``filters`` (a preset name of norvane.filters). Anything else is refused with a reason; the camera's own
checks refuse values it cannot take.
"""

from __future__ import annotations

import json
from typing import Any, Callable, Dict, Tuple

import norvane
from norvane import filters

MAX_MESSAGE = 1024


class Refused(Exception):
    """A control message that is not applied; the text says why."""


def _integer(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise Refused(f"{name} must be a whole number, not {json.dumps(value)[:40]}")
    return value


def _pair(name: str, value: Any) -> Tuple[int, int]:
    if not isinstance(value, list) or len(value) != 2:
        raise Refused(f"{name} must be a pair [skip, cycle]")
    return _integer(name, value[0]), _integer(name, value[1])


def _preset(name: str, value: Any) -> str:
    if not isinstance(value, str) or value not in filters.PRESETS:
        raise Refused(f"{name} must be one of {', '.join(filters.PRESETS)}, not {json.dumps(value)[:40]}")
    return value


CHECKS: Dict[str, Callable[[str, Any], Any]] = {"range_mm": _integer, "frame_rate": _integer, "skip": _pair,
                                                "filters": _preset}


def parse(text: str) -> Tuple[str, Any]:
    """The control name and value a message asks for; raises Refused otherwise."""
    if len(text) > MAX_MESSAGE:
        raise Refused(f"message longer than {MAX_MESSAGE} characters")
    try:
        message = json.loads(text)
    except ValueError:
        raise Refused("not a JSON message") from None
    if not isinstance(message, dict) or message.get("type") != "set":
        raise Refused('expected {"type": "set", "name": ..., "value": ...}')
    name = message.get("name")
    if not isinstance(name, str) or name not in CHECKS:
        raise Refused(f"unknown control {json.dumps(name)[:40]}; known: {', '.join(CHECKS)}")
    if "value" not in message:
        raise Refused(f"no value for {name}")
    return name, CHECKS[name](name, message["value"])


def values(camera: norvane.Camera) -> Dict[str, Any]:
    """The camera's current control values, as the page shows them (None where it has none)."""
    out: Dict[str, Any] = {}
    for name in CHECKS:
        try:
            value = getattr(camera, name)
        except norvane.CameraError:
            value = None
        if isinstance(value, filters.FilterChain):
            value = filters.preset_name(value) or "custom"
        out[name] = list(value) if isinstance(value, tuple) else value
    return out


def describe(camera: norvane.Camera) -> Dict[str, Dict[str, Any]]:
    """What the page needs to know of each control: whether it can be set, its values and unit."""
    controls = camera.controls
    described: Dict[str, Dict[str, Any]] = {
        name: {"writable": controls[name].applies and controls[name].writable, "unit": controls[name].unit,
               "values": controls[name].values, "note": controls[name].note}
        for name in CHECKS if name in controls}
    live = camera.info.connection != "recording"
    described["filters"] = {"writable": live, "unit": None, "values": "a preset", "presets": list(filters.PRESETS),
                            "note": "" if live else "a recording replays the depth as it was captured"}
    return described
