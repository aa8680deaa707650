"""Recording to MCAP and replaying through the Camera interface."""
import gc
import hashlib
import os
import resource
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings
from pathlib import Path

import numpy as np
import pytest

# The record extra; an interpreter without it (the aarch64 test root) skips these.
pytest.importorskip("mcap_ros2")
from mcap_ros2.writer import Writer as Ros2Writer  # noqa: E402

import norvane
from norvane import _bag, _native, recording
from norvane.cli import main

SECONDS = 10.0
DEPTH = ("depth", "amplitude", "confidence")


def digest(frame):
    planes = (frame.depth, frame.amplitude, frame.confidence, frame.raw)
    return hashlib.sha1(b"".join(p.tobytes() for p in planes if p is not None)).hexdigest()


def summary(frame):
    return frame.index, frame.timestamp_ms, frame.received_ns, digest(frame)


@pytest.fixture(scope="module")
def session(tmp_path_factory):
    """Ten seconds from the noise-free kit at 30 captures per second, and what was delivered."""
    folder = tmp_path_factory.mktemp("session")
    kit = folder / "kit.conf"
    kit.write_text("fps = 30\nnoise = 0\n")
    path = folder / "session.mcap"
    delivered = []
    with norvane.open(kit) as cam:
        cam.start()
        with cam.record(path) as rec:
            begin = time.monotonic()
            for frame in cam.frames(timeout=5.0):
                delivered.append(summary(frame))
                if time.monotonic() - begin >= SECONDS:
                    break
    assert rec.dropped == 0 and rec.written == len(delivered) >= 250
    return path, delivered


def replayed(path, **options):
    with norvane.open(path, realtime=False, **options) as cam:
        cam.start()
        return [summary(frame) for frame in cam.frames()]


def test_a_recording_replays_bit_for_bit(session):
    path, delivered = session
    assert replayed(path) == delivered
    with norvane.open(path) as cam:
        assert cam.info.connection == "recording" and cam.info.depth_size == (240, 180)
        assert cam.intrinsics == norvane.Intrinsics.from_fov(240, 180, norvane.KIT_FOV_DEG)
        assert cam.range_mm == 4000 and not cam.controls["range_mm"].writable
        with pytest.raises(norvane.CameraError, match="cannot set range_mm on .*a recording"):
            cam.range_mm = 2000
        with pytest.raises(norvane.CameraError, match="no raw frames"):
            cam.start("raw")
    with pytest.raises(ValueError, match="realtime=False applies to a recording"):
        norvane.open("usb:0", realtime=False)


def test_readers_on_several_threads_share_the_frames(session):
    path, delivered = session
    seen = []
    with norvane.open(path, realtime=False) as cam:
        cam.start()
        readers = [threading.Thread(target=lambda: seen.extend(summary(f) for f in cam.frames())) for _ in range(3)]
        for reader in readers:
            reader.start()
        for reader in readers:
            reader.join()
    assert sorted(seen) == sorted(delivered)


def test_rosbags_reads_it_as_a_ros2_bag(session):
    from rosbags.highlevel import AnyReader

    path, delivered = session
    with norvane.open(path, realtime=False) as cam:
        cam.start()
        first = cam.read()
    with AnyReader([Path(path)]) as bag:
        types = {c.topic: c.msgtype for c in bag.connections}
        assert types == {
            "/norvane/depth/image": "sensor_msgs/msg/Image",
            "/norvane/amplitude/image": "sensor_msgs/msg/Image",
            "/norvane/confidence/image": "sensor_msgs/msg/Image",
            "/norvane/depth/camera_info": "sensor_msgs/msg/CameraInfo",
            "/norvane/frame": "norvane_msgs/msg/FrameInfo",
        }
        assert all(c.msgcount == len(delivered) for c in bag.connections)
        messages = {}
        for connection, stamp, data in bag.messages():
            messages.setdefault(connection.topic, bag.deserialize(data, connection.msgtype))
            if len(messages) == len(types):
                break
    amplitude = messages["/norvane/amplitude/image"]
    assert (amplitude.encoding, amplitude.width, amplitude.height) == ("32FC1", 240, 180)
    assert np.array_equal(np.frombuffer(amplitude.data, "<f4").reshape(180, 240), first.amplitude)
    depth = messages["/norvane/depth/image"]
    metres = np.frombuffer(depth.data, "<f4").reshape(180, 240)
    assert depth.encoding == "32FC1" and np.allclose(metres * 1000.0, first.depth, rtol=1e-6, atol=0)
    info = messages["/norvane/depth/camera_info"]
    assert list(info.k) == pytest.approx([first.intrinsics.fx, 0, 119.5, 0, first.intrinsics.fy, 89.5, 0, 0, 1])
    assert messages["/norvane/frame"].index == delivered[0][0]


