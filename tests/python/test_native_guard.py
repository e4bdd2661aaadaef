"""The package's native module refuses a camera whose __init__ never ran, as the camera's own methods do."""

import pytest

import QuorvexDepthCamera as q
from quorvex import _native


@pytest.mark.parametrize(
    "call",
    [
        lambda c: _native.wait_frame(c, 0),
        lambda c: _native.get_control(c, q.TOFControl.RANGE),
    ],
    ids=["wait_frame", "get_control"],
)
def test_uninitialised_camera_raises_type_error(call):
    camera = q.QuorvexCamera.__new__(q.QuorvexCamera)
    with pytest.raises(TypeError, match="not initialised"):
        call(camera)
