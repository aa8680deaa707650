"""Figures of recording to MCAP on the simulated kit, per geometry and compression.

For each geometry, captures SECONDS x 30 depth frames from the unpaced kit (with
its shot noise, as a real scene has) and times the capture loop alone, then
the same loop writing every frame to a recording. Prints per geometry:
  record_<geometry>_capture_cpu_ms     CPU per frame of the capture loop alone
  record_<geometry>_<comp>_cpu_ms      CPU added by recording, per recorded frame
  record_<geometry>_<comp>_mb_per_min  file size of one minute of recorded frames at 30 per second
  record_<geometry>_<comp>_dropped     frames the writer had to drop (unpaced kit:
                                       the writer falls behind a camera this fast)
CPU is process time (every thread), so the writer thread's work counts.
"""
import os
import sys
import tempfile
import time

import norvane

# Seconds of frames at 30 per second recorded per geometry and compression.
SECONDS = float(os.environ.get("RECORD_BENCH_SECONDS", "3"))
GEOMETRIES = {
    "hqvga": "geometry = hqvga\nfps = 0\n",
    "vga320": "geometry = vga\nfrequency = dual\nwidth = 320\nheight = 240\nfps = 0\n",
    "vga640": "geometry = vga\nfrequency = dual\nwidth = 640\nheight = 480\nfps = 0\n",
}
FRAMES = max(10, int(SECONDS * 30))


def capture(cam, frames, path=None, compression="zstd"):
    """Process seconds for `frames` frames read with norvane, recorded to `path` if given."""
    t0 = time.process_time()
    rec = cam.record(path, compression=compression) if path is not None else None
    for _ in range(frames):
        if cam.read(5.0) is None:
            sys.exit("no frame within 5 s")
    written = rec.stop().frames if rec is not None else frames
    return time.process_time() - t0, written


def main():
    with tempfile.TemporaryDirectory() as folder:
        for name, text in GEOMETRIES.items():
            config = os.path.join(folder, name + ".conf")
            with open(config, "w") as f:
                f.write(text)
            with norvane.open(config) as cam:
                cam.start()
                capture(cam, 5)
                bare = capture(cam, FRAMES)[0] / FRAMES
                print(f"record_{name}_capture_cpu_ms {bare * 1e3:.3f} ms")
                for compression in ("zstd", "lz4", "none"):
                    path = os.path.join(folder, f"{name}-{compression}.mcap")
                    total, written = capture(cam, FRAMES, path, compression)
                    size = os.path.getsize(path)
                    print(f"record_{name}_{compression}_cpu_ms {(total - bare * FRAMES) / written * 1e3:.3f} ms")
                    print(f"record_{name}_{compression}_mb_per_min {size / written * 30 * 60 / 1e6:.1f} MB")
                    print(f"record_{name}_{compression}_dropped {FRAMES - written} frames")
                    os.remove(path)


if __name__ == "__main__":
    main()
