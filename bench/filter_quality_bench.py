"""Depth filters against the simulated scenes' ground truth: a quality report.

    python bench/filter_quality_bench.py BUILD_DIR [--quick]

The realistic world, HQVGA and VGA, scenes box, sphere, steps, corner and
far walls. For the raw depth, each stage alone and the default chain:
- flying: share of the pixels at object silhouettes decoding more than
  50 mm from both the foreground and the background truth that are
  invalidated (goal >= 95 %); outl: the same for readings that far off a
  single surface (noise of weak returns, multipath), not a goal;
- kept: share of the surface pixels (away from silhouettes, with a raw
  reading) kept (goal >= 97 %);
- alias: share of the wrapped pixels of surfaces beyond the range that are
  invalidated (goal >= 99 %);
- rms: RMS error against the truth on the surface pixels that the filter
  keeps, after the temporal average has settled, raw and filtered, and the
  ratio (goal <= 0.5 on static flat surfaces);
- wrong: kept pixels per frame more than 50 mm from every surface near them.
Then the chain inside quorvex.Camera with the range changed at run time,
and moving scenes (error on the pixels the motion sweeps, goal: at most the
raw error + 2 mm, no trails).
The figures are the same on every run: the simulated noise is seeded.
"""
import os
import sys
import tempfile
import time
from pathlib import Path

from bench_figures import figure, key

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

# Each stage alone: the default parameters with every other stage off.
STAGES = ("confidence", "aliasing", "flying", "spatial", "temporal")
SETTLE = 4  # frames the temporal average needs before its error is judged

# name, configuration, range (None: the module's own), frames
HQVGA = [
    ("box", "scene = box\n", None),
    ("sphere", "scene = sphere\n", None),
    ("steps", "scene = steps\ndistance = 2400\n", None),
    ("corner", "scene = corner\ndistance = 1800\n", None),
    ("box r2000", "scene = box\n", 2000),
    ("far wall r2000", "scene = flat\ndistance = 2500\n", 2000),
    ("wall 1900 r2000", "scene = wall\ndistance = 1900\n", 2000),
]
# The VGA module's range follows its frequency mode: 4500 mm with two
# frequencies, 1250 mm with one, where its far wall wraps.
VGA = [
    ("box", "scene = box\nfrequency = dual\n", None),
    ("sphere", "scene = sphere\nfrequency = dual\n", None),
    ("steps", "scene = steps\ndistance = 2400\nfrequency = dual\n", None),
    ("corner", "scene = corner\ndistance = 1800\nfrequency = dual\n", None),
    ("far wall single", "scene = flat\ndistance = 1600\nfrequency = single\n", None),
    ("wall 1150 single", "scene = wall\ndistance = 1150\nfrequency = single\n", None),
]
MOVING = [
    ("box right 30 mm/frame", "scene = box\nmotion_direction = right\nmotion = 30\nmotion_period = 1000\n"),
    ("box away 10 mm/frame", "scene = box\nmotion = 10\nmotion_period = 1000\n"),
    ("sphere right 15 mm/frame", "scene = sphere\nmotion_direction = right\nmotion = 15\nmotion_period = 1000\n"),
]


def pct(x):
    return "   -  " if x is None else f"{100 * x:6.2f}"


def mm(x):
    return "   -  " if x is None else f"{x:6.2f}"


def capture(quorvex, tmp, text, count, range_mm=None, filters=None, switch_after=None):
    """Frames of the realistic world (the module's frames 0 .. count-1)
    and the configuration file that made them. With `switch_after`, the
    range is set to `range_mm` once that many frames have arrived."""
    path = Path(tmp) / f"q{abs(hash((text, range_mm, switch_after))) % 10**8}.cfg"
    path.write_text("fps = 0\nphysics = realistic\n" + text)
    with quorvex.Camera(config=str(path), filters=filters) as cam:
        if range_mm is not None and switch_after is None:
            cam.set_control("range", range_mm)
        frames = []
        for f in cam.frames(max_frames=count, stall_timeout=120):
            frames.append(f)
            if switch_after is not None and len(frames) == switch_after:
                cam.set_control("range", range_mm)
        range_now = cam.get_control("range")
        unit = quorvex.filters.amplitude_unit(cam.info.variant)
    return path, frames, range_now, unit