def test_the_file_is_ros2_cdr_in_checked_chunks_of_whole_frames(session):
    from mcap.reader import make_reader
    from mcap.records import Chunk, Message, MessageIndex
    from mcap.stream_reader import StreamReader, breakup_chunk
    from mcap_ros2._dynamic import serialize_dynamic
    from mcap_ros2.decoder import DecoderFactory

    path, delivered = session
    with open(path, "rb") as file:
        reader = make_reader(file)
        summary = reader.get_summary()
        assert summary.statistics.message_count == 5 * len(delivered)
        assert summary.statistics.chunk_count == len(summary.chunk_indexes) > 1
        frame_channel = next(c.id for c in summary.channels.values() if c.topic == "/norvane/frame")
        # Each message is byte for byte what the ROS 2 CDR encoder makes of its content.
        codecs, decoders = {}, DecoderFactory()
        for count, (schema, channel, message) in enumerate(reader.iter_messages()):
            if schema.id not in codecs:
                codecs[schema.id] = (serialize_dynamic(schema.name, schema.data.decode())[schema.name],
                                     decoders.decoder_for("cdr", schema))
            encode, decode = codecs[schema.id]
            assert encode(decode(message.data)) == message.data, channel.topic
            if count == 50:
                break
    # Every chunk ends with a frame's last message, and a zstd chunk carries
    # zstd's checksum (it stands for MCAP's CRC, left 0).
    last, chunk_ends = None, []
    with open(path, "rb") as file:
        for record in StreamReader(file, validate_crcs=True, emit_chunks=True).records:
            if isinstance(record, Chunk):
                assert record.compression == "zstd" and record.uncompressed_crc == 0
                assert record.data[4] & 0x04, "the zstd frame's content checksum flag"
                last = breakup_chunk(record)[-1]
            elif isinstance(record, MessageIndex) and last is not None:
                chunk_ends.append(last.channel_id)
                last = None
    assert chunk_ends == [frame_channel] * summary.statistics.chunk_count


def test_every_compression_and_plane_set_reads_back_everywhere(tmp_path):
    from rosbags.highlevel import AnyReader

    rng = np.random.default_rng(5)
    depth = rng.uniform(0, 5000, (6, 4)).astype(np.float32)
    raw = rng.integers(-2048, 2048, (6, 4)).astype(np.int16)
    lens = {"fx": 3.0, "fy": 3.0, "cx": 1.5, "cy": 2.5, "width": 4, "height": 6}
    for compression, planes, chunk_bytes in (("zstd", ("depth",), 1), ("lz4", DEPTH, 1 << 20),
                                             ("none", ("raw",), 500), ("none", DEPTH, 1 << 20)):
        frames = {"depth": depth, "amplitude": depth * 2, "confidence": depth / 3, "raw": raw}
        path = tmp_path / f"{compression}-{len(planes)}-{chunk_bytes}.mcap"
        writer = recording.Recorder(path, description={}, intrinsics=lens, planes=planes,
                                    compression=compression, chunk_bytes=chunk_bytes)
        for i in range(5):
            writer.write({p: frames[p] + i for p in planes}, i, i, i)
        assert writer.close() == recording.RecordingSummary(str(path), 5, 0, path.stat().st_size, None)
        back = list(recording.RecordingReader(path).frames())
        assert [f.index for f in back] == list(range(5)), path.name
        for i, frame in enumerate(back):
            assert all(frame.planes[p].tobytes() == (frames[p] + i).tobytes() for p in planes), path.name
        with AnyReader([path]) as bag:
            counts = {c.topic: c.msgcount for c in bag.connections}
            images = [bag.deserialize(d, c.msgtype) for c, _, d in bag.messages()
                      if c.msgtype == "sensor_msgs/msg/Image"]
        assert set(counts.values()) == {5} and len(counts) == len(planes) + 1 + ("raw" not in planes)
        assert (images[0].height, images[0].width, images[0].step) == (6, 4, 4 * (2 if "raw" in planes else 4))


