#!/usr/bin/env python3
"""Joins the benches' figures into one JSON object.

    tools/merge_bench_figures.py FRAGMENT_DIR OUT.json

Each bench of `make bench` writes its figures as a JSON object of its own
(BENCH.json in FRAGMENT_DIR); this writes them as one object, names sorted.
A fragment that is not an object of numbers, or a name that two fragments
both give, is an error. The headline figures a run is expected to have are
named when missing (the ARM counts need the cross tools), not an error.
"""
import json
import math
import sys
from pathlib import Path

EXPECTED = (
    "filters.default.hqvga.x86_ratio_to_phase_to_depth",
    "filters.default.hqvga.aarch64_instructions",
    "filters.default.hqvga.armv7_instructions",
    "sim.realistic.hqvga.still_ms",
    "sim.realistic.hqvga.moving_ms",
    "sim.realistic.vga.still_ms",
    "coding.depth.vga.cpu_ratio_to_lz4",
    "coding.depth.vga.bytes_ratio_zstd",
    "coding.both.hqvga.aarch64_instructions",
    "coding.lz4.hqvga.aarch64_instructions",
)


def merge(fragments):
    """{name: value} of every fragment; ValueError naming the fragment and
    the name at fault."""
    out, source = {}, {}
    for path in fragments:
        try:
            data = json.loads(path.read_text())
        except ValueError as e:
            raise ValueError(f"{path}: not JSON ({e})") from None
        if not isinstance(data, dict):
            raise ValueError(f"{path}: not a JSON object")
        for name, value in data.items():
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
                raise ValueError(f"{path}: {name} is not a number: {value!r}")
            if name in out:
                raise ValueError(f"{path}: {name} already given by {source[name]}")
            out[name], source[name] = value, path.name
    return dict(sorted(out.items()))


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    where, target = Path(argv[1]), Path(argv[2])
    try:
        figures = merge(sorted(where.glob("*.json")))
    except ValueError as e:
        print(f"merge_bench_figures: {e}", file=sys.stderr)
        return 1
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text(json.dumps(figures, indent=2) + "\n")
    missing = [name for name in EXPECTED if name not in figures]
    print(f"{target}: {len(figures)} figures" + (f"; missing: {', '.join(missing)}" if missing else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
