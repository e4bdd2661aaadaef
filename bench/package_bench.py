"""The quorvex package against the extension's own calls, same run, on the
simulated USB module.

    python bench/package_bench.py BUILD_DIR

1. Per-frame cost of `Camera.frames()` without filters against the plain
   loop requestFrame / getDepthData / releaseFrame: the consuming thread's
   CPU time per frame (what the application loses; waiting costs none),
   with the module delivering as fast as it is read; then the default
   filters' cost apart, against the same unfiltered iterator. Rounds
   alternate, medians are compared.
2. A pure-Python counting thread's rate while the main thread waits for
   frames, against its rate alone: with the package's wait, and with the
   extension's requestFrame (which holds the interpreter while it waits).
"""
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

from bench_figures import figure

FRAMES = 40
ROUNDS = 25
COUNT_SECONDS = 1.5


def main():
    build = Path(sys.argv[1] if len(sys.argv) > 1 else "build/native")
    root = Path(__file__).resolve().parents[1]
    sys.path[:0] = [str(root / "package"), str(build / "python")]
    import QuorvexDepthCamera as q
    import quorvex

    ok = q.TOFErrorCode.QuorvexSuccess
    clock = time.thread_time
    with tempfile.TemporaryDirectory() as tmp:
        fast = Path(tmp) / "fast.cfg"
        fast.write_text("fps = 0\n")

        with quorvex.Camera(config=fast, filters=None) as cam, \
                quorvex.Camera(config=fast) as filtered:
            cam.start()
            filtered.start()
            raw = cam._cam  # the extension's camera under the package's

            # As a user writes it: the arrays stay in variables until the
            # next frame's replace them, as the iterator's frame does. (A
            # loop that drops each array at once lets the allocator hand the
            # same pages back every time, which no real consumer gets.)
            def plain(planes):
                start = clock()
                n = 0
                while n < FRAMES:
                    f = raw.requestFrame(1000)
                    if f is None:
                        continue
                    arrays = [getattr(f, p)() for p in planes]
                    raw.releaseFrame(f)
                    n += 1
                del arrays
                return (clock() - start) / FRAMES

            def iterator(planes, camera=cam):
                start = clock()
                for _ in camera.frames(max_frames=FRAMES, planes=planes):
                    pass
                return (clock() - start) / FRAMES

            three = ("getDepthData", "getAmplitudeData", "getConfidenceData")
            base, base3, depth_only, every, with_filters = [], [], [], [], []
            for _ in range(ROUNDS):
                base.append(plain(("getDepthData",)))
                depth_only.append(iterator(("depth",)))
                base3.append(plain(three))
                every.append(iterator(("depth", "amplitude", "confidence")))
                with_filters.append(iterator(("depth",), filtered))
        b, b3 = statistics.median(base), statistics.median(base3)
        d, e = statistics.median(depth_only), statistics.median(every)
        w = statistics.median(with_filters)
        figure("package.frames.depth.us", d * 1e6)
        figure("package.frames.depth.ratio_to_raw_loop", d / b)
        figure("package.frames.all_planes.us", e * 1e6)
        figure("package.frames.all_planes.ratio_to_raw_loop", e / b3)
        figure("package.frames.depth_default_filters.us", w * 1e6)
        figure("package.frames.depth_default_filters.ratio_to_unfiltered", w / d)
        print(f"per frame, CPU of the consuming thread ({FRAMES} frames x {ROUNDS} rounds, medians):")
        print(f"  requestFrame/getDepthData/releaseFrame  {b * 1e6:8.1f} us   (baseline)")
        print(f"  Camera.frames(), depth plane            {d * 1e6:8.1f} us   {d / b:5.2f} x baseline")
        print(f"  the same with all three planes          {b3 * 1e6:8.1f} us   (baseline)")
        print(f"  Camera.frames(), all three planes       {e * 1e6:8.1f} us   {e / b3:5.2f} x baseline")
        print(f"  Camera.frames(), depth, default filters {w * 1e6:8.1f} us   {w / d:5.2f} x without filters "
              f"(the filters' own cost: {(w - d) * 1e6:.1f} us)")

        # A module at 30 frames/s: the main thread mostly waits.
        slow = Path(tmp) / "slow.cfg"
        slow.write_text("fps = 30\n")

        def counting_rate(waiter):
            stop = threading.Event()
            counted = [0]

            def count():
                n = 0
                while not stop.is_set():
                    for _ in range(1000):
                        n += 1
                counted[0] = n

            t = threading.Thread(target=count)
            begin = time.monotonic()
            t.start()
            waiter(begin + COUNT_SECONDS)
            stop.set()
            t.join()
            return counted[0] / (time.monotonic() - begin)

        def idle(until):
            time.sleep(max(0.0, until - time.monotonic()))

        with quorvex.Camera(config=slow) as cam:
            cam.start()
            raw = cam._cam

            def package_wait(until):
                for _ in cam.frames():
                    if time.monotonic() >= until:
                        break

            def extension_wait(until):
                while time.monotonic() < until:
                    f = raw.requestFrame(1000)
                    if f is not None:
                        f.getDepthData()
                        raw.releaseFrame(f)

            solo = statistics.median(counting_rate(idle) for _ in range(3))
            freed = statistics.median(counting_rate(package_wait) for _ in range(3))
            held = statistics.median(counting_rate(extension_wait) for _ in range(3))
        print("pure-Python counting thread while the main thread waits for 30 frames/s:")
        print(f"  alone                       {solo / 1e6:7.2f} M/s   (baseline)")
        print(f"  main in Camera.frames()     {freed / 1e6:7.2f} M/s   {freed / solo:5.2f} x baseline")
        print(f"  main in requestFrame(1000)  {held / 1e6:7.2f} M/s   {held / solo:5.2f} x baseline")


if __name__ == "__main__":
    main()
