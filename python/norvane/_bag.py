"""A norvane recording as a ROS 2 bag in one MCAP file: the writer thread and the reader.

Profile "ros2", CDR messages, "ros2msg" schemas, written with the mcap
package's records (norvane._mcap_writer) and CDR packed here from the numpy
planes, read with the mcap and mcap-ros2-support packages, so `ros2 bag`,
Foxglove and rosbags open a recording as it is:

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
import warnings
from collections import deque
from typing import Any, Deque, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from . import _native
from .errors import RecordingError

try:
    from mcap.exceptions import EndOfFile, InvalidMagic, McapError
    from mcap.reader import SeekingReader
    from mcap.records import Channel, Chunk, Message, Metadata, Schema
    from mcap.stream_reader import StreamReader, breakup_chunk
    from mcap.well_known import MessageEncoding, SchemaEncoding
    from mcap.writer import LIBRARY_IDENTIFIER
    from mcap_ros2.decoder import DecoderFactory

    from ._mcap_writer import ChunkBuffer, McapFileWriter
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
COMPRESSIONS = ("zstd", "lz4", "none")
# A chunk is the unit that survives a crash: it ends between frames, once it
# holds CHUNK_BYTES (uncompressed), and a crash loses the frames of the chunk
# being filled. At 1 MiB that is 3 frames of 240 x 180 depth, amplitude and
# confidence (519 kB each: 0.1 s at 30 frames per second), 7 of depth alone,
# and a single frame from 320 x 240 dual-frequency up. zstd level 1 looks back
# 512 KiB, so a larger chunk would compress no better and only lose more.
CHUNK_BYTES = 1 << 20
# Seconds between two syncs of the file to the disk.
SYNC_SECONDS = 1.0
# Chunks waiting for the writer thread; past this the newest frames are dropped.
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

def depth_to_metres(depth_mm: np.ndarray, scratch: Optional[Dict[str, np.ndarray]] = None
                    ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Metres as float32 for REP 118, and the pixels that do not come back exactly.

    One float32 division per pixel, the quotient rounded once to the nearest
    float32; returns the metres, the row-major indices (uint32) of the pixels
    whose metres times 1000 are not the millimetres bit for bit, and those
    millimetres. scratch: arrays kept between calls (the metres returned are
    then one of them, valid until the next call).
    """
    depth_mm = np.ascontiguousarray(depth_mm, dtype=np.float32)
    if scratch is None or scratch.get("metres", np.empty(0)).shape != depth_mm.shape:
        scratch = {} if scratch is None else scratch
        scratch["metres"] = np.empty(depth_mm.shape, np.float32)
    metres = scratch["metres"]
    wrong, exact = _native.metres_into(depth_mm, metres)
    return metres, wrong, exact


def metres_to_depth(metres: np.ndarray) -> np.ndarray:
    # float32 * 1000 is exact in float64, so the float32 product is that
    # value rounded once: what recordings have always been read with.
    with np.errstate(all="ignore"):
        depth: np.ndarray = np.multiply(metres, np.float32(1000.0), dtype=np.float32)
    return depth


# --- writing: CDR messages ----------------------------------------------------

# Little-endian CDR; offsets for alignment count from after this header.
_CDR_LE = b"\x00\x01\x00\x00"
_STAMP = struct.Struct("<iI")


class _Cdr:
    """The fixed part of a CDR message after its header stamp (which is 8 bytes at offset 0)."""

    def __init__(self) -> None:
        self.data = bytearray()

    def _align(self, size: int) -> None:
        self.data += bytes(-(8 + len(self.data)) % size)

    def put(self, fmt: str, *values: Any) -> "_Cdr":
        self._align(struct.calcsize("<" + fmt.lstrip("<0123456789")[0]))
        self.data += struct.pack(fmt, *values)
        return self

    def string(self, text: str) -> "_Cdr":
        raw = text.encode() + b"\0"
        return self.put("<I", len(raw)).raw(raw)

    def raw(self, data: bytes) -> "_Cdr":
        self.data += data
        return self

    def align(self, size: int) -> "_Cdr":
        self._align(size)
        return self

    def __bytes__(self) -> bytes:
        return bytes(self.data)


