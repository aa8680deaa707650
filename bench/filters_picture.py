"""Draws the room's point cloud before and after the depth filters.

Usage: filters_picture.py [OUT.png] [PRESET]. The kit is bench/filters.py's
(shot noise, mixed pixels); each panel is the last of its 30 captures,
`off` on the left, PRESET (default: "default") on the right, seen from
above and to the left of the camera, so that the flying pixels between the
ball, the box and the back wall stand out as streaks along the camera's
rays. Writes docs/filters-point-cloud.png unless told otherwise.
"""
import os
import sys
import tempfile

import numpy as np
import numpy.typing as npt
from PIL import Image, ImageDraw

import norvane
from filters import KIT, still_frames

PANEL_WIDTH, PANEL_HEIGHT = 480, 400
SCALE = 0.1  # pixels per millimetre
CENTRE = np.array([-250.0, 0.0, 2000.0])  # the point the view turns about, mm
YAW, PITCH = np.radians(-35.0), np.radians(-20.0)
NEAR_MM, FAR_MM = 1000.0, 3700.0
# Near to far: the colours the distance from the kit runs through.
COLOURS = np.array([[250, 220, 60], [240, 120, 40], [190, 50, 90], [90, 40, 150], [40, 60, 140]], dtype=np.float64)
BACKGROUND = (16, 16, 20)


def colour_of(distance: npt.NDArray[np.float64]) -> npt.NDArray[np.uint8]:
    t = np.clip((distance - NEAR_MM) / (FAR_MM - NEAR_MM), 0.0, 1.0) * (len(COLOURS) - 1)
    anchors = np.arange(len(COLOURS))
    return np.stack([np.interp(t, anchors, COLOURS[:, c]) for c in range(3)], axis=1).astype(np.uint8)


def panel(points: npt.NDArray[np.float32], title: str) -> Image.Image:
    p = points.astype(np.float64) - CENTRE
    cy, sy, cp, sp = np.cos(YAW), np.sin(YAW), np.cos(PITCH), np.sin(PITCH)
    x = cy * p[:, 0] - sy * p[:, 2]
    z = sy * p[:, 0] + cy * p[:, 2]
    y = cp * p[:, 1] - sp * z
    depth = sp * p[:, 1] + cp * z
    u = np.round(PANEL_WIDTH / 2 + SCALE * x).astype(int)
    v = np.round(PANEL_HEIGHT / 2 + SCALE * y).astype(int)
    colours = colour_of(np.linalg.norm(points.astype(np.float64), axis=1))
    image = np.zeros((PANEL_HEIGHT, PANEL_WIDTH, 3), dtype=np.uint8)
    image[:] = BACKGROUND
    # Far points first, so the near ones are drawn over them; 2 x 2 dots.
    order = np.argsort(-depth)
    for du in (0, 1):
        for dv in (0, 1):
            uu, vv = u[order] + du, v[order] + dv
            inside = (uu >= 0) & (uu < PANEL_WIDTH) & (vv >= 0) & (vv < PANEL_HEIGHT)
            image[vv[inside], uu[inside]] = colours[order][inside]
    out = Image.fromarray(image)
    ImageDraw.Draw(out).text((10, 8), title, fill=(235, 235, 235))
    return out


def cloud(config: str, preset: str) -> npt.NDArray[np.float32]:
    (_, depth, valid), *_ = still_frames(config, preset, kept=1)
    with norvane.open(config) as cam:
        intrinsics = cam.intrinsics
    assert intrinsics is not None
    return norvane.depth_to_points(np.where(valid, depth, 0.0), intrinsics)


def main() -> int:
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "docs", "filters-point-cloud.png")
    preset = sys.argv[2] if len(sys.argv) > 2 else "default"
    with tempfile.TemporaryDirectory() as tmp:
        config = os.path.join(tmp, "kit.conf")
        with open(config, "w") as f:
            f.write(KIT)
        before, after = cloud(config, "off"), cloud(config, preset)
    picture = Image.new("RGB", (2 * PANEL_WIDTH, PANEL_HEIGHT), BACKGROUND)
    picture.paste(panel(before, f"filters off: {len(before)} points"), (0, 0))
    picture.paste(panel(after, f'filters "{preset}": {len(after)} points'), (PANEL_WIDTH, 0))
    picture.save(out)
    print(f"wrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
