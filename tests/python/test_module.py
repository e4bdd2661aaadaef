import QuorvexDepthCamera


def test_version():
    assert QuorvexDepthCamera.__version__ == "dev"
