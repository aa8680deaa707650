"""The simulated kit's scene truth, as the filter benchmark reads it."""
import numpy as np
import pytest

from norvane import _native

pytestmark = pytest.mark.skipif(not _native.SIMULATED_KIT, reason="needs the simulated kit")


def test_truth_of_each_scene() -> None:
    for scene, centre_mm, has_edges in (("room", 3000.0, True), ("wall", 1400.0, False)):
        distance, edge = _native.scene_truth(scene, 240, 180)
        assert distance.shape == edge.shape == (180, 240)
        assert distance.dtype == np.float32 and edge.dtype == np.uint8
        assert abs(float(distance[89:91, 119:121].mean()) - centre_mm) < 2.0, scene
        assert bool((edge == 0).any()) == has_edges, scene


@pytest.mark.parametrize("args", [("beach", 240, 180), ("room", 0, 180), ("room", 240, -1), ("room", 5000, 10)])
def test_bad_arguments_are_refused(args: tuple) -> None:
    with pytest.raises(ValueError):
        _native.scene_truth(*args)
