#!/usr/bin/env python3
"""Record a few seconds to an MCAP file, then run the same loop on the recording.

    record_and_replay.py [SECONDS] [SOURCE] [FILE]

norvane.open takes a camera or a recording alike, so the loop below does not
know which it reads; the replay hands back the recorded frames bit for bit.
Needs the record extra: pip install '.[record]'.
"""

import sys
import time
from typing import List, Optional, Tuple

import norvane


def centre_distances(cam: norvane.Camera, seconds: Optional[float]) -> List[Tuple[int, float]]:
    """(capture index, distance at the image centre in mm) of every frame read."""
    width, height = cam.info.depth_size
    seen = []
    end = time.monotonic() + seconds if seconds is not None else None
    for frame in cam.frames(timeout=2.0):
        assert frame.depth is not None
        seen.append((frame.index, float(frame.depth[height // 2, width // 2])))
        if end is not None and time.monotonic() > end:
            break
    return seen


def main() -> int:
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 2.0
    source = sys.argv[2] if len(sys.argv) > 2 else None
    path = sys.argv[3] if len(sys.argv) > 3 else "session.mcap"
    with norvane.open(source) as cam:
        cam.start()
        with cam.record(path, overwrite=True):
            live = centre_distances(cam, seconds)
    print(f"recorded {len(live)} frames to {path}")

    with norvane.open(path, realtime=False) as cam:  # as fast as read
        cam.start()
        replayed = centre_distances(cam, None)  # to the end of the recording
    same = "the same frames" if replayed == live else "DIFFERENT frames"
    print(f"replayed {len(replayed)} frames: {same}")
    return 0 if replayed == live else 1


if __name__ == "__main__":
    sys.exit(main())
