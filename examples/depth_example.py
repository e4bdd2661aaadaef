"""Stream depth frames for a few seconds and save pictures of the last one.

    python examples/depth_example.py [--seconds 5] [--config FILE] [--out DIR]

With no --config the camera is opened over USB; on a machine without a module
that is the built-in simulated one, which streams a known scene.
"""
import argparse
import os
import sys
import time

import numpy as np

import QuorvexDepthCamera as q


def pyplot():
    """matplotlib's pyplot drawing into files, or None without matplotlib:
    the pictures are the only thing that needs it."""
    try:
        import matplotlib
    except ImportError:
        return None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def image_size(image):
    return f"{image.shape[1]} x {image.shape[0]}"


def save_pictures(depth, amplitude, out_dir):
    plt = pyplot()
    if plt is None:
        print("pictures skipped: matplotlib is not installed (pip install matplotlib, or the 'examples' extra)")
        return []

    os.makedirs(out_dir, exist_ok=True)
    paths = []
    size = image_size(depth)
    # The extension gives the module's raw depth: the distance measured
    # along each pixel's ray. Amplitude has no physical unit: it is the
    # strength of the returned light as the module counts it.
    for name, image, cmap, title, label in (
            ("depth.png", depth, "turbo", f"raw depth ({size})\ncolour: the distance along the pixel's ray",
             "distance along the pixel's ray (mm)"),
            ("amplitude.png", amplitude, "gray", f"raw amplitude ({size})\nthe strength of the returned light",
             "amplitude (the module's own units, no physical unit)")):
        fig, ax = plt.subplots(figsize=(6, 4.8), dpi=100)
        shown = np.ma.masked_where(image <= 0, image) if name == "depth.png" else image
        im = ax.imshow(shown, cmap=cmap)
        ax.set_title(title, fontsize=10)
        ax.set_axis_off()
        fig.colorbar(im, ax=ax, label=label)
        path = os.path.join(out_dir, name)
        fig.savefig(path, bbox_inches="tight")
        plt.close(fig)
        paths.append(path)
    return paths


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0, help="how long to stream")
    parser.add_argument("--config", help="configuration file for openWithFile")
    parser.add_argument("--out", default="demo-output", help="folder for the pictures")
    args = parser.parse_args()

    cam = q.QuorvexCamera()
    status = cam.openWithFile(args.config) if args.config else cam.open(q.TOFConnect.USB)
    if status != q.TOFErrorCode.QuorvexSuccess:
        sys.exit(f"open failed: {status.str()}")
    info = cam.getCameraInfo()
    print(f"opened {info.device_type.name} module, {info.width} x {info.height}")

    status = cam.start(q.TOFOutput.DEPTH)
    if status != q.TOFErrorCode.QuorvexSuccess:
        cam.close()
        sys.exit(f"start failed: {status.str()}")

    frames = dropped = 0
    intervals = []
    last_stamp = None
    depth = amplitude = None
    begin = shown = time.monotonic()
    tty = sys.stdout.isatty()
    try:
        while time.monotonic() - begin < args.seconds:
            frame = cam.requestFrame(500)
            if frame is None:
                continue
            stamp = frame.getFrameFormat().timestamp
            depth = frame.getDepthData()
            amplitude = frame.getAmplitudeData()
            cam.releaseFrame(frame)
            frames += 1
            if last_stamp is not None and stamp > last_stamp:
                interval = stamp - last_stamp
                intervals.append(interval)
                # A gap of several frame periods means frames were dropped
                # on the way (recycled before we asked for them).
                period = float(np.median(intervals))
                if period > 0:
                    dropped += max(0, int(round(interval / period)) - 1)
            last_stamp = stamp
            # The rate counts from the first frame: frames already waiting
            # when streaming starts would inflate it.
            now = time.monotonic()
            if frames == 1:
                first = now
            fps = (frames - 1) / (now - first) if now > first else 0.0
            line = f"frames {frames:5d}   fps {fps:5.1f}   dropped {dropped:4d}"
            # Redrawn in place on a terminal; a line a second into a pipe or a log.
            if tty:
                print("\r" + line, end="", flush=True)
            elif now - shown >= 1.0:
                print(line, flush=True)
                shown = now
    finally:
        if tty:
            print()
        cam.stop()
        cam.close()

    if depth is None:
        sys.exit("no frame arrived")
    valid = depth[depth > 0]
    print(f"depth of the last frame: {valid.min():.0f} .. {valid.max():.0f} mm, "
          f"median {np.median(valid):.0f} mm")
    for path in save_pictures(depth, amplitude, args.out):
        print(f"wrote {os.path.abspath(path)}")


if __name__ == "__main__":
    main()
