"""Cameras and frames: open(), the Camera interface, the live camera, Frame."""

import abc
import errno
import os
import re
import threading
from dataclasses import dataclass
from pathlib import Path
from types import TracebackType
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Protocol, Sequence, Tuple, Type, TypeVar, Union

import numpy as np
import numpy.typing as npt

from .errors import CameraError, CameraTimeout, check
from .filters import FilterChain, FilterSetting, resolve

try:
    from . import _native
except ImportError as _error:  # the one import of the native part
    raise ImportError(
        f"norvane's native part is missing or does not load ({_error}); reinstall the package: pip install ."
    ) from _error
from .geometry import Intrinsics, Points, depth_to_points

if TYPE_CHECKING:
    from .recording import Recording

__all__ = ["open", "Camera", "LiveCamera", "Frame", "FrameSink", "CameraInfo", "Control", "find_cameras",
           "timeout_seconds", "KIT_FOV_DEG"]

PathLike = Union[str, "os.PathLike[str]"]
Plane = npt.NDArray[np.float32]
RawPlane = npt.NDArray[np.int16]
InvalidPlane = npt.NDArray[np.uint8]
CameraT = TypeVar("CameraT", bound="Camera")

# The simulated evaluation kit's lens: a pinhole with this horizontal field of view.
KIT_FOV_DEG = 70.0

# The library's numbers for connections, outputs, devices and controls.
_CSI, _USB = 0, 1
_OUTPUTS = {"raw": 0, "depth": 2}
_OUTPUT_PLANES = {"raw": ("raw",), "depth": ("depth", "amplitude", "confidence")}
_DEVICES = {0: "vga", 1: "hqvga"}
_RANGE, _FMT_WIDTH, _FMT_HEIGHT, _MODE, _FRAME_RATE, _SKIP, _SKIP_CYCLE, _CONFIG_DIR = 0, 1, 2, 3, 6, 7, 8, 256
_MODES = {"single": 0, "dual": 1}
_HQVGA_RANGES_MM = (2000, 4000)
_NOT_IMPLEMENTED = 4
_SOURCE = re.compile(r"(csi|usb):(\d+)")
_MAX_INDEX = 2**31 - 1  # the library takes an int


class Frame:
    """One capture: numpy copies of its planes and where it came from.

    depth, amplitude, confidence: float32 (height, width) planes of a depth
    frame (depth in millimetres along each pixel's ray, 0 where there is
    none), None for a raw frame. raw: the int16 raw image of a raw frame.
    timestamp_ms: the sensor's timestamp. index: the capture's number since
    start (gaps are captures this consumer never saw). received_ns: the
    host's monotonic clock (time.monotonic_ns()) when the frame reached the
    camera's queue; from a recording, that clock as it was on the recording
    host, comparable only with the other frames of the same recording (not
    with time.monotonic_ns() now). intrinsics: the lens of the depth image,
    when known.
    """

    __slots__ = ("depth", "amplitude", "confidence", "raw", "invalid", "timestamp_ms", "index", "received_ns",
                 "intrinsics", "__weakref__")  # fmt: skip

    def __init__(
        self,
        *,
        timestamp_ms: int,
        index: int,
        received_ns: int,
        depth: Optional[Plane] = None,
        amplitude: Optional[Plane] = None,
        confidence: Optional[Plane] = None,
        raw: Optional[RawPlane] = None,
        invalid: Optional[InvalidPlane] = None,
        intrinsics: Optional[Intrinsics] = None,
    ) -> None:
        self.depth = depth
        self.invalid = invalid
        self.amplitude = amplitude
        self.confidence = confidence
        self.raw = raw
        self.timestamp_ms = timestamp_ms
        self.index = index
        self.received_ns = received_ns
        self.intrinsics = intrinsics

    def points(self) -> Points:
        """(N, 3) float32 x, y, z in millimetres (x right, y down, z forward), invalid pixels dropped.

        The depth plane holds distances along the rays; they are turned into
        points on the rays, so z is smaller than the depth away from the centre.
        """
        if self.depth is None:
            raise ValueError("a raw frame has no depth: start the camera with output='depth'")
        if self.intrinsics is None:
            raise ValueError(
                "this frame has no lens intrinsics: set camera.intrinsics = norvane.Intrinsics.load(FILE) "
                "(a calibration file) or norvane.Intrinsics.from_fov(width, height, degrees)"
            )
        return depth_to_points(self.depth, self.intrinsics)

    def __repr__(self) -> str:
        plane = self.depth if self.depth is not None else self.raw
        shape = "x".join(str(n) for n in reversed(plane.shape)) if plane is not None else "empty"
        kind = "depth" if self.depth is not None else "raw"
        return f"<Frame {kind} {shape} index={self.index} timestamp_ms={self.timestamp_ms}>"


