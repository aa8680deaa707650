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
from typing import Any, Dict, Optional, Sequence, Set, Tuple, Type

from ._bag import (
    COMPRESSIONS,
    DEPTH_PLANES,
    PLANE_TOPICS,
    Recorder,
    RecordingReader,
    RecordingSummary,
    Replay,
    depth_to_metres,
)
from .camera import Camera, CameraInfo, Control, Frame, check_intrinsics, timeout_seconds
from .errors import CameraError, RecordingError
from .filters import FilterChain
from .geometry import Intrinsics

__all__ = [
    "Recording",
    "RecordedCamera",
    "RecordingError",
    "RecordingSummary",
    "open_recording",
    "check_output",
    "camera_description",
    "Recorder",
    "RecordingReader",
    "depth_to_metres",
]


# --- the camera's side: Camera.record and a recording opened as a camera -------

def check_output(path: "os.PathLike[str] | str", overwrite: bool = False) -> str:
    """Refuses a recording's path before it starts; returns it as a str.

    Refused: an existing file without overwrite, a folder, a missing or
    unwritable folder, and (even with overwrite) a file this process replays.
    """
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
    for replay in list(_replaying):
        if not replay.closed and _same_file(text, replay.info.source):
            raise RecordingError(f"{text}: is the recording being replayed; record to another file")
    return text


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:  # one of them does not exist (yet)
        return False


def camera_description(camera: Camera) -> Dict[str, Any]:
    """What a recording keeps about the camera: its description, controls, depth filters and our version.

    The depth planes are recorded as the camera delivered them, filtered by
    the chain named under "filters" (the library's settings, {} when off).
    """
    from . import __version__

    controls: Dict[str, Any] = {}
    for name, control in camera.controls.items():
        if control.applies:
            try:
                controls[name] = getattr(camera, name)
            except CameraError:
                pass
    return {"info": dataclasses.asdict(camera.info), "controls": controls,
            "filters": camera.filters.parameters(), "version": __version__}


def _intrinsics_dict(intrinsics: Optional[Intrinsics]) -> Optional[Dict[str, Any]]:
    return dataclasses.asdict(intrinsics) if intrinsics is not None else None