def judge_scene(quorvex, dq, path, frames, range_mm, unit, moving=False):
    """Tallies per way of filtering: raw, each stage alone, the chain."""
    import numpy as np
    truths = dq.truths(path, frames, range_mm)
    ways = {"raw": None}
    for s in STAGES:
        ways[s] = quorvex.Filters("default", **{o: o == s for o in STAGES})
    ways["chain"] = quorvex.Filters("default")
    out = {}
    for name, f in ways.items():
        t = dq.Tally()
        for i, (frame, truth) in enumerate(zip(frames, truths)):
            raw = frame.depth.astype(np.float64)
            got = raw if f is None else f.filter(frame.depth, frame.amplitude * unit, range_mm).astype(np.float64)
            if moving:
                judge = dq.swept(truths[max(0, i - 3):i], truth) if i >= SETTLE else False
            else:
                judge = None if i >= SETTLE else False
            t.add(truth, raw, got, judge)
        out[name] = t
    return out


def print_table(title, tallies, moving=False, name_key=None):
    """Prints the report of one scene; with `name_key` (quality.SIZE.SCENE)
    also records its figures."""
    print(f"-- {title}")
    print("   way          flying  outl    kept  alias  rms raw  rms out  ratio  wrong/frame")
    for name, t in tallies.items():
        r, o = t.rms("raw"), t.rms("out")
        ratio = f"{o / r:5.2f}" if r and o is not None else "  -  "
        extra = f"  (+{o - r:.2f} mm)" if moving and r and o is not None else ""
        print(f"   {name:<11} {pct(t.share('flying'))} {pct(t.share('outlier'))} {pct(t.share('surface'))} {pct(t.share('aliased'))}"
              f"  {mm(r)}   {mm(o)}  {ratio}  {t.wrong['out'] / t.frames:8.1f}{extra}")
        if name_key:
            way = f"filters.{key(name)}.{name_key}"
            for share, label in (("flying", "flying_removed"), ("surface", "clean_kept"), ("aliased", "aliased_removed")):
                value = t.share(share)
                if value is not None:
                    figure(f"{way}.{label}_percent", 100 * value)
            if r and o is not None:
                figure(f"{way}.rms_ratio_to_raw", o / r)
    t = next(iter(tallies.values()))
    print(f"   pixels/frame: flying {t.n['flying'] / t.frames:.0f}, outl {t.n['outlier'] / t.frames:.0f}, "
          f"surface {t.n['surface'] / t.frames:.0f}, "
          f"aliased {t.n['aliased'] / t.frames:.0f}")


def main():
    build = Path(sys.argv[1] if len(sys.argv) > 1 and not sys.argv[1].startswith("-") else "build/native")
    quick = "--quick" in sys.argv
    sys.path.insert(0, str(build / "python"))
    try:
        import numpy as np  # noqa: F401
        import quorvex
        import depth_quality as dq
        import sim_truth
    except ImportError as e:
        print(f"skipped: {e}")
        return
    if sim_truth._library() is None:
        print("skipped: the USB camera library is not the simulated stand-in")
        return
    count = {"HQVGA": 8 if quick else 14, "VGA": 6 if quick else 8}
    start = time.monotonic()
    with tempfile.TemporaryDirectory() as tmp:
        for variant, scenes, prefix in (("HQVGA", HQVGA, ""), ("VGA", VGA, "variant = vga\n")):
            for name, text, range_mm in scenes:
                path, frames, got_range, unit = capture(quorvex, tmp, prefix + text, count[variant], range_mm)
                tallies = judge_scene(quorvex, dq, path, frames, got_range, unit)
                print_table(f"{variant} {name} (range {got_range} mm, {len(frames)} frames)", tallies,
                            name_key=f"{key(variant)}.{key(name)}")

        # The camera's own chain, range changed while it streams: the
        # frames after the change are judged against the new range.
        for name, text in (("far wall", "scene = flat\ndistance = 2500\n"), ("wall 1900", "scene = wall\ndistance = 1900\n")):
            switch = 3
            path, frames, got_range, _ = capture(quorvex, tmp, text, count["HQVGA"], 2000, "default", switch)
            t = dq.Tally()
            # Frames begun before the change keep the old frequency; judge
            # from two frames later.
            later = frames[switch + 2:]
            for truth, f in zip(dq.truths(path, later, got_range, raw=False), later):
                d = f.depth.astype(np.float64)
                t.add(truth, d, d, False)
            print(f"-- HQVGA {name}, quorvex.Camera(filters='default'), range 4000 -> "
                  f"set_control('range', 2000) after {switch} frames: aliased invalidated "
                  f"{pct(t.share('aliased'))} %, surface kept {pct(t.share('surface'))} %")

        for name, text in MOVING:
            path, frames, got_range, unit = capture(quorvex, tmp, text, count["HQVGA"])
            print_table(f"HQVGA moving {name} (error on swept surface pixels)",
                        judge_scene(quorvex, dq, path, frames, got_range, unit, moving=True), moving=True)
    print(f"({time.monotonic() - start:.0f} s)")


if __name__ == "__main__":
    main()
