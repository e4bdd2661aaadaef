"""The default filter chain judged against the realistic world's ground
truth (looser bounds than the quality report of `make bench`)."""
import numpy as np
import pytest

import quorvex
from conftest import EMULATED
import depth_quality as dq

pytestmark = pytest.mark.skipif(EMULATED, reason="realistic frames take seconds under emulation")


def capture(tmp_path, text, count, filters=None, range_mm=None, switch_after=0):
    path = tmp_path / "module.cfg"
    path.write_text("fps = 0\nphysics = realistic\n" + text)
    with quorvex.Camera(config=str(path), filters=filters) as cam:
        got = []
        for f in cam.frames(max_frames=count, stall_timeout=60):
            got.append(f)
            if range_mm is not None and len(got) == switch_after:
                cam.set_control("range", range_mm)
        return path, got, cam.get_control("range"), quorvex.filters.amplitude_unit(cam.info)


def tally(tmp_path, text, count, filters, moving=False):
    path, frames, range_mm, unit = capture(tmp_path, text, count)
    truths = dq.truths(path, frames, range_mm)
    t = dq.Tally()
    for i, (f, truth) in enumerate(zip(frames, truths)):
        out = filters.filter(f.depth, f.amplitude * unit, range_mm).astype(np.float64)
        judge = (dq.swept(truths[max(0, i - 3):i], truth) if moving else None) if i >= 3 else False
        t.add(truth, f.depth.astype(np.float64), out, judge)
    return t


@pytest.mark.parametrize("text,rms_ratio", [
    ("scene = box\n", 0.6), ("scene = sphere\n", 0.6), ("scene = steps\ndistance = 2400\n", 0.6),
    ("variant = vga\nwidth = 320\nheight = 240\nscene = sphere\nfrequency = dual\n", 0.6)])
def test_flying_pixels_go_surfaces_stay_noise_drops(tmp_path, text, rms_ratio):
    t = tally(tmp_path, text, 6, quorvex.Filters("default"))
    print(text.replace("\n", " "), {k: t.share(k) for k in t.CLASSES}, t.rms("raw"), t.rms("out"))
    assert t.n["flying"] > 50 * t.frames
    assert t.share("flying") >= 0.9
    assert t.share("surface") >= 0.95
    assert t.rms("out") <= rms_ratio * t.rms("raw")


@pytest.mark.parametrize("text", ["scene = wall\ndistance = 1900\n", "scene = flat\ndistance = 2500\n"])
def test_camera_chain_follows_the_range_set_while_streaming(tmp_path, text):
    path, frames, range_mm, _ = capture(tmp_path, text, 7, filters="default", range_mm=2000, switch_after=2)
    assert range_mm == 2000
    # Before the change the wall is within the 4000 mm range and kept.
    assert np.mean(frames[0].depth > 0) > 0.9
    later = frames[4:]
    t = dq.Tally()
    for truth, f in zip(dq.truths(path, later, range_mm, raw=False), later):
        d = f.depth.astype(np.float64)
        t.add(truth, d, d, False)
    assert t.share("aliased") >= 0.97
    assert t.share("surface") is None or t.share("surface") >= 0.95


def test_moving_box_leaves_no_trail(tmp_path):
    text = "scene = box\nmotion_direction = right\nmotion = 30\nmotion_period = 1000\n"
    t = tally(tmp_path, text, 7, quorvex.Filters("default"), moving=True)
    assert t.count > 1000
    assert t.rms("out") <= t.rms("raw") + 3.0
    assert t.wrong["out"] <= 0.1 * t.wrong["raw"]
