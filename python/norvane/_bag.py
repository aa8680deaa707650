"""A norvane recording as a ROS 2 bag in one MCAP file: the writer thread and the reader.

Profile "ros2", CDR messages, "ros2msg" schemas, written and read with the
mcap and mcap-ros2-support packages, so `ros2 bag`, Foxglove and rosbags
open a recording as it is:

    /norvane/depth/image        sensor_msgs/msg/Image, 32FC1, metres (REP 118)
    /norvane/amplitude/image    sensor_msgs/msg/Image, 32FC1, sample units
    /norvane/confidence/image   sensor_msgs/msg/Image, 32FC1
    /norvane/raw/image          sensor_msgs/msg/Image, 16SC1 (raw output)
    /norvane/depth/camera_info  sensor_msgs/msg/CameraInfo, when the lens is known
    /norvane/frame              norvane_msgs/msg/FrameInfo, last of each frame

Every message of a frame carries the same header stamp: the host's time
when the frame reached the camera's queue, on the wall clock. The frame
message carries what the images cannot: the capture index, the sensor's
timestamp, the monotonic host time, and the depth pixels whose float32
metres do not give back the recorded float32 millimetres (about 2 % of all
values: from 1000 x 2^k mm up to the next power of two, metres are coarser
than millimetres), so the replay is exact bit for bit.
"""

from __future__ import annotations

import dataclasses
import errno
import json
import os
import struct
import threading
import time
from collections import deque
from typing import Any, Deque, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from .errors import CameraError

try:
    from mcap.exceptions import InvalidMagic, McapError
    from mcap.records import Channel, Message, Metadata, Schema
    from mcap.stream_reader import StreamReader
    from mcap.writer import CompressionType
    from mcap_ros2.decoder import DecoderFactory
    from mcap_ros2.writer import Writer as Ros2Writer
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError(
        "recording needs the 'record' extra: pip install 'NorvaneDepthCamera[record]'"
    ) from error

TOPIC_DEPTH = "/norvane/depth/image"
TOPIC_AMPLITUDE = "/norvane/amplitude/image"
TOPIC_CONFIDENCE = "/norvane/confidence/image"
TOPIC_RAW = "/norvane/raw/image"
TOPIC_CAMERA_INFO = "/norvane/depth/camera_info"
TOPIC_FRAME = "/norvane/frame"
FRAME_ID = "norvane_depth_optical_frame"
METADATA_NAME = "norvane"
METADATA_END_NAME = "norvane.end"
FORMAT_VERSION = "1"

PLANE_TOPICS = {
    "depth": TOPIC_DEPTH,
    "amplitude": TOPIC_AMPLITUDE,
    "confidence": TOPIC_CONFIDENCE,
    "raw": TOPIC_RAW,
}
DEPTH_PLANES = ("depth", "amplitude", "confidence")
PLANE_ENCODINGS = {"depth": "32FC1", "amplitude": "32FC1", "confidence": "32FC1", "raw": "16SC1"}
PLANE_DTYPES: Dict[str, "np.dtype[Any]"] = {"depth": np.dtype("<f4"), "amplitude": np.dtype("<f4"),
                "confidence": np.dtype("<f4"), "raw": np.dtype("<i2")}
COMPRESSIONS = {"zstd": CompressionType.ZSTD, "lz4": CompressionType.LZ4, "none": CompressionType.NONE}
# A chunk is the unit that survives a crash: about a second of HQVGA frames.
CHUNK_BYTES = 4 << 20
# Seconds between two syncs of the file to the disk.
SYNC_SECONDS = 1.0
# Frames waiting for the writer thread; past this the newest are dropped.
QUEUE_BYTES = 64 << 20

