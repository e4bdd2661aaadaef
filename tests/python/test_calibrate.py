"""`python -m quorvex calibrate` against the simulated module's lens: the
lens recovered from 40 frames of the realistic checkerboard, a flat wall
flat through the calibration, and the results it refuses. Needs OpenCV
(the calibrate extra); skipped where it is not installed."""
import math
import os
import time

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
pytest.importorskip("yaml")
pytest.importorskip("mcap")

import quorvex  # noqa: E402
from quorvex import checkerboard  # noqa: E402
from quorvex.commands import main  # noqa: E402
from quorvex.recording import record  # noqa: E402

from sim_truth import ground_truth  # noqa: E402
from test_lens import LENS, LENS_KEYS, plane_rms_mm  # noqa: E402

BOARD = "scene = checkerboard\nphysics = realistic\nfps = 0\n" + LENS_KEYS


@pytest.fixture(scope="module")
def board_recording(tmp_path_factory):
    d = tmp_path_factory.mktemp("board")
    cfg = d / "board.cfg"
    cfg.write_text(BOARD)
    path = str(d / "board.mcap")
    with quorvex.Camera(config=str(cfg), filters=None) as cam:
        record(cam, path, max_frames=40, block=True)
    return path


@pytest.fixture(scope="module")
def calibrated(board_recording, tmp_path_factory):
    out = str(tmp_path_factory.mktemp("cal") / "lens.yaml")
    begin = time.monotonic()
    status = main(["calibrate", board_recording, "--quiet", "--output", out])
    seconds = time.monotonic() - begin
    assert status == 0
    print(f"calibrated 40 HQVGA frames in {seconds:.1f} s")
    return quorvex.load_calibration(out), out


def test_the_lens_is_recovered_from_the_simulated_board(calibrated, capfd):
    k, _ = calibrated
    assert k.fx == pytest.approx(LENS.fx, rel=0.005) and k.fy == pytest.approx(LENS.fy, rel=0.005)
    assert abs(k.cx - LENS.cx) <= 1.0 and abs(k.cy - LENS.cy) <= 1.0
    assert abs(k.k1 - LENS.k1) <= 0.02 and abs(k.k2 - LENS.k2) <= 0.04
    assert abs(k.p1 - LENS.p1) <= 0.002 and abs(k.p2 - LENS.p2) <= 0.002
    print(f"fx {k.fx:.3f} fy {k.fy:.3f} cx {k.cx:.3f} cy {k.cy:.3f} k1 {k.k1:.4f} k2 {k.k2:.4f} "
          f"p1 {k.p1:.5f} p2 {k.p2:.5f}")


def test_reprojection_error_is_small_and_reported_per_view(board_recording, tmp_path, capfd):
    out = str(tmp_path / "again.yaml")
    assert main(["calibrate", "--recording", board_recording, "--quiet", "--output", out,
                 "--camera-name", "module1"]) == 0
    err = capfd.readouterr().err
    views = [line for line in err.splitlines() if line.startswith("view of frame ")]
    assert len(views) >= 30
    rms_line = next(line for line in err.splitlines() if line.startswith("reprojection error"))
    rms = float(rms_line.split()[2])
    assert rms <= 0.2, rms_line
    print(rms_line)
    text = open(out).read()
    assert "camera_name: module1" in text and "distortion_model: plumb_bob" in text


def test_a_flat_wall_is_flat_through_the_calibration(calibrated, tmp_path):
    k, path = calibrated
    cfg = tmp_path / "wall.cfg"
    cfg.write_text("scene = flat\ndistance = 1500\nfps = 0\n" + LENS_KEYS)
    with quorvex.Camera(config=str(cfg), filters=None, calibration=path) as cam:
        assert cam.intrinsics == k
        frame = next(iter(cam.frames(max_frames=1)))
    nominal = quorvex.nominal_intrinsics(240, 180)
    # The lens's own error: the wall's exact distances along the true rays,
    # unprojected through the calibration.
    truth, _ = ground_truth(str(cfg), 240, 180)
    lens_only = plane_rms_mm(quorvex.depth_to_points(truth, k))
    # The module's depth adds the rounding of its samples (about 0.25 mm
    # over this wall through the true lens), independent of the lens's
    # error: the two add as squares.
    measured = plane_rms_mm(quorvex.depth_to_points(frame.depth, k))
    exact = plane_rms_mm(quorvex.depth_to_points(frame.depth, LENS))
    bowed = plane_rms_mm(quorvex.depth_to_points(frame.depth, nominal))
    print(f"wall plane RMS through the calibration {lens_only:.2f} mm (exact depth), {measured:.2f} mm "
          f"(module's depth; {exact:.2f} through the true lens), {bowed:.1f} mm with the nominal lens")
    assert lens_only <= 1.5 and exact <= 0.5 and bowed > 10.0
    assert measured <= 1.5 and measured <= math.hypot(lens_only, exact) + 0.2


