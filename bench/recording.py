"""Figures of recording to MCAP on the simulated kit, per geometry and compression.

For each geometry, captures SECONDS x 30 depth frames from the unpaced kit (with
its shot noise, as a real scene has) and times the capture loop alone, then
the same loop writing every frame to a recording. Prints per geometry:
  record_<geometry>_capture_cpu_ms     CPU per frame of the capture loop alone
  record_<geometry>_<comp>_cpu_ms      CPU per frame added by recording
  record_<geometry>_<comp>_mb_per_min  file size for one minute at 30 frames/s
  record_<geometry>_<comp>_dropped     frames the writer had to drop
CPU is process time (every thread), so the writer thread's work counts.
"""
import os
import sys
import tempfile
import time

import NorvaneDepthCamera as ndc

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "python"))
from norvane.recording import Recorder  # noqa: E402

# Seconds of frames at 30 per second recorded per geometry and compression.
SECONDS = float(os.environ.get("RECORD_BENCH_SECONDS", "4"))
GEOMETRIES = {
    "hqvga": "geometry = hqvga\nfps = 0\n",
    "vga320": "geometry = vga\nfrequency = dual\nwidth = 320\nheight = 240\nfps = 0\n",
    "vga640": "geometry = vga\nfrequency = dual\nwidth = 640\nheight = 480\nfps = 0\n",
}
FRAMES = max(10, int(SECONDS * 30))
INTRINSICS = {"fx": 1.0, "fy": 1.0, "cx": 0.0, "cy": 0.0, "width": 1, "height": 1, "model": "pinhole"}


def capture(cam, frames, recorder=None):
    """Process seconds for `frames` frames, planes copied as the package does."""
    t0 = time.process_time()
    got = 0
    while got < frames:
        frame = cam.requestFrame(1000)
        if frame is None:
            continue
        planes = {"depth": frame.getDepthData(), "amplitude": frame.getAmplitudeData(),
                  "confidence": frame.getConfidenceData()}
        stamp = frame.getFrameFormat().timestamp
        cam.releaseFrame(frame)
        if recorder is not None:
            recorder.write(planes, stamp, got, time.monotonic_ns())
        got += 1
    if recorder is not None:
        recorder.close()
    return time.process_time() - t0


def main():
    with tempfile.TemporaryDirectory() as folder:
        for name, text in GEOMETRIES.items():
            config = os.path.join(folder, name + ".conf")
            with open(config, "w") as f:
                f.write(text)
            cam = ndc.NorvaneCamera()
            if cam.openWithFile(config) != ndc.TOFErrorCode.NorvaneSuccess:
                sys.exit(f"cannot open the kit with {text!r}")
            cam.start(ndc.TOFOutput.DEPTH)
            capture(cam, 10)
            bare = capture(cam, FRAMES) / FRAMES
            print(f"record_{name}_capture_cpu_ms {bare * 1e3:.3f} ms")
            for compression in ("zstd", "lz4"):
                path = os.path.join(folder, f"{name}-{compression}.mcap")
                recorder = Recorder(path, description={}, intrinsics=INTRINSICS,
                                    compression=compression)
                total = capture(cam, FRAMES, recorder) / FRAMES
                size = os.path.getsize(path)
                print(f"record_{name}_{compression}_cpu_ms {(total - bare) * 1e3:.3f} ms")
                print(f"record_{name}_{compression}_mb_per_min {size / FRAMES * 30 * 60 / 1e6:.1f} MB")
                print(f"record_{name}_{compression}_dropped {recorder.dropped} frames")
            cam.stop()
            cam.close()


if __name__ == "__main__":
    main()
