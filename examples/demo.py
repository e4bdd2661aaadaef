"""Stream a scene through the quorvex package, then save pictures of the last
frame and its point cloud, raw and filtered.

    python examples/demo.py [--seconds 5] [--scene box] [--physics realistic] [--config FILE] [--out DIR]

With no --config the built-in simulated module is opened with the chosen
scene (a box or a sphere in front of a wall, a room's corner, steps) in the
realistic world a sensor shows (edges, noise, ambient light), or the ideal
one; on a machine with a module, --config names its configuration file.
The stream is filtered as it arrives with the package's default filters;
points.png shows the raw and the filtered point cloud side by side.
"""
import argparse
import os
import sys
import tempfile
import time

import numpy as np

import quorvex
from quorvex import colormap


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


def listed(plt, name=colormap.DEFAULT):
    """The package's colour map as a matplotlib one, so the bars match."""
    from matplotlib.colors import ListedColormap

    return ListedColormap(colormap.colormap(name) / 255.0, name=f"quorvex-{name}")


# What the pictures' colours show. The module measures the distance along
# each pixel's ray (not along the optical axis); the amplitude is the
# strength of the light that came back, in the module's own units.
DISTANCE = "distance along the pixel's ray (mm)"
AMPLITUDE_UNIT = ("amplitude: the strength of the returned light in the module's own units\n"
                  "(no physical unit; the VGA module's read 1/16 of the HQVGA module's)")


def save_images(frame, out_dir, name=colormap.DEFAULT, kind="raw"):
    """depth.png (the package's colour map and automatic range, as the
    viewer's page draws them) and amplitude.png, each with its scale.
    `kind` says in the titles which depth it is: "raw" or the filters'."""
    plt = pyplot()
    if plt is None:
        print("pictures skipped: matplotlib is not installed (pip install matplotlib, or the 'examples' extra)")
        return []
    from matplotlib.cm import ScalarMappable
    from matplotlib.colors import Normalize

    lo, hi = colormap.auto_range(frame.depth)
    amp = np.nan_to_num(frame.amplitude, nan=0.0)
    top = max(float(np.percentile(amp, 99.5)), 1e-6)
    paths = []
    size = f"{frame.width} x {frame.height}"
    for fname, image, cmap, rng, title, label, note in (
            ("depth.png", colormap.colorize(frame.depth, lo, hi, name), listed(plt, name), (lo, hi),
             f"{kind} depth ({size})\ncolour: the {DISTANCE}", DISTANCE,
             "grey: no depth" + (" (none measured, or dropped by the filters)" if kind != "raw" else "")),
            ("amplitude.png", colormap.colormap("grey")[np.clip(amp * 256 / top, 0, 255).astype(np.uint8)],
             listed(plt, "grey"), (0, top), f"amplitude of the {kind} frame ({size})\ngrey: the returned light",
             "amplitude (module units)",
             AMPLITUDE_UNIT)):
        fig, ax = plt.subplots(figsize=(6, 4.8), dpi=100)
        # The colours are the package's own, pixel for pixel: no resampling.
        ax.imshow(image, interpolation="nearest")
        ax.set_title(title, fontsize=10)
        ax.set_axis_off()
        bar = fig.colorbar(ScalarMappable(Normalize(*rng), cmap), ax=ax, label=label)
        bar.set_ticks(colormap.ticks(*rng))
        fig.text(0.5, 0.02, note, ha="center", fontsize=8)
        paths.append(os.path.join(out_dir, fname))
        fig.savefig(paths[-1], bbox_inches="tight")
        plt.close(fig)
    return paths