class Recording:
    """Writes every frame a camera delivers (read() or frames()) to an MCAP file, until stop().

    Made by Camera.record(); a context manager, and a frame sink of its
    camera: closing the camera stops it too. stop() returns a
    RecordingSummary (frames the file holds, frames dropped because the
    writer fell behind or they did not fit the recording) and raises
    RecordingError when the file could not be written to the end (a full
    disk, say): what was written before stays readable. `error` tells the
    same while recording.
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
        for sink in camera.sinks:
            if isinstance(sink, Recording):
                raise CameraError(f"{camera.info.source} is already recording to "
                                  f"{sink.path}; stop that recording first", -1)
        self.path: str = check_output(path, overwrite)
        self._camera: Optional[Camera] = camera
        self._options = {"compression": compression, "overwrite": overwrite}
        self._lock = threading.Lock()
        # The writer and its state: made now when the planes are known, else for the first frame.
        self._recorder: Optional[Recorder] = None
        self._open_error: Optional[str] = None
        self._summary: Optional[RecordingSummary] = None
        chosen = tuple(planes) if planes is not None else camera.planes
        if chosen:
            self._recorder = self._open(camera, chosen)
        camera.add_sink(self)
        _active.add(self)

    def _open(self, camera: Camera, planes: Tuple[str, ...]) -> Recorder:
        # The camera as it streams now: its size and controls are those of the frames to come.
        return Recorder(self.path, description=camera_description(camera),
                        intrinsics=_intrinsics_dict(camera.intrinsics),
                        planes=planes, compression=str(self._options["compression"]),
                        overwrite=bool(self._options["overwrite"]))

    @property
    def written(self) -> int:
        """Frames written so far."""
        return self._recorder.written if self._recorder is not None else 0

    @property
    def frames(self) -> int:
        """Deprecated: the frames written so far, now `written`."""
        warnings.warn("Recording.frames is now Recording.written", DeprecationWarning, stacklevel=2)
        return self.written

    @property
    def dropped(self) -> int:
        """Frames dropped so far: the writer fell behind, or the frame lacked a recorded plane or had another size."""
        return self._recorder.dropped if self._recorder is not None else 0

    @property
    def error(self) -> Optional[str]:
        """Why writing stopped early (a full disk, say), as soon as it did; None while all is well."""
        if self._recorder is not None:
            return self._recorder.error
        return self._open_error

    @property
    def stopped(self) -> bool:
        """Whether stop() (or the camera's close()) has ended the recording."""
        return self._summary is not None

    def put(self, frame: Frame) -> None:
        """Queues one frame; called by the camera for every frame it delivers."""
        with self._lock:
            if self._summary is not None or self._open_error is not None:
                return
            if self._recorder is None and self._camera is not None:  # the planes of the first frame
                planes = tuple(p for p in PLANE_TOPICS if getattr(frame, p) is not None)
                try:
                    self._recorder = self._open(self._camera, planes)
                except RecordingError as error:  # reported by error and stop(), not by the camera's read
                    self._open_error = str(error)
                    return
            recorder = self._recorder
        if recorder is None:
            return
        recorder.write({p: getattr(frame, p) for p in recorder.planes}, frame.timestamp_ms, frame.index,
                       frame.received_ns)

    def stop(self) -> RecordingSummary:
        """Ends the recording and the file; harmless when already stopped."""
        return self._stop()

    def close(self) -> None:
        """Ends the recording as stop() does (the camera closes its sinks so)."""
        self._stop(stacklevel=4)

    def _stop(self, stacklevel: int = 3) -> RecordingSummary:
        # The warning names the caller's line: of stop(), __exit__ or the camera's close().
        _active.discard(self)
        with self._lock:
            camera, self._camera = self._camera, None
            first = self._summary is None
            if self._summary is None:
                if self._open_error is not None:
                    self._summary = RecordingSummary(self.path, 0, 0, 0, self._open_error)
                else:
                    if self._recorder is None and camera is not None:
                        # No frame came: an empty recording of the camera's planes, still a valid file.
                        try:
                            self._recorder = self._open(camera, camera.planes or DEPTH_PLANES)
                        except RecordingError as error:
                            self._open_error = str(error)
                    if self._recorder is not None:
                        self._summary = self._recorder.close()
                    else:
                        self._summary = RecordingSummary(self.path, 0, 0, 0, self._open_error)
        if camera is not None:
            camera.remove_sink(self)
        assert self._summary is not None
        if not first:
            return self._summary
        if self._summary.error is not None:
            raise RecordingError(self._summary.error)
        if self._summary.dropped:
            warnings.warn(f"{self.path}: {self._summary.dropped} frames were not recorded: the writer "
                          "fell behind (a slow disk?), or the frames lacked a recorded plane or had "
                          "another size than the first", RuntimeWarning, stacklevel=stacklevel)
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
        return f"<norvane.Recording {self.path} written={self.written} dropped={self.dropped}>"


# Recordings not yet stopped, held until they are: a script that ends without
# stopping one (or closing its camera) still gets a whole file.
_active: "Set[Recording]" = set()
# Recordings being replayed: none of them is a recording's output.
_replaying: "weakref.WeakSet[RecordedCamera]" = weakref.WeakSet()


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
        _replaying.add(self)
        self._clock_offset_ns: Optional[int] = None  # recorded wall clock less recorded host clock

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

    @property
    def damaged(self) -> Tuple[str, ...]:
        """What the damaged parts of the file cost, one text each (skipped with a warning); read so far."""
        return tuple(self._replay.reader.damaged)

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
            self._planes = tuple(p for p in _OUTPUT_PLANES[output] if p in recorded)
            self._replay.start(self._planes)
            self._running = True

    def stop(self) -> None:
        with self._lock:
            self._running = False
            self._replay.stop()

    def _close(self) -> None:
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

    def recorded_time_ns(self, frame: Frame) -> Optional[int]:
        offset = self._clock_offset_ns
        return frame.received_ns + offset if offset is not None else None

    def read(self, timeout: Optional[float] = 1.0, *, latest: bool = False) -> Optional[Frame]:
        seconds = timeout_seconds(timeout)
        self._check_open("read")
        if not self._running:
            if self._replay.ended:  # another reader took the last frame
                return None
            raise CameraError(f"read failed on {self._path}: the recording is not playing; start() first", -1)
        # One reader at a time walks the file; another waits its turn within its time-out.
        if not self._read_lock.acquire(timeout=-1 if seconds is None else seconds):
            return None
        try:
            recorded = self._replay.next_frame(-1.0 if seconds is None else seconds, bool(latest))
        except RecordingError as error:
            self._running = False
            raise CameraError(f"read failed on {error}", -1) from None
        finally:
            self._read_lock.release()
        if recorded is None:
            if self._replay.ended:
                self._running = False  # the end of the recording: frames() ends
            return None
        self._clock_offset_ns = recorded.stamp_ns - recorded.received_ns
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
        if self._sinks:
            self._deliver(frame)
        return frame

    def _next_frame_is_due_later(self) -> bool:
        # A replay's frames all exist: one that is not yet due (a pause in the
        # recording, or another reader's turn) comes at its recorded time.
        return self._running

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
