"""The lens: camera_info YAML files of other tools read and bad ones refused,
rays through a distorted lens, and points of the simulated module's scenes
seen through its lens: a flat wall flat, a sphere round."""
import dataclasses
import json
import math

import numpy as np
import pytest

import quorvex
from quorvex import geometry, rosmsg
from quorvex.calibration import CalibrationError, camera_info_dict, load_calibration, parse_calibration

from sim_truth import ground_truth

# The lens the simulated module is given in these tests.
LENS = quorvex.Intrinsics(240, 180, 201.0, 199.5, 121.3, 88.4, k1=-0.28, k2=0.09, p1=0.0008, p2=-0.0006)
LENS_KEYS = "lens_fx = 201\nlens_fy = 199.5\nlens_cx = 121.3\nlens_cy = 88.4\nlens_k1 = -0.28\n" \
            "lens_k2 = 0.09\nlens_p1 = 0.0008\nlens_p2 = -0.0006\n"

# camera_info files as other tools write them (their layouts, numbers of
# our own): ROS's camera_calibration (matrices a row per line), OpenCV's
# FileStorage (a directive, type tags, dt), a C++ YAML emitter (one flow
# list each), a Python YAML dump (block lists), a hand-written one (D as a
# bare list, comments).
FILES = {
    "camera_calibration": """image_width: 640
image_height: 480
camera_name: narrow_stereo
camera_matrix:
  rows: 3
  cols: 3
  data: [ 612.41035,    0.     ,  318.77012,
            0.     ,  611.93311,  242.10428,
            0.     ,    0.     ,    1.     ]
distortion_model: plumb_bob
distortion_coefficients:
  rows: 1
  cols: 5
  data: [-0.113904, 0.086327, 0.000812, -0.001431, 0.000000]
rectification_matrix:
  rows: 3
  cols: 3
  data: [ 1.,  0.,  0.,
          0.,  1.,  0.,
          0.,  0.,  1.]
projection_matrix:
  rows: 3
  cols: 4
  data: [ 598.20557,    0.     ,  317.90341,    0.     ,
            0.     ,  601.37112,  241.86630,    0.     ,
            0.     ,    0.     ,    1.     ,    0.     ]
""",
    "opencv": """%YAML:1.0
image_width: 640
image_height: 480
camera_name: left
camera_matrix: !!opencv-matrix
  rows: 3
  cols: 3
  dt: d
  data: [612.41035, 0, 318.77012, 0, 611.93311, 242.10428, 0, 0, 1]
distortion_model: plumb_bob
distortion_coefficients: !!opencv-matrix
  rows: 1
  cols: 5
  dt: d
  data: [-0.113904, 0.086327, 0.000812, -0.001431, 0]
""",
    "emitter": """image_width: 640
image_height: 480
camera_name: "camera"
camera_matrix:
  rows: 3
  cols: 3
  data: [612.41035, 0, 318.77012, 0, 611.93311, 242.10428, 0, 0, 1]
distortion_model: "plumb_bob"
distortion_coefficients:
  rows: 1
  cols: 5
  data: [-0.113904, 0.086327, 0.000812, -0.001431, 0]
rectification_matrix:
  rows: 3
  cols: 3
  data: [1, 0, 0, 0, 1, 0, 0, 0, 1]
projection_matrix:
  rows: 3
  cols: 4
  data: [612.41035, 0, 318.77012, 0, 0, 611.93311, 242.10428, 0, 0, 0, 1, 0]
""",
    "block lists": """camera_matrix:
  cols: 3
  data:
  - 612.41035
  - 0.0
  - 318.77012
  - 0.0
  - 611.93311
  - 242.10428
  - 0.0
  - 0.0
  - 1.0
  rows: 3
camera_name: camera
distortion_coefficients:
  cols: 5
  data:
    - -0.113904
    - 0.086327
    - 0.000812
    - -0.001431
    - 0.0
  rows: 1
distortion_model: plumb_bob
image_height: 480
image_width: 640
""",
    "hand-written": """# Image width and height
image_width: 640
image_height: 480

# Distortion: k1, k2, p1, p2, k3
distortion_model: plumb_bob
distortion_coefficients: [-0.113904, 0.086327, 0.000812, -0.001431, 0.0]

camera_matrix:   # fx 0 cx / 0 fy cy / 0 0 1
  rows: 3
  cols: 3
  data: [612.41035, 0.0, 318.77012,
        0.0, 611.93311, 242.10428,
        0.0, 0.0, 1.0]
""",
}
EXPECTED = quorvex.Intrinsics(640, 480, 612.41035, 611.93311, 318.77012, 242.10428,
                              -0.113904, 0.086327, 0.000812, -0.001431, 0.0)


