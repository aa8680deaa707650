"""The examples run on the simulated kit and the demo's pictures show its room."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import CENTRE_MM

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def run(script, *args, cwd):
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / script), *args], capture_output=True, text=True, timeout=60, cwd=cwd
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def test_read_one_frame(tmp_path):
    out = run("read_one_frame.py", cwd=tmp_path)
    match = re.search(r"frame at (\d+) ms: 240 x 180, centre (\d+) mm", out)
    assert match, out
    assert abs(int(match.group(2)) - CENTRE_MM) < 100, "the default kit has noise"


def test_demo_streams_and_draws_the_room(kit, tmp_path):
    image = pytest.importorskip("matplotlib.image")
    out = run("demo.py", "--config", str(kit), "--seconds", "0.5", "--scale", "1", "--out", str(tmp_path), cwd=tmp_path)
    rate = re.search(r"(\d+) frames in [\d.]+ s: ([\d.]+) frames per second", out)
    assert rate and int(rate.group(1)) > 1 and float(rate.group(2)) > 0, out
    centre = re.search(r"distance at the image centre \(row 90, column 120\): (\d+) mm", out)
    assert centre and abs(int(centre.group(1)) - CENTRE_MM) <= 5, out
    assert f"wrote {tmp_path / 'depth.png'}" in out and f"wrote {tmp_path / 'amplitude.png'}" in out

    depth = image.imread(tmp_path / "depth.png")
    amplitude = image.imread(tmp_path / "amplitude.png")
    assert depth.shape[:2] == amplitude.shape[:2] == (180, 240)
    # The ball (centre near column 59, row 127, 1050 mm away) is near, so red;
    # the back wall behind the image centre is far, so blue.
    ball, wall = depth[127, 59], depth[90, 120]
    assert ball[0] > ball[2] + 0.3 and wall[2] > wall[0] + 0.3, (ball, wall)
    # The ball, near and facing the camera, reflects far more light than the wall.
    assert amplitude[127, 59, 0] > amplitude[90, 120, 0] + 0.2


def test_norvane_examples(kit, tmp_path):
    out = run("stream.py", "0.3", str(kit), cwd=tmp_path)
    assert re.search(r"frame +\d+ at +\d+ ms: centre +3000 mm, missed \d+", out), out
    out = run("point_cloud.py", str(tmp_path / "room.ply"), str(kit), cwd=tmp_path)
    assert "wrote 43200 points" in out and (tmp_path / "room.ply").stat().st_size > 43200 * 12, out
