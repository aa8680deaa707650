"""The binary frame message the viewer sends to the browser.

One WebSocket binary message per frame, little-endian, a 32-byte header and
three planes of ``width * height`` unsigned 16-bit values, row by row::

    offset  size  field
         0     4  magic b"NVF1"
         4     2  width
         6     2  height
         8     4  index (capture number since start, modulo 2**32)
        12     4  confidence scale (float32: confidence = value * scale)
        16     8  timestamp_ms (float64, the sensor's)
        24     8  age_ms (float64, time from reaching the camera to leaving the server)
        32        depth (millimetres, rounded; 0 = no distance,
                  65535 = removed by a depth filter, or a
                  depth beyond 16 bits, which no sensor here
                  measures)
                  amplitude (sample units, rounded)
                  confidence (value / scale, rounded)

Colours are applied in the browser: the board only rounds and packs.
"""

from __future__ import annotations

import struct
import time
from typing import Any

import numpy as np
import numpy.typing as npt

import norvane
from norvane.filters import Reason

MAGIC = b"NVF1"
HEADER = struct.Struct("<4sHHIfdd")
AGE_OFFSET = 24
AGE = struct.Struct("<d")
PLANES = 3
U16_MAX = 65535
# The depth value of a pixel a filter removed (the decode's own misses stay 0).
REMOVED = U16_MAX


def _pack(plane: Any, out: npt.NDArray[np.uint16], scale: float = 1.0) -> None:
    # fmax turns NaN into 0: no distance, no light.
    values = np.fmax(np.asarray(plane, dtype=np.float32), np.float32(0.0))
    if scale != 1.0:
        values *= np.float32(1.0 / scale)
    np.fmin(values, np.float32(U16_MAX), out=values)
    np.rint(values, out=out, casting="unsafe")


def confidence_scale(confidence: npt.NDArray[np.float32]) -> float:
    """1 for confidence in sample units, 1/65535 for confidence given from 0 to 1."""
    top = float(np.nanmax(confidence)) if confidence.size else 0.0
    return 1.0 / U16_MAX if top <= 1.0 else 1.0


def encode(frame: norvane.Frame) -> bytearray:
    """Packs a depth frame's depth, amplitude and confidence planes into one message.

    The age field is left at 0: :func:`with_age` fills it in for each client.
    """
    depth = frame.depth
    if depth is None or frame.amplitude is None or frame.confidence is None:
        raise ValueError("the viewer shows depth frames; this one has no depth planes")
    height, width = depth.shape
    scale = confidence_scale(frame.confidence)
    message = bytearray(HEADER.size + PLANES * 2 * width * height)
    HEADER.pack_into(message, 0, MAGIC, width, height, int(frame.index) & 0xFFFFFFFF, scale,
                     float(frame.timestamp_ms), 0.0)
    planes = np.frombuffer(message, dtype="<u2", offset=HEADER.size).reshape(PLANES, height, width)
    _pack(depth, planes[0])
    if frame.invalid is not None:
        planes[0][frame.invalid > Reason.NO_DEPTH] = REMOVED
    _pack(frame.amplitude, planes[1])
    _pack(frame.confidence, planes[2], scale)
    return message


def with_age(message: bytearray, received_ns: int, now_ns: int | None = None) -> bytes:
    """A copy of the message carrying the time since `received_ns` in milliseconds (host monotonic clock)."""
    now = time.monotonic_ns() if now_ns is None else now_ns
    age = AGE.pack(max(0, now - received_ns) / 1e6)
    return b"".join((memoryview(message)[:AGE_OFFSET], age, memoryview(message)[AGE_OFFSET + AGE.size:]))


def decode(message: bytes) -> dict[str, Any]:
    """Unpacks a message (for tests and tools; the browser has its own reader)."""
    magic, width, height, index, scale, timestamp_ms, age_ms = HEADER.unpack_from(message, 0)
    if magic != MAGIC:
        raise ValueError("not a frame message")
    planes = np.frombuffer(message, dtype="<u2", offset=HEADER.size).reshape(PLANES, height, width)
    return {"width": width, "height": height, "index": index, "confidence_scale": scale,
            "timestamp_ms": timestamp_ms, "age_ms": age_ms,
            "depth": planes[0], "amplitude": planes[1], "confidence": planes[2]}
