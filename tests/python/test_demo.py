"""The main job runs end to end on the simulated module and writes real pictures.

The examples run in this interpreter (runpy), not in a child process, so the
test also runs where the interpreter itself is emulated.
"""
import pathlib
import re
import runpy
import sys

import pytest
from conftest import EMULATED

ROOT = pathlib.Path(__file__).resolve().parents[2]


def run_example(name, args, monkeypatch):
    monkeypatch.setattr(sys, "argv", [name] + args)
    runpy.run_path(str(ROOT / "examples" / name), run_name="__main__")


def test_depth_example_streams_and_writes_png_pictures(tmp_path, monkeypatch, capsys):
    pytest.importorskip("matplotlib")
    monkeypatch.setenv("MPLBACKEND", "Agg")
    run_example("depth_example.py", ["--seconds", "1", "--out", str(tmp_path)], monkeypatch)
    out = capsys.readouterr().out
    assert "frames" in out and "fps" in out and "dropped" in out
    assert "\r" not in out  # captured, not a terminal: whole lines, never redrawn
    from PIL import Image  # matplotlib depends on Pillow
    for name in ("depth.png", "amplitude.png"):
        assert (tmp_path / name).read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
        with Image.open(tmp_path / name) as image:
            image.verify()
            assert image.size[0] > 100 and image.size[1] > 100


def test_demo_streams_the_box_through_the_package_and_writes_four_outputs(tmp_path, monkeypatch, capsys):
    pytest.importorskip("matplotlib")
    monkeypatch.setenv("MPLBACKEND", "Agg")
    run_example("demo.py", ["--seconds", "1", "--out", str(tmp_path)], monkeypatch)
    out = capsys.readouterr().out
    assert "frames" in out and "fps" in out and "dropped" in out and "\r" not in out
    kept, valid = map(int, re.search(r"filtered \(default\): (\d+) of (\d+) valid pixels kept", out).groups())
    assert 0.5 * valid < kept < valid  # the realistic box's edges have mixed pixels to drop
    from PIL import Image
    for name in ("depth.png", "amplitude.png", "points.png"):
        with Image.open(tmp_path / name) as image:
            image.verify()
            assert image.format == "PNG" and image.size[0] > 100 and image.size[1] > 100
    with Image.open(tmp_path / "points.png") as image:
        assert image.size[0] > 1.6 * image.size[1]  # raw and filtered, side by side
    ply = (tmp_path / "points.ply").read_bytes()
    header, _, body = ply.partition(b"end_header\n")
    count = int(header.split(b"element vertex ")[1].split()[0])
    # x, y, z floats and three colour bytes per point, every pixel of the box scene valid.
    assert count == 240 * 180 and len(body) == count * 15


def test_raw_example_prints_the_frame_geometry(monkeypatch, capsys):
    run_example("raw_example.py", [], monkeypatch)
    assert "raw frame 240 x 720" in capsys.readouterr().out


@pytest.mark.parametrize("name, written", [("depth_example.py", []), ("demo.py", ["points.ply"])])
def test_examples_without_matplotlib_stream_and_skip_the_pictures(name, written, tmp_path, monkeypatch, capsys):
    # A None entry makes the import fail as if the package were missing.
    for module in [m for m in sys.modules if m == "matplotlib" or m.startswith("matplotlib.")]:
        monkeypatch.delitem(sys.modules, module)
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    # The demo's realistic world renders a frame in seconds under emulation.
    world = ["--physics", "ideal"] if EMULATED and name == "demo.py" else []
    run_example(name, ["--seconds", "1", "--out", str(tmp_path)] + world, monkeypatch)
    out = capsys.readouterr().out
    assert "pictures skipped: matplotlib is not installed" in out
    assert sorted(p.name for p in tmp_path.iterdir()) == written


def test_the_demo_pictures_say_what_they_show(tmp_path, monkeypatch):
    # Raw or filtered, what the colour is (the distance along each ray, as
    # the module measures it) and the amplitude's unit, in every picture.
    pytest.importorskip("matplotlib")
    monkeypatch.setenv("MPLBACKEND", "Agg")
    from matplotlib.figure import Figure

    texts = {}
    save = Figure.savefig

    def savefig(fig, path, *args, **kwargs):
        found = [t.get_text() for t in fig.texts]
        for ax in fig.axes:
            found += [ax.get_title(), ax.get_ylabel()]
        texts[pathlib.Path(path).name] = " ".join(found)
        return save(fig, path, *args, **kwargs)

    monkeypatch.setattr(Figure, "savefig", savefig)
    world = ["--physics", "ideal"] if EMULATED else []
    run_example("demo.py", ["--seconds", "1", "--out", str(tmp_path)] + world, monkeypatch)
    assert "raw depth" in texts["depth.png"] and "distance along the pixel's ray (mm)" in texts["depth.png"]
    assert "raw frame" in texts["amplitude.png"] and "module's own units" in texts["amplitude.png"]
    assert "raw" in texts["points.png"] and "filtered (default)" in texts["points.png"]
    assert "distance along the pixel's ray (mm)" in texts["points.png"]
