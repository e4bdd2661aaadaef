"""HQVGA phase-to-depth as a Python user would write it with numpy, timed
against the plain scalar C++ conversion (the same one the C++ bench uses,
loaded through ctypes) in alternating rounds of the same run.

    python bench/phase_numpy_bench.py BUILD_DIR
"""
import ctypes
import statistics
import sys
import time
from pathlib import Path

import numpy as np

from bench_figures import figure

PIXELS = 240 * 180
FREQ = 37500000.0
ROUNDS = 31
CALLS = 5


def numpy_phase_to_depth(raw, shift, near_pairing, freq):
    """Depth, amplitude and confidence planes from one raw frame (4 planes)."""
    s = ((raw.reshape(4, PIXELS) >> shift) & 0x7FF).astype(np.int32)
    s = ((s ^ 0x400) - 0x400) * 16
    if near_pairing:
        y, x = s[1] - s[3], s[2] - s[0]
    else:
        y, x = s[2] - s[0], s[3] - s[1]
    phase = np.arctan2(y.astype(np.float64), x.astype(np.float64)).astype(np.float32)
    phase[phase < 0] += np.float32(6.2831855)
    scale = np.float32(300000000.0) / (np.float32(freq) * np.float32(12.566371))
    depth = scale * phase * np.float32(1000.0)
    xd, yd = x.astype(np.float64), y.astype(np.float64)
    amp = (0.5 * np.sqrt(xd * xd + yd * yd)).astype(np.float32)
    return depth, amp, amp.copy()


def median_us(fn):
    times = []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        for _ in range(CALLS):
            fn()
        times.append((time.perf_counter() - start) / CALLS * 1e6)
    return statistics.median(times)


def main():
    build = Path(sys.argv[1] if len(sys.argv) > 1 else "build/native")
    lib = ctypes.CDLL(str(build / "bench" / "libquorvex_bench_reference.so"))
    u16p, f32p = ctypes.POINTER(ctypes.c_uint16), ctypes.POINTER(ctypes.c_float)
    lib.quorvexBenchFrame.argtypes = [u16p, ctypes.c_uint]
    lib.quorvexPlainPhaseToDepth.argtypes = [u16p, f32p, f32p, f32p, ctypes.c_size_t, ctypes.c_uint,
                                             ctypes.c_int, ctypes.c_float]

    raw = np.empty(4 * PIXELS, dtype=np.uint16)
    lib.quorvexBenchFrame(raw.ctypes.data_as(u16p), 0)
    planes = [np.empty(PIXELS, dtype=np.float32) for _ in range(3)]
    args = [raw.ctypes.data_as(u16p)] + [p.ctypes.data_as(f32p) for p in planes]

    def plain():
        lib.quorvexPlainPhaseToDepth(*args, PIXELS, 0, 0, FREQ)

    def numpy_version():
        numpy_phase_to_depth(raw, 0, False, FREQ)

    plain()
    numpy_version()
    stage, base = [], []
    for _ in range(3):  # alternate so that both see the same machine
        stage.append(median_us(numpy_version))
        base.append(median_us(plain))
    stage_us, base_us = statistics.median(stage), statistics.median(base)
    depth, amp, conf = numpy_phase_to_depth(raw, 0, False, FREQ)
    exact = all(np.array_equal(a.view(np.uint32), b.view(np.uint32))
                for a, b in zip((depth, amp, conf), planes))
    figure("phase_to_depth.numpy.hqvga.us", stage_us)
    figure("phase_to_depth.numpy.hqvga.ratio_to_plain", stage_us / base_us)
    print(f"{'stage':<40} {'median':>12}   {'baseline':<28} {'median':>12} {'ratio':>9}")
    print(f"{'hqvga phase-to-depth [numpy]':<40} {stage_us:9.1f} us   {'plain scalar phase-to-depth':<28} "
          f"{base_us:9.1f} us {stage_us / base_us:8.3f}x {'bit-exact' if exact else 'DIFFERS'}")


if __name__ == "__main__":
    main()
