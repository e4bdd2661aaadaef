"""Named figures for build/bench/results.json, from the Python benches.

A bench calls `figure(name, value)` for each of its figures; at exit they
are written as one JSON object to BENCH.json in the directory that
QUORVEX_BENCH_FIGURES names (`make bench` sets it and joins the objects
with tools/merge_bench_figures.py). Without it nothing is written.
Names are dotted, lower case: area.case.size.metric.
"""
import atexit
import json
import math
import os
import re
import sys
from pathlib import Path

_figures = {}


def key(text):
    """`text` as a name part: lower case, every run of other characters one '_'."""
    return re.sub(r"[^a-z0-9]+", "_", str(text).lower()).strip("_")


def figure(name, value):
    """Records one figure; a value that is not a finite number is left out
    (JSON has none), and the merge names what it expected and did not get."""
    value = float(value)
    if math.isfinite(value):
        _figures[name] = value


def _write():
    where = os.environ.get("QUORVEX_BENCH_FIGURES")
    if not where or not _figures:
        return
    path = Path(where) / (Path(sys.argv[0]).stem + ".json")
    path.write_text(json.dumps(_figures, indent=2, sort_keys=True) + "\n")


atexit.register(_write)