_TIME = "MSG: builtin_interfaces/Time\nint32 sec\nuint32 nanosec\n"
_HEADER = "MSG: std_msgs/Header\nbuiltin_interfaces/Time stamp\nstring frame_id\n"
_SEPARATOR = "=" * 80 + "\n"
IMAGE_MSGDEF = (
    "std_msgs/Header header\nuint32 height\nuint32 width\nstring encoding\n"
    "uint8 is_bigendian\nuint32 step\nuint8[] data\n"
    + _SEPARATOR + _HEADER + _SEPARATOR + _TIME
)
CAMERA_INFO_MSGDEF = (
    "std_msgs/Header header\nuint32 height\nuint32 width\nstring distortion_model\n"
    "float64[] d\nfloat64[9] k\nfloat64[9] r\nfloat64[12] p\nuint32 binning_x\n"
    "uint32 binning_y\nsensor_msgs/RegionOfInterest roi\n"
    + _SEPARATOR + _HEADER + _SEPARATOR + _TIME + _SEPARATOR
    + "MSG: sensor_msgs/RegionOfInterest\nuint32 x_offset\nuint32 y_offset\n"
    "uint32 height\nuint32 width\nbool do_rectify\n"
)
FRAME_INFO_MSGDEF = (
    "# One frame of a norvane recording: what its images do not carry.\n"
    "std_msgs/Header header\n"
    "uint64 index  # capture number since the camera started\n"
    "int64 timestamp_ms  # the sensor's timestamp\n"
    "int64 received_ns  # host monotonic clock when the frame reached the camera's queue\n"
    "string[] planes  # the images recorded with this frame\n"
    "# Depth pixels (row-major index) whose metres do not give back the\n"
    "# float32 millimetres exactly, with those millimetres.\n"
    "uint32[] depth_exact_index\n"
    "float32[] depth_exact_mm\n"
    + _SEPARATOR + _HEADER + _SEPARATOR + _TIME
)


class RecordingError(CameraError):
    """A recording could not be written or read; the message names the file."""

    def __init__(self, message: str, code: int = -1) -> None:
        super().__init__(message, code)


@dataclasses.dataclass(frozen=True)
class RecordedFrame:
    """The content of one recorded frame, as the camera delivered it."""

    planes: Dict[str, np.ndarray]
    timestamp_ms: int
    index: int
    received_ns: int
    stamp_ns: int  # the header stamp: the wall clock when the frame reached the queue


@dataclasses.dataclass(frozen=True)
class RecordingSummary:
    """How a recording ended.

    frames: the frames the file holds. dropped: frames never written (the
    writer fell behind, or they came after a write failed). bytes: the
    file's size. error: why writing stopped early, None for a whole file.
    """

    path: str
    frames: int
    dropped: int
    bytes: int
    error: Optional[str]


# --- depth in metres, exact -------------------------------------------------

