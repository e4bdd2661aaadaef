"""Python per-frame overhead: requestFrame + getDepthData + releaseFrame on the
simulated USB module delivering frames as fast as they are read, timed
against numpy.copy of the same bytes (one depth plane) in the same run.

    python bench/frame_overhead_bench.py BUILD_DIR

Only calls that found a frame ready are timed: the module's own frame time
(simulation and depth conversion on the capture thread) is not overhead.
Times are the calling thread's CPU time (what the application loses), less
the cost of reading that clock: with the capture thread and other programs
sharing the cores, wall-clock times mostly measured the scheduler.
"""
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from bench_figures import figure, key

TIMED = 2000


def main():
    build = Path(sys.argv[1] if len(sys.argv) > 1 else "build/native")
    sys.path.insert(0, str(build / "python"))
    import QuorvexDepthCamera as q

    ok = q.TOFErrorCode.QuorvexSuccess
    with tempfile.TemporaryDirectory() as tmp:
        config = Path(tmp) / "fast-module.txt"
        config.write_text("variant = hqvga\nfps = 0\n")
        cam = q.QuorvexCamera()
        if cam.openWithFile(str(config)) != ok or cam.start(q.TOFOutput.DEPTH) != ok:
            sys.exit("cannot stream from the simulated module")
        try:
            stage, base = [], []
            clock = time.thread_time
            empty = []
            for _ in range(TIMED):
                start = clock()
                empty.append(clock() - start)
            depth = None
            while len(stage) < TIMED:
                start = clock()
                frame = cam.requestFrame(0)
                if frame is None:
                    time.sleep(0.0002)
                    continue
                depth = frame.getDepthData()
                cam.releaseFrame(frame)
                stop = clock()
                stage.append(stop - start)
                # The baseline on the bytes just delivered, as a user's copy of them would be.
                start = clock()
                np.copy(depth)
                base.append(clock() - start)
        finally:
            cam.stop()
            cam.close()
    clock_us = statistics.median(empty) * 1e6
    stage_us = statistics.median(stage) * 1e6 - clock_us
    base_us = statistics.median(base) * 1e6 - clock_us
    label = f"{depth.shape[1]}x{depth.shape[0]} depth plane"
    size = key(f"{depth.shape[1]}x{depth.shape[0]}")
    figure(f"python.request_frame.{size}.us", stage_us)
    figure(f"python.request_frame.{size}.ratio_to_numpy_copy", stage_us / base_us)
    print(f"{'stage':<44} {'median':>12}   {'baseline':<28} {'median':>12} {'ratio':>9}")
    print(f"{'python requestFrame+getDepthData+release':<44} {stage_us:9.1f} us   "
          f"{'numpy.copy, ' + label:<28} {base_us:9.1f} us {stage_us / base_us:8.3f}x")


if __name__ == "__main__":
    main()
