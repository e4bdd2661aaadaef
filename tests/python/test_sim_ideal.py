"""The ideal simulated world against the scene's ground truth: with no noise,
the depth of a smooth surface is as fine as well-exposed 12-bit samples
allow, near or far."""
import numpy as np
import pytest

import quorvex
from sim_truth import ground_truth

LENS_KEYS = ("lens_fx = 201\nlens_fy = 199.5\nlens_cx = 121.3\nlens_cy = 88.4\nlens_k1 = -0.28\n"
             "lens_k2 = 0.09\nlens_p1 = 0.0008\nlens_p2 = -0.0006\n")
# The module's phase is light's true round trip; the driver turns it into
# millimetres with 3e8 m/s, so its depth is the truth scaled by this.
DRIVER_SCALE = 3e8 / 299792458.0


def longest_flat_run_mm(depth, truth):
    """The most the truth changes along a row while the depth holds one
    value."""
    worst = 0.0
    for row, t in zip(depth, truth):
        edges = np.flatnonzero(np.diff(row) != 0) + 1
        for run in np.split(np.arange(len(row)), edges):
            worst = max(worst, float(np.ptp(t[run])))
    return worst


@pytest.mark.parametrize("text,range_mm", [
    ("scene = flat\ndistance = 1500\n", 4000),
    ("scene = flat\ndistance = 1500\n" + LENS_KEYS, 4000),
    ("scene = flat\ndistance = 1500\n", 2000),
    ("scene = flat\ndistance = 3000\n", 4000),
])
def test_noiseless_wall_follows_the_truth_without_steps(tmp_path, text, range_mm):
    path = tmp_path / "module.cfg"
    path.write_text("fps = 0\n" + text)
    with quorvex.Camera(config=str(path), filters=None) as cam:
        cam.set_control("range", range_mm)
        frame = list(cam.frames(max_frames=3))[-1]
    truth, _ = ground_truth(str(path), 240, 180)
    expected = truth.astype(np.float64) * DRIVER_SCALE
    err = frame.depth - expected
    rms = float(np.sqrt(np.mean(err ** 2)))
    run = longest_flat_run_mm(frame.depth, expected)
    print(f"range {range_mm}: error RMS {rms:.3f} mm, worst {np.abs(err).max():.2f} mm, "
          f"one value held over {run:.2f} mm of truth")
    # Samples of a few hundred units would give millimetre steps.
    assert rms < 0.5
    assert np.abs(err).max() < 1.5
    assert run < 1.0
