"""What the module shows at import: its attributes, docstrings and signatures."""
import subprocess
import sys

import pytest

import NorvaneDepthCamera as ndc

ATTRIBUTES = [
    "TOFDeviceType", "TOFOutput", "TOFConnect", "TOFControl", "TofWorkMode", "TofFrameWorkMode", "TOFErrorCode",
    "NorvaneFormat", "NorvaneInfo", "NorvaneFrame", "RawData", "DepthData", "NorvaneCamera", "__version__",
]  # fmt: skip


def test_attributes_in_registration_order_and_nothing_else():
    assert ndc.__version__ == "dev"
    assert [n for n in vars(ndc) if not (n.startswith("__") and n != "__version__")] == ATTRIBUTES
    assert ndc.__doc__ is None


def test_numpy_is_loaded_only_by_the_first_array():
    probe = "import sys, NorvaneDepthCamera; print('numpy' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True).stdout.strip() == "False"


OPEN_FIRST = (
    "Initialize the camera configuration and turn on the camera, set the initialization frame according to the mode."
)
CAMERA_DOCS = {
    "open": OPEN_FIRST + "\n\n- mode Specify the connection method.\n- index Device node, the default value is video0.",
    "openWithFile": OPEN_FIRST
    + "\n\n- path Specify the config file path.\n- index Device node, the default value is video0.",
    "close": "Close the camera",
    "start": "Start the camera stream and start processing.",
    "stop": "Stop camera stream and processing.",
    "setControl": "Set camera parameters.",
    "getControl": "Get camera parameters.",
    "getCameraInfo": "Get camera information.",
    "requestFrame": "Request a frame of data from the frame processing thread.",
    "releaseFrame": "Free the memory space of the frame.",
}
FRAME_DOCS = {
    (ndc.RawData, "getRawData"): "Get raw data from the frame",
    (ndc.RawData, "getFrameFormat"): "Get the information of this frame",
    (ndc.DepthData, "getDepthData"): "Get depth data from the frame",
    (ndc.DepthData, "getConfidenceData"): "Get confidence data from the frame",
    (ndc.DepthData, "getAmplitudeData"): "Get amplitude data from the frame",
    (ndc.DepthData, "getFrameFormat"): "Get the information of this frame",
}


def docstring_text(method):
    """The text after the generated signature line."""
    signature, blank, text = method.__doc__.partition("\n\n")
    assert signature.startswith(method.__name__ + "(")
    return text.rstrip("\n")


def test_camera_methods_in_order_with_their_parameters_and_docstrings():
    methods = [n for n in vars(ndc.NorvaneCamera) if not n.startswith("_")]
    assert methods == list(CAMERA_DOCS)
    for name, doc in CAMERA_DOCS.items():
        assert docstring_text(getattr(ndc.NorvaneCamera, name)) == doc, name
    signatures = {name: getattr(ndc.NorvaneCamera, name).__doc__.split("\n")[0] for name in CAMERA_DOCS}
    assert "mode: NorvaneDepthCamera.TOFConnect, index:" in signatures["open"]
    assert signatures["open"].split("index: ")[1].split(")")[0].endswith("= 0")
    assert "(self: NorvaneDepthCamera.NorvaneCamera, path: str | None, index:" in signatures["openWithFile"]
    assert "type: NorvaneDepthCamera.TOFOutput)" in signatures["start"]
    assert "ctrl: NorvaneDepthCamera.TOFControl, value:" in signatures["setControl"]
    assert "timeout:" in signatures["requestFrame"]
    assert "frame: NorvaneDepthCamera.NorvaneFrame" in signatures["releaseFrame"]


def test_frame_methods_docstrings_and_array_signatures():
    for (cls, name), doc in FRAME_DOCS.items():
        assert docstring_text(vars(cls)[name]) == doc
    assert ndc.RawData.getRawData.__doc__.startswith(
        "getRawData(self: NorvaneDepthCamera.NorvaneFrame) -> numpy.ndarray[int16]"
    )
    assert ndc.DepthData.getConfidenceData.__doc__.startswith(
        "getConfidenceData(self: NorvaneDepthCamera.DepthData) -> numpy.ndarray[float32]"
    )
    assert sorted(n for n in vars(ndc.NorvaneFrame) if not n.startswith("_")) == []


def test_frame_class_tree_and_missing_constructors():
    assert issubclass(ndc.RawData, ndc.NorvaneFrame) and issubclass(ndc.DepthData, ndc.NorvaneFrame)
    assert not hasattr(ndc.RawData, "getDepthData") and not hasattr(ndc.DepthData, "getRawData")
    for cls in (ndc.NorvaneFrame, ndc.RawData, ndc.DepthData, ndc.NorvaneFormat, ndc.NorvaneInfo):
        with pytest.raises(TypeError):
            cls()