def depth_to_metres(depth_mm: np.ndarray) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Metres as float32 for REP 118, and the pixels that do not come back exactly."""
    metres = (depth_mm.astype(np.float64) / 1000.0).astype(np.float32)
    back = metres_to_depth(metres)
    wrong = np.flatnonzero(back.view(np.uint32) != depth_mm.view(np.uint32)).astype(np.uint32)
    return metres, wrong, depth_mm.reshape(-1)[wrong]


def metres_to_depth(metres: np.ndarray) -> np.ndarray:
    # float32 * 1000 is exact in float64: one rounding, to the nearest float32.
    return (metres.astype(np.float64) * 1000.0).astype(np.float32)


# --- writing -------------------------------------------------------------------

def _stamp(ns: int) -> Dict[str, int]:
    return {"sec": ns // 1_000_000_000, "nanosec": ns % 1_000_000_000}


def _image(header: Dict[str, Any], plane: np.ndarray, encoding: str) -> Dict[str, Any]:
    height, width = plane.shape
    return {"header": header, "height": height, "width": width, "encoding": encoding,
            "is_bigendian": 0, "step": width * plane.itemsize, "data": plane.tobytes()}


def camera_info_message(header: Dict[str, Any], intrinsics: Dict[str, Any]) -> Dict[str, Any]:
    fx, fy, cx, cy = (float(intrinsics[k]) for k in ("fx", "fy", "cx", "cy"))
    return {
        "header": header, "height": int(intrinsics["height"]), "width": int(intrinsics["width"]),
        "distortion_model": "plumb_bob", "d": [0.0] * 5,
        "k": [fx, 0.0, cx, 0.0, fy, cy, 0.0, 0.0, 1.0],
        "r": [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0],
        "p": [fx, 0.0, cx, 0.0, 0.0, fy, cy, 0.0, 0.0, 0.0, 1.0, 0.0],
        "binning_x": 0, "binning_y": 0,
        "roi": {"x_offset": 0, "y_offset": 0, "height": 0, "width": 0, "do_rectify": False},
    }


_FULL = {errno.ENOSPC: "the disk is full", errno.EDQUOT: "the disk quota is used up",
         errno.EFBIG: "the file size limit was reached"}


class Recorder:
    """Writes frames to an MCAP file from a thread of its own.

    `write` never blocks: it takes copies of the planes and queues them;
    when the writer falls more than QUEUE_BYTES behind, the frame is
    dropped and counted. `close` drains the queue, ends the file and
    returns a summary whose `error` says why writing stopped early (a full
    disk, say): everything up to the last complete chunk stays readable.
    """

    def __init__(self, path: "os.PathLike[str] | str", *, description: Dict[str, Any],
                 intrinsics: Optional[Dict[str, Any]] = None, planes: Sequence[str] = DEPTH_PLANES,
                 compression: str = "zstd", overwrite: bool = False,
                 queue_bytes: int = QUEUE_BYTES, chunk_bytes: int = CHUNK_BYTES) -> None:
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"path must be a str or os.PathLike, not {type(path).__name__}")
        self.path = os.fspath(path)
        if compression not in COMPRESSIONS:
            raise ValueError(f"compression must be one of {', '.join(COMPRESSIONS)}, not {compression!r}")
        self.planes = tuple(planes)
        unknown = [p for p in self.planes if p not in PLANE_TOPICS]
        if unknown or not self.planes or len(set(self.planes)) != len(self.planes):
            raise ValueError(f"planes must be distinct names out of {', '.join(PLANE_TOPICS)}, "
                             f"not {list(planes)!r}")
        if "raw" in self.planes and len(self.planes) > 1:
            raise ValueError("raw frames carry no other planes: record planes=('raw',) alone")
        try:
            self._file = open(self.path, "wb" if overwrite else "xb")
        except FileExistsError:
            raise RecordingError(f"{self.path}: already exists (overwrite=True, or --overwrite, replaces it)") from None
        except OSError as error:
            raise RecordingError(f"{self.path}: cannot create the recording: {error.strerror}") from None
        self._intrinsics = intrinsics
        # Header stamps are wall-clock time; frames carry the monotonic clock.
        self._clock_offset_ns = time.time_ns() - time.monotonic_ns()
        self._lock = threading.Condition()
        self._queue: Deque[Optional[Tuple[int, int, int, Dict[str, bytes], Tuple[int, int]]]] = deque()
        self._queued_bytes = 0
        self._queue_bytes = queue_bytes
        self.frames = 0
        self.kept = 0  # frames in finished chunks: what a crash now would leave
        self.dropped = 0
        self._error: Optional[str] = None
        self._closed = False
        self._synced_at = time.monotonic()
        try:
            self._writer = Ros2Writer(self._file, chunk_size=chunk_bytes,
                                      compression=COMPRESSIONS[compression])
            self._schemas = {
                "image": self._writer.register_msgdef("sensor_msgs/msg/Image", IMAGE_MSGDEF),
                "info": self._writer.register_msgdef("sensor_msgs/msg/CameraInfo", CAMERA_INFO_MSGDEF),
                "frame": self._writer.register_msgdef("norvane_msgs/msg/FrameInfo", FRAME_INFO_MSGDEF),
            }
            metadata = {
                "format": FORMAT_VERSION,
                "planes": ",".join(self.planes),
                "compression": compression,
                "clock_offset_ns": str(self._clock_offset_ns),
                "description": json.dumps(description, sort_keys=True),
                "intrinsics": json.dumps(intrinsics, sort_keys=True),
            }
            self._writer.add_metadata(METADATA_NAME, metadata)
            self._file.flush()
        except OSError as error:
            self._file.close()
            raise RecordingError(f"{self.path}: cannot write the recording: {error.strerror}") from None
        self._thread = threading.Thread(target=self._run, name="norvane-recorder", daemon=True)
        self._thread.start()

    # Called on the thread that delivers frames: copies and queues, nothing more.
    def write(self, planes: Dict[str, Optional[np.ndarray]], timestamp_ms: int, index: int,
              received_ns: int) -> bool:
        missing = [p for p in self.planes if planes.get(p) is None]
        if missing:
            raise RecordingError(f"{self.path}: the frame has no {' or '.join(missing)} plane to record")
        shape = planes[self.planes[0]].shape  # type: ignore[union-attr]
        data = {p: np.ascontiguousarray(planes[p], dtype=PLANE_DTYPES[p]).tobytes() for p in self.planes}
        size = sum(len(b) for b in data.values())
        with self._lock:
            if self._closed:  # a frame that came while the recording stopped
                return False
            if self._error is not None or (self._queue and self._queued_bytes + size > self._queue_bytes):
                self.dropped += 1
                return False
            self._queue.append((int(timestamp_ms), int(index), int(received_ns), data, shape))
            self._queued_bytes += size
            self._lock.notify()
        return True

    def close(self) -> RecordingSummary:
        with self._lock:
            if not self._closed:
                self._closed = True
                self._queue.append(None)
                self._lock.notify()
        self._thread.join()
        return self.summary()

    def summary(self) -> RecordingSummary:
        try:
            size = os.stat(self.path).st_size
        except OSError:
            size = 0
        return RecordingSummary(self.path, self.kept, self.dropped, size, self._error)

    def _run(self) -> None:
        while True:
            with self._lock:
                while not self._queue:
                    self._lock.wait()
                item = self._queue.popleft()
                if item is not None:
                    self._queued_bytes -= sum(len(b) for b in item[3].values())
            if item is None:
                break
            if self._error is not None:
                continue
            try:
                self._write_frame(*item)
                self.frames += 1
            except OSError as error:
                self._fail(error)
            except Exception as error:  # a bug here must not kill the process silently
                self._fail(error)
        if self._error is None:
            try:
                self._writer.add_metadata(METADATA_END_NAME, {"frames": str(self.frames),
                                                              "dropped": str(self.dropped)})
                self._writer.finish()  # type: ignore[no-untyped-call]
                self._file.flush()
                os.fsync(self._file.fileno())
                self.kept = self.frames
            except OSError as error:
                self._fail(error)
        try:
            self._file.close()
        except OSError as error:
            if self._error is None:
                self._fail(error)

    def _fail(self, error: BaseException) -> None:
        if isinstance(error, OSError) and error.errno in _FULL:
            cause = _FULL[error.errno]
        elif isinstance(error, OSError):
            cause = error.strerror or str(error)
        else:
            cause = f"{type(error).__name__}: {error}"
        with self._lock:
            self._error = (f"{self.path}: recording stopped after {self.frames} frames: {cause}; "
                           f"the file keeps the first {self.kept}")
            # What is still queued will not be written.
            lost = sum(1 for item in self._queue if item is not None)
            self.dropped += lost
            self._queue = deque(item for item in self._queue if item is None)
            self._queued_bytes = 0
        try:  # keep what the operating system already took; the buffer's tail is lost
            self._file.close()
        except OSError:
            pass

    def _write_frame(self, timestamp_ms: int, index: int, received_ns: int,
                     data: Dict[str, bytes], shape: Tuple[int, int]) -> None:
        stamp_ns = max(0, received_ns + self._clock_offset_ns)
        header = {"stamp": _stamp(stamp_ns), "frame_id": FRAME_ID}
        fix_index: List[int] = []
        fix_mm: List[float] = []

        def put(topic: str, schema: str, message: Dict[str, Any]) -> bool:
            """Writes one message; True when that finished a chunk."""
            before = self._file.tell()
            self._writer.write_message(topic, self._schemas[schema], message, log_time=stamp_ns,
                                       publish_time=stamp_ns, sequence=index & 0xFFFFFFFF)
            return self._file.tell() != before

        # Frames whose last message lies in a finished chunk, once the chunk is out.
        kept = self.kept

        for name in self.planes:
            plane = np.frombuffer(data[name], dtype=PLANE_DTYPES[name]).reshape(shape)
            if name == "depth":
                plane, wrong, exact = depth_to_metres(plane)
                fix_index, fix_mm = wrong.tolist(), exact.tolist()
            if put(PLANE_TOPICS[name], "image", _image(header, plane, PLANE_ENCODINGS[name])):
                kept = self.frames
        if self._intrinsics is not None and "raw" not in self.planes:
            if put(TOPIC_CAMERA_INFO, "info", camera_info_message(header, self._intrinsics)):
                kept = self.frames
        if put(TOPIC_FRAME, "frame", {
            "header": header, "index": index, "timestamp_ms": timestamp_ms,
            "received_ns": received_ns, "planes": list(self.planes),
            "depth_exact_index": fix_index, "depth_exact_mm": fix_mm,
        }):
            kept = self.frames + 1
        # Hand finished chunks to the operating system at once, and to the
        # disk once a second, so a power cut costs at most that much more.
        self._file.flush()
        if time.monotonic() - self._synced_at >= SYNC_SECONDS:
            os.fsync(self._file.fileno())
            self._synced_at = time.monotonic()
        self.kept = kept


# --- reading -------------------------------------------------------------------

@dataclasses.dataclass
class RecordingHeader:
    """What a recording says about itself before its first frame."""

    path: str
    planes: Tuple[str, ...]
    description: Dict[str, Any]
    intrinsics: Optional[Dict[str, Any]]
    compression: str


class RecordingReader:
    """Reads a recording frame by frame, straight through, up to its last complete chunk."""

    def __init__(self, path: "os.PathLike[str] | str") -> None:
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"path must be a str or os.PathLike, not {type(path).__name__}")
        self.path = os.fspath(path)
        self.truncated = False
        self.header = self._read_header()

    def _records(self) -> Iterator[Any]:
        """The file's records, up to the first that is cut short or damaged."""
        started = False
        try:
            with open(self.path, "rb") as file:
                reader = StreamReader(file, validate_crcs=True)
                try:
                    for record in reader.records:
                        started = True
                        yield record
                except InvalidMagic:
                    raise RecordingError(f"{self.path}: not an MCAP file") from None
                except (McapError, ValueError, EOFError, struct.error) as error:
                    if not started:
                        raise RecordingError(f"{self.path}: not a recording: the file is empty, cut "
                                             f"short before its header, or damaged ({str(error) or 'it ends early'})"
                                             ) from None
                    # A file cut short: everything up to here was whole.
                    self.truncated = True
        except OSError as error:
            raise RecordingError(f"{self.path}: cannot read the recording: {error.strerror}") from None

    def _read_header(self) -> RecordingHeader:
        for record in self._records():
            if isinstance(record, Metadata) and record.name == METADATA_NAME:
                meta = record.metadata
                if meta.get("format") != FORMAT_VERSION:
                    raise RecordingError(f"{self.path}: recording format {meta.get('format')!r} "
                                         f"is not the one this version reads ({FORMAT_VERSION})")
                try:
                    planes = tuple(meta["planes"].split(","))
                    description = json.loads(meta["description"])
                    intrinsics = json.loads(meta["intrinsics"])
                except (KeyError, ValueError) as error:
                    raise RecordingError(f"{self.path}: damaged recording metadata ({error})") from None
                if not planes or any(p not in PLANE_TOPICS for p in planes):
                    raise RecordingError(f"{self.path}: unknown planes {meta['planes']!r}")
                return RecordingHeader(self.path, planes, description, intrinsics,
                                       meta.get("compression", ""))
            if isinstance(record, (Message,)):
                break
        if self.truncated:
            raise RecordingError(f"{self.path}: not a recording: the file is cut short before "
                                 "the recording's metadata")
        raise RecordingError(f"{self.path}: not a norvane recording (no '{METADATA_NAME}' metadata "
                             "before its first message)")

    def frames(self) -> Iterator[RecordedFrame]:
        """The frames in the order they were recorded; a frame cut off by a truncation is left out."""
        self.truncated = False
        decoders = DecoderFactory()
        schemas: Dict[int, Schema] = {}
        channels: Dict[int, Tuple[str, Any]] = {}
        images: Dict[str, Any] = {}
        expected = set(self.header.planes)
        geometry: Optional[Tuple[int, int]] = None
        for record in self._records():
            if isinstance(record, Schema):
                schemas[record.id] = record
            elif isinstance(record, Channel):
                schema = schemas.get(record.schema_id)
                decoder = decoders.decoder_for(record.message_encoding, schema)
                if decoder is None:
                    raise RecordingError(f"{self.path}: topic {record.topic} has no ROS 2 schema")
                channels[record.id] = (record.topic, decoder)
            elif isinstance(record, Message):
                if record.channel_id not in channels:
                    raise RecordingError(f"{self.path}: message on an undeclared channel {record.channel_id}")
                topic, decoder = channels[record.channel_id]
                if topic == TOPIC_FRAME:
                    info = self._decode(decoder, record, topic)
                    if set(images) != expected:
                        raise RecordingError(f"{self.path}: frame {info.index} lacks its "
                                             f"{', '.join(sorted(expected - set(images)))} image")
                    planes, geometry = self._planes(images, info, geometry)
                    images = {}
                    stamp = info.header.stamp
                    yield RecordedFrame(planes, int(info.timestamp_ms), int(info.index),
                                        int(info.received_ns), int(stamp.sec) * 1_000_000_000 + int(stamp.nanosec))
                elif topic != TOPIC_CAMERA_INFO:
                    name = next((n for n, t in PLANE_TOPICS.items() if t == topic), None)
                    if name in expected:
                        images[name] = self._decode(decoder, record, topic)

    def _decode(self, decoder: Any, record: Message, topic: str) -> Any:
        try:
            return decoder(record.data)
        except Exception as error:  # the CDR decoder raises whatever a bad byte leads to
            raise RecordingError(f"{self.path}: a damaged message on {topic} "
                                 f"({type(error).__name__}: {error})") from None

    def _planes(self, images: Dict[str, Any], info: Any,
                geometry: Optional[Tuple[int, int]]) -> Tuple[Dict[str, np.ndarray], Tuple[int, int]]:
        planes: Dict[str, np.ndarray] = {}
        for name, image in images.items():
            dtype = PLANE_DTYPES[name]
            shape = (int(image.height), int(image.width))
            if geometry is None:
                geometry = shape
            where = f"{self.path}: frame {info.index}, {name} image"
            if shape != geometry:
                raise RecordingError(f"{where} is {shape[1]} x {shape[0]}, the recording's frames are "
                                     f"{geometry[1]} x {geometry[0]}")
            if image.encoding != PLANE_ENCODINGS[name] or image.is_bigendian:
                raise RecordingError(f"{where} has encoding {image.encoding!r}, "
                                     f"expected {PLANE_ENCODINGS[name]!r}")
            if image.step != shape[1] * dtype.itemsize or len(image.data) != image.step * shape[0]:
                raise RecordingError(f"{where} holds {len(image.data)} bytes, not "
                                     f"{shape[0] * shape[1] * dtype.itemsize}")
            plane = np.frombuffer(image.data, dtype=dtype).reshape(shape)
            if name == "depth":
                plane = metres_to_depth(plane)
                index = np.asarray(info.depth_exact_index, dtype=np.int64)
                if index.size != len(info.depth_exact_mm) or (index.size and index.max() >= plane.size):
                    raise RecordingError(f"{where}: damaged exact-depth list")
                plane.reshape(-1)[index] = np.asarray(info.depth_exact_mm, dtype=np.float32)
            planes[name] = plane.astype(dtype.newbyteorder("="), copy=True)
        return planes, geometry  # type: ignore[return-value]