def test_each_compression_finds_a_damaged_chunk(tmp_path):
    # zstd and lz4 chunks are checked by their own checksums (MCAP's CRC is 0), plain ones by the CRC.
    depth = np.random.default_rng(11).uniform(500, 4000, (60, 80)).astype(np.float32)
    for compression in ("zstd", "lz4", "none"):
        path = tmp_path / f"{compression}.mcap"
        writer = recording.Recorder(path, description={}, compression=compression, chunk_bytes=1)
        for i in range(4):
            writer.write({p: depth + i for p in DEPTH}, i, i, i)
        assert writer.close().error is None
        (tmp_path / "damaged.mcap").write_bytes(flip_a_byte_in_a_chunk(path.read_bytes(), 1))
        reader = recording.RecordingReader(tmp_path / "damaged.mcap")
        with warnings.catch_warnings(record=True) as warned:
            warnings.simplefilter("always")
            assert [f.index for f in reader.frames()] == [0, 2, 3], compression
        assert len(reader.damaged) == 1 and "skipped a damaged chunk" in str(warned[0].message), compression
    with pytest.raises(ValueError, match="exactly"):  # never written past the buffer it is given
        _native.metres_into(depth, bytearray(depth.nbytes - 4))


def test_metres_read_back_as_recordings_always_were():
    # Older recordings were read with float64 arithmetic; float32 must give the same bits.
    rng = np.random.default_rng(3)
    metres = np.concatenate([rng.integers(0, 2**32, 200_000, dtype=np.uint32).view(np.float32),
                             np.float32([0.0, -0.0, 1e-45, 3.4e38, np.inf, -np.inf, 4.0959997])])
    with np.errstate(all="ignore"):
        old = (metres.astype(np.float64) * 1000.0).astype(np.float32)
    assert np.array_equal(_bag.metres_to_depth(metres), old, equal_nan=True)
    finite = np.isfinite(old)
    assert np.array_equal(_bag.metres_to_depth(metres)[finite].view(np.uint32), old[finite].view(np.uint32))


def test_depth_values_that_metres_cannot_hold_come_back_exactly(tmp_path):
    # About 2 % of float32 millimetres have no float32 metres that give them back.
    rng = np.random.default_rng(7)
    depth = rng.uniform(0, 5000, (180, 240)).astype(np.float32)
    depth[0, :5] = [np.nan, np.inf, -0.0, 1e-42, 4095.9995]
    _, wrong, _ = recording.depth_to_metres(depth)
    assert wrong.size > 500
    scratch = {}  # the writer's arrays, reused from frame to frame
    for plane in (depth, depth[::-1].copy(), depth[:90]):
        metres, wrong, exact = recording.depth_to_metres(plane, scratch)
        with np.errstate(all="ignore"):  # the metres are numpy's float32 quotient, bit for bit
            assert metres.tobytes() == np.divide(plane, np.float32(1000), dtype=np.float32).tobytes()
        back = _bag.metres_to_depth(metres)
        back.reshape(-1)[wrong] = exact
        assert back.tobytes() == plane.tobytes()
    writer = recording.Recorder(tmp_path / "r.mcap", description={})
    writer.write({"depth": depth, "amplitude": depth, "confidence": depth}, 1, 2, 3)
    assert writer.close().error is None
    (frame,) = recording.RecordingReader(tmp_path / "r.mcap").frames()
    assert frame.planes["depth"].tobytes() == depth.tobytes() and (frame.timestamp_ms, frame.index) == (1, 2)


