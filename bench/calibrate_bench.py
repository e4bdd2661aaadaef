"""Lens calibration from a recording of the simulated module's checkerboard,
against reading the same recording, same run.

    python bench/calibrate_bench.py BUILD_DIR

Records 40 frames of the realistic checkerboard through a distorted lens,
then times (wall clock, median of 3) reading the recording's amplitude
planes alone, and `python -m quorvex calibrate` on it (finding the board in
every frame and fitting the lens). Prints both, their ratio, and how far
the lens found is from the simulated one. Needs the calibrate extra.
"""
import contextlib
import io
import statistics
import sys
import tempfile
import time
from pathlib import Path

from bench_figures import figure

LENS_KEYS = ("lens_fx = 201\nlens_fy = 199.5\nlens_cx = 121.3\nlens_cy = 88.4\nlens_k1 = -0.28\n"
             "lens_k2 = 0.09\nlens_p1 = 0.0008\nlens_p2 = -0.0006\n")
ROUNDS = 3


def main():
    build = Path(sys.argv[1] if len(sys.argv) > 1 else "build/native")
    root = Path(__file__).resolve().parents[1]
    sys.path[:0] = [str(root / "package"), str(build / "python")]
    try:
        import cv2  # noqa: F401
    except ImportError:
        print("skipped: no OpenCV (the calibrate extra)")
        return
    import quorvex
    from quorvex.commands import main as command
    from quorvex.recording import record

    with tempfile.TemporaryDirectory() as tmp:
        cfg = Path(tmp) / "board.cfg"
        cfg.write_text("scene = checkerboard\nphysics = realistic\nfps = 0\n" + LENS_KEYS)
        path = str(Path(tmp) / "board.mcap")
        begin = time.monotonic()
        with quorvex.Camera(config=str(cfg), filters=None) as cam:
            record(cam, path, max_frames=40, block=True)
        print(f"recorded 40 realistic HQVGA frames in {time.monotonic() - begin:.1f} s")

        def read():
            with quorvex.open_recording(path, realtime=False) as rec:
                for frame in rec.frames():
                    frame.amplitude.sum()

        out = str(Path(tmp) / "lens.yaml")

        def calibrate():
            with contextlib.redirect_stderr(io.StringIO()):
                assert command(["calibrate", path, "--quiet", "--force", "--output", out]) == 0

        times = {}
        for name, run in (("read", read), ("calibrate", calibrate)):
            samples = []
            for _ in range(ROUNDS):
                t = time.monotonic()
                run()
                samples.append(time.monotonic() - t)
            times[name] = statistics.median(samples)
        k = quorvex.load_calibration(out)
        figure("calibrate.realistic.hqvga.read_s", times["read"])
        figure("calibrate.realistic.hqvga.calibrate_s", times["calibrate"])
        figure("calibrate.realistic.hqvga.ratio_to_reading", times["calibrate"] / times["read"])
        for name, found, truth in (("fx", k.fx, 201.0), ("fy", k.fy, 199.5), ("cx", k.cx, 121.3),
                                   ("cy", k.cy, 88.4)):
            figure(f"calibrate.realistic.hqvga.{name}_error_px", abs(found - truth))
        print(f"reading the recording: {times['read']:.2f} s; calibrating from it: {times['calibrate']:.2f} s "
              f"({times['calibrate'] / times['read']:.1f} x reading)")
        print(f"lens found: fx {k.fx:.2f} (201), fy {k.fy:.2f} (199.5), cx {k.cx:.2f} (121.3), "
              f"cy {k.cy:.2f} (88.4), k1 {k.k1:.4f} (-0.28), k2 {k.k2:.4f} (0.09), p1 {k.p1:.5f} (0.0008), "
              f"p2 {k.p2:.5f} (-0.0006)")


if __name__ == "__main__":
    main()
