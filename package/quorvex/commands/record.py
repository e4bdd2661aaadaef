"""`python -m quorvex record OUT.mcap`: stream a source into an MCAP file of
ROS 2 messages, with a progress line and a summary. Ctrl-C (or SIGTERM)
ends the recording cleanly."""
import os
import sys

import mcap  # noqa: F401 -- the record extra: without it the command reports itself missing

from ..rate import RateMeter, per_second
from ..recording import COMPRESSIONS, record
from . import options
from .progress import Progress


def add_arguments(parser):
    parser.add_argument("out", metavar="OUT.mcap", help="the file to write")
    options.add_source_arguments(parser)
    options.add_length_arguments(parser)
    output = options.add_output_arguments(parser)
    options.add_filter_arguments(output, "none")
    output.add_argument("--compression", choices=COMPRESSIONS, default="zstd",
                        help="zstd, lz4, none: float32 images in chunks of that coding (default zstd); "
                             "depth: depth in whole millimetres as compressedDepth (RVL), amplitude "
                             "and confidence as 16-bit images coded losslessly, chunks uncoded")
    output.add_argument("--queue", type=int, default=16, metavar="FRAMES",
                        help="frames waiting for the disk before new ones are dropped (default 16)")
    output.add_argument("--force", action="store_true", help="overwrite OUT.mcap if it exists")


def run(args):
    if os.path.exists(args.out) and not args.force:
        print(f"quorvex record: {args.out} exists (--force overwrites it)", file=sys.stderr)
        return 2
    if args.recording is not None and os.path.abspath(args.recording) == os.path.abspath(args.out):
        print("quorvex record: --from and OUT.mcap are the same file", file=sys.stderr)
        return 2

    progress = Progress(args.quiet)
    meter = RateMeter()

    def show(stats, elapsed):
        meter.tick()
        of = f"/{args.frames}" if args.frames else ""
        progress.update(f"{meter.count}{of} frames, {meter.rate:.1f} fps, dropped {stats.dropped}, "
                        f"{stats.bytes_written / 1e6:.1f} MB, {elapsed:.0f} s")

    try:
        with options.sigterm_as_interrupt(), options.open_source(args, realtime=False, filters=args.filters) as source:
            info = source.info
            print(f"recording {info.variant} {info.width} x {info.height} {info.output} from "
                  f"{info.source} to {args.out} ({args.compression}); Ctrl-C stops", file=sys.stderr)
            result = record(source, args.out, max_frames=args.frames, seconds=args.seconds,
                            compression=args.compression, queue_frames=args.queue,
                            on_progress=show, block=bool(args.recording or args.lossless))
    finally:
        progress.close()
    s = result.stats
    span = ""
    if s.first_timestamp_ms is not None:
        span = f", {(s.last_timestamp_ms - s.first_timestamp_ms) / 1000:.2f} s of module clock"
    print(f"{'stopped: ' if result.interrupted else ''}{s.frames_written} frames in "
          f"{result.seconds:.2f} s ({per_second(s.frames_written, result.seconds):.1f} fps){span}; "
          f"dropped {s.dropped} ({s.dropped_by_source} by the camera, {s.dropped_by_recorder} by "
          f"the recorder); {s.bytes_written / 1e6:.1f} MB written to {args.out}", file=sys.stderr)
    return 0