def save_point_cloud_picture(clouds, path, depth_range, name=colormap.DEFAULT):
    """One panel per (title, points) in `clouds`, side by side, seen from
    the same place and coloured on the same scale."""
    plt = pyplot()
    if plt is None:
        return None
    # Seen from above and to the left, so the depth of each surface shows;
    # the camera's y axis points down, the picture's up. Coloured by the
    # distance each pixel measured, on the depth picture's scale.
    lo, hi = depth_range
    fig = plt.figure(figsize=(6.5 * len(clouds), 6), dpi=100)
    everything = np.concatenate([points for _, points in clouds])
    limits = [(float(everything[:, i].min()), float(everything[:, i].max())) if len(everything) else (0, 1)
              for i in range(3)]
    for k, (title, points) in enumerate(clouds):
        ax = fig.add_subplot(1, len(clouds), k + 1, projection="3d")
        step = max(1, len(points) // 15000)
        p = points[::step]
        distance_mm = np.linalg.norm(p, axis=1) * 1000.0
        sc = ax.scatter(p[:, 0], p[:, 2], -p[:, 1], c=distance_mm, cmap=listed(plt, name), vmin=lo, vmax=hi,
                        s=1, linewidths=0)
        # The same box for every panel: what the filters removed shows as a gap.
        ax.set_xlim(*limits[0])
        ax.set_ylim(*limits[2])
        ax.set_zlim(-limits[1][1], -limits[1][0])
        ax.set_xlabel("x (m)")
        ax.set_ylabel("z, forward (m)")
        ax.set_zlabel("up (m)")
        ax.view_init(elev=25, azim=-60)
        ax.set_title(f"{title} ({len(points)} points)")
    fig.colorbar(sc, ax=fig.axes, shrink=0.6, label=f"{DISTANCE}, as in depth.png")
    fig.savefig(path, bbox_inches="tight")
    plt.close(fig)
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0, help="how long to stream")
    parser.add_argument("--scene", choices=["box", "sphere", "wall", "corner", "steps"], default="box",
                        help="what the simulated module sees")
    parser.add_argument("--physics", choices=["realistic", "ideal"], default="realistic",
                        help="the simulated module's world: what a sensor shows, or ideal depth")
    parser.add_argument("--config", help="configuration file of the module")
    parser.add_argument("--out", default="demo-output", help="folder for the pictures")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)

    with tempfile.TemporaryDirectory() as tmp:
        config = args.config
        if config is None:
            config = os.path.join(tmp, "module.cfg")
            with open(config, "w") as f:
                f.write(f"scene = {args.scene}\nphysics = {args.physics}\n")
        with quorvex.Camera(config=config, filters=None) as cam:
            info = cam.info
            print(f"opened {info.variant} module {info.width} x {info.height}, quorvex {quorvex.__version__}")
            last = None
            dropped = 0
            # The filters keep a temporal average, so they see every frame;
            # the raw frame of each filtered one is kept beside it.
            raw = {}

            def keep_raw(frames):
                for frame in frames:
                    raw["last"] = frame
                    yield frame

            begin = time.monotonic()
            # Redrawn in place on a terminal; a line a second into a log file.
            tty = sys.stdout.isatty()
            shown = begin
            try:
                for filtered in quorvex.filter_depth(keep_raw(cam.frames()), "default", info=info):
                    frame = last = raw["last"]
                    dropped += frame.dropped
                    # The rate counts from the first frame: frames already
                    # waiting when streaming starts would inflate it.
                    if frame.sequence == 0:
                        first = frame.host_time_ns
                    span = (frame.host_time_ns - first) / 1e9
                    fps = frame.sequence / span if span > 0 else 0.0
                    line = f"frames {frame.sequence + 1:5d}   fps {fps:5.1f}   dropped {dropped:4d}"
                    now = time.monotonic()
                    if tty:
                        print("\r" + line, end="", flush=True)
                    elif now - shown >= 1.0:
                        print(line, flush=True)
                        shown = now
                    if now - begin >= args.seconds:
                        break
            finally:
                if tty:
                    print()
    if last is None:
        sys.exit("no frame arrived")
    kept = np.count_nonzero(filtered.depth)
    print(f"filtered (default): {kept} of {np.count_nonzero(last.depth)} valid pixels kept")

    valid = last.depth[last.depth > 0]
    print(f"depth of the last frame: {valid.min():.0f} .. {valid.max():.0f} mm, median {np.median(valid):.0f} mm")
    paths = save_images(last, args.out)
    points = quorvex.depth_to_points(last.depth, info.intrinsics)
    # Grey levels from the amplitude, scaled to its bright end.
    amp = last.amplitude[last.depth > 0]
    grey = np.clip(amp / max(float(np.percentile(amp, 99)), 1e-6) * 255, 0, 255).astype(np.uint8)
    ply = os.path.join(args.out, "points.ply")
    quorvex.save_ply(ply, points, colors=np.repeat(grey[:, None], 3, axis=1))
    picture = os.path.join(args.out, "points.png")
    clouds = [("raw", points), ("filtered (default)", quorvex.depth_to_points(filtered.depth, info.intrinsics))]
    if save_point_cloud_picture(clouds, picture, colormap.auto_range(last.depth)) is not None:
        paths.append(picture)
    for path in paths + [ply]:
        print(f"wrote {os.path.abspath(path)}")


if __name__ == "__main__":
    main()
