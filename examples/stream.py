#!/usr/bin/env python3
"""Stream depth frames for a few seconds and print the distance at the image centre.

The newest frame each time (latest=True): a consumer slower than the camera
never falls behind, and the frame index shows the captures it skipped.
"""

import sys
import time

import norvane


def main() -> int:
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 2.0
    source = sys.argv[2] if len(sys.argv) > 2 else None
    with norvane.open(source) as cam:
        cam.start("depth")
        width, height = cam.info.depth_size
        last_index = None
        end = time.monotonic() + seconds
        for frame in cam.frames(timeout=2.0, latest=True):
            assert frame.depth is not None
            missed = 0 if last_index is None else frame.index - last_index - 1
            last_index = frame.index
            centre = frame.depth[height // 2, width // 2]
            print(f"frame {frame.index:5d} at {frame.timestamp_ms:6d} ms: centre {centre:6.0f} mm, missed {missed}")
            if time.monotonic() > end:
                break
    return 0


if __name__ == "__main__":
    sys.exit(main())
