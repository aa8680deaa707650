"""An MCAP writer for a recorder's thread: chunks of whole frames, compressed at a level we choose.

The records are the mcap package's own (mcap.records); what this adds to
its Writer is control over the chunk: the zstd level (the package always
uses zstd's default, which costs several times level 1 for a few per cent
of size on camera planes), chunks filled by the caller (a ChunkBuffer, packed
where the frames arrive and handed over whole, so a chunk always holds
whole frames and a message's data may be written straight into it), and a
compressed chunk checked by its compression's own checksum instead of a
second pass for MCAP's CRC. Schemas, channels and metadata go outside the
chunks, so every chunk can be read on its own.
"""

from __future__ import annotations

import struct
import zlib
from collections import defaultdict
from typing import IO, Callable, DefaultDict, Dict, List, Sequence, Tuple, Union

from mcap.data_stream import RecordBuilder
from mcap.opcode import Opcode
from mcap.records import (
    Channel,
    ChunkIndex,
    DataEnd,
    Footer,
    Header,
    MessageIndex,
    Metadata,
    MetadataIndex,
    Schema,
    Statistics,
    SummaryOffset,
)

Buffer = Union[bytes, bytearray, memoryview]
MAGIC = b"\x89MCAP0\r\n"
# Opcode, record length, channel id, sequence, log time, publish time.
_MESSAGE = struct.Struct("<BQHIQQ")
_MESSAGE_FIXED = _MESSAGE.size - 9
# Opcode, record length, start and end time, uncompressed size and CRC, length of the compression name.
_CHUNK = struct.Struct("<BQQQQII")
_LENGTH = struct.Struct("<Q")
_CHUNK_FIXED = _CHUNK.size - 9 + _LENGTH.size


def _compressor(compression: str) -> Tuple[str, Callable[[memoryview], Buffer], bool]:
    """The chunk's compression name as MCAP spells it, the function that compresses, and whether
    what it makes carries a checksum of the uncompressed data of its own."""
    if compression == "zstd":
        import zstandard

        # Level 1: on noisy float planes zstd's default level (3) costs
        # five to seven times as much for 10 % less.
        return "zstd", zstandard.ZstdCompressor(level=1, write_checksum=True).compress, True
    if compression == "lz4":
        import lz4.frame  # type: ignore[import-untyped]

        def compress(data: memoryview) -> bytes:
            out: bytes = lz4.frame.compress(data, content_checksum=True)
            return out

        return "lz4", compress, True
    if compression == "none":
        return "", lambda data: data, False
    raise ValueError(f"unknown chunk compression {compression!r}")


def _end(builder: RecordBuilder) -> bytes:
    """The builder's bytes; it starts empty again."""
    data: bytes = builder.end()  # type: ignore[no-untyped-call]
    return data