class Replay:
    """Hands out a recording's frames at their recorded pace, or as fast as they are asked for.

    `start` begins at the first frame again; `next_frame` waits up to its
    time-out for the frame that is due, and returns None at the end of the
    recording, on a time-out, or once `stop` was called from another thread.
    """

    def __init__(self, path: "os.PathLike[str] | str", *, realtime: bool = True) -> None:
        if not isinstance(realtime, bool):
            raise TypeError(f"realtime must be True or False, not {realtime!r}")
        self.reader = RecordingReader(path)
        self.realtime = realtime
        self._frames: Optional[Iterator[RecordedFrame]] = None
        self._pending: Optional[RecordedFrame] = None
        self._offset_ns = 0
        self._stopped = threading.Event()
        self.ended = False

    @property
    def header(self) -> RecordingHeader:
        return self.reader.header

    def start(self, planes: Sequence[str]) -> None:
        missing = [p for p in planes if p not in self.header.planes]
        if missing:
            raise RecordingError(f"{self.reader.path}: the recording holds {', '.join(self.header.planes)} "
                                 f"planes, not {', '.join(missing)}")
        self.stop()
        self._stopped.clear()
        self._frames = self.reader.frames()
        self._pending = None
        self._offset_ns = 0
        self.ended = False

    def stop(self) -> None:
        # The reader (and its file) goes with the last reference; a thread
        # still inside next_frame holds it until it returns.
        self._stopped.set()
        self._frames = None

    def _peek(self) -> Optional[RecordedFrame]:
        if self._pending is None and self._frames is not None and not self.ended:
            self._pending = next(self._frames, None)
            if self._pending is None:
                self.ended = True
            elif self._offset_ns == 0:
                self._offset_ns = time.monotonic_ns() - self._pending.received_ns
        return self._pending

    def _due_in(self, frame: RecordedFrame) -> float:
        return (frame.received_ns + self._offset_ns - time.monotonic_ns()) / 1e9 if self.realtime else 0.0

    def next_frame(self, timeout: float, latest: bool = False) -> Optional[RecordedFrame]:
        deadline = time.monotonic() + timeout if timeout >= 0 else None
        while True:
            if self._stopped.is_set():
                return None
            frame = self._peek()
            if frame is None:
                return None
            wait = self._due_in(frame)
            if wait <= 0:
                self._pending = None
                if latest and self.realtime:  # skip to the newest frame already due
                    while True:
                        newer = self._peek()
                        if newer is None or self._due_in(newer) > 0:
                            break
                        frame, self._pending = newer, None
                return frame
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                wait = min(wait, left)
            self._stopped.wait(min(wait, 0.1))
