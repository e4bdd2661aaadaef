"""The benches' figures: fragments joined into one object of numbers, bad
fragments and names given twice refused with the fragment named."""
import importlib.util
import json
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def load(name, path):
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


merge = load("merge_bench_figures", ROOT / "tools" / "merge_bench_figures.py")


def write(tmp_path, name, text):
    (tmp_path / name).write_text(text)


def test_fragments_joined_sorted_and_missing_headlines_named(tmp_path, capsys):
    write(tmp_path, "b.json", '{"sim.realistic.hqvga.still_ms": 13.4, "z.last": 1}')
    write(tmp_path, "a.json", '{"filters.default.hqvga.x86_ratio_to_phase_to_depth": 0.9}')
    out = tmp_path / "out" / "results.json"
    assert merge.main(["merge", str(tmp_path), str(out)]) == 0
    text = out.read_text()
    assert list(json.loads(text)) == sorted(json.loads(text))
    assert json.loads(text)["z.last"] == 1
    said = capsys.readouterr().out
    assert "3 figures" in said and "sim.realistic.vga.still_ms" in said
    assert "sim.realistic.hqvga.still_ms" not in said.split("missing:")[1]


@pytest.mark.parametrize("fragment, fault", [
    ('{"a.b": "fast"}', "a.b is not a number"),
    ('{"a.b": true}', "a.b is not a number"),
    ('{"a.b": NaN}', "a.b is not a number"),
    ('[1, 2]', "not a JSON object"),
    ('{"a.b": 1', "not JSON"),
    ('{"first.figure": 2}', "first.figure already given by a.json"),
])
def test_bad_fragments_refused_naming_the_file(tmp_path, capsys, fragment, fault):
    write(tmp_path, "a.json", '{"first.figure": 1}')
    write(tmp_path, "b.json", fragment)
    out = tmp_path / "results.json"
    assert merge.main(["merge", str(tmp_path), str(out)]) == 1
    err = capsys.readouterr().err
    assert "b.json" in err and fault in err
    assert not out.exists()


def test_python_benches_write_their_fragment_at_exit(tmp_path, monkeypatch):
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        figures = load("bench_figures_under_test", ROOT / "bench" / "bench_figures.py")
    finally:
        sys.path.remove(str(ROOT / "bench"))
    monkeypatch.setenv("QUORVEX_BENCH_FIGURES", str(tmp_path))
    monkeypatch.setattr(sys, "argv", ["bench/some_bench.py"])
    assert figures.key("HQVGA box r2000") == "hqvga_box_r2000"
    figures.figure("x.y.hqvga.us", 12)
    figures.figure("x.y.hqvga.ratio", float("inf"))  # not a number JSON can hold: left out
    figures._write()
    assert json.loads((tmp_path / "some_bench.json").read_text()) == {"x.y.hqvga.us": 12.0}