def test_the_calibration_goes_into_recordings_and_their_camera_info(calibrated, tmp_path):
    k, path = calibrated
    out = str(tmp_path / "wall.mcap")
    assert main(["record", out, "--frames", "2", "--quiet", "--calibration", path]) == 0
    with quorvex.open_recording(out) as rec:
        assert rec.info.intrinsics == k
    from rosbags.highlevel import AnyReader
    import pathlib
    with AnyReader([pathlib.Path(out)]) as reader:
        conns = [c for c in reader.connections if c.topic == "/quorvex/camera_info"]
        msg = reader.deserialize(next(iter(reader.messages(connections=conns)))[2], conns[0].msgtype)
    assert list(msg.d) == pytest.approx(list(k.distortion))
    assert list(msg.k) == pytest.approx([k.fx, 0, k.cx, 0, k.fy, k.cy, 0, 0, 1])
    # A recording seen through another lens on playback.
    again = str(tmp_path / "again.mcap")
    other = tmp_path / "nominal.yaml"
    other.write_text(quorvex.calibration.dump_calibration(quorvex.nominal_intrinsics(240, 180), "x"))
    assert main(["record", again, "--from", out, "--quiet", "--calibration", str(other)]) == 0
    with quorvex.open_recording(again) as rec:
        assert rec.info.intrinsics == quorvex.nominal_intrinsics(240, 180)


def test_too_few_views_are_refused_with_one_line(tmp_path, capfd):
    wall = str(tmp_path / "wall.mcap")
    assert main(["record", wall, "--frames", "5", "--quiet"]) == 0
    capfd.readouterr()
    assert main(["calibrate", wall, "--quiet", "--output", str(tmp_path / "x.yaml")]) == 1
    lines = [line for line in capfd.readouterr().err.splitlines() if line.startswith("quorvex calibrate:")]
    assert len(lines) == 1 and "the 9x6 board was found in 0 of 5 frames" in lines[0], lines
    assert not os.path.exists(tmp_path / "x.yaml")


def grid_view(x0, y0, step=6.0, size=(9, 6)):
    xs, ys = np.meshgrid(np.arange(size[0]) * step + x0, np.arange(size[1]) * step + y0)
    return checkerboard.View(np.stack([xs.ravel(), ys.ravel()], axis=-1).astype(np.float32))


def test_views_that_leave_the_image_uncovered_are_refused():
    centre = [grid_view(95 + i, 75) for i in range(12)]
    with pytest.raises(checkerboard.CalibrationRefused, match="no view of the board reaches the image's top left, "
                                                              "top, top right, left, right"):
        checkerboard.check_views(centre, 12, (240, 180), (9, 6))
    everywhere = [grid_view(x, y) for x in (5, 95, 180) for y in (5, 70, 140)] + [grid_view(60, 60)]
    checkerboard.check_views(everywhere, 10, (240, 180), (9, 6))


def test_a_large_error_is_refused():
    result = checkerboard.Result(intrinsics=LENS, rms_px=1.4, view_rms_px=[0.3, 2.6],
                                 views=[checkerboard.View(np.zeros((54, 2), np.float32), 3),
                                        checkerboard.View(np.zeros((54, 2), np.float32), 9)],
                                 image_size=(240, 180))
    with pytest.raises(checkerboard.CalibrationRefused, match=r"1.40 px, above 1 px \(worst: frame 9, 2.60 px\)"):
        checkerboard.check(result)


@pytest.mark.parametrize("argv,said", [
    (["--size", "9"], "inner corners as COLSxROWS"),
    (["--size", "2x6"], "each 3 to 40"),
    (["--square", "30"], "30 mm is 0.030"),
    (["x.mcap", "--recording", "y.mcap"], "name one source"),
])
def test_misused_options_end_with_status_2(argv, said, capfd):
    with pytest.raises(SystemExit) as e:
        status = main(["calibrate"] + argv)
        raise SystemExit(status)
    assert e.value.code == 2
    assert said in capfd.readouterr().err