class ChunkBuffer:
    """The messages of one chunk, packed in place; McapFileWriter.write_chunk writes it whole.

    A chunk is filled by one thread and written by another: hand it over
    whole, and clear() it (which keeps its buffer, grown only when a chunk
    needs more than any before it) to fill it again. `frames` is the
    caller's count of what it holds.
    """

    def __init__(self, capacity: int = 1 << 20) -> None:
        self._data = bytearray(capacity)
        self.clear()

    def clear(self) -> None:
        self.size = 0
        self.frames = 0
        self.index: Dict[int, List[Tuple[int, int]]] = {}  # channel: (log time, offset) of each message
        self.start_time = self.end_time = 0

    @property
    def data(self) -> memoryview:
        return memoryview(self._data)[:self.size]

    @property
    def capacity(self) -> int:
        return len(self._data)

    def add_message(self, channel_id: int, log_time: int, publish_time: int, sequence: int,
                    data: Sequence[Buffer]) -> None:
        """Adds a message whose data is given in pieces."""
        self._add(channel_id, log_time, publish_time, sequence, data, 0)

    def add_message_into(self, channel_id: int, log_time: int, publish_time: int, sequence: int,
                         data: Sequence[Buffer], size: int) -> memoryview:
        """Adds a message whose data is `data` and then `size` more bytes, which the caller writes
        into the view returned, and releases it (`with ... as view:`) before the next call."""
        start = self._add(channel_id, log_time, publish_time, sequence, data, size)
        return memoryview(self._data)[start:start + size]

    def _add(self, channel_id: int, log_time: int, publish_time: int, sequence: int,
             data: Sequence[Buffer], reserve: int) -> int:
        if self.size == 0:
            self.start_time = self.end_time = log_time
        self.start_time = min(self.start_time, log_time)
        self.end_time = max(self.end_time, log_time)
        self.index.setdefault(channel_id, []).append((log_time, self.size))
        # Bytes as they are, anything else (an array's memory) as its bytes.
        pieces = [piece if isinstance(piece, bytes) else memoryview(piece).cast("B") for piece in data]
        size = reserve + sum(map(len, pieces))
        header = _MESSAGE.pack(Opcode.MESSAGE, _MESSAGE_FIXED + size, channel_id, sequence, log_time, publish_time)
        at = self.size
        end = at + len(header) + size
        if end > len(self._data):
            self._data += bytes(max(end - len(self._data), len(self._data) // 2))
        buffer = self._data
        buffer[at:at + len(header)] = header
        at += len(header)
        for piece in pieces:
            buffer[at:at + len(piece)] = piece
            at += len(piece)
        self.size = end
        return at


class McapFileWriter:
    """Writes one MCAP file to a binary stream: chunks as they are given, then `finish` ends it."""

    def __init__(self, stream: IO[bytes], *, profile: str, library: str, compression: str) -> None:
        self._stream = stream
        self._compression, self._compress, self._self_checked = _compressor(compression)
        self._builder = RecordBuilder()
        self._schemas: List[Schema] = []
        self._channels: List[Channel] = []
        self._metadata_indexes: List[MetadataIndex] = []
        self._chunk_indexes: List[ChunkIndex] = []
        self._message_counts: DefaultDict[int, int] = defaultdict(int)
        self._start_time = self._end_time = 0
        self._messages = 0
        stream.write(MAGIC)
        Header(profile=profile, library=library).write(self._builder)
        self._flush()

    def _flush(self) -> None:
        self._stream.write(_end(self._builder))

    def add_schema(self, name: str, encoding: str, data: bytes) -> int:
        schema = Schema(id=len(self._schemas) + 1, name=name, encoding=encoding, data=data)
        self._schemas.append(schema)
        schema.write(self._builder)
        self._flush()
        return schema.id

    def add_channel(self, topic: str, message_encoding: str, schema_id: int) -> int:
        channel = Channel(id=len(self._channels) + 1, topic=topic, message_encoding=message_encoding,
                          schema_id=schema_id, metadata={})
        self._channels.append(channel)
        channel.write(self._builder)
        self._flush()
        return channel.id

    def add_metadata(self, name: str, data: Dict[str, str]) -> None:
        """Metadata, between two chunks."""
        offset = self._stream.tell()
        Metadata(name=name, metadata=data).write(self._builder)
        self._metadata_indexes.append(MetadataIndex(offset=offset, length=self._builder.count, name=name))
        self._flush()

    def write_chunk(self, chunk: ChunkBuffer) -> bool:
        """Compresses and writes the chunk and its message indexes; False when it holds no message."""
        if chunk.size == 0:
            return False
        chunk_offset = self._stream.tell()
        with chunk.data as data:
            compressed = self._compress(data)
            # A compressed chunk is checked by the checksum its compression
            # carries (readers verify it as they decompress); MCAP's own CRC
            # is then 0, "not computed", saving a second pass over the data.
            crc = 0 if self._self_checked else zlib.crc32(data)
            # The chunk record as mcap.records.Chunk writes it, without one more copy of the data.
            self._stream.write(_CHUNK.pack(
                Opcode.CHUNK, _CHUNK_FIXED + len(self._compression) + len(compressed),
                chunk.start_time, chunk.end_time, chunk.size, crc,
                len(self._compression)) + self._compression.encode() + _LENGTH.pack(len(compressed)))
            self._stream.write(compressed)
            compressed_size = len(compressed)
            del compressed
        chunk_length = self._stream.tell() - chunk_offset
        index_offset = self._stream.tell()
        offsets: Dict[int, int] = {}
        for channel_id, records in chunk.index.items():
            offsets[channel_id] = index_offset + self._builder.count
            MessageIndex(channel_id=channel_id, records=records).write(self._builder)
            self._message_counts[channel_id] += len(records)
            self._messages += len(records)
        self._chunk_indexes.append(ChunkIndex(
            message_start_time=chunk.start_time, message_end_time=chunk.end_time,
            chunk_start_offset=chunk_offset, chunk_length=chunk_length,
            message_index_offsets=offsets, message_index_length=self._builder.count,
            compression=self._compression, compressed_size=compressed_size,
            uncompressed_size=chunk.size))
        first = len(self._chunk_indexes) == 1
        self._start_time = chunk.start_time if first else min(self._start_time, chunk.start_time)
        self._end_time = chunk.end_time if first else max(self._end_time, chunk.end_time)
        self._flush()
        return True

    def finish(self) -> None:
        """Writes the summary and the footer; the stream stays open."""
        DataEnd(data_section_crc=0).write(self._builder)
        self._flush()
        summary_start = self._stream.tell()
        summary = RecordBuilder()
        offsets: List[SummaryOffset] = []

        def group(opcode: Opcode, records: List[object]) -> None:
            if not records:
                return
            begin = summary.count
            for record in records:
                record.write(summary)  # type: ignore[attr-defined]
            offsets.append(SummaryOffset(group_opcode=opcode, group_start=summary_start + begin,
                                         group_length=summary.count - begin))

        group(Opcode.SCHEMA, list(self._schemas))
        group(Opcode.CHANNEL, list(self._channels))
        group(Opcode.STATISTICS, [Statistics(
            attachment_count=0, channel_count=len(self._channels),
            channel_message_counts=dict(self._message_counts), chunk_count=len(self._chunk_indexes),
            message_count=self._messages, message_start_time=self._start_time,
            message_end_time=self._end_time, metadata_count=len(self._metadata_indexes),
            schema_count=len(self._schemas))])
        group(Opcode.CHUNK_INDEX, list(self._chunk_indexes))
        group(Opcode.METADATA_INDEX, list(self._metadata_indexes))
        offset_start = summary_start + summary.count
        for offset in offsets:
            offset.write(summary)
        data = _end(summary)
        # The footer's CRC covers the summary and the footer up to the CRC itself.
        crc = zlib.crc32(struct.pack("<BQQQ", Opcode.FOOTER, 20, summary_start, offset_start),
                         zlib.crc32(data))
        self._stream.write(data)
        Footer(summary_start=summary_start, summary_offset_start=offset_start,
               summary_crc=crc).write(self._builder)
        self._flush()
        self._stream.write(MAGIC)
