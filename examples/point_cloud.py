#!/usr/bin/env python3
"""Take one depth frame and save it as a point cloud (PLY), coloured by amplitude.

Usage: point_cloud.py [OUT.ply] [SOURCE]. The simulated kit's lens is known;
for a real camera give its lens first, from a calibration file
(norvane.Intrinsics.load) or from its field of view (Intrinsics.from_fov).
"""

import sys

import numpy as np

import norvane


def main() -> int:
    out = sys.argv[1] if len(sys.argv) > 1 else "points.ply"
    source = sys.argv[2] if len(sys.argv) > 2 else None
    with norvane.open(source) as cam:
        if cam.intrinsics is None:
            print(f"the lens of {cam.info.source} is not known: set cam.intrinsics first", file=sys.stderr)
            return 1
        cam.start("depth")
        frame = cam.read(timeout=2.0)
    if frame is None or frame.depth is None or frame.amplitude is None:
        print("no depth frame", file=sys.stderr)
        return 1
    points = frame.points()  # (N, 3) float32 millimetres: x right, y down, z forward
    valid = np.isfinite(frame.depth) & (frame.depth > 0)
    shade = np.sqrt(frame.amplitude[valid] / max(float(frame.amplitude.max()), 1e-6))
    norvane.save_ply(out, points, np.repeat(shade[:, np.newaxis], 3, axis=1))
    near = points[np.argmin(points[:, 2])]
    print(f"wrote {len(points)} points to {out}; nearest at x {near[0]:.0f}, y {near[1]:.0f}, z {near[2]:.0f} mm")
    return 0


if __name__ == "__main__":
    sys.exit(main())
