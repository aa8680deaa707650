"""Figures of the Python module's frame access on the simulated kit.

python_plane_copy_ratio: getDepthData() of a 240 x 180 depth frame over a bare
copy of the same bytes between two preallocated numpy arrays (np.copyto), in
the same run. Each round times one batch of every routine in turn, so a busy
stretch of the machine hits all of them alike; the figures are medians.
"""
import os
import sys
import tempfile
import time

import numpy as np

import NorvaneDepthCamera as ndc

ROUNDS = 201
BATCH_SECONDS = 0.002
FPS_SECONDS = 1.0
KIT = "geometry = hqvga\nfps = 0\nnoise = 0\n"


def calibrate(run):
    for _ in range(3):
        run()
    batch = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(batch):
            run()
        if time.perf_counter() - t0 >= BATCH_SECONDS / 4 or batch >= 1 << 16:
            return batch
        batch *= 2


def median_times(subjects):
    """Per-call microseconds of each routine, median over the rounds."""
    batches = [calibrate(run) for run in subjects]
    times = [[] for _ in subjects]
    for _ in range(ROUNDS):
        for i, run in enumerate(subjects):
            batch = batches[i]
            t0 = time.perf_counter()
            for _ in range(batch):
                run()
            times[i].append((time.perf_counter() - t0) * 1e6 / batch)
    return [float(np.median(t)) for t in times]


def frames_per_second(cam):
    """Frames a loop of requestFrame and releaseFrame takes per second."""
    frames = 0
    t0 = time.perf_counter()
    end = t0 + FPS_SECONDS
    while time.perf_counter() < end:
        frame = cam.requestFrame(1000)
        if frame is not None:
            frames += 1
            cam.releaseFrame(frame)
    return frames / (time.perf_counter() - t0)


def main():
    with tempfile.NamedTemporaryFile("w", suffix=".conf", delete=False) as f:
        f.write(KIT)
        path = f.name
    try:
        cam = ndc.NorvaneCamera()
        if cam.openWithFile(path) != ndc.TOFErrorCode.NorvaneSuccess:
            sys.exit("python bench: the kit did not open")
        cam.start(ndc.TOFOutput.DEPTH)
        frame = cam.requestFrame(2000)
        if not isinstance(frame, ndc.DepthData):
            sys.exit("python bench: no depth frame")
        src = frame.getDepthData()
        dst = np.empty_like(src)
        plane_us, copy_us, alloc_copy_us = median_times([
            frame.getDepthData,
            lambda: np.copyto(dst, src),
            src.copy,
        ])
        cam.releaseFrame(frame)
        fps = frames_per_second(cam)
        cam.stop()
        cam.close()
    finally:
        os.unlink(path)

    print(f"python_depth_plane_us {plane_us:.6g} us")
    print(f"python_memcpy_us {copy_us:.6g} us")
    print(f"python_numpy_copy_us {alloc_copy_us:.6g} us")
    print(f"python_plane_copy_ratio {plane_us / copy_us:.6g} x")
    print(f"python_fps_unpaced {fps:.6g} fps")


if __name__ == "__main__":
    main()
