"""Enumerations and records as scripts see them."""
import pickle

import pytest

import NorvaneDepthCamera as ndc


def test_integer_comparable_against_strict():
    assert ndc.TOFErrorCode.NorvaneSuccess == 0
    assert ndc.TOFDeviceType.HQVGA == 1
    assert ndc.TOFErrorCode.NorvaneSuccess != None  # noqa: E711
    assert not (ndc.TOFOutput.RAW == 0)
    assert ndc.TOFOutput.RAW != 0
    assert ndc.TOFOutput.RAW == ndc.TOFOutput.RAW
    assert ndc.TOFConnect.CSI != ndc.TOFOutput.RAW
    assert not (ndc.TofWorkMode.BG_OUTDOOR == ndc.TofFrameWorkMode.BG_OUTDOOR)


def test_numbers_and_names():
    assert int(ndc.TOFControl.CONFIG_DIR_EXT) == 256
    assert int(ndc.TOFErrorCode.NorvaneSkipFrame) == 240
    assert int(ndc.TOFErrorCode.NorvaneSystemError) == -2
    assert int(ndc.TofWorkMode.BG_OUTDOOR) == 7
    assert int(ndc.TofFrameWorkMode.BG_OUTDOOR) == 18
    assert ndc.TOFOutput(2) is ndc.TOFOutput.DEPTH or ndc.TOFOutput(2) == ndc.TOFOutput.DEPTH
    assert ndc.TOFOutput.CONFIDENCE.name == "CONFIDENCE"
    assert list(ndc.TOFOutput.__members__) == ["RAW", "DEPTH", "CONFIDENCE", "CACHE"]
    assert "AUTO_FRAME_RATE" not in ndc.TOFControl.__members__
    assert ndc.TOFOutput.__doc__.startswith("Members:")


def test_representations():
    assert repr(ndc.TOFOutput.DEPTH) == "TOFOutput.DEPTH"
    assert str(ndc.TOFOutput.DEPTH) == "TOFOutput.DEPTH"
    assert repr(ndc.TOFOutput(3)) == "TOFOutput.???"
    assert repr(ndc.TOFErrorCode(5)) == "TOFErrorCode.???"


def test_error_text():
    assert ndc.TOFErrorCode.NorvaneUnkownDevice.str() == "Unkown device"
    assert ndc.TOFErrorCode.NorvaneSkipFrame.str() == "Skip frame"
    assert ndc.TOFErrorCode(5).str() == "Unknown error"
    assert str(ndc.TOFErrorCode.NorvaneSuccess) == "TOFErrorCode.NorvaneSuccess"


def test_constructor_ranges():
    with pytest.raises(TypeError):
        ndc.TOFDeviceType(-1)
    assert int(ndc.TOFDeviceType(2**32 - 1)) == 2**32 - 1
    assert int(ndc.TOFOutput(-1)) == -1
    with pytest.raises(TypeError):
        ndc.TOFOutput(2**31)


def test_hash_and_pickle():
    assert hash(ndc.TOFControl.FRAME_RATE) == 6
    for member in (ndc.TOFOutput.DEPTH, ndc.TOFErrorCode.NorvaneSystemError, ndc.TofFrameWorkMode.CUSTOM):
        assert pickle.loads(pickle.dumps(member)) == member


def test_records_have_no_constructor():
    for cls in (ndc.NorvaneInfo, ndc.NorvaneFormat):
        with pytest.raises(TypeError):
            cls()


def test_module_namespace_holds_only_the_listed_names():
    names = sorted(n for n in dir(ndc) if not n.startswith("__"))
    assert "DEPTH" not in names and "NorvaneSuccess" not in names
    assert ndc.__doc__ is None
