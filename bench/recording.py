"""Figures of recording to MCAP on the simulated kit, per geometry and compression.

For each geometry the kit runs at 30 captures per second with its shot noise
(as a real scene has). Per compression, SECONDS of frames are read without
recording and then while recording, and one zstd level-1 pass over a frame's
bytes (its depth, amplitude and confidence planes) is timed before and after
each recording; the ratios are to the median of those passes, so they
compare figures of the same minute. Prints per geometry:
  record_<geometry>_capture_cpu_ms       CPU per frame of the reading loop alone
  record_<geometry>_zstd1_ms             one zstd level-1 pass over a frame's bytes
  record_<geometry>_<comp>_cpu_ms        CPU added by recording, per recorded frame
  record_<geometry>_<comp>_over_zstd1    that over the zstd level-1 pass
  record_<geometry>_<comp>_mb_per_min    file size of one minute at 30 frames per second
  record_<geometry>_<comp>_dropped       frames the writer had to drop
CPU is process time (every thread), so the writer thread's work counts.
"""
import os
import statistics
import sys
import tempfile
import time

import numpy as np
import zstandard

import norvane

# Seconds of frames at 30 per second per geometry and compression.
SECONDS = float(os.environ.get("RECORD_BENCH_SECONDS", "3"))
GEOMETRIES = {
    "hqvga": "geometry = hqvga\nfps = 30\n",
    "vga320": "geometry = vga\nfrequency = dual\nwidth = 320\nheight = 240\nfps = 30\n",
    "vga640": "geometry = vga\nfrequency = dual\nwidth = 640\nheight = 480\nfps = 30\n",
}
FRAMES = max(10, int(SECONDS * 30))


def capture(cam, frames, path=None, compression="zstd"):
    """Process seconds for `frames` frames read with norvane, recorded to `path` if given."""
    rec = cam.record(path, compression=compression) if path is not None else None
    t0 = time.process_time()
    last = None
    for _ in range(frames):
        last = cam.read(5.0)
        if last is None:
            sys.exit("no frame within 5 s")
    written = rec.stop().frames if rec is not None else frames
    return time.process_time() - t0, written, last


def zstd1_ms(frame):
    """Median process time of one zstd level-1 pass over the frame's planes."""
    data = b"".join(np.ascontiguousarray(p).tobytes() for p in (frame.depth, frame.amplitude, frame.confidence))
    compressor = zstandard.ZstdCompressor(level=1)
    times = []
    for _ in range(31):
        t0 = time.process_time()
        compressor.compress(data)
        times.append(time.process_time() - t0)
    return statistics.median(times) * 1e3


def main():
    with tempfile.TemporaryDirectory() as folder:
        for name, text in GEOMETRIES.items():
            config = os.path.join(folder, name + ".conf")
            with open(config, "w") as f:
                f.write(text)
            with norvane.open(config) as cam:
                cam.start()
                capture(cam, 5)
                bare_runs, references, recorded = [], [], {}
                for compression in ("zstd", "lz4", "none"):
                    bare, _, frame = capture(cam, FRAMES)
                    bare /= FRAMES
                    references.append(zstd1_ms(frame))
                    path = os.path.join(folder, f"{name}-{compression}.mcap")
                    total, written, frame = capture(cam, FRAMES, path, compression)
                    references.append(zstd1_ms(frame))
                    recorded[compression] = ((total - bare * FRAMES) / written * 1e3,
                                             os.path.getsize(path) / written * 30 * 60 / 1e6, FRAMES - written)
                    bare_runs.append(bare)
                    os.remove(path)
                # One pass is noisy; the median of the passes before and after each recording is the reference.
                reference = statistics.median(references)
                for compression, (added, mb_per_min, dropped) in recorded.items():
                    print(f"record_{name}_{compression}_cpu_ms {added:.3f} ms")
                    print(f"record_{name}_{compression}_over_zstd1 {added / reference:.2f} x")
                    print(f"record_{name}_{compression}_mb_per_min {mb_per_min:.1f} MB")
                    print(f"record_{name}_{compression}_dropped {dropped} frames")
                print(f"record_{name}_capture_cpu_ms {statistics.median(bare_runs) * 1e3:.3f} ms")
                print(f"record_{name}_zstd1_ms {reference:.3f} ms")


if __name__ == "__main__":
    main()
