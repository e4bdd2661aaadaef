"""Judging capture times against a simulated module's `clock_truth` file
(lines "<timestamp> <true CLOCK_MONOTONIC ns>", one per image it stamped)."""
import statistics


def read_truth(text):
    """{timestamp: true ns} of a truth file's text; a stamp seen twice (the
    clock restarted) maps to a list of instants, oldest first."""
    truth = {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 2:
            truth.setdefault(int(parts[0]), []).append(int(parts[1]))
    return truth


def errors_against_truth(frames, truth_text, settle_s=3.0, after_restart_s=1.0):
    """Errors of (timestamp_ms, capture_ns, host_time_ns) frames against the
    truth: frames before `settle_s` from the first, and before
    `after_restart_s` from a frame whose stamp went back, are left out. The
    true instant of a stamp seen more than once is the one nearest the
    frame's arrival. Returns frames, median and p99 of |error| (ms) of the
    estimate and of the arrival."""
    truth = read_truth(truth_text)
    est, arr = [], []
    start = frames[0][2] if frames else 0
    settled_from = start + settle_s * 1e9
    last = None
    for stamp, capture, host in frames:
        if last is not None and stamp < last:
            settled_from = host + after_restart_s * 1e9
        last = stamp
        instants = truth.get(stamp)
        if not instants or host < settled_from:
            continue
        true_ns = min((t for t in instants if t <= host), key=lambda t: host - t, default=None)
        if true_ns is None:
            continue
        est.append((capture - true_ns) / 1e6)
        arr.append((host - true_ns) / 1e6)

    def p99(v):
        a = sorted(abs(x) for x in v)
        return a[len(a) * 99 // 100] if a else float("nan")

    def med(v):
        return statistics.median(v) if v else float("nan")
    return {"frames": len(est), "median_ms": med(est), "p99_ms": p99(est),
            "arrival_median_ms": med(arr), "arrival_p99_ms": p99(arr), "errors_ms": est}