@dataclass(frozen=True)
class CameraInfo:
    """What a camera is: its source, connection, device kind and image sizes (width, height)."""

    source: str
    connection: str  # "csi", "usb" or "recording"
    index: int
    device: str  # "hqvga" (240 x 180, depth computed here) or "vga" (640 x 480 or 320 x 240)
    sensor_size: Tuple[int, int]
    depth_size: Tuple[int, int]
    simulated: bool = False


@dataclass(frozen=True)
class Control:
    """A control of the camera in use: whether it applies, its valid values and unit."""

    name: str
    applies: bool
    writable: bool
    unit: Optional[str]
    values: str
    note: str = ""


def check_intrinsics(value: Optional[Intrinsics], depth_size: Tuple[int, int], camera: str) -> Optional[Intrinsics]:
    """The lens a user sets on a camera, checked against the camera's depth image."""
    if value is not None:
        if not isinstance(value, Intrinsics):
            raise TypeError(f"intrinsics must be a norvane.Intrinsics or None, got {type(value).__name__}")
        if (value.width, value.height) != depth_size:
            raise ValueError(
                f"the intrinsics describe {value.width} x {value.height} pixels, "
                f"the depth image of {camera} is {depth_size[0]} x {depth_size[1]}"
            )
    return value


class FrameSink(Protocol):
    """Something that sees every frame a camera delivers: a recording, a relay, a publisher.

    Attach one with Camera.add_sink. The camera calls put(frame) on the
    thread whose read() took the frame, before read() returns it: put must
    not block (copy or queue what it needs), must not change the frame, and
    reports its own failures rather than raising. close() ends the sink when
    the camera closes (after its last frame); it may raise to report that
    the sink's work failed (a recording that could not be written whole).
    """

    def put(self, frame: "Frame") -> None: ...

    def close(self) -> None: ...


# Guards every camera's list of sinks; the list itself is replaced, never changed.
_sinks_lock = threading.Lock()


