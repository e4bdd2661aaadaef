"""`python -m quorvex record OUT.mcap`: stream a camera into an MCAP file of
ROS 2 messages, with a progress bar and a summary. Ctrl-C (or SIGTERM)
ends the recording cleanly."""
import os
import signal
import sys

import mcap  # noqa: F401 -- the record extra: without it the command reports itself missing
from tqdm import tqdm

from .errors import CameraError
from .recording import COMPRESSIONS, open_recording, record


def add_arguments(parser):
    parser.add_argument("out", metavar="OUT.mcap", help="the file to write")
    length = parser.add_mutually_exclusive_group()
    length.add_argument("--seconds", type=float, help="stop after this many seconds")
    length.add_argument("--frames", type=int, help="stop after this many frames")
    parser.add_argument("--from", dest="source", metavar="RECORDING",
                        help="record the frames of a recording instead of a camera (to change its "
                             "compression, or keep part of it)")
    parser.add_argument("--config", help="open the camera with this configuration file")
    parser.add_argument("--connect", choices=("usb", "csi"), default="usb",
                        help="how the camera is connected (default usb; with no module attached, "
                             "the built-in simulated one)")
    parser.add_argument("--index", type=int, default=0, help="camera index (default 0)")
    parser.add_argument("--output", choices=("depth", "raw"), default="depth",
                        help="depth: depth, amplitude and confidence images; raw: the raw samples")
    parser.add_argument("--compression", choices=COMPRESSIONS, default="zstd",
                        help="chunk compression (default zstd)")
    parser.add_argument("--queue", type=int, default=16, metavar="FRAMES",
                        help="frames waiting for the disk before new ones are dropped (default 16)")
    parser.add_argument("--force", action="store_true", help="overwrite OUT.mcap if it exists")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")


class _Progress:
    """A progress bar on standard error when it is a terminal (frames,
    rate, dropped, megabytes written)."""

    def __init__(self, total, quiet):
        self._bar = tqdm(total=total, unit="frame", file=sys.stderr, disable=True if quiet else None,
                         dynamic_ncols=True, mininterval=0.25)

    def __call__(self, stats, elapsed):
        # Called once per frame taken from the camera, written or dropped.
        if not self._bar.disable:
            self._bar.set_postfix_str(f"dropped {stats.dropped}, {stats.bytes_written / 1e6:.1f} MB",
                                      refresh=False)
            self._bar.update(1)

    def close(self):
        self._bar.close()


def _open_source(args):
    if args.source is not None:
        return open_recording(args.source, realtime=False)
    from .camera import Camera

    return Camera(connect=args.connect, index=args.index, config=args.config, output=args.output)


def _on_sigterm(signum, frame):
    raise KeyboardInterrupt


def run(args):
    if args.frames is not None and args.frames <= 0:
        print("quorvex record: --frames must be at least 1", file=sys.stderr)
        return 2
    if args.seconds is not None and args.seconds <= 0:
        print("quorvex record: --seconds must be more than 0", file=sys.stderr)
        return 2
    if os.path.exists(args.out) and not args.force:
        print(f"quorvex record: {args.out} exists (--force overwrites it)", file=sys.stderr)
        return 2
    if args.source is not None and os.path.abspath(args.source) == os.path.abspath(args.out):
        print("quorvex record: --from and OUT.mcap are the same file", file=sys.stderr)
        return 2

    # A service manager or `timeout` ends a recording with SIGTERM: end the
    # file as cleanly as on Ctrl-C.
    previous = signal.signal(signal.SIGTERM, _on_sigterm)
    progress = None
    try:
        with _open_source(args) as cam:
            info = cam.info
            print(f"recording {info.variant} {info.width} x {info.height} {info.output} from "
                  f"{info.source} to {args.out} ({args.compression}); Ctrl-C stops", file=sys.stderr)
            progress = _Progress(args.frames, args.quiet)
            result = record(cam, args.out, max_frames=args.frames, seconds=args.seconds,
                            compression=args.compression, queue_frames=args.queue,
                            on_progress=progress, block=args.source is not None)
    except CameraError as e:
        if progress is not None:
            progress.close()
        print(f"quorvex record: {e}", file=sys.stderr)
        return 1
    finally:
        signal.signal(signal.SIGTERM, previous)
    progress.close()
    s = result.stats
    rate = s.frames_written / result.seconds if result.seconds > 0 else 0.0
    span = ""
    if s.first_timestamp_ms is not None:
        span = f", {(s.last_timestamp_ms - s.first_timestamp_ms) / 1000:.2f} s of module clock"
    print(f"{'stopped: ' if result.interrupted else ''}{s.frames_written} frames in "
          f"{result.seconds:.2f} s ({rate:.1f} fps){span}; dropped {s.dropped} "
          f"({s.dropped_by_source} by the camera, {s.dropped_by_recorder} by the recorder); "
          f"{s.bytes_written / 1e6:.1f} MB written to {args.out}", file=sys.stderr)
    return 0
