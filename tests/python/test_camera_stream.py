"""End to end on the built-in simulated USB module: frames, arrays and their validity."""
import gc

import numpy as np
import pytest

import QuorvexDepthCamera as q

OK = q.TOFErrorCode.QuorvexSuccess


@pytest.fixture
def camera():
    cam = q.QuorvexCamera()
    assert cam.open(q.TOFConnect.USB) == OK
    yield cam
    try:
        cam.stop()
    except RuntimeError:
        pass  # not streaming
    cam.close()


def next_frame(cam, timeout=2000):
    frame = cam.requestFrame(timeout)
    assert frame is not None, "no frame from the simulated module"
    return frame


def points_from_depth(depth, fov_deg=60.0):
    """Back-projects radial distances through a pinhole camera with the given horizontal field of view."""
    h, w = depth.shape
    focal = (w / 2.0) / np.tan(np.radians(fov_deg) / 2.0)
    u, v = np.meshgrid(np.arange(w) + 0.5 - w / 2.0, np.arange(h) + 0.5 - h / 2.0)
    rays = np.stack([u / focal, v / focal, np.ones_like(u)], axis=-1)
    rays /= np.linalg.norm(rays, axis=-1, keepdims=True)
    return rays * depth[..., None].astype(np.float64)


def test_depth_stream_sees_the_tilted_wall(camera):
    info = camera.getCameraInfo()
    assert (info.width, info.height, info.device_type) == (240, 180, q.TOFDeviceType.HQVGA)
    assert camera.start(q.TOFOutput.DEPTH) == OK
    frame = next_frame(camera)
    assert isinstance(frame, q.DepthData) and isinstance(frame, q.QuorvexFrame)
    fmt = frame.getFrameFormat()
    assert (fmt.width, fmt.height, fmt.type) == (240, 180, q.TOFOutput.DEPTH)
    depth, conf, amp = frame.getDepthData(), frame.getConfidenceData(), frame.getAmplitudeData()
    for a in (depth, conf, amp):
        assert a.dtype == np.float32 and a.shape == (180, 240)
        assert a.flags.c_contiguous and a.flags.writeable and a.flags.owndata
    assert np.array_equal(conf, amp)
    assert camera.releaseFrame(frame) == OK

    # The scene: a plane 1.5 m away at the image centre, turned 35 degrees about the
    # vertical axis. Check it from the physics alone: the back-projected points lie on
    # a plane with that distance and orientation.
    centre = depth[89:91, 119:121]
    assert np.all(np.abs(centre - 1500.0) < 15.0), centre
    pts = points_from_depth(depth).reshape(-1, 3)
    mean = pts.mean(axis=0)
    _, _, vt = np.linalg.svd(pts - mean, full_matrices=False)
    normal = vt[2] if vt[2][2] > 0 else -vt[2]
    residual = (pts - mean) @ normal
    assert np.sqrt(np.mean(residual ** 2)) < 6.0
    tilt = np.degrees(np.arccos(abs(normal[2])))
    assert abs(tilt - 35.0) < 1.0
    # Depth grows from left to right.
    columns = np.median(depth, axis=0)
    assert np.all(np.diff(columns[::10]) > 0)


def test_raw_stream_geometry_and_independent_arrays(camera):
    assert camera.start(q.TOFOutput.RAW) == OK
    frame = next_frame(camera)
    assert isinstance(frame, q.RawData)
    raw = frame.getRawData()
    fmt = frame.getFrameFormat()
    assert raw.dtype == np.int16 and raw.shape == (fmt.height, fmt.width) == (720, 240)
    # Decoded samples are multiples of 16 in the 11-bit signed range.
    assert np.all(raw % 16 == 0) and raw.min() >= -16384 and raw.max() <= 16368
    # Writing into an array does not reach the frame.
    raw[:] = 7
    again = frame.getRawData()
    assert not np.array_equal(again, raw)
    assert camera.releaseFrame(frame) == OK
    # Arrays taken before the release keep their contents as later frames arrive.
    kept = again.copy()
    for _ in range(5):
        camera.releaseFrame(next_frame(camera))
    assert np.array_equal(again, kept)


def test_frames_are_refused_once_no_longer_lent(camera):
    assert camera.start(q.TOFOutput.DEPTH) == OK
    frame = next_frame(camera)
    assert camera.releaseFrame(frame) == OK
    with pytest.raises(ValueError, match="no longer valid"):
        frame.getDepthData()
    with pytest.raises(ValueError):
        frame.getFrameFormat()
    assert camera.releaseFrame(frame) == q.TOFErrorCode.QuorvexUnkownError

    # A later start rebuilds the frames: a frame still held becomes invalid.
    held = next_frame(camera)
    camera.stop()
    assert camera.start(q.TOFOutput.DEPTH) == OK
    with pytest.raises(ValueError):
        held.getAmplitudeData()
    assert camera.releaseFrame(held) == q.TOFErrorCode.QuorvexUnkownError

    # A frame of a stream without a raw plane is refused, not read.
    frame = next_frame(camera)
    with pytest.raises(TypeError):
        q.RawData.getRawData(frame)
    assert camera.releaseFrame(frame) == OK


def test_frames_are_refused_after_their_camera_is_gone():
    cam = q.QuorvexCamera()
    assert cam.open(q.TOFConnect.USB) == OK
    assert cam.start(q.TOFOutput.DEPTH) == OK
    frame = next_frame(cam)
    del cam  # destroyed while streaming: the stream stops first
    gc.collect()
    with pytest.raises(ValueError):
        frame.getDepthData()


def test_controls_and_paths(camera, tmp_path):
    # The USB sensor answers no control of its own: getControl still gives an int.
    value = camera.getControl(q.TOFControl.FRAME_RATE)
    assert type(value) is int
    assert camera.getControl(q.TOFControl.RANGE) == 4000
    assert camera.setControl(q.TOFControl.RANGE, 2000) == OK
    assert camera.getControl(q.TOFControl.RANGE) == 2000
    assert camera.setControl(q.TOFControl.SKIP_FRAME_LOOP, 0) == q.TOFErrorCode.QuorvexInvalidParameter
    assert camera.setControl(q.TOFControl.EXPOSURE, 1) == q.TOFErrorCode.QuorvexInvalidParameter

    config = tmp_path / "module.cfg"
    config.write_text("variant = hqvga\nfps = 60\n")
    for path in (str(config), str(config).encode(), bytearray(str(config).encode())):
        cam = q.QuorvexCamera()
        assert cam.openWithFile(path) == OK
        assert cam.getCameraInfo().connect == q.TOFConnect.USB
        cam.close()
    cam = q.QuorvexCamera()
    assert cam.openWithFile(str(tmp_path / "missing.cfg")) == q.TOFErrorCode.QuorvexUnkownError


def test_request_frame_times_out_with_none(tmp_path):
    config = tmp_path / "unplugged.cfg"
    config.write_text("unplugged = yes\n")
    cam = q.QuorvexCamera()
    assert cam.openWithFile(str(config)) == OK
    assert cam.start(q.TOFOutput.DEPTH) == OK
    assert cam.requestFrame(0) is None
    assert cam.requestFrame(100) is None
    cam.stop()
    cam.close()