@pytest.mark.parametrize("kind", sorted(FILES))
def test_camera_info_files_of_other_tools_are_read(tmp_path, kind):
    path = tmp_path / "camera.yaml"
    path.write_text(FILES[kind])
    assert load_calibration(path) == EXPECTED


GOOD = FILES["emitter"]
BAD = [
    ("empty", "", "empty"),
    ("no matrix", "image_width: 640\nimage_height: 480\n", "no camera_matrix"),
    ("width", GOOD.replace("image_width: 640", "image_width: 0"), "image_width must be a positive"),
    ("width text", GOOD.replace("image_width: 640", "image_width: wide"), "image_width must be a positive"),
    ("skew", GOOD.replace("612.41035, 0, 318.77012, 0", "612.41035, 2.5, 318.77012, 0", 1), "skew"),
    ("model", GOOD.replace('"plumb_bob"', "equidistant"), "distortion_model 'equidistant'"),
    ("eight", GOOD.replace("cols: 5\n  data: [-0.113904, 0.086327, 0.000812, -0.001431, 0]",
                           "cols: 8\n  data: [-0.1, 0.08, 0, 0, 0, 0.3, 0.1, 0]"), "8 distortion coefficients"),
    ("shape", GOOD.replace("rows: 3\n  cols: 4", "rows: 4\n  cols: 3"), "projection_matrix must be 3 x 4"),
    ("short", GOOD.replace("0, 611.93311, 242.10428, 0, 0, 1]", "0, 611.93311]", 1), "camera_matrix must be 3 x 3"),
    ("nan", GOOD.replace("612.41035, 0, 318.77012, 0, 611", ".nan, 0, 318.77012, 0, 611", 1), "finite numbers"),
    ("focal", GOOD.replace("612.41035, 0, 318.77012, 0, 611", "-612.41035, 0, 318.77012, 0, 611", 1),
     "fx must be positive"),
    ("unclosed", GOOD.replace("0, 0, 1]\ndistortion", "0, 0, 1\ndistortion", 1), "never closes"),
    ("tabs", GOOD.replace("  rows: 3\n  cols: 3", "\trows: 3\n\tcols: 3", 1), "tabs"),
    ("twice", GOOD + "image_width: 320\n", "'image_width' given twice"),
    ("anchor", GOOD.replace("camera_name: \"camera\"", "camera_name: &a camera"), "beyond what camera_info"),
    ("indent", GOOD.replace("  rows: 3\n  cols: 3\n  data: [612", "  rows: 3\n      cols: 3\n  data: [612", 1),
     "indented more"),
    ("not yaml", "just words\n", "expected 'key: value'"),
]


@pytest.mark.parametrize("name,text,said", BAD, ids=[b[0] for b in BAD])
def test_bad_calibration_files_are_refused_with_one_line(tmp_path, name, text, said):
    path = tmp_path / "bad.yaml"
    path.write_text(text)
    with pytest.raises(CalibrationError) as e:
        load_calibration(path)
    message = str(e.value)
    assert "\n" not in message and message.startswith(str(path)) and said in message, message


def test_unreadable_calibration_files_are_refused_with_one_line(tmp_path):
    binary = tmp_path / "cal.bin"
    binary.write_bytes(b"\x89PNG\r\n\x1a\n\x00\xff\xfe")
    for path, said in ((tmp_path / "missing.yaml", "cannot read the calibration"),
                       (tmp_path, "cannot read the calibration"), (binary, "not a text file")):
        with pytest.raises(CalibrationError) as e:
            load_calibration(path)
        assert said in str(e.value) and "\n" not in str(e.value)


def test_what_calibrate_writes_reads_back_here_and_in_a_yaml_library(tmp_path):
    yaml = pytest.importorskip("yaml")
    from quorvex.calibration import dump_calibration

    text = dump_calibration(LENS, "quorvex_hqvga")
    assert parse_calibration(text) == LENS
    doc = yaml.safe_load(text)
    assert doc == camera_info_dict(LENS, "quorvex_hqvga")
    assert list(doc) == ["image_width", "image_height", "camera_name", "camera_matrix", "distortion_model",
                         "distortion_coefficients", "rectification_matrix", "projection_matrix"]
    # The library's own block layout reads too.
    assert parse_calibration(yaml.safe_dump(doc, default_flow_style=False)) == LENS


