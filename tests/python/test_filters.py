"""quorvex.Filters over planes whose truth is known here, and the camera's
filtered default."""
import numpy as np
import pytest

import quorvex
from quorvex.filters import FilteredSource


def _step(h=60, w=80, near=1000.0, far=2000.0, mixed=0.5):
    """A box before a wall, one column of mixed pixels between them: the
    phasor sum of both returns (range 4000 mm), amplitude falling with d^2."""
    depth = np.full((h, w), far, np.float32)
    depth[:, : w // 2] = near
    amp = (6000.0 * 0.8 / (depth / 1000.0) ** 2).astype(np.float32)
    k = 2 * np.pi / 4000.0
    z = mixed * 6000 * 0.8 / 1.0 * np.exp(1j * k * near) + (1 - mixed) * 6000 * 0.8 / 4.0 * np.exp(1j * k * far)
    depth[:, w // 2] = np.angle(z) / k
    amp[:, w // 2] = abs(z)
    return depth, amp


def test_parameters_are_attributes_and_names_are_checked():
    f = quorvex.Filters("near", max_noise=0.05)
    assert f.max_noise == pytest.approx(0.05)
    assert f.flying_gap_mm < quorvex.Filters().flying_gap_mm
    f.temporal = False
    assert f.describe() == {"preset": "near", "params": {"max_noise": pytest.approx(0.05), "temporal": False}}
    for bad in (lambda: quorvex.Filters("nearest"), lambda: quorvex.Filters(treshold=1)):
        with pytest.raises(ValueError):
            bad()
    with pytest.raises(AttributeError):
        f.treshold = 3


@pytest.mark.parametrize("preset", ["default", "near", "far"])
def test_mixed_column_removed_surfaces_kept(preset):
    depth, amp = _step()
    assert 1050 < depth[5, 40] < 1950  # the truth: a pixel decoding between the surfaces
    out = quorvex.Filters(preset).filter(depth, amp, 4000)
    assert (out[1:-1, 40] == 0).all()
    inner = np.r_[2:38, 43:78]
    assert (out[1:-1][:, inner] > 0).all()
    assert np.allclose(out[1:-1, 2:38], 1000, atol=1) and np.allclose(out[1:-1, 43:78], 2000, atol=1)
    assert depth[5, 40] != 0  # the input is left as it was


def test_changed_attribute_takes_effect_and_bad_planes_refused():
    depth, amp = _step()
    f = quorvex.Filters()
    f.flying = False
    f.spatial = False
    assert (f.filter(depth, amp, 4000)[1:-1, 40] > 0).all()
    with pytest.raises(ValueError):
        f.filter(depth, amp[:, :-1], 4000)
    with pytest.raises(ValueError):
        f.filter(depth, amp, 0)


def test_camera_filters_by_default_and_raw_on_request():
    with quorvex.Camera() as cam:
        (filtered,) = cam.frames(max_frames=1)
        assert cam.info.filters == {"preset": "default"}
    with quorvex.Camera(filters=None) as cam:
        (raw,) = cam.frames(max_frames=1)
        assert cam.info.filters is None
    assert (raw.depth > 0).all()
    assert ((filtered.depth == 0) | (np.abs(filtered.depth - raw.depth) < 50)).all()
    with pytest.raises(ValueError):
        quorvex.Camera(filters=3)


def test_any_source_filtered_once():
    depth, amp = _step()
    frame = quorvex.Frame(0, 0, 0, 0, 80, 60, "depth", depth, amp, amp, None)
    (out,) = quorvex.filter_depth([frame], range_mm=4000)
    assert (out.depth[1:-1, 40] == 0).all() and frame.depth[5, 40] != 0

    class Listed:
        info = quorvex.StreamInfo("list", "hqvga", 80, 60, "depth", quorvex.nominal_intrinsics(80, 60),
                                  {"range": 4000})

        def frames(self, max_frames=None):
            return iter([frame])

        def close(self):
            pass

    src = FilteredSource(Listed())
    assert src.info.filters == {"preset": "default"}
    (got,) = src.frames()
    assert (got.depth[1:-1, 40] == 0).all()
    Listed.info.filters = {"preset": "far"}  # filtered upstream already: left alone
    (again,) = FilteredSource(Listed()).frames()
    assert again.depth[5, 40] == frame.depth[5, 40]
