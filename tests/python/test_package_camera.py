"""The quorvex package's camera: context manager, frames as plain data,
errors as CameraError with the extension's code."""
import numpy as np
import pytest

import QuorvexDepthCamera as q
import quorvex


def test_frames_are_plain_data_of_the_scene():
    with quorvex.Camera() as cam:
        frames = list(cam.frames(max_frames=3))
    assert [f.sequence for f in frames] == [0, 1, 2]
    f = frames[-1]
    assert f.depth.shape == f.amplitude.shape == f.confidence.shape == (180, 240)
    assert f.depth.dtype == np.float32
    # The simulated module's wall stands 1500 mm away at the image centre.
    assert abs(float(np.median(f.depth[88:92, 118:122])) - 1500) < 10


def test_failed_open_raises_with_the_extensions_code(tmp_path):
    bad = tmp_path / "bad.cfg"
    bad.write_text("no_such_key = 1\n")
    with pytest.raises(quorvex.CameraError) as e:
        quorvex.Camera(config=bad)
    assert e.value.code != q.TOFErrorCode.QuorvexSuccess
    with pytest.raises(ValueError, match="unknown control"):
        with quorvex.Camera() as cam:
            cam.get_control("brightness")