def test_a_truncated_file_replays_its_complete_chunks(session, tmp_path):
    path, delivered = session
    data = Path(path).read_bytes()
    rng = np.random.default_rng(19)
    counts = []
    for cut in sorted(rng.integers(len(data) // 20, len(data), 6)) + [len(data) - 1]:
        cut_path = tmp_path / "cut.mcap"
        cut_path.write_bytes(data[:cut])
        frames = replayed(cut_path)
        assert frames == delivered[: len(frames)], cut
        counts.append(len(frames))
    assert counts == sorted(counts) and counts[-1] == len(delivered) and counts[0] > 0


def test_bad_recordings_give_a_clear_error(session, tmp_path):
    path, _ = session
    data = Path(path).read_bytes()
    other = tmp_path / "other.mcap"
    with Ros2Writer(str(other)) as writer:
        writer.add_metadata("unrelated", {"a": "b"})
    # A file whose frames are 320 x 240 while the camera it names had 240 x 180.
    wrong_size = tmp_path / "size.mcap"
    writer = recording.Recorder(wrong_size, description={"info": {"index": 0, "device": "hqvga",
                                "sensor_size": [240, 180], "depth_size": [240, 180]}})
    plane = np.ones((240, 320), np.float32)
    writer.write({"depth": plane, "amplitude": plane, "confidence": plane}, 0, 0, 0)
    writer.close()
    cases = [
        (b"not an mcap file at all, just text", "not an MCAP file"),
        (b"", "empty, cut short before its header"),
        (data[:200], "cut short before the recording's metadata"),
        (other.read_bytes(), "not a norvane recording"),
    ]
    for content, message in cases:
        bad = tmp_path / "bad.mcap"
        bad.write_bytes(content)
        with pytest.raises(norvane.CameraError, match=message):
            norvane.open(bad)
    with norvane.open(wrong_size) as cam:
        cam.start()
        with pytest.raises(norvane.CameraError, match="frame 0 is 320 x 240, the recorded camera's depth image 240 x 180"):
            cam.read()


def test_replay_keeps_the_recorded_pace_unless_told_otherwise(tmp_path):
    path = tmp_path / "paced.mcap"
    writer = recording.Recorder(path, description={"info": {"index": 0, "device": "hqvga",
                                "sensor_size": [4, 2], "depth_size": [4, 2]}}, planes=("depth",))
    plane = np.zeros((2, 4), np.float32)
    for i in range(6):  # 50 ms apart
        writer.write({"depth": plane}, i, i, i * 50_000_000)
    writer.close()
    with norvane.open(path) as cam:  # only the depth plane was recorded
        cam.start()
        frame = cam.read()
        assert frame.depth is not None and frame.amplitude is None and frame.confidence is None
    for realtime, at_least in ((True, 0.24), (False, 0.0)):
        with norvane.open(path, realtime=realtime) as cam:
            cam.start()
            begin = time.monotonic()
            assert [f.index for f in cam.frames()] == list(range(6))
            elapsed = time.monotonic() - begin
            assert elapsed >= at_least and (realtime or elapsed < 0.24)
    # latest=True: a consumer 130 ms late gets the newest due frame at the recorded
    # pace; as fast as read, the consumer sets the pace and misses nothing.
    for realtime, second in ((True, (2, 3, 4)), (False, (1,))):
        with norvane.open(path, realtime=realtime) as cam:
            cam.start()
            assert cam.read().index == 0
            time.sleep(0.13)
            assert cam.read(latest=True).index in second


def test_a_full_disk_keeps_what_was_written(tmp_path):
    # The file size limit stands in for a full disk: the writes fail with EFBIG.
    script = textwrap.dedent(f"""
        import resource, time, numpy as np
        from norvane import recording
        resource.setrlimit(resource.RLIMIT_FSIZE, (3_000_000, 3_000_000))
        writer = recording.Recorder({str(tmp_path / 'full.mcap')!r}, description={{}}, chunk_bytes=1 << 20)
        rng = np.random.default_rng(3)
        for i in range(40):
            plane = rng.uniform(0, 5000, (180, 240)).astype(np.float32)
            writer.write({{"depth": plane, "amplitude": plane, "confidence": plane}}, i, i, i)
            time.sleep(0.01)
        result = writer.close()
        print(result.frames, result.dropped, result.error)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    kept, dropped, error = done.stdout.split(" ", 2)
    assert int(kept) + int(dropped) == 40, "every frame is either in the file or counted as dropped"
    assert "recording stopped after" in error and "the file size limit was reached" in error
    assert f"the file keeps the first {kept}" in error
    frames = [f.index for f in recording.RecordingReader(tmp_path / "full.mcap").frames()]
    assert 0 < len(frames) < 40 and frames == list(range(int(kept)))


def test_a_writer_that_falls_behind_drops_and_counts(tmp_path, monkeypatch):
    original = recording.Recorder._write_chunk
    monkeypatch.setattr(recording.Recorder, "_write_chunk",
                        lambda self, *a: (time.sleep(0.05), original(self, *a))[1])
    writer = recording.Recorder(tmp_path / "slow.mcap", description={}, queue_bytes=1)
    plane = np.zeros((180, 240), np.float32)
    begin = time.monotonic()
    for i in range(20):
        writer.write({"depth": plane, "amplitude": plane, "confidence": plane}, i, i, i)
    assert time.monotonic() - begin < 0.5, "write never waits for the writer"
    result = writer.close()
    assert result.dropped > 0 and result.frames + result.dropped == 20


def test_a_frame_that_cannot_be_packed_stops_the_recording_without_raising(tmp_path, monkeypatch):
    # Packing runs on the thread that delivers frames: its failure must reach error and close(), not read().
    original = recording.Recorder._pack_frame

    def pack(self, chunk, timestamp_ms, index, *rest):
        if index == 5:
            raise MemoryError("no room for the frame")
        original(self, chunk, timestamp_ms, index, *rest)

    monkeypatch.setattr(recording.Recorder, "_pack_frame", pack)
    path = tmp_path / "failed.mcap"
    writer = recording.Recorder(path, description={}, chunk_bytes=1000)  # two of these frames a chunk
    plane = np.ones((6, 4), np.float32)
    written = [writer.write({p: plane * i for p in DEPTH}, i, i, i) for i in range(8)]
    assert written == [True] * 5 + [False] * 3
    result = writer.close()  # frame 4 was in the chunk being filled: lost with frame 5
    assert result.error.endswith("stopped after 4 frames: MemoryError: no room for the frame; the file keeps them")
    assert (result.frames, result.dropped) == (4, 4)
    assert [f.index for f in recording.RecordingReader(path).frames()] == [0, 1, 2, 3]


def test_record_and_replay_example(tmp_path):
    kit = tmp_path / "kit.conf"
    kit.write_text("fps = 100\nnoise = 1\n")
    example = Path(__file__).resolve().parents[2] / "examples" / "record_and_replay.py"
    done = subprocess.run([sys.executable, str(example), "0.3", str(kit), str(tmp_path / "s.mcap")],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and "the same frames" in done.stdout, done.stdout + done.stderr


def test_record_command(tmp_path, capsys):
    kit = tmp_path / "kit.conf"
    kit.write_text("fps = 100\nnoise = 0\n")
    out = tmp_path / "cli.mcap"
    assert main(["record", str(kit), "-o", str(out), "--seconds", "0.3"]) == 0
    assert "wrote" in capsys.readouterr().out and len(replayed(out)) > 5
    before = os.path.getsize(out)
    assert main(["record", str(kit), "-o", str(out), "--seconds", "0.3"]) == 2
    assert "already exists" in capsys.readouterr().err and os.path.getsize(out) == before
    assert main(["record", str(kit), "-o", str(tmp_path / "no" / "x.mcap")]) == 2
    raw = tmp_path / "raw.mcap"
    assert main(["record", str(kit), "-o", str(raw), "--seconds", "0.2", "--raw"]) == 0
    with norvane.open(raw, realtime=False) as cam:
        with pytest.raises(norvane.CameraError, match="holds raw planes, no depth frames"):
            cam.start()
        cam.start("raw")
        frame = cam.read()
        assert frame.raw.dtype == np.int16 and frame.raw.shape == (720, 240) and frame.depth is None



def kit_file(folder, fps=100):
    kit = folder / "kit.conf"
    kit.write_text(f"fps = {fps}\nnoise = 0\n")
    return kit


def replay_of(path):
    with norvane.open(path, realtime=False) as cam:
        cam.start()
        return [f.index for f in cam.frames()], cam.truncated, cam.damaged


def test_closing_the_camera_finishes_its_recording(tmp_path):
    camera = norvane.open(kit_file(tmp_path))
    camera.start()
    rec = camera.record(tmp_path / "closed.mcap")
    indexes = [camera.read(5.0).index for _ in range(30)]
    camera.close()  # the recording is not stopped by hand, and then nothing holds it
    del rec, camera
    gc.collect()
    assert not [t for t in threading.enumerate() if t.name == "norvane-recorder"], "the writer has finished"
    assert replay_of(tmp_path / "closed.mcap") == (indexes, False, ())


def test_what_the_writer_takes_replays(tmp_path):
    # A pause is no time-out; a frame of another size or without its plane is counted, not written.
    path = tmp_path / "odd.mcap"
    writer = recording.Recorder(path, description={"info": {"index": 0, "device": "hqvga",
                                "sensor_size": [4, 2], "depth_size": [4, 2]}}, planes=("depth",))
    for i, (ms, size) in enumerate([(0, (2, 4)), (20, (3, 4)), (40, None), (640, (2, 4)), (660, (2, 4))]):
        writer.write({"depth": None if size is None else np.zeros(size, np.float32)}, i, i, ms * 1_000_000)
    result = writer.close()
    assert (result.frames, result.dropped, result.error) == (3, 2, None)
    with norvane.open(path) as cam:  # in real time, with 600 ms between two frames
        cam.start()
        assert [f.index for f in cam.frames(timeout=0.2)] == [0, 3, 4]


def flip_a_byte_in_a_chunk(data, which):
    """The file with one byte changed in the compressed data of its chunk number `which`."""
    from io import BytesIO
    from mcap.records import Chunk
    from mcap.stream_reader import StreamReader

    stream, spans, start = BytesIO(data), [], 0
    for record in StreamReader(stream, emit_chunks=True).records:
        if isinstance(record, Chunk):
            spans.append((start, stream.tell()))
        start = stream.tell()
    damaged = bytearray(data)
    damaged[sum(spans[which]) // 2] ^= 0x40
    return bytes(damaged)


def test_damage_is_told_from_a_cut_and_costs_only_its_chunk(session, tmp_path):
    path, delivered = session
    indexes, data = [d[0] for d in delivered], Path(path).read_bytes()
    for name, content, cut, damaged in [  # the file, cut short, damaged chunks
        ("cut short", data[: len(data) * 2 // 3], True, 0),
        ("one damaged byte", flip_a_byte_in_a_chunk(data, 10), False, 1),
        ("the first chunk, which declares the topics, damaged", flip_a_byte_in_a_chunk(data, 0), False, 1),
    ]:
        (tmp_path / "copy.mcap").write_bytes(content)
        with warnings.catch_warnings(record=True) as warned:
            warnings.simplefilter("always")
            frames, truncated, lost = replay_of(tmp_path / "copy.mcap")
        assert (truncated, len(lost), len(warned)) == (cut, damaged, damaged), name
        assert all("skipped a damaged chunk" in str(w.message) for w in warned), name
        assert set(frames) <= set(indexes) and frames == sorted(frames), name
        assert frames == indexes[: len(frames)] if cut else len(indexes) - len(frames) <= 20, name


def test_inf_and_bad_time_outs_are_the_same_for_every_source(session, kit):
    for source in (kit, session[0]):
        with norvane.open(source) as cam:
            cam.start()
            for timeout in (float("inf"), None, 1e300):
                assert cam.read(timeout) is not None and next(cam.frames(timeout)) is not None
            for timeout, error in [(-1, ValueError), (float("nan"), ValueError), ("1", TypeError)]:
                with pytest.raises(error, match="timeout must be"):
                    cam.read(timeout)


def test_an_empty_recording_keeps_the_camera_s_planes(tmp_path):
    for output, planes in (("raw", ("raw",)), ("depth", ("depth", "amplitude", "confidence"))):
        path = tmp_path / f"empty-{output}.MCAP"  # also: the suffix in any case is a recording
        with norvane.open(kit_file(tmp_path)) as cam:
            cam.start(output)
            result = cam.record(path).stop()
            assert (result.frames, result.dropped, result.error) == (0, 0, None)
        with norvane.open(path) as replay:
            replay.start(output)
            assert replay.planes == planes and replay.info.connection == "recording" and replay.read(0.1) is None


def test_a_recording_never_replaces_its_own_input(session, tmp_path, capsys):
    kit, source = kit_file(tmp_path), tmp_path / "source.mcap"
    source.write_bytes(Path(session[0]).read_bytes()[:1_000_000])
    (tmp_path / "alias.mcap").symlink_to(source)
    for arguments in ([source, "-o", source], [source, "-o", tmp_path / "alias.mcap"], ["--config", kit, "-o", kit]):
        assert main(["record", *map(str, arguments), "--overwrite", "--seconds", "0.2"]) == 2, arguments
        assert "is the input" in capsys.readouterr().err
    with norvane.open(source) as replay, norvane.open(kit) as live:  # in a program: a replayed file
        live.start()
        with pytest.raises(norvane.RecordingError, match="is the recording being replayed"):
            live.record(tmp_path / "alias.mcap", overwrite=True)
    assert source.stat().st_size == 1_000_000 and "fps" in kit.read_text()


def test_the_record_command_ends_at_once_and_keeps_a_whole_file(tmp_path):
    kit, out = kit_file(tmp_path, fps=30), tmp_path / "ended.mcap"
    for ending, status, said in [  # what ends it, exit status, what it says
        (signal.SIGTERM, 0, "(stopped by SIGTERM)"),
        (signal.SIGHUP, 0, "(stopped by SIGHUP)"),
        (signal.SIGINT, 0, "(interrupted)"),
        ("a full disk", 1, "the file size limit was reached"),
    ]:
        out.unlink(missing_ok=True)
        full, begin = ending == "a full disk", time.monotonic()
        def as_from_a_terminal():  # the signals not ignored, as a background job's would be
            for number in (signal.SIGINT, signal.SIGHUP):
                signal.signal(number, signal.SIG_DFL)
            if full:
                resource.setrlimit(resource.RLIMIT_FSIZE, (2_000_000,) * 2)

        child = subprocess.Popen([sys.executable, "-m", "norvane.cli", "record", str(kit), "-o", str(out),
                                  "--seconds", "10", "--compression", "none"], preexec_fn=as_from_a_terminal,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        while not full and (not out.exists() or out.stat().st_size < 500_000):  # a chunk or so written
            assert child.poll() is None and time.monotonic() - begin < 20, child.communicate()
            time.sleep(0.05)
        if not full:
            child.send_signal(ending)
        stdout, stderr = child.communicate(timeout=30)
        assert child.returncode == status and said in stdout + stderr, (ending, stdout, stderr)
        assert time.monotonic() - begin < 8, f"{ending} ends the command long before its 10 s"
        if full:
            assert stderr.count("norvane: ") == 1 and stderr.splitlines()[-1].startswith("norvane: "), stderr
        else:
            frames, truncated, _ = replay_of(out)
            assert len(frames) == int(stdout.split(": ")[1].split()[0]) > 0 and not truncated, ending
