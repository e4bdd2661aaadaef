"""Point clouds from the simulated module's scenes against the scenes' own
geometry, and PLY files read back by an independent reader."""
import math

import numpy as np
import pytest

import quorvex


def depth_of(tmp_path, scene):
    config = tmp_path / "module.cfg"
    config.write_text(f"fps = 0\nscene = {scene}\n")
    with quorvex.Camera(config=config) as cam:
        (frame,) = cam.frames(max_frames=1, planes=("depth",))
        return frame.depth, cam.intrinsics


def test_tilted_wall_points_lie_on_its_plane(tmp_path):
    depth, k = depth_of(tmp_path, "wall")
    points = quorvex.depth_to_points(depth, k)
    assert points.dtype == np.float32 and points.shape == (int((depth > 0).sum()), 3)
    # The wall: 1.5 m ahead at the image centre, turned 35 degrees about the
    # vertical axis, farther to the right: z = 1.5 + x tan(35 deg).
    t = math.radians(35.0)
    residual = points.astype(np.float64) @ np.array([-math.sin(t), 0.0, math.cos(t)]) - 1.5 * math.cos(t)
    assert np.sqrt(np.mean(residual ** 2)) < 0.006
    assert np.percentile(np.abs(residual), 99) < 0.02


def test_sphere_points_fit_its_centre_and_radius(tmp_path):
    depth, k = depth_of(tmp_path, "sphere")
    points = quorvex.depth_to_points(depth, k).astype(np.float64)
    # The background wall faces the camera 1.5 m away; the sphere is nearer.
    ball = points[points[:, 2] < 1.4]
    assert len(ball) > 1000
    # |p|^2 = 2 c.p + (r^2 - |c|^2), linear in c and the constant.
    a = np.column_stack([2 * ball, np.ones(len(ball))])
    sol, *_ = np.linalg.lstsq(a, (ball ** 2).sum(axis=1), rcond=None)
    centre = sol[:3]
    radius = math.sqrt(sol[3] + centre @ centre)
    # Centre 2/3 of the wall distance ahead, radius a third of that.
    assert np.allclose(centre, [0.0, 0.0, 1.0], atol=0.006), centre
    assert abs(radius - 1.0 / 3.0) < 0.006, radius


def test_organised_and_flat_clouds_agree_and_invalid_pixels_stay_out():
    k = quorvex.nominal_intrinsics(8, 6)
    depth = np.full((6, 8), 2000.0, dtype=np.float32)
    depth[1, 2] = 0
    depth[4, 7] = 0
    grid = quorvex.depth_to_points(depth, k, organised=True)
    flat = quorvex.depth_to_points(depth, k)
    assert grid.shape == (6, 8, 3) and grid.dtype == np.float32 and flat.shape == (46, 3)
    assert np.isnan(grid[1, 2]).all() and np.isnan(grid[4, 7]).all()
    assert np.array_equal(grid[depth > 0], flat)
    # Radial distance: every valid point is 2 m from the camera centre.
    assert np.allclose(np.linalg.norm(flat, axis=1), 2.0, rtol=1e-6)
    # The optical centre of the OpenCV convention lies on the z axis.
    ray = quorvex.depth_to_points(np.ones((6, 8), np.float32), k, organised=True, scale=1.0)
    x, y, _ = ray[int(k.cy), int(k.cx)]
    assert x < 0 and y < 0 and ray[3, 4][0] > 0 and ray[3, 4][1] > 0
    with pytest.raises(ValueError, match="intrinsics are for"):
        quorvex.depth_to_points(depth, quorvex.nominal_intrinsics(240, 180))


def test_save_ply_is_read_back_identically(tmp_path):
    plyfile = pytest.importorskip("plyfile")
    rng = np.random.default_rng(7)
    grid = rng.normal(size=(5, 7, 3)).astype(np.float32)
    grid[2, 3] = np.nan
    colors = rng.integers(0, 256, size=(5, 7, 3), dtype=np.uint8)
    path = tmp_path / "cloud.ply"
    assert quorvex.save_ply(path, grid, colors=colors) == 34
    assert path.read_bytes().startswith(b"ply\nformat binary_little_endian 1.0\n")
    vertex = plyfile.PlyData.read(str(path))["vertex"]
    keep = ~np.isnan(grid).any(axis=-1)
    got = np.column_stack([vertex["x"], vertex["y"], vertex["z"]])
    assert np.array_equal(got, grid[keep])
    assert np.array_equal(np.column_stack([vertex["red"], vertex["green"], vertex["blue"]]), colors[keep])
    quorvex.save_ply(path, grid[keep])
    vertex = plyfile.PlyData.read(str(path))["vertex"]
    assert [p.name for p in vertex.properties] == ["x", "y", "z"] and len(vertex) == 34


def test_intrinsics_without_a_usable_focal_length_are_refused():
    from collections import namedtuple

    good = quorvex.nominal_intrinsics(4, 3)
    Lens = namedtuple("Lens", "width height fx fy cx cy")
    depth = np.full((3, 4), 1000, np.float32)
    for field, value in (("fx", 0.0), ("fy", -200.0), ("fx", math.nan), ("fy", math.inf),
                         ("cx", math.nan), ("width", 0), ("height", 2.5)):
        fields = dict(vars(good), **{field: value})
        with pytest.raises(ValueError, match=field):
            quorvex.Intrinsics(**fields)
        # A record of another type is no way round the check.
        with pytest.raises(ValueError, match=field):
            quorvex.depth_to_points(depth, Lens(**{n: fields[n] for n in Lens._fields}))
