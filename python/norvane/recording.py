"""Record what a camera delivers, and replay a recording as a Camera.

Camera.record(path) starts a Recording; norvane.open("session.mcap") (or
open_recording) gives a RecordedCamera. The file format, a ROS 2 bag in
MCAP, is norvane._bag's.
"""

from __future__ import annotations

import atexit
import dataclasses
import os
import sys
import threading
import warnings
import weakref
from types import TracebackType
from typing import Any, Dict, Optional, Sequence, Tuple, Type

from ._bag import (
    COMPRESSIONS,
    DEPTH_PLANES,
    PLANE_TOPICS,
    Recorder,
    RecordingError,
    RecordingReader,
    RecordingSummary,
    Replay,
    depth_to_metres,
)
from .camera import Camera, CameraInfo, Control, Frame, _check_timeout, check_intrinsics
from .errors import CameraError
from .filters import FilterChain
from .geometry import Intrinsics

__all__ = [
    "Recording",
    "RecordedCamera",
    "RecordingError",
    "RecordingSummary",
    "open_recording",
    "Recorder",
    "RecordingReader",
    "depth_to_metres",
]


# --- the camera's side: Camera.record and a recording opened as a camera -------

def _check_path(path: "os.PathLike[str] | str", overwrite: bool) -> str:
    """Refuses a path before the recording starts: existing file, missing or unwritable folder."""
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a str or os.PathLike, not {type(path).__name__}")
    text = os.fspath(path)
    if not isinstance(text, str):
        raise TypeError("path must be a str path, not bytes")
    folder = os.path.dirname(os.path.abspath(text))
    if os.path.isdir(text):
        raise RecordingError(f"{text}: is a folder; name the recording's file")
    if os.path.lexists(text) and not overwrite:
        raise RecordingError(f"{text}: already exists (overwrite=True, or --overwrite, replaces it)")
    if not os.path.isdir(folder):
        raise RecordingError(f"{text}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise RecordingError(f"{text}: the folder {folder} is not writable")
    return text


def describe(camera: Camera) -> Dict[str, Any]:
    """What a recording keeps about the camera: its description, controls, depth filters and our version.

    The depth planes are recorded as the camera delivered them, filtered by
    the chain named under "filters" (the library's settings, {} when off).
    """
    from . import __version__

    controls: Dict[str, Any] = {}
    for name, control in camera.controls.items():
        if control.applies:
            try:
                controls[name] = camera._read_control(name)
            except CameraError:
                pass
    return {"info": dataclasses.asdict(camera.info), "controls": controls,
            "filters": camera.filters.parameters(), "version": __version__}


def _intrinsics_dict(intrinsics: Optional[Intrinsics]) -> Optional[Dict[str, Any]]:
    return dataclasses.asdict(intrinsics) if intrinsics is not None else None


class Recording:
    """Writes every frame a camera delivers (read() or frames()) to an MCAP file, until stop().

    Made by Camera.record(); a context manager. stop() returns a
    RecordingSummary (frames written, frames dropped because the writer fell
    behind) and raises RecordingError when the file could not be written to
    the end (a full disk, say): what was written before stays readable.
    """

    def __init__(self, camera: Camera, path: "os.PathLike[str] | str", *,
                 planes: Optional[Sequence[str]] = None, compression: str = "zstd",
                 overwrite: bool = False) -> None:
        if compression not in COMPRESSIONS:
            raise ValueError(f"compression must be one of {', '.join(COMPRESSIONS)}, not {compression!r}")
        if planes is not None:
            if isinstance(planes, str) or not all(isinstance(p, str) for p in planes):
                raise TypeError(f"planes must be a sequence of plane names, not {planes!r}")
        if camera.closed:
            raise CameraError(f"cannot record from {camera.info.source}: the camera is closed", -1)
        if camera._recording is not None:
            raise CameraError(f"{camera.info.source} is already recording to "
                              f"{camera._recording.path}; stop that recording first", -1)
        self.path: str = _check_path(path, overwrite)
        self._camera: Optional[Camera] = camera
        self._description = describe(camera)
        self._intrinsics = _intrinsics_dict(camera.intrinsics)
        self._options = {"compression": compression, "overwrite": overwrite}
        self._recorder: Optional[Recorder] = None
        self._lock = threading.Lock()
        self._summary: Optional[RecordingSummary] = None
        self._failed: Optional[str] = None
        if planes is not None:
            self._recorder = self._open(tuple(planes))
        camera._recording = self
        _active.add(self)

    def _open(self, planes: Tuple[str, ...]) -> Recorder:
        return Recorder(self.path, description=self._description, intrinsics=self._intrinsics,
                        planes=planes, compression=str(self._options["compression"]),
                        overwrite=bool(self._options["overwrite"]))

    @property
    def frames(self) -> int:
        """Frames written so far."""
        return self._recorder.frames if self._recorder is not None else 0

    @property
    def dropped(self) -> int:
        """Frames dropped so far: the writer fell behind, or the frame lacked a recorded plane."""
        return self._recorder.dropped if self._recorder is not None else 0

    def write(self, frame: Frame) -> None:
        """Queues one frame; called by the camera for every frame it delivers."""
        planes = {"depth": frame.depth, "amplitude": frame.amplitude,
                  "confidence": frame.confidence, "raw": frame.raw}
        with self._lock:
            if self._summary is not None or self._failed is not None:
                return
            if self._recorder is None:  # the planes of the first frame
                try:
                    self._recorder = self._open(tuple(p for p in PLANE_TOPICS if planes[p] is not None))
                except RecordingError as error:  # reported by stop(), not by the camera's read
                    self._failed = str(error)
                    return
            recorder = self._recorder
        if any(planes[p] is None for p in recorder.planes):
            with recorder._lock:
                recorder.dropped += 1
            return
        recorder.write(planes, frame.timestamp_ms, frame.index, frame.received_ns)

    def stop(self) -> RecordingSummary:
        """Ends the recording and the file; harmless when already stopped."""
        return self._stop()

    def _stop(self) -> RecordingSummary:
        # Called from stop() or __exit__: the warning names the caller's line.
        _active.discard(self)
        with self._lock:
            camera, self._camera = self._camera, None
            if camera is not None and camera._recording is self:
                camera._recording = None
            first = self._summary is None
            if self._summary is None:
                if self._failed is not None:
                    self._summary = RecordingSummary(self.path, 0, 0, 0, self._failed)
                else:
                    if self._recorder is None:  # no frame came: an empty recording, still a valid file
                        self._recorder = self._open(DEPTH_PLANES)
                    self._summary = self._recorder.close()
        if not first:
            return self._summary
        if self._summary.error is not None:
            raise RecordingError(self._summary.error)
        if self._summary.dropped:
            warnings.warn(f"{self.path}: {self._summary.dropped} frames were not recorded: the writer "
                          "fell behind (a slow disk?) or the frames lacked a recorded plane",
                          RuntimeWarning, stacklevel=3)
        return self._summary

    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        if kind is None:
            self._stop()
        else:  # do not hide the exception that ended the block
            try:
                self._stop()
            except RecordingError:
                pass

    def __repr__(self) -> str:
        return f"<norvane.Recording {self.path} frames={self.frames} dropped={self.dropped}>"


# Recordings not yet stopped: a script that ends without stopping one still gets a whole file.
_active: "weakref.WeakSet[Recording]" = weakref.WeakSet()


@atexit.register
def _finish_recordings() -> None:
    for rec in list(_active):
        try:
            rec.stop()
        except CameraError as error:
            print(f"norvane: {error}", file=sys.stderr)


_OUTPUT_PLANES = {"depth": DEPTH_PLANES, "raw": ("raw",)}


class RecordedCamera(Camera):
    """A recording played back through the Camera interface.

    start() plays from the first frame; read() and frames() hand out the
    recorded frames (planes bit for bit, recorded timestamps, indexes and
    host times) at the recorded pace, or as fast as they are read with
    realtime=False; frames() ends with the recording. Controls read back
    their recorded values and refuse to be set.
    """

    def __init__(self, path: "os.PathLike[str] | str", *, realtime: bool = True) -> None:
        try:
            self._replay = Replay(path, realtime=realtime)
        except RecordingError as error:
            raise CameraError(f"cannot replay {error}", -1) from None
        header = self._replay.header
        self._path = header.path
        self._lock = threading.Lock()
        self._read_lock = threading.Lock()
        self._running = False
        self._closed = False
        self._controls: Dict[str, Any] = dict(header.description.get("controls", {}))
        try:
            recorded = header.description["info"]
            self._info = CameraInfo(
                source=self._path, connection="recording", index=int(recorded["index"]),
                device=str(recorded["device"]), sensor_size=_size(recorded["sensor_size"]),
                depth_size=_size(recorded["depth_size"]), simulated=bool(recorded.get("simulated", False)))
            self._recorded_intrinsics = (Intrinsics(**header.intrinsics)
                                         if header.intrinsics is not None else None)
        except (KeyError, TypeError, ValueError) as error:
            raise CameraError(f"cannot replay {self._path}: damaged camera description ({error})", -1) from None
        self._user_intrinsics: Optional[Intrinsics] = None

    def __repr__(self) -> str:
        state = "closed" if self._closed else "playing" if self._running else "open"
        return f"<norvane.RecordedCamera {self._path} ({state})>"

    @property
    def realtime(self) -> bool:
        """True: frames come at the recorded pace; False: as fast as they are read."""
        return self._replay.realtime

    @property
    def truncated(self) -> bool:
        """Whether the file ended before its end record (a recording cut short); read so far."""
        return self._replay.reader.truncated

    def start(self, output: str = "depth") -> None:
        if not isinstance(output, str):
            raise TypeError(f"output must be 'depth' or 'raw', got {type(output).__name__}")
        if output not in _OUTPUT_PLANES:
            raise ValueError(f"output must be 'depth' or 'raw', got {output!r}")
        with self._lock:
            self._check_open("start")
            if self._running:
                raise CameraError(f"start failed on {self._path}: it is already playing; stop() first", -1)
            recorded = self._replay.header.planes
            if output not in recorded:  # the depth or raw plane itself
                raise CameraError(f"start failed on {self._path}: the recording holds "
                                  f"{', '.join(recorded)} planes, no {output} frames", 1)
            self._replay.start([p for p in _OUTPUT_PLANES[output] if p in recorded])
            self._running = True

    def stop(self) -> None:
        with self._lock:
            self._running = False
            self._replay.stop()

    def close(self) -> None:
        with self._lock:
            self._running = False
            self._closed = True
            self._replay.stop()

    def _check_open(self, operation: str) -> None:
        if self._closed:
            raise CameraError(f"{operation} failed on {self._path}: the recording is closed", -1)

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def running(self) -> bool:
        return self._running

    @property
    def info(self) -> CameraInfo:
        return self._info

    @property
    def intrinsics(self) -> Optional[Intrinsics]:
        return self._user_intrinsics or self._recorded_intrinsics

    @intrinsics.setter
    def intrinsics(self, value: Optional[Intrinsics]) -> None:
        self._user_intrinsics = check_intrinsics(value, self._info.depth_size, str(self._path))

    def read(self, timeout: Optional[float] = 1.0, *, latest: bool = False) -> Optional[Frame]:
        _check_timeout(timeout)
        self._check_open("read")
        if not self._running:
            if self._replay.ended:  # another reader took the last frame
                return None
            raise CameraError(f"read failed on {self._path}: the recording is not playing; start() first", -1)
        # One reader at a time walks the file; another waits its turn within its time-out.
        if not self._read_lock.acquire(timeout=-1 if timeout is None else float(timeout)):
            return None
        try:
            recorded = self._replay.next_frame(-1.0 if timeout is None else float(timeout), bool(latest))
        except RecordingError as error:
            self._running = False
            raise CameraError(f"read failed on {error}", -1) from None
        finally:
            self._read_lock.release()
        if recorded is None:
            if self._replay.ended:
                self._running = False  # the end of the recording: frames() ends
            return None
        planes = recorded.planes
        depth = planes.get("depth")
        if depth is not None and depth.shape != self._info.depth_size[::-1]:
            self._running = False
            raise CameraError(f"read failed on {self._path}: frame {recorded.index} is "
                              f"{depth.shape[1]} x {depth.shape[0]}, the recorded camera's depth image "
                              f"{self._info.depth_size[0]} x {self._info.depth_size[1]}", -1)
        intrinsics = self.intrinsics if depth is not None else None
        frame = Frame(timestamp_ms=recorded.timestamp_ms, index=recorded.index,
                      received_ns=recorded.received_ns, depth=depth,
                      amplitude=planes.get("amplitude"), confidence=planes.get("confidence"),
                      raw=planes.get("raw"), intrinsics=intrinsics)
        if self._recording is not None:
            self._recording.write(frame)
        return frame

    @property
    def controls(self) -> Dict[str, Control]:
        return {name: Control(name, name in self._controls, False, _UNITS.get(name),
                              f"{self._controls[name]!r} as recorded" if name in self._controls else "none",
                              "a recording replays what was captured: its controls cannot change")
                for name in _CONTROL_NAMES}

    def _read_control(self, name: str) -> Any:
        self._check_open(f"reading {name}")
        if name not in self._controls:
            raise CameraError(f"cannot read {name} on {self._path}: the recording did not keep it", 1)
        value = self._controls[name]
        return tuple(value) if isinstance(value, list) else value

    def _write_control(self, name: str, value: Any) -> None:
        self._check_open(f"setting {name}")
        raise CameraError(f"cannot set {name} on {self._path}: a recording replays what was captured, "
                          "its controls cannot change", 4)

    def _set_filters(self, chain: FilterChain) -> None:
        # The temporal filter needs every capture at the pace it came; the
        # recorded depth already passed the chain the camera ran.
        self._check_open("setting filters")
        if len(chain):
            raise CameraError(f"cannot set filters on {self._path}: a recording replays the depth as the camera "
                              "delivered it (filtered or not); set filters on the live camera before recording", 4)


_CONTROL_NAMES = ("range_mm", "frame_rate", "skip", "mode", "config_dir")
_UNITS = {"range_mm": "mm", "frame_rate": "fps", "skip": "captures"}


def _size(value: Any) -> Tuple[int, int]:
    width, height = value
    return int(width), int(height)


def open_recording(path: "os.PathLike[str] | str", *, realtime: bool = True) -> RecordedCamera:
    """Opens a recording as a camera (norvane.open does this for a path ending in .mcap)."""
    return RecordedCamera(path, realtime=realtime)
