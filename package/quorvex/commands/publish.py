"""`python -m quorvex publish`: send each frame of a camera (or a recording)
over Zenoh under a key prefix (see `quorvex.network`)."""
import sys
import time

from ..network import COMPRESSIONS, DEFAULT_KEY, Publisher
from ..rate import RateMeter
from . import options
from .progress import Progress


def add_arguments(parser):
    options.add_source_arguments(parser, subscribe=False)
    options.add_length_arguments(parser)
    output = options.add_output_arguments(parser)
    options.add_filter_arguments(output, "none")
    output.add_argument("--compression", choices=COMPRESSIONS, default="none",
                        help="none: float32 images, frames arrive bit for bit (default); depth: depth "
                             "in whole millimetres as compressedDepth (RVL), amplitude and confidence "
                             "as 16-bit images coded losslessly (subscribers of this version or later)")
    net = parser.add_argument_group("network")
    net.add_argument("--key", default=DEFAULT_KEY, metavar="PREFIX",
                     help=f"key prefix of the stream (default {DEFAULT_KEY})")
    options.add_network_arguments(net)


def run(args):
    progress = Progress(args.quiet)
    meter = RateMeter()
    with options.sigterm_as_interrupt(), \
            options.open_source(args, realtime=True, subscribing=False,
                                 filters=args.filters) as source:
        info = source.info
        with Publisher(info, key=args.key, connect=args.connect, listen=args.listen,
                       config=args.zenoh_config, lossless=args.lossless,
                       compression=args.compression) as pub:
            where = ", ".join(args.listen) or "no address"
            print(f"publishing {info.variant} {info.output} from {info.source} under "
                  f"{pub.key}/ (listening on {where}"
                  + (f"; connecting to {', '.join(args.connect)}" if args.connect else "")
                  + ")", flush=True)
            start = time.monotonic()
            dropped = 0
            try:
                for frame in options.length_limited(source.frames(max_frames=args.frames), args):
                    pub.put(frame)
                    dropped += frame.dropped
                    meter.tick()
                    progress.update(f"{pub.published} frames, {meter.rate:.1f} fps, "
                                    f"dropped {dropped}")
            except KeyboardInterrupt:
                pass
            finally:
                progress.close()
                seconds = time.monotonic() - start
                print(f"published {pub.published} frames in {seconds:.1f} s", file=sys.stderr)
    return 0
