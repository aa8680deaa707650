#!/usr/bin/env python3
"""Read one depth frame and print the distance at the image centre."""

import sys

import NorvaneDepthCamera as ndc

cam = ndc.NorvaneCamera()
if cam.open(ndc.TOFConnect.USB) != ndc.TOFErrorCode.NorvaneSuccess:
    sys.exit("no camera")
cam.start(ndc.TOFOutput.DEPTH)

frame = cam.requestFrame(2000)  # milliseconds
if isinstance(frame, ndc.DepthData):
    depth = frame.getDepthData()  # a copy: (height, width) float32, millimetres
    timestamp = frame.getFrameFormat().timestamp
    cam.releaseFrame(frame)
    height, width = depth.shape
    print(f"frame at {timestamp} ms: {width} x {height}, centre {depth[height // 2, width // 2]:.0f} mm")
else:
    print("no frame")

cam.stop()
cam.close()
