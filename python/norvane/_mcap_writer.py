"""An MCAP writer for a recorder's thread: chunks of whole frames, compressed at a level we choose.

The records are the mcap package's own (mcap.records); what this adds to
its Writer is control over the chunk: the zstd level (the package always
uses zstd's default, which costs several times level 1 for a few per cent
of size on camera planes), a chunk that ends only between frames, so a
finished chunk always holds whole frames, messages packed without a copy
per record (a message's data may be written straight into the chunk), and a
compressed chunk checked by its compression's own checksum instead of a
second pass for MCAP's CRC. Schemas, channels and metadata go outside the chunks, at
the start of the file, so every chunk can be read on its own.
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


class McapFileWriter:
    """Writes one MCAP file to a binary stream: call `finish` to end it."""

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
        self._new_chunk()
        stream.write(MAGIC)
        Header(profile=profile, library=library).write(self._builder)
        self._flush()

    def _new_chunk(self) -> None:
        # One buffer for every chunk: filled in place, grown only when a
        # chunk needs more than any before it.
        if not hasattr(self, "_chunk"):
            self._chunk = bytearray(1 << 20)
        self._chunk_bytes = 0
        self._chunk_index: Dict[int, List[Tuple[int, int]]] = {}
        self._chunk_start = self._chunk_end = 0

    def _flush(self) -> None:
        self._stream.write(_end(self._builder))

    @property
    def chunk_bytes(self) -> int:
        """Uncompressed bytes in the chunk being filled."""
        return self._chunk_bytes

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
        """Metadata between chunks: ends the chunk being filled first."""
        self.end_chunk()
        offset = self._stream.tell()
        Metadata(name=name, metadata=data).write(self._builder)
        self._metadata_indexes.append(MetadataIndex(offset=offset, length=self._builder.count, name=name))
        self._flush()

    def add_message(self, channel_id: int, log_time: int, publish_time: int, sequence: int,
                    data: Sequence[Buffer]) -> None:
        """Adds a message, its data given in pieces, to the chunk being filled; `end_chunk` writes the chunk."""
        self._add(channel_id, log_time, publish_time, sequence, data, 0)

    def add_message_into(self, channel_id: int, log_time: int, publish_time: int, sequence: int,
                         data: Sequence[Buffer], size: int) -> memoryview:
        """Adds a message whose data is `data` and then `size` more bytes, which the caller writes
        into the view returned, and releases it (`with ... as view:`) before the next call."""
        start = self._add(channel_id, log_time, publish_time, sequence, data, size)
        return memoryview(self._chunk)[start:start + size]

    def _add(self, channel_id: int, log_time: int, publish_time: int, sequence: int,
             data: Sequence[Buffer], reserve: int) -> int:
        if self._chunk_bytes == 0:
            self._chunk_start = self._chunk_end = log_time
        self._chunk_start = min(self._chunk_start, log_time)
        self._chunk_end = max(self._chunk_end, log_time)
        self._chunk_index.setdefault(channel_id, []).append((log_time, self._chunk_bytes))
        pieces = [memoryview(piece).cast("B") for piece in data]
        size = reserve + sum(piece.nbytes for piece in pieces)
        self._put(_MESSAGE.pack(Opcode.MESSAGE, _MESSAGE_FIXED + size, channel_id, sequence,
                                log_time, publish_time))
        for piece in pieces:
            self._put(piece)
        start = self._chunk_bytes
        if reserve:
            self._grow(start + reserve)
            self._chunk_bytes = start + reserve
        if self._messages == 0:
            self._start_time = self._end_time = log_time
        self._start_time = min(self._start_time, log_time)
        self._end_time = max(self._end_time, log_time)
        self._message_counts[channel_id] += 1
        self._messages += 1
        return start

    def _grow(self, end: int) -> None:
        if end > len(self._chunk):
            self._chunk += bytes(max(end - len(self._chunk), len(self._chunk) // 2))

    def _put(self, piece: Buffer) -> None:
        end = self._chunk_bytes + len(piece)
        self._grow(end)
        self._chunk[self._chunk_bytes:end] = piece
        self._chunk_bytes = end

    def end_chunk(self) -> bool:
        """Compresses and writes the chunk being filled; False when it holds no message."""
        if self._chunk_bytes == 0:
            return False
        chunk_offset = self._stream.tell()
        with memoryview(self._chunk)[:self._chunk_bytes] as data:
            compressed = self._compress(data)
            # A compressed chunk is checked by the checksum its compression
            # carries (readers verify it as they decompress); MCAP's own CRC
            # is then 0, "not computed", saving a second pass over the data.
            crc = 0 if self._self_checked else zlib.crc32(data)
            # The chunk record as mcap.records.Chunk writes it, without one more copy of the data.
            self._stream.write(_CHUNK.pack(
                Opcode.CHUNK, _CHUNK_FIXED + len(self._compression) + len(compressed),
                self._chunk_start, self._chunk_end, self._chunk_bytes, crc,
                len(self._compression)) + self._compression.encode() + _LENGTH.pack(len(compressed)))
            self._stream.write(compressed)
            compressed_size = len(compressed)
            del compressed
        chunk_length = self._stream.tell() - chunk_offset
        data_size = self._chunk_bytes
        index_offset = self._stream.tell()
        offsets: Dict[int, int] = {}
        for channel_id, records in self._chunk_index.items():
            offsets[channel_id] = index_offset + self._builder.count
            MessageIndex(channel_id=channel_id, records=records).write(self._builder)
        self._chunk_indexes.append(ChunkIndex(
            message_start_time=self._chunk_start, message_end_time=self._chunk_end,
            chunk_start_offset=chunk_offset, chunk_length=chunk_length,
            message_index_offsets=offsets, message_index_length=self._builder.count,
            compression=self._compression, compressed_size=compressed_size,
            uncompressed_size=data_size))
        self._flush()
        self._new_chunk()
        return True

    def finish(self) -> None:
        """Ends the last chunk and writes the summary and the footer; the stream stays open."""
        self.end_chunk()
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
