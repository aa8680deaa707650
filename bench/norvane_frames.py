"""Cost of norvane's frames() per frame against a bare NorvaneDepthCamera loop.

Both consumers take every frame of an unpaced, noise-free kit and get all
three planes as new arrays: the bare loop with requestFrame, getDepthData,
getAmplitudeData, getConfidenceData and releaseFrame, keeping the arrays
until the next frame as a script does; norvane with
`for frame in cam.frames()`. Rounds alternate between the two (each round
starts its camera, takes FRAMES frames and stops it); figures are medians.

norvane_frames_us / bare_frames_us: wall time per frame (the capture thread
paces both); norvane_frames_cpu_us / bare_frames_cpu_us: the consumer
thread's own CPU time per frame, which is where the package's overhead shows.
"""
import os
import sys
import tempfile
import time

import numpy as np

import NorvaneDepthCamera as ndc
import norvane

ROUNDS = 21
FRAMES = 400
KIT = "geometry = hqvga\nfps = 0\nnoise = 0\n"


def bare_round(cam):
    cam.start(ndc.TOFOutput.DEPTH)
    wall, cpu = time.perf_counter(), time.thread_time()
    for _ in range(FRAMES):
        frame = cam.requestFrame(1000)
        if frame is None:
            sys.exit("norvane bench: no frame")
        # Kept until the next frame, as a script keeps what it works on.
        depth = frame.getDepthData()  # noqa: F841
        amplitude = frame.getAmplitudeData()  # noqa: F841
        confidence = frame.getConfidenceData()  # noqa: F841
        cam.releaseFrame(frame)
    wall, cpu = time.perf_counter() - wall, time.thread_time() - cpu
    cam.stop()
    return wall * 1e6 / FRAMES, cpu * 1e6 / FRAMES


def norvane_round(cam):
    cam.start("depth")
    wall, cpu = time.perf_counter(), time.thread_time()
    taken = 0
    for frame in cam.frames():
        taken += 1
        if taken == FRAMES:
            break
    wall, cpu = time.perf_counter() - wall, time.thread_time() - cpu
    cam.stop()
    return wall * 1e6 / FRAMES, cpu * 1e6 / FRAMES


def main():
    with tempfile.NamedTemporaryFile("w", suffix=".conf", delete=False) as f:
        f.write(KIT)
        path = f.name
    try:
        bare = ndc.NorvaneCamera()
        if bare.openWithFile(path) != ndc.TOFErrorCode.NorvaneSuccess:
            sys.exit("norvane bench: the kit did not open")
        with norvane.open(path) as cam:
            results = {"bare": [], "norvane": []}
            for _ in range(ROUNDS):
                results["bare"].append(bare_round(bare))
                results["norvane"].append(norvane_round(cam))
        bare.close()
    finally:
        os.unlink(path)
    (bare_wall, bare_cpu), (own_wall, own_cpu) = (np.median(np.array(results[k]), axis=0) for k in ("bare", "norvane"))
    print(f"bare_frames_us {bare_wall:.6g} us")
    print(f"norvane_frames_us {own_wall:.6g} us")
    print(f"norvane_frames_over_bare {own_wall / bare_wall:.6g} x")
    print(f"bare_frames_cpu_us {bare_cpu:.6g} us")
    print(f"norvane_frames_cpu_us {own_cpu:.6g} us")
    print(f"norvane_frames_cpu_over_bare {own_cpu / bare_cpu:.6g} x")


if __name__ == "__main__":
    main()