@pytest.mark.parametrize("lens", [LENS, dataclasses.replace(LENS, k1=0.12, k2=-0.02, k3=0.004),
                                  quorvex.nominal_intrinsics(640, 480)], ids=["barrel", "pincushion", "pinhole"])
def test_rays_of_a_distorted_lens_project_back_onto_their_pixels(lens):
    rays = geometry._unit_rays(lens)
    assert rays.shape == (lens.height, lens.width, 3) and np.isfinite(rays).all()
    pixels = geometry.project(lens, rays.reshape(-1, 3).astype(np.float64))
    v, u = np.mgrid[0:lens.height, 0:lens.width]
    # float32 rays: a millionth of a pixel's angle is what they keep.
    assert np.abs(pixels[:, 0] - u.ravel()).max() < 1e-3
    assert np.abs(pixels[:, 1] - v.ravel()).max() < 1e-3
    assert geometry._unit_rays(lens) is rays  # once per lens


def test_intrinsics_without_distortion_are_as_before():
    k = quorvex.Intrinsics(240, 180, 207.8, 207.8, 119.5, 89.5)
    assert k.distortion == (0.0,) * 5 and not k.distorted
    assert geometry.intrinsics_to_dict(k) == {"width": 240, "height": 180, "fx": 207.8, "fy": 207.8,
                                              "cx": 119.5, "cy": 89.5}
    assert geometry.intrinsics_from_dict(geometry.intrinsics_to_dict(LENS)) == LENS
    with pytest.raises(ValueError, match="k1 must be a finite number"):
        quorvex.Intrinsics(240, 180, 200.0, 200.0, 120.0, 90.0, k1=float("nan"))


def test_camera_info_message_carries_the_lens():
    m = rosmsg.camera_info_message(LENS, 1234, "quorvex_optical_frame")
    assert m["distortion_model"] == "plumb_bob"
    assert m["d"] == [-0.28, 0.09, 0.0008, -0.0006, 0.0]
    assert m["k"] == [201.0, 0.0, 121.3, 0.0, 199.5, 88.4, 0.0, 0.0, 1.0]
    assert m["r"] == [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]
    assert m["p"] == [201.0, 0.0, 121.3, 0.0, 0.0, 199.5, 88.4, 0.0, 0.0, 0.0, 1.0, 0.0]


def test_network_stream_description_carries_the_lens():
    network = pytest.importorskip("quorvex.network")
    info = quorvex.StreamInfo(source="usb:0", variant="hqvga", width=240, height=180, output="depth",
                              intrinsics=LENS)
    assert network.info_from_json(network.info_to_json(info)).intrinsics == LENS
    # A pinhole's description is what older subscribers read.
    pinhole = dataclasses.replace(info, intrinsics=quorvex.nominal_intrinsics(240, 180))
    assert set(json.loads(network.info_to_json(pinhole))["intrinsics"]) == {"width", "height", "fx", "fy",
                                                                             "cx", "cy"}


# Scenes through the lens -------------------------------------------------
def plane_rms_mm(points):
    """RMS distance (mm) of points (metres) from their least-squares plane."""
    p = points.reshape(-1, 3).astype(np.float64)
    p = p[np.isfinite(p).all(axis=1)]
    centred = p - p.mean(axis=0)
    normal = np.linalg.svd(centred, full_matrices=False)[2][-1]
    return float(np.sqrt(np.mean((centred @ normal) ** 2)) * 1000.0)


def sphere_fit(points):
    """Centre and radius (metres) of the least-squares sphere, and the RMS
    of the points' distances from it (mm)."""
    p = points.astype(np.float64)
    A = np.column_stack([2 * p, np.ones(len(p))])
    b = (p ** 2).sum(axis=1)
    sol = np.linalg.lstsq(A, b, rcond=None)[0]
    centre = sol[:3]
    radius = math.sqrt(sol[3] + centre @ centre)
    rms = float(np.sqrt(np.mean((np.linalg.norm(p - centre, axis=1) - radius) ** 2)) * 1000.0)
    return centre, radius, rms


def camera_info_text(lens):
    """A camera_info file of a lens, written without a YAML library."""
    lines = []
    for key, value in camera_info_dict(lens, "test").items():
        if isinstance(value, dict):
            lines += [f"{key}:", f"  rows: {value['rows']}", f"  cols: {value['cols']}",
                      f"  data: [{', '.join(repr(v) for v in value['data'])}]"]
        else:
            lines.append(f"{key}: {value}")
    return "\n".join(lines) + "\n"


def config(tmp_path, text):
    path = tmp_path / "module.cfg"
    path.write_text(text)
    return str(path)


