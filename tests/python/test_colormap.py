"""The one colour map and range rule of every depth picture."""
import numpy as np
import pytest

from quorvex import colormap


@pytest.mark.parametrize("depth, lo, hi", [
    # 1000..2999 mm once each: percentiles 2 and 98 are 1040 and 2960, up to a 16 mm bin.
    (np.arange(1000, 3000, dtype=np.float32), 1040, 2960),
    # Invalid pixels do not count, nor do fewer than 2 % stray far ones.
    (np.concatenate([np.zeros(500), np.arange(1000, 3000), np.full(30, 60000.0)]), 1040, 2990),
    # A flat wall still gets a range a bin wide around it.
    (np.full(100, 1500.0), 1496, 1512),
])
def test_auto_range_is_the_percentiles_within_a_bin(depth, lo, hi):
    got = colormap.auto_range(depth.reshape(1, -1))
    assert abs(got[0] - lo) <= colormap.BIN_MM and abs(got[1] - hi) <= colormap.BIN_MM
    assert got[1] > got[0]


def test_auto_range_of_an_empty_picture_is_the_default():
    assert colormap.auto_range(np.zeros((4, 4))) == colormap.DEFAULT_RANGE
    assert colormap.auto_range(np.full((4, 4), np.nan)) == colormap.DEFAULT_RANGE


def test_colour_index_steps_and_clips():
    d = np.array([[500, 1000, 1003.9, 1004, 1500, 1999, 2000, 9000]], np.float32)
    # 256 steps of 1000/256 = 3.9 mm from 1000 mm; rounded to whole mm first.
    assert colormap.colour_index(d, 1000, 2000).tolist() == [[0, 0, 1, 1, 128, 255, 255, 255]]
    with pytest.raises(ValueError, match="far > near"):
        colormap.colour_index(d, 2000, 2000)


def test_maps_run_near_dark_to_far_and_mark_invalid_pixels_apart():
    turbo = colormap.colormap("turbo").astype(int)
    assert turbo[0, 2] > turbo[0, 0] and turbo[0].sum() < 150  # near: dark blue
    assert turbo[255, 0] > turbo[255, 2] and turbo[255].sum() < 150  # far: dark red
    assert turbo[128].sum() > 400  # bright in the middle
    for name in colormap.NAMES:
        table = colormap.colormap(name)
        assert table.shape == (256, 3) and table.dtype == np.uint8
        bad = np.array(colormap.invalid_colour(name))
        assert np.abs(table.astype(int) - bad).max(axis=1).min() > 20, name
        rgb = colormap.colorize(np.array([[0.0, np.nan, 1000.0, 2000.0]]), 1000, 2000, name)
        assert (rgb[0, 0] == bad).all() and (rgb[0, 1] == bad).all()
        assert (rgb[0, 2] == table[0]).all() and (rgb[0, 3] == table[255]).all()
    with pytest.raises(ValueError, match="unknown colour map 'jet'"):
        colormap.colormap("jet")


@pytest.mark.parametrize("lo, hi, expected", [
    (680, 1800, [800, 1000, 1200, 1400, 1600, 1800]),
    (0, 12345.6, [0, 5000, 10000]),
    (1496, 1512, [1500, 1505, 1510]),
    (0, 1, [0, 0.2, 0.4, 0.6, 0.8, 1.0]),
])
def test_ticks_are_round_and_few(lo, hi, expected):
    assert colormap.ticks(lo, hi) == pytest.approx(expected)