def _stamp(ns: int) -> bytes:
    return _CDR_LE + _STAMP.pack(ns // 1_000_000_000, ns % 1_000_000_000)


def _image_prefix(shape: Tuple[int, int], encoding: str, itemsize: int) -> bytes:
    """An Image message between its stamp and its pixels: frame, size, encoding, byte count."""
    height, width = shape
    return bytes(_Cdr().string(FRAME_ID).put("<II", height, width).string(encoding)
                 .put("<B", 0).put("<I", width * itemsize).put("<I", height * width * itemsize))


def camera_info_tail(intrinsics: Dict[str, Any]) -> bytes:
    """A CameraInfo message after its stamp: the pinhole lens, without distortion."""
    fx, fy, cx, cy = (float(intrinsics[k]) for k in ("fx", "fy", "cx", "cy"))
    k = [fx, 0.0, cx, 0.0, fy, cy, 0.0, 0.0, 1.0]
    r = [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]
    p = [fx, 0.0, cx, 0.0, 0.0, fy, cy, 0.0, 0.0, 0.0, 1.0, 0.0]
    return bytes(_Cdr().string(FRAME_ID).put("<II", int(intrinsics["height"]), int(intrinsics["width"]))
                 .string("plumb_bob").put("<I", 5).put("<5d", *[0.0] * 5).put("<9d", *k)
                 .put("<9d", *r).put("<12d", *p).put("<II", 0, 0).put("<IIII", 0, 0, 0, 0).put("<B", 0))


def _frame_info_parts(planes: Sequence[str]) -> Tuple[bytes, bytes]:
    """A FrameInfo message's fixed bytes: before the index, and from the plane names to the exact list."""
    head = _Cdr().string(FRAME_ID).align(8)
    rest = _Cdr().raw(bytes(len(head.data) + 24))  # the index and the two times: offsets only
    rest.put("<I", len(planes))
    for name in planes:
        rest.string(name)
    rest.align(4)
    return bytes(head), bytes(rest.data[len(head.data) + 24:])


_FRAME_TIMES = struct.Struct("<Qqq")
_COUNT = struct.Struct("<I")

_FULL = {errno.ENOSPC: "the disk is full", errno.EDQUOT: "the disk quota is used up",
         errno.EFBIG: "the file size limit was reached"}


def _cause(error: BaseException) -> str:
    if isinstance(error, OSError) and error.errno in _FULL:
        return _FULL[error.errno]
    if isinstance(error, OSError):
        return error.strerror or str(error)
    return f"{type(error).__name__}: {error}"


class Recorder:
    """Writes frames to an MCAP file, compressed and written by a thread of its own.

    `write` never blocks: it packs the frame's messages into the chunk
    being filled (the planes' one copy, the depth turned to metres on the
    way) and hands a full chunk to the writer thread, which compresses and
    writes it. When the writer falls more than QUEUE_BYTES behind, or the
    frame lacks a recorded plane or has another size than the first, the
    frame is dropped and counted. `close` hands over the last chunk, ends
    the file and returns a summary whose `error` says why writing stopped
    early (a full disk, say): everything up to the last complete chunk
    stays readable. The counters and `error` are the recording's state,
    read at any time.
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
        self._lock = threading.Condition()  # the queue, the spare chunks and the counters
        self._queue: Deque[Optional[ChunkBuffer]] = deque()  # full chunks for the writer thread; None ends it
        self._queued_bytes = 0
        self._queue_bytes = queue_bytes
        self._spare: List[ChunkBuffer] = []  # chunks written, to be filled again
        self._filling = threading.Lock()  # the chunk being filled, by write() and close()
        self._chunk = ChunkBuffer(max(1, min(chunk_bytes, CHUNK_BYTES)))
        self.frames = 0  # packed into a chunk
        self.kept = 0  # frames in finished chunks: what a crash now would leave
        self.dropped = 0
        self._shape: Optional[Tuple[int, int]] = None  # of the first frame: every frame's
        self._error: Optional[str] = None  # the file could not be written: the writer stopped
        self._refused: Optional[str] = None  # a frame could not be packed: no more are taken
        self._closed = False
        self._synced_at = time.monotonic()
        try:
            self._writer = McapFileWriter(self._file, profile="ros2", compression=compression,
                                          library=f"norvane; {LIBRARY_IDENTIFIER}")
            schemas = {
                "image": self._writer.add_schema("sensor_msgs/msg/Image", SchemaEncoding.ROS2,
                                                 IMAGE_MSGDEF.encode()),
                "info": self._writer.add_schema("sensor_msgs/msg/CameraInfo", SchemaEncoding.ROS2,
                                                CAMERA_INFO_MSGDEF.encode()),
                "frame": self._writer.add_schema("norvane_msgs/msg/FrameInfo", SchemaEncoding.ROS2,
                                                 FRAME_INFO_MSGDEF.encode()),
            }
            topics = [(PLANE_TOPICS[name], "image") for name in self.planes]
            if intrinsics is not None and "raw" not in self.planes:
                topics.append((TOPIC_CAMERA_INFO, "info"))
            topics.append((TOPIC_FRAME, "frame"))
            self._channels = {topic: self._writer.add_channel(topic, MessageEncoding.CDR, schemas[schema])
                              for topic, schema in topics}
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
        self._chunk_bytes = chunk_bytes
        self._info_tail = (camera_info_tail(intrinsics) if intrinsics is not None
                           and TOPIC_CAMERA_INFO in self._channels else None)
        self._frame_head, self._frame_planes = _frame_info_parts(self.planes)
        self._image_prefixes: Dict[Tuple[str, Tuple[int, int]], bytes] = {}
        self._thread = threading.Thread(target=self._run, name="norvane-recorder", daemon=True)
        self._thread.start()

    @property
    def written(self) -> int:
        """Frames written so far."""
        return self.frames

    @property
    def error(self) -> Optional[str]:
        """Why writing stopped early, as soon as it did; None while all is well."""
        return self._error or self._refused

    # Called on the thread that delivers frames: packs and hands over, never waits for the writer.
    def write(self, planes: Dict[str, Optional[np.ndarray]], timestamp_ms: int, index: int,
              received_ns: int) -> bool:
        """Adds one frame to the recording; False when it was dropped (counted) instead."""
        shapes = [getattr(planes.get(p), "shape", None) for p in self.planes]
        if self._shape is None and shapes[0] is not None and len(shapes[0]) == 2:
            with self._lock:  # the first frame's size is every frame's
                self._shape = self._shape or (int(shapes[0][0]), int(shapes[0][1]))
        shape = self._shape
        # A frame without a recorded plane, or of another size, would not replay.
        if shape is None or any(s != shape for s in shapes):
            with self._lock:
                self.dropped += 1
            return False
        data = {p: np.ascontiguousarray(planes[p], dtype=PLANE_DTYPES[p]) for p in self.planes}
        size = sum(plane.nbytes for plane in data.values())
        with self._filling:
            with self._lock:
                if self._closed:  # a frame that came while the recording stopped
                    return False
                if self.error is not None or (self._queue and self._queued_bytes + size > self._queue_bytes):
                    self.dropped += 1
                    return False
            try:
                self._pack_frame(self._chunk, int(timestamp_ms), int(index), int(received_ns), data, shape)
            except Exception as error:  # reported by error and close(), never raised into the camera's read
                with self._lock:  # the chunk holds part of this frame: none of it is written
                    self.dropped += self._chunk.frames + 1
                    self.frames -= self._chunk.frames
                    self._chunk.clear()
                    self._refused = (f"{self.path}: recording stopped after {self.frames} frames: "
                                     f"{_cause(error)}; the file keeps them")
                return False
            self._chunk.frames += 1
            with self._lock:
                self.frames += 1
                if self._chunk.size >= self._chunk_bytes:
                    self._hand_over()
        return True

    def _hand_over(self) -> None:
        """Queues the chunk being filled for the writer thread and takes a spare one (the lock held)."""
        self._queue.append(self._chunk)
        self._queued_bytes += self._chunk.size
        self._chunk = self._spare.pop() if self._spare else ChunkBuffer(self._chunk.capacity)
        self._lock.notify()

    def close(self) -> RecordingSummary:
        with self._filling, self._lock:
            if not self._closed:
                self._closed = True
                if self._error is not None:  # the frames packed since will not be written
                    self.dropped += self._chunk.frames
                elif self._chunk.size:
                    self._hand_over()
                self._queue.append(None)
                self._lock.notify()
        self._thread.join()
        return self.summary()

    def summary(self) -> RecordingSummary:
        try:
            size = os.stat(self.path).st_size
        except OSError:
            size = 0
        return RecordingSummary(self.path, self.kept, self.dropped, size, self.error)

    def _run(self) -> None:
        while True:
            with self._lock:
                while not self._queue:
                    self._lock.wait()
                chunk = self._queue.popleft()
                if chunk is not None:
                    self._queued_bytes -= chunk.size
            if chunk is None:
                break
            if self._error is not None:  # handed over as the writer failed
                with self._lock:
                    self.dropped += chunk.frames
                continue
            try:
                self._write_chunk(chunk)
            except OSError as error:
                self._fail(error, chunk)
            except Exception as error:  # a bug here must not kill the process silently
                self._fail(error, chunk)
            else:
                chunk.clear()
                with self._lock:
                    self._spare.append(chunk)
        if self._error is None:
            try:
                self._writer.add_metadata(METADATA_END_NAME, {"frames": str(self.frames),
                                                              "dropped": str(self.dropped)})
                self._writer.finish()
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

    def _fail(self, error: BaseException, chunk: Optional[ChunkBuffer] = None) -> None:
        """Stops the writer for `error`; `chunk`: the one that failed."""
        with self._lock:
            self._error = (f"{self.path}: recording stopped after {self.frames} frames: {_cause(error)}; "
                           f"the file keeps the first {self.kept}")
            # The chunk that failed and those still queued will not be written.
            lost = [c for c in self._queue if c is not None] + ([chunk] if chunk is not None else [])
            self.dropped += sum(c.frames for c in lost)
            self._queue = deque(c for c in self._queue if c is None)
            self._queued_bytes = 0
        try:  # keep what the operating system already took; the buffer's tail is lost
            self._file.close()
        except OSError:
            pass

    def _pack_frame(self, chunk: ChunkBuffer, timestamp_ms: int, index: int, received_ns: int,
                    data: Dict[str, np.ndarray], shape: Tuple[int, int]) -> None:
        """The frame's messages into the chunk: its images, the lens and the frame message, last."""
        stamp_ns = max(0, received_ns + self._clock_offset_ns)
        stamp = _stamp(stamp_ns)
        sequence = index & 0xFFFFFFFF
        exact_index: Any = b""
        exact_mm: Any = b""
        for name in self.planes:
            key = (name, shape)
            prefix = self._image_prefixes.get(key)
            if prefix is None:
                prefix = self._image_prefixes[key] = _image_prefix(
                    shape, PLANE_ENCODINGS[name], PLANE_DTYPES[name].itemsize)
            channel = self._channels[PLANE_TOPICS[name]]
            if name == "depth":  # the metres go straight into the chunk
                with chunk.add_message_into(channel, stamp_ns, stamp_ns, sequence, (stamp, prefix),
                                            data[name].nbytes) as metres:
                    exact_index, exact_mm = _native.metres_into(data[name], metres)
            else:
                chunk.add_message(channel, stamp_ns, stamp_ns, sequence, (stamp, prefix, data[name].data))
        if self._info_tail is not None:
            chunk.add_message(self._channels[TOPIC_CAMERA_INFO], stamp_ns, stamp_ns, sequence,
                              (stamp, self._info_tail))
        count = _COUNT.pack(len(exact_index))
        chunk.add_message(self._channels[TOPIC_FRAME], stamp_ns, stamp_ns, sequence, (
            stamp, self._frame_head, _FRAME_TIMES.pack(index, timestamp_ms, received_ns),
            self._frame_planes, count, exact_index, count, exact_mm))

    def _write_chunk(self, chunk: ChunkBuffer) -> None:
        # Finished chunks go to the operating system at once, and to the
        # disk once a second, so a power cut costs at most that much more.
        self._writer.write_chunk(chunk)
        self._file.flush()
        with self._lock:
            self.kept += chunk.frames
        if time.monotonic() - self._synced_at >= SYNC_SECONDS:
            os.fsync(self._file.fileno())
            self._synced_at = time.monotonic()


# --- reading -------------------------------------------------------------------

@dataclasses.dataclass
class RecordingHeader:
    """What a recording says about itself before its first frame."""

    path: str
    planes: Tuple[str, ...]
    description: Dict[str, Any]
    intrinsics: Optional[Dict[str, Any]]
    compression: str


@dataclasses.dataclass(frozen=True)
class _DamagedChunk:
    """In place of a chunk that fails its checksum or does not decompress."""

    start: int  # the chunk record's bytes in the file
    end: int
    chunk: Chunk
    reason: str


class RecordingReader:
    """Reads a recording frame by frame, straight through, up to its last complete chunk.

    Chunks are independent: a damaged one is skipped with a RuntimeWarning
    naming the frames it held, and listed in `damaged`; `truncated` tells a
    file cut short (a crash, a full disk) from one that is whole.
    """

    def __init__(self, path: "os.PathLike[str] | str") -> None:
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"path must be a str or os.PathLike, not {type(path).__name__}")
        self.path = os.fspath(path)
        self.truncated = False
        self.damaged: List[str] = []
        self.header = self._read_header()

    def _records(self) -> Iterator[Any]:
        """The file's records, a _DamagedChunk for each damaged chunk, up to the end or the cut."""
        started = False
        try:
            with open(self.path, "rb") as file:
                records = StreamReader(file, emit_chunks=True).records
                while True:
                    start = file.tell()
                    try:
                        record = next(records, None)
                    except InvalidMagic:
                        raise RecordingError(f"{self.path}: not an MCAP file") from None
                    except (McapError, ValueError, EOFError, struct.error, UnicodeDecodeError) as error:
                        if not started:
                            raise RecordingError(f"{self.path}: not a recording: the file is empty, cut "
                                                 f"short before its header, or damaged ({str(error) or 'it ends early'})"
                                                 ) from None
                        if isinstance(error, (EndOfFile, EOFError)) or file.tell() >= os.fstat(file.fileno()).st_size:
                            self.truncated = True  # cut short: everything up to here was whole
                        else:  # the records themselves no longer make sense from here
                            self._lost(f"{self.path}: damaged at byte {start}, the rest of the file cannot "
                                       f"be read ({type(error).__name__}: {error})")
                        return
                    if record is None:
                        return
                    started = True
                    if not isinstance(record, Chunk):
                        yield record
                        continue
                    try:
                        inner = breakup_chunk(record, validate_crc=True)
                    except Exception as error:  # a bad checksum, or whatever a decompressor raises
                        yield _DamagedChunk(start, file.tell(), record, f"{type(error).__name__}: {error}")
                        continue
                    yield from inner
        except OSError as error:
            raise RecordingError(f"{self.path}: cannot read the recording: {error.strerror}") from None

    def _lost(self, text: str) -> None:
        self.damaged.append(text)
        warnings.warn(text, RuntimeWarning, stacklevel=4)

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
        """The frames in the order they were recorded; a frame cut off by a truncation or damage is left out."""
        self.truncated = False
        self.damaged = []
        first_ns: Optional[int] = None  # the first chunk's first message: "seconds into the recording"
        last_index: Optional[int] = None
        after_damage = False  # frames whose messages a skipped chunk held in part are lost with it
        decoders = DecoderFactory()
        schemas: Dict[int, Schema] = {}
        channels: Dict[int, Tuple[str, Any]] = {}
        images: Dict[str, Any] = {}
        expected = set(self.header.planes)
        geometry: Optional[Tuple[int, int]] = None

        def declare(record: Any) -> None:
            if isinstance(record, Schema):
                schemas.setdefault(record.id, record)
            elif record.id not in channels:
                decoder = decoders.decoder_for(record.message_encoding, schemas.get(record.schema_id))
                if decoder is None:
                    raise RecordingError(f"{self.path}: topic {record.topic} has no ROS 2 schema")
                channels[record.id] = (record.topic, decoder)

        for record in self._records():
            if isinstance(record, _DamagedChunk):
                chunk = record.chunk
                begin = (chunk.message_start_time - first_ns) / 1e9 if first_ns is not None else 0.0
                end = (chunk.message_end_time - (first_ns or chunk.message_start_time)) / 1e9
                after = f"after frame {last_index}" if last_index is not None else "at the start"
                self._lost(f"{self.path}: skipped a damaged chunk (bytes {record.start} to {record.end}, "
                           f"{record.reason}): the frames {after}, recorded {begin:.2f} s to {end:.2f} s "
                           "into the recording, are lost")
                images, after_damage = {}, True
                # The lost chunk may have declared channels; a whole file's summary repeats them.
                for declaration in self._summary_declarations():
                    declare(declaration)
                continue
            if isinstance(record, Message) and first_ns is None:
                first_ns = record.log_time
            if isinstance(record, (Schema, Channel)):
                declare(record)
            elif isinstance(record, Message):
                if record.channel_id not in channels:
                    if after_damage:  # declared in the chunk that was lost
                        continue
                    raise RecordingError(f"{self.path}: message on an undeclared channel {record.channel_id}")
                topic, decoder = channels[record.channel_id]
                if topic == TOPIC_FRAME:
                    info = self._decode(decoder, record, topic)
                    if set(images) != expected:
                        if after_damage:
                            images = {}
                            continue
                        raise RecordingError(f"{self.path}: frame {info.index} lacks its "
                                             f"{', '.join(sorted(expected - set(images)))} image")
                    planes, geometry = self._planes(images, info, geometry)
                    images, after_damage, last_index = {}, False, int(info.index)
                    stamp = info.header.stamp
                    yield RecordedFrame(planes, int(info.timestamp_ms), int(info.index),
                                        int(info.received_ns), int(stamp.sec) * 1_000_000_000 + int(stamp.nanosec))
                elif topic != TOPIC_CAMERA_INFO:
                    name = next((n for n, t in PLANE_TOPICS.items() if t == topic), None)
                    if name in expected:
                        images[name] = self._decode(decoder, record, topic)

    def _summary_declarations(self) -> List[Any]:
        """The schemas, then the channels, of the file's summary; none when it has none or it is damaged."""
        try:
            with open(self.path, "rb") as file:
                summary = SeekingReader(file).get_summary()
        except Exception:  # a file cut short has no summary; a damaged one cannot be trusted
            return []
        if summary is None:
            return []
        return [*summary.schemas.values(), *summary.channels.values()]

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