def one_frame(path, frames=2):
    with quorvex.Camera(config=path, filters=None) as cam:
        for frame in cam.frames(max_frames=frames):
            pass
    return frame


def test_flat_wall_through_the_lens_is_flat_with_the_lens_and_bowed_without(tmp_path):
    path = config(tmp_path, "scene = flat\ndistance = 1500\nfps = 0\n" + LENS_KEYS)
    truth, _ = ground_truth(path, 240, 180)
    depth = one_frame(path).depth
    nominal = quorvex.nominal_intrinsics(240, 180)
    # The truth along the true rays lies on the plane z = 1.5 m.
    z = quorvex.depth_to_points(truth, LENS, organised=True)[..., 2]
    assert np.abs(z - 1.5).max() < 2e-6
    with_lens = plane_rms_mm(quorvex.depth_to_points(depth, LENS))
    without = plane_rms_mm(quorvex.depth_to_points(depth, nominal))
    # What remains is the rounding of the module's 12-bit samples.
    assert with_lens <= 0.5, with_lens
    assert without > 10.0, without  # centimetres off at the edges


def test_sphere_through_the_lens_is_round(tmp_path):
    path = config(tmp_path, "scene = sphere\ndistance = 1500\nfps = 0\n" + LENS_KEYS)
    truth, coverage = ground_truth(path, 240, 180)
    depth = one_frame(path).depth
    # The sphere's own pixels, whole ones only (its edge mixes in the wall).
    on_sphere = (truth < 1300) & (coverage == 1.0)
    depth = np.where(on_sphere, depth, 0)
    centre, radius, rms = sphere_fit(quorvex.depth_to_points(depth, LENS))
    # The scene's sphere: radius a third of its distance, 1 m ahead.
    assert radius * 1000 == pytest.approx(1000.0 / 3.0, abs=1.5)
    assert np.allclose(centre, [0.0, 0.0, 1.0], atol=0.002)
    assert rms < 1.5
    _, nominal_radius, nominal_rms = sphere_fit(quorvex.depth_to_points(depth, quorvex.nominal_intrinsics(240, 180)))
    assert nominal_rms > 2 * rms or abs(nominal_radius - 1 / 3) > 0.005


def test_camera_opened_with_a_calibration_gives_its_lens(tmp_path):
    cal = tmp_path / "lens.yaml"
    cal.write_text(camera_info_text(LENS))
    with quorvex.Camera(calibration=cal) as cam:
        assert cam.intrinsics == LENS and cam.info.intrinsics == LENS
    with quorvex.Camera(calibration=LENS) as cam:
        assert cam.info.intrinsics == LENS
    vga = tmp_path / "vga.cfg"
    vga.write_text("variant = vga\n")
    with pytest.raises(CalibrationError, match="for 240 x 180 images, this camera's depth images are 640 x 480"):
        quorvex.Camera(config=vga, calibration=cal)
    with quorvex.Camera() as cam:
        assert cam.intrinsics == quorvex.nominal_intrinsics(240, 180)


@pytest.mark.parametrize("command", ["record", "view", "publish"])
def test_every_command_takes_a_calibration(command, capsys):
    from quorvex.commands import main
    extra = {"record": "mcap", "view": "aiohttp", "publish": "zenoh"}[command]
    pytest.importorskip(extra)
    with pytest.raises(SystemExit):
        main([command, "--help"])
    assert "--calibration FILE" in capsys.readouterr().out


def test_a_bad_calibration_ends_a_command_with_one_line(tmp_path, capfd):
    pytest.importorskip("mcap")
    from quorvex.commands import main
    bad = tmp_path / "bad.yaml"
    bad.write_text("image_width: 240\n")
    assert main(["record", str(tmp_path / "out.mcap"), "--frames", "1", "--quiet", "--calibration", str(bad)]) == 1
    err = [line for line in capfd.readouterr().err.splitlines() if line.startswith("quorvex record:")]
    assert err == [f"quorvex record: {bad}: image_height must be a positive whole number of pixels, not None"]
    other = tmp_path / "vga.yaml"
    other.write_text(camera_info_text(dataclasses.replace(LENS, width=640, height=480)))
    assert main(["record", str(tmp_path / "out.mcap"), "--frames", "1", "--quiet", "--calibration", str(other)]) == 1
    err = [line for line in capfd.readouterr().err.splitlines() if line.startswith("quorvex record:")]
    assert len(err) == 1 and "the calibration is for 640 x 480 images, this camera's depth images are 240 x 180" \
        in err[0], err