class Camera(abc.ABC):
    """A camera: live, or a recording played back. Use as a context manager.

    Application code drives every source the same way: start(), frames() or
    read(), stop(), close(); controls are properties.

    A source implements start, stop, _close, closed, running, info,
    intrinsics (read and set), controls, read, _read_control and
    _write_control (by property name: range_mm, frame_rate, skip, mode,
    config_dir; values already type-checked); it sets _planes at start,
    converts read()'s time-out with timeout_seconds and hands every frame
    read() returns to _deliver. frames(), iteration, close() (which ends the
    sinks), the context manager and the control properties come from this
    class.
    """

    _sinks: Tuple[FrameSink, ...] = ()
    _planes: Tuple[str, ...] = ()
    # The depth filters set (Camera.filters).
    _filter_chain: FilterChain = resolve(None)

    def record(
        self, path: PathLike, *, planes: Optional[Sequence[str]] = None, compression: str = "zstd", overwrite: bool = False
    ) -> "Recording":
        """Writes every frame read from now on to an MCAP file (a ROS 2 bag) until stop(); see norvane.recording."""
        from .recording import Recording  # the record extra is needed from here on

        return Recording(self, path, planes=planes, compression=compression, overwrite=overwrite)

    # --- what sees the frames -----------------------------------------------------
    def add_sink(self, sink: FrameSink) -> None:
        """From now on, every frame this camera delivers also goes to sink.put; close() ends it."""
        if not callable(getattr(sink, "put", None)) or not callable(getattr(sink, "close", None)):
            raise TypeError(f"a frame sink has put(frame) and close() methods, {type(sink).__name__} has not")
        with _sinks_lock:
            if self.closed:
                raise CameraError(f"cannot add a frame sink to {self.info.source}: the camera is closed", -1)
            if any(s is sink for s in self._sinks):
                raise ValueError(f"{sink!r} already sees the frames of {self.info.source}")
            self._sinks = self._sinks + (sink,)

    def remove_sink(self, sink: FrameSink) -> None:
        """Stops handing frames to sink, without ending it; harmless when it is not attached."""
        with _sinks_lock:
            self._sinks = tuple(s for s in self._sinks if s is not sink)

    @property
    def sinks(self) -> Tuple[FrameSink, ...]:
        """The sinks that see this camera's frames, in the order they were added."""
        return self._sinks

    def _deliver(self, frame: "Frame") -> None:
        sinks = self._sinks
        for sink in sinks:
            sink.put(frame)

    # --- lifecycle --------------------------------------------------------------
    @abc.abstractmethod
    def start(self, output: str = "depth") -> None:
        """Starts streaming "depth" (depth, amplitude, confidence) or "raw" frames."""

    @abc.abstractmethod
    def stop(self) -> None:
        """Stops streaming; harmless when not streaming. Waiting readers return."""

    def close(self) -> None:
        """Stops and closes the camera, then ends its sinks (a recording finishes its file); harmless when closed.

        Every sink is ended even when the camera or another sink fails; the
        first failure is raised afterwards.
        """
        failure: Optional[BaseException] = None
        try:
            self._close()
        except BaseException as error:
            failure = error
        with _sinks_lock:
            sinks, self._sinks = self._sinks, ()
        for sink in sinks:
            try:
                sink.close()
            except BaseException as error:
                failure = failure or error
        if failure is not None:
            raise failure

    @abc.abstractmethod
    def _close(self) -> None:
        """Stops and closes the source itself; harmless when closed."""

    @property
    @abc.abstractmethod
    def closed(self) -> bool: ...

    @property
    @abc.abstractmethod
    def running(self) -> bool:
        """Whether the camera streams (started, not stopped or closed)."""

    @property
    def planes(self) -> Tuple[str, ...]:
        """The planes of the frames of the last start (Frame attribute names); () before the first start.

        ("depth", "amplitude", "confidence") for depth output, ("raw",) for raw
        output, a recording's own when it kept fewer.
        """
        return self._planes

    @property
    @abc.abstractmethod
    def info(self) -> CameraInfo: ...

    @property
    @abc.abstractmethod
    def intrinsics(self) -> Optional[Intrinsics]:
        """The depth image's lens, None when not known (see Intrinsics.load and from_fov)."""

    @intrinsics.setter
    @abc.abstractmethod
    def intrinsics(self, value: Optional[Intrinsics]) -> None: ...

    @property
    @abc.abstractmethod
    def controls(self) -> Dict[str, Control]:
        """The controls of this camera by property name: which apply, their values and units."""

    # --- frames -------------------------------------------------------------------
    @abc.abstractmethod
    def read(self, timeout: Optional[float] = 1.0, *, latest: bool = False) -> Optional[Frame]:
        """The next frame within `timeout` seconds (None or inf: no limit), else None.

        latest=True: the newest ready frame, older ready ones dropped at once.
        CameraError, naming the camera, once it has gone away (unplugged).
        """

    def recorded_time_ns(self, frame: Frame) -> Optional[int]:
        """A recording's frame: the wall-clock time (ns since the epoch) when it reached the queue
        of the camera that recorded it; None for a live camera."""
        return None

    def frames(self, timeout: Optional[float] = 1.0, *, latest: bool = False) -> Iterator[Frame]:
        """Frames until the camera stops or closes; CameraTimeout when none comes within `timeout` s."""
        timeout_seconds(timeout)
        while self.running:
            frame = self.read(timeout, latest=latest)
            if frame is None:
                if not self.running:
                    return
                if self._next_frame_is_due_later():
                    continue
                raise CameraTimeout(f"no frame from {self.info.source} within {timeout} s", -1)
            yield frame
            del frame  # not kept alive while the next one is read

    def _next_frame_is_due_later(self) -> bool:
        """Whether a read that came back empty was only early: a frame exists that is not yet due."""
        return False

    def __iter__(self) -> Iterator[Frame]:
        return self.frames()

    def __enter__(self: CameraT) -> CameraT:
        return self

    def __exit__(
        self, kind: Optional[Type[BaseException]], value: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None:
        try:
            self.close()
        except CameraError:
            # The block's own exception says more than a close that failed after it.
            if kind is None:
                raise

    # --- depth filters ----------------------------------------------------------------
    @property
    def filters(self) -> FilterChain:
        """The depth filters the camera runs on every capture (see norvane.filters).

        Set a preset name ("off", "default", ...), a FilterChain, or None
        (the same as "off"); before start or while streaming, from the next
        capture on.
        """
        return self._filter_chain

    @filters.setter
    def filters(self, value: FilterSetting) -> None:
        chain = resolve(value)
        self._set_filters(chain)
        self._filter_chain = chain

    @abc.abstractmethod
    def _set_filters(self, chain: FilterChain) -> None:
        """Hands a checked chain to the source; raises when it cannot run it."""

    # --- controls -------------------------------------------------------------------
    @abc.abstractmethod
    def _read_control(self, name: str) -> Any: ...

    @abc.abstractmethod
    def _write_control(self, name: str, value: Any) -> None: ...

    @property
    def range_mm(self) -> int:
        """The measuring range in millimetres (HQVGA: 2000 or 4000; VGA: set by mode)."""
        value: int = self._read_control("range_mm")
        return value

    @range_mm.setter
    def range_mm(self, value: int) -> None:
        self._write_control("range_mm", _integer("range_mm", value))

    @property
    def frame_rate(self) -> int:
        """The sensor's frame rate in frames per second."""
        value: int = self._read_control("frame_rate")
        return value

    @frame_rate.setter
    def frame_rate(self, value: int) -> None:
        self._write_control("frame_rate", _integer("frame_rate", value))

    @property
    def skip(self) -> Tuple[int, int]:
        """(skip, cycle): `skip` of every `cycle` captures are dropped; (0, 1) delivers all."""
        value: Tuple[int, int] = self._read_control("skip")
        return value

    @skip.setter
    def skip(self, value: Tuple[int, int]) -> None:
        if not isinstance(value, tuple) or len(value) != 2:
            raise TypeError(f"skip must be a tuple (skip, cycle), got {value!r}")
        self._write_control("skip", (_integer("skip", value[0]), _integer("skip cycle", value[1])))

    @property
    def mode(self) -> str:
        """VGA frequency mode: "single" (1250 mm range) or "dual" (4500 mm); applies at the next start."""
        value: str = self._read_control("mode")
        return value

    @mode.setter
    def mode(self, value: str) -> None:
        if not isinstance(value, str):
            raise TypeError(f"mode must be a str ('single' or 'dual'), got {type(value).__name__}")
        self._write_control("mode", value)

    @property
    def config_dir(self) -> Optional[str]:
        """VGA: the directory whose ConfigAlgorithm.json replaces the defaults at the next start."""
        value: Optional[str] = self._read_control("config_dir")
        return value

    @config_dir.setter
    def config_dir(self, value: PathLike) -> None:
        if not isinstance(value, (str, os.PathLike)):
            raise TypeError(f"config_dir must be a str or os.PathLike, got {type(value).__name__}")
        self._write_control("config_dir", os.fspath(value))


def _integer(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    return int(value)


# The longest wait a read takes as a limit (the library's, in milliseconds); longer ones are this long.
MAX_TIMEOUT_S = (2**31 - 1) / 1000


def timeout_seconds(timeout: Optional[float]) -> Optional[float]:
    """A read's time-out checked and converted, the same for every source.

    None and inf: no limit (None); else 0 to MAX_TIMEOUT_S seconds.
    TypeError for a non-number, ValueError for a negative value or NaN.
    """
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds or None, got {type(timeout).__name__}")
    if not timeout >= 0:
        raise ValueError(f"timeout must be 0 or more seconds (None waits without limit), got {timeout}")
    if timeout == float("inf"):
        return None
    return min(float(timeout), MAX_TIMEOUT_S)


def _timeout_ms(timeout: Optional[float]) -> int:
    """The library's form of a time-out: milliseconds, -1 for no limit."""
    seconds = timeout_seconds(timeout)
    return -1 if seconds is None else int(seconds * 1000 + 0.5)


class LiveCamera(Camera):
    """A camera on CSI or USB, through the library."""

    def __init__(self, connection: int, index: int, config: Optional[str] = None) -> None:
        self._native = _native.Camera()
        self._simulated_kit = _native.SIMULATED_KIT and connection == _USB
        self._lock = threading.Lock()
        self._running = False
        self._closed = False
        self._skip = (0, 1)
        self._config_dir: Optional[str] = None
        self._user_intrinsics: Optional[Intrinsics] = None
        if connection == _CSI:
            self._name = f"CSI camera /dev/video{index}"
            code = self._native.open(_CSI, index)
            check(code, "open", self._name, _csi_cause(index))
            self._source = f"csi:{index}"
        elif config is not None:
            self._name = f"USB camera {index} configured by {config}"
            code = self._native.open_file(config, index)
            check(code, "open", self._name, "the kit refused the configuration (standard error names the line)")
            self._source = config
        else:
            self._name = f"USB camera {index}"
            code = self._native.open(_USB, index)
            check(code, "open", self._name, "no evaluation kit answered on this index")
            self._source = f"usb:{index}"
        self._frame_rate_max: Optional[int] = None
        rate_code, rate = self._native.get_control(_FRAME_RATE)
        if rate_code == 0 and rate > 0:
            self._frame_rate_max = rate
        self._info = self._describe()
        self._kit_lens = self._lens_of_kit()

    def __repr__(self) -> str:
        state = "closed" if self._closed else "streaming" if self._running else "open"
        return f"<norvane.LiveCamera {self._name} ({state})>"

    def _describe(self) -> CameraInfo:
        index, connect, device_type, _, width, height, _, _ = self._native.info()
        device = _DEVICES.get(device_type, "unknown")
        depth_size = (width, height)
        if device == "vga":
            w = self._native.get_control(_FMT_WIDTH)
            h = self._native.get_control(_FMT_HEIGHT)
            if w[0] == 0 and h[0] == 0:
                depth_size = (w[1], h[1])
        return CameraInfo(
            source=self._source,
            connection="csi" if connect == _CSI else "usb",
            index=index,
            device=device,
            sensor_size=(width, height),
            depth_size=depth_size,
            simulated=self._simulated_kit,
        )

    # --- lifecycle --------------------------------------------------------------
    def _check_open(self, operation: str) -> None:
        if self._closed:
            raise CameraError(f"{operation} failed on {self._name}: the camera is closed", -1)

    def start(self, output: str = "depth") -> None:
        if not isinstance(output, str):
            raise TypeError(f"output must be 'depth' or 'raw', got {type(output).__name__}")
        if output not in _OUTPUTS:
            raise ValueError(f"output must be 'depth' or 'raw', got {output!r}")
        with self._lock:
            self._check_open("start")
            if self._running:
                raise CameraError(f"start failed on {self._name}: it is already streaming; stop() first", -1)
            code = self._native.start(_OUTPUTS[output])
            cause = "the sensor did not start streaming"
            if self._info.device == "vga" and code == 1:
                cause = "the capture the sensor delivers does not match the frequency mode set (see mode)"
            elif self._info.device == "vga" and not os.access(os.getcwd(), os.W_OK):
                cause = f"the working directory {os.getcwd()} is not writable (the VGA device writes its configuration files there)"
            check(code, "start", self._name, cause)
            self._running = True
            self._planes = _OUTPUT_PLANES[output]
            self._info = self._describe()
            self._kit_lens = self._lens_of_kit()

    def stop(self) -> None:
        with self._lock:
            if self._closed or not self._running:
                return
            self._running = False
            code = self._native.stop()
            # A camera that went away cannot stop its stream; it has ended.
            if not self._native.disconnected():
                check(code, "stop", self._name)

    def _close(self) -> None:
        with self._lock:
            if self._closed:
                return
            self._running = False
            self._closed = True
            check(self._native.close(), "close", self._name)

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
        if self._user_intrinsics is not None:
            return self._user_intrinsics
        return self._kit_lens

    @intrinsics.setter
    def intrinsics(self, value: Optional[Intrinsics]) -> None:
        self._user_intrinsics = check_intrinsics(value, self._info.depth_size, self._name)

    def _lens_of_kit(self) -> Optional[Intrinsics]:
        """The simulated kit's exact lens at the current depth size; None for any other camera."""
        if not self._simulated_kit:
            return None
        width, height = self._info.depth_size
        return Intrinsics.from_fov(width, height, KIT_FOV_DEG)

    # --- frames -------------------------------------------------------------------
    def read(self, timeout: Optional[float] = 1.0, *, latest: bool = False) -> Optional[Frame]:
        ms = _timeout_ms(timeout)
        if not self._running:
            self._check_open("read")
            raise CameraError(f"read failed on {self._name}: the camera is not streaming; start() first", -1)
        taken = self._native.take(ms, latest is True)
        if taken is None:
            if self._native.disconnected():
                raise CameraError(
                    f"read failed on {self._name}: the camera is gone (unplugged, or its driver unbound); close() it", -2
                )
            return None
        timestamp, index, received_ns, depth, amplitude, confidence, raw, invalid = taken
        intrinsics = self._user_intrinsics or self._kit_lens
        if depth is None or (intrinsics is not None and depth.shape != (intrinsics.height, intrinsics.width)):
            intrinsics = None
        frame = Frame(
            timestamp_ms=timestamp,
            index=index,
            received_ns=received_ns,
            depth=depth,
            amplitude=amplitude,
            confidence=confidence,
            raw=raw,
            invalid=invalid,
            intrinsics=intrinsics,
        )
        if self._sinks:
            self._deliver(frame)
        return frame

    def _set_filters(self, chain: FilterChain) -> None:
        self._check_open("setting filters")
        check(self._native.set_filters(chain.parameters()), "setting filters", self._name)

    # --- controls -------------------------------------------------------------------
    @property
    def controls(self) -> Dict[str, Control]:
        hqvga = self._info.device == "hqvga"
        vga = self._info.device == "vga"
        rate = self._frame_rate_max
        return {
            "range_mm": Control(
                "range_mm", True, hqvga, "mm",
                "2000 or 4000" if hqvga else "1250 (mode 'single') or 4500 (mode 'dual')",
                "" if hqvga else "follows mode",
            ),
            "frame_rate": Control(
                "frame_rate", rate is not None, rate is not None, "fps",
                f"1 to {rate}" if rate is not None else "none",
                "" if rate is not None else "this camera does not report a frame rate",
            ),
            "skip": Control("skip", True, True, "captures", "(skip, cycle): 0 <= skip < cycle"),
            "mode": Control("mode", vga, vga, None, "'single' or 'dual'" if vga else "none",
                            "applies at the next start" if vga else "VGA sensors only"),
            "config_dir": Control("config_dir", vga, vga, None, "an existing directory" if vga else "none",
                                  "applies at the next start" if vga else "VGA sensors only"),
        }  # fmt: skip

    def _refuse_unless_applies(self, name: str, write: bool) -> Control:
        self._check_open(f"{'setting' if write else 'reading'} {name}")
        control = self.controls[name]
        if not control.applies or (write and not control.writable):
            why = control.note or "it is not settable"
            verb = "set" if write else "read"
            raise CameraError(f"cannot {verb} {name} on {self._name} ({self._info.device} device): {why}", 1)
        return control

    def _read_control(self, name: str) -> Any:
        self._refuse_unless_applies(name, write=False)
        if name == "skip":
            return self._skip
        if name == "config_dir":
            return self._config_dir
        ident = {"range_mm": _RANGE, "frame_rate": _FRAME_RATE, "mode": _MODE}[name]
        code, value = self._native.get_control(ident)
        check(code, f"reading {name}", self._name)
        if name == "mode":
            return "single" if value == _MODES["single"] else "dual"
        return int(value)

    def _write_control(self, name: str, value: Any) -> None:
        control = self._refuse_unless_applies(name, write=True)
        if name == "range_mm":
            if value not in _HQVGA_RANGES_MM:
                raise ValueError(f"range_mm must be 2000 or 4000, got {value}")
            self._set(name, _RANGE, value)
        elif name == "frame_rate":
            top = self._frame_rate_max or 0
            if not 1 <= value <= top:
                raise ValueError(f"frame_rate must lie within 1 to {top} fps on {self._name}, got {value}")
            self._set(name, _FRAME_RATE, value)
        elif name == "skip":
            skip, cycle = value
            if not 0 <= skip < cycle or cycle > 2**31 - 1:
                raise ValueError(f"skip must be (skip, cycle) with {control.values.split(': ')[1]}, got {value}")
            # Each value is checked against the other: through a skip of 0.
            self._set(name, _SKIP, 0)
            self._set(name, _SKIP_CYCLE, cycle)
            self._set(name, _SKIP, skip)
            self._skip = (skip, cycle)
        elif name == "mode":
            if value not in _MODES:
                raise ValueError(f"mode must be 'single' or 'dual', got {value!r}")
            self._set(name, _MODE, _MODES[value])
        elif name == "config_dir":
            if "\0" in value:
                raise ValueError("config_dir contains a NUL character")
            if not os.path.isdir(value):
                raise ValueError(f"config_dir {value!r} is not an existing directory")
            if not os.access(value, os.R_OK | os.X_OK):
                raise ValueError(f"config_dir {value!r} is not readable")
            check(self._native.set_text_control(_CONFIG_DIR, value), "setting config_dir", self._name)
            self._config_dir = value

    def _set(self, name: str, ident: int, value: int) -> None:
        code = self._native.set_control(ident, value)
        cause = "the camera refused the value"
        if code == _NOT_IMPLEMENTED:
            cause = "this camera does not implement it"
        check(code, f"setting {name} to {value}", self._name, cause)


def _csi_cause(index: int) -> str:
    node = f"/dev/video{index}"
    if not os.path.exists(node):
        return f"{node} does not exist"
    if not os.access(node, os.R_OK | os.W_OK):
        return f"no permission to open {node} (is the user in the 'video' group?)"
    return f"{node} is not a supported sensor, or its I2C bus cannot be opened"


def find_cameras() -> List[str]:
    """Sources of the cameras to try, in order: CSI nodes of a supported sensor, then usb:0."""
    sources: List[str] = []
    root = Path("/sys/class/video4linux")
    try:
        entries = list(root.iterdir())
    except OSError:
        entries = []
    names: Dict[str, str] = {}
    for entry in entries:
        try:
            names[entry.name] = (entry / "name").read_text().strip()
        except OSError:
            continue
    video = sorted((n for n in names if re.fullmatch(r"video\d+", n)), key=lambda n: int(n[5:]))
    own = [n for n in video if "norvane" in names[n]]
    # A board with a media graph names the sensor on a sub-device; any of its
    # capture nodes may be the one, the library's open tells.
    sensor_on_graph = any("norvane" in v for n, v in names.items() if n.startswith("v4l-subdev"))
    for n in own or (video if sensor_on_graph else []):
        sources.append(f"csi:{n[5:]}")
    sources.append("usb:0")
    return sources


def camera_source(text: str) -> Optional[Tuple[int, int]]:
    """(connection, index) of "csi:N" or "usb:N", None for any other source; ValueError for too large an N."""
    match = _SOURCE.fullmatch(text)
    if not match:
        return None
    index = int(match.group(2))
    if index > _MAX_INDEX:
        raise ValueError(f"the camera index of {text!r} is out of range (0 to {_MAX_INDEX})")
    return _CSI if match.group(1) == "csi" else _USB, index


def open(source: Optional[PathLike] = None, *, config: Optional[PathLike] = None, realtime: bool = True) -> Camera:
    """Opens a camera.

    source: None (the first camera found: CSI nodes of a supported sensor,
    else USB 0), "csi:N", "usb:N", a kit configuration file, or a recording
    (a path ending in ".mcap", in any case). config: a kit configuration file for a USB
    camera (str or os.PathLike). realtime: a recording plays at its recorded
    pace (True) or as fast as it is read (False).
    """
    if source is not None and not isinstance(source, (str, os.PathLike)):
        raise TypeError(f"source must be None, 'csi:N', 'usb:N' or a path, got {type(source).__name__}")
    if config is not None and not isinstance(config, (str, os.PathLike)):
        raise TypeError(f"config must be a path (str or os.PathLike), got {type(config).__name__}")
    config_path = os.fspath(config) if config is not None else None
    if config_path is not None and not os.path.isfile(config_path):
        raise FileNotFoundError(errno.ENOENT, "kit configuration file not found", config_path)

    text = os.fspath(source) if source is not None else None
    if isinstance(text, bytes):
        raise TypeError("source must be a str path, not bytes")
    if not isinstance(realtime, bool):
        raise TypeError(f"realtime must be True or False, got {type(realtime).__name__}")
    if not realtime and not (text is not None and is_recording_path(text)):
        raise ValueError("realtime=False applies to a recording (a path ending in .mcap), not to a camera")
    camera = camera_source(text) if text is not None else None
    if camera:
        connection, index = camera
        if connection == _CSI and config_path is not None:
            raise ValueError("config= configures a USB kit; a CSI camera takes none")
        return LiveCamera(connection, index, config_path)
    if text is None:
        if config_path is not None:
            return LiveCamera(_USB, 0, config_path)
        return _open_first()
    if config_path is not None:
        raise ValueError("give the kit configuration either as source or as config=, not both")
    if is_recording_path(text):
        return _open_recording(text, realtime)
    if not os.path.isfile(text):
        raise ValueError(f"source {text!r} is neither 'csi:N', 'usb:N' nor an existing file")
    return LiveCamera(_USB, 0, text)


def is_recording_path(path: str) -> bool:
    """Whether open() takes this path for a recording: it ends in .mcap, in any case."""
    return path.lower().endswith(".mcap")


def _open_first() -> Camera:
    failures: List[str] = []
    for candidate in find_cameras():
        kind, number = candidate.split(":")
        try:
            return LiveCamera(_CSI if kind == "csi" else _USB, int(number))
        except CameraError as error:
            failures.append(str(error))
            last = error.code
    raise CameraError("no camera found: " + "; ".join(failures), last)


def _open_recording(path: str, realtime: bool) -> Camera:
    # A missing file is named before the record extra is needed to read one.
    if not os.path.isfile(path):
        raise CameraError(f"cannot replay {path}: no such file", -1)
    from .recording import open_recording  # its ImportError names the extra to install

    return open_recording(path, realtime=realtime)
