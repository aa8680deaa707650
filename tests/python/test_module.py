import NorvaneDepthCamera as ndc


def test_version():
    assert ndc.__version__ == "dev"
