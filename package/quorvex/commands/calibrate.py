"""`python -m quorvex calibrate [RECORDING]`: the lens of a camera from
amplitude images of a printed checkerboard, written as a ROS camera_info
YAML file that `--calibration` and `quorvex.Camera(calibration=...)` read.

Frames where the whole board is not found are skipped; the views found are
fitted with OpenCV (the `calibrate` extra), and a result that cannot be
trusted (too few views, views that leave part of the image uncovered, an
error above 1 px) is refused with one line saying what to do."""
import argparse
import os
import sys

import cv2  # noqa: F401 -- the calibrate extra: without it the command reports itself missing
import yaml  # noqa: F401

from .. import checkerboard
from ..calibration import dump_calibration
from . import options
from .progress import Progress


def board_size(text):
    cols, x, rows = text.lower().partition("x")
    try:
        size = (int(cols), int(rows))
    except ValueError:
        raise argparse.ArgumentTypeError(f"inner corners as COLSxROWS, e.g. 9x6, not {text!r}") from None
    if not x or min(size) < 3 or max(size) > 40:
        raise argparse.ArgumentTypeError(f"inner corners as COLSxROWS, each 3 to 40, not {text!r}")
    return size


def square_metres(text):
    try:
        s = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"the squares' side in metres, e.g. 0.030, not {text!r}") from None
    if not 0.001 <= s <= 1.0:
        raise argparse.ArgumentTypeError(f"the squares' side in metres (0.001 to 1), not {text}; "
                                         "30 mm is 0.030")
    return s


def add_arguments(parser):
    parser.add_argument("recording_file", nargs="?", metavar="RECORDING",
                        help="a recording (.mcap) to calibrate from; or name any source as the other "
                             "commands do (default: the camera)")
    options.add_source_arguments(parser, calibration=False)
    options.add_length_arguments(parser)
    board = parser.add_argument_group("board and result")
    board.add_argument("--size", type=board_size, default=(9, 6), metavar="COLSxROWS",
                       help="the board's inner corners, across x down (default 9x6)")
    board.add_argument("--square", type=square_metres, default=0.030, metavar="METRES",
                       help="side of one square in metres (default 0.030)")
    board.add_argument("--views", type=int, default=40, metavar="N",
                       help="stop once the board has been found in N different poses (default 40)")
    board.add_argument("--k-coefficients", type=int, choices=(2, 3), default=2,
                       help="radial coefficients fitted: 2 (k1, k2; k3 stays 0) or 3")
    board.add_argument("--camera-name", metavar="NAME",
                       help="camera_name in the file (default: quorvex_ and the module variant)")
    board.add_argument("--output", dest="output_file", metavar="FILE",
                       help="the camera_info YAML file to write (default: CAMERA_NAME.yaml)")
    board.add_argument("--force", action="store_true", help="overwrite the output file if it exists")


# A view is kept when its corners lie this far (mean, pixels) from the
# last kept view's: a board held still for a second gives one view, not 30.
_MIN_MOVE_PX = 4.0


def run(args):
    if args.recording_file is not None:
        if args.recording is not None or args.subscribe is not None or args.config is not None:
            print("quorvex calibrate: name one source: RECORDING or --recording/--config/--subscribe",
                  file=sys.stderr)
            return 2
        args.recording = args.recording_file
    if args.views < checkerboard.MIN_VIEWS:
        print(f"quorvex calibrate: --views must be at least {checkerboard.MIN_VIEWS}", file=sys.stderr)
        return 2
    # A camera streams depth frames by default: their amplitude is what shows the board.
    args.output = None
    progress = Progress(args.quiet)
    views, frames = [], 0
    try:
        with options.sigterm_as_interrupt(), options.open_source(args, realtime=False) as source:
            info = source.info
            name = args.camera_name or f"quorvex_{info.variant}"
            out = args.output_file or f"{name}.yaml"
            if os.path.exists(out) and not args.force:
                print(f"quorvex calibrate: {out} exists (--force overwrites it)", file=sys.stderr)
                return 2
            print(f"calibrating {info.variant} {info.width} x {info.height} from {info.source}: "
                  f"{args.size[0]}x{args.size[1]} board of {args.square * 1000:g} mm squares; "
                  "Ctrl-C stops and calibrates with the views so far", file=sys.stderr)
            try:
                for frame in options.length_limited(source.frames(max_frames=args.frames), args):
                    frames += 1
                    if frame.amplitude is None:
                        continue
                    view = checkerboard.find_board(frame.amplitude, args.size, sequence=frame.sequence)
                    if view is not None and (not views or _moved(view, views[-1]) >= _MIN_MOVE_PX):
                        views.append(view)
                    progress.update(f"{frames} frames, board in {len(views)} views")
                    if len(views) >= args.views:
                        break
            except KeyboardInterrupt:
                pass
    finally:
        progress.close()
    size = (info.width, info.height)
    checkerboard.check_views(views, frames, size, args.size)
    result = checkerboard.calibrate(views, size, args.size, args.square, args.k_coefficients)
    for v, e in zip(result.views, result.view_rms_px):
        print(f"view of frame {v.sequence}: {e:.3f} px", file=sys.stderr)
    print(f"reprojection error {result.rms_px:.3f} px RMS over {len(views)} views "
          f"(board found in {len(views)} of {frames} frames)", file=sys.stderr)
    checkerboard.check(result)
    k = result.intrinsics
    print(f"lens: fx {k.fx:.2f}  fy {k.fy:.2f}  cx {k.cx:.2f}  cy {k.cy:.2f}  k1 {k.k1:.4f}  k2 {k.k2:.4f}  "
          f"p1 {k.p1:.5f}  p2 {k.p2:.5f}  k3 {k.k3:.4f}", file=sys.stderr)
    text = dump_calibration(k, name)
    tmp = f"{out}.tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, out)
    print(f"wrote {out}", file=sys.stderr)
    return 0


def _moved(a, b):
    import numpy as np
    return float(np.mean(np.linalg.norm(a.corners - b.corners, axis=-1)))
