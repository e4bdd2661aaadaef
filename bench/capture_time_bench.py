"""Capture-time estimate against the simulated USB module's truth: for each
configuration, the error of `quorvex.Frame.capture_ns` and of the arrival
time (`host_time_ns`) against the true capture instant the module wrote to
its `clock_truth` file, median and 99th percentile of |error|, over the
frames after the first 3 s (and from 1 s after a restart of the module's
clock). The arrival is the baseline of the same run.

    python bench/capture_time_bench.py BUILD_DIR [SECONDS]
"""
import os
import sys
import tempfile
from pathlib import Path

from bench_figures import figure

CONFIGS = [
    ("default module", "default", ""),
    ("150 ppm, 6 ms jitter", "drift_jitter", "clock_drift_ppm = 150\nlatency_jitter_ms = 6\n"),
    # The restart comes after 20 s (capture numbers count images: 4 a frame).
    ("150 ppm, 6 ms jitter, clock restart", "drift_jitter_restart", "clock_drift_ppm = 150\nlatency_jitter_ms = 6\nreset_at = 2400\n"),
]


def measure(build, text, seconds):
    sys.path.insert(0, str(build / "python"))
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "package"))
    import quorvex
    from quorvex.capture_truth import errors_against_truth

    with tempfile.TemporaryDirectory() as tmp:
        truth = Path(tmp) / "truth.txt"
        config = Path(tmp) / "module.cfg"
        config.write_text(f"fps = 30\n{text}clock_truth = {truth}\n")
        frames = []
        with quorvex.Camera(config=str(config), simulated=True, filters=None) as cam:
            for f in cam.frames(max_frames=int(seconds * 30), planes=("depth",)):
                frames.append((f.timestamp_ms, f.capture_ns, f.host_time_ns))
        return errors_against_truth(frames, truth.read_text(), settle_s=3.0, after_restart_s=1.0)


def main():
    build = Path(sys.argv[1] if len(sys.argv) > 1 else "build/native")
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
    os.environ.setdefault("QUORVEX_SIMULATED", "1")
    print(f"capture time against the simulated module's truth, {seconds:g} s at 30 fps each "
          "(ms; estimate vs arrival)")
    print(f"{'configuration':40} {'frames':>6} {'median':>8} {'p99 |e|':>8} {'arrival median':>15} {'arrival p99':>12}")
    for name, short, text in CONFIGS:
        r = measure(build, text, seconds)
        for metric in ("median_ms", "p99_ms", "arrival_median_ms", "arrival_p99_ms"):
            figure(f"capture_time.{short}.hqvga.{metric}", r[metric])
        print(f"{name:40} {r['frames']:6d} {r['median_ms']:8.3f} {r['p99_ms']:8.3f} "
              f"{r['arrival_median_ms']:15.3f} {r['arrival_p99_ms']:12.3f}")


if __name__ == "__main__":
    main()
