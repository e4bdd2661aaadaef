"""`python -m quorvex publish`: send each frame of a camera (or a recording)
over Zenoh under a key prefix (see `quorvex.network`), or with `--transport
ros2` as ROS 2 topics (see `quorvex.ros2`)."""
import sys
import time

from .. import ros2
from ..errors import CameraError, _extra_hint
from ..rate import RateMeter
from . import options
from .progress import Progress


def add_arguments(parser):
    options.add_source_arguments(parser, subscribe=False)
    options.add_length_arguments(parser)
    output = options.add_output_arguments(parser)
    options.add_filter_arguments(output, "none")
    output.add_argument("--compression", choices=("none", "depth"), default="none",
                        help="none: float32 images, frames arrive bit for bit (default); depth: depth "
                             "in whole millimetres as compressedDepth (RVL), amplitude and confidence "
                             "as 16-bit images coded losslessly (subscribers of this version or later)")
    parser.add_argument("--transport", choices=("zenoh", "ros2"), default="zenoh",
                        help="zenoh (default): our own keys; ros2: ROS 2 topics over DDS, seen by "
                             "every ROS 2 node (needs Cyclone DDS's C library)")
    net = parser.add_argument_group("network (zenoh)")
    net.add_argument("--key", default=options.DEFAULT_KEY, metavar="PREFIX",
                     help=f"key prefix of the stream (default {options.DEFAULT_KEY})")
    options.add_network_arguments(net)
    options.add_ros2_arguments(parser.add_argument_group("ROS 2 (with --transport ros2)"))
    ros = parser.add_argument_group("ROS 2 publishing")
    ros.add_argument("--frame-id", default=ros2.DEFAULT_FRAME_ID,
                     help=f"frame of the images and points (default {ros2.DEFAULT_FRAME_ID}: x right, "
                          "y down, z forward)")
    ros.add_argument("--node-name", default=ros2.DEFAULT_NODE,
                     help=f"the node's name in ros2 node list (default {ros2.DEFAULT_NODE})")
    ros.add_argument("--ros-distro", choices=ros2.DISTROS, default="jazzy",
                     help="the layout of the node announcement: humble (and older), or jazzy "
                          "(Iron and later; default)")
    ros.add_argument("--points", choices=("dense", "organised"), default=None,
                     help="also publish NAMESPACE/points (PointCloud2, float32 x y z in metres): "
                          "dense, the valid points only, or organised, one per pixel with NaN")


def run(args):
    progress = Progress(args.quiet)
    meter = RateMeter()
    if args.transport == "ros2":
        return _run_ros2(args, progress, meter)
    try:
        from ..network import Publisher
    except ImportError as e:
        raise CameraError(f"--transport zenoh needs the 'network' extra ({e}): "
                          f"{_extra_hint('network')}") from None

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
            _stream(source, pub, args, progress, meter)
    return 0


def _run_ros2(args, progress, meter):
    from .. import dds

    try:
        dds.library()
    except dds.DdsUnavailable as e:
        raise CameraError(str(e)) from None
    with options.sigterm_as_interrupt(), \
            options.open_source(args, realtime=True, subscribing=False,
                                 filters=args.filters) as source:
        info = source.info
        try:
            pub = ros2.RosPublisher(info, namespace=args.namespace, frame_id=args.frame_id,
                                    node_name=args.node_name, qos=args.qos or "default",
                                    distro=args.ros_distro, compression=args.compression,
                                    points=args.points)
        except ValueError as e:
            raise CameraError(str(e)) from None
        with pub:
            print(f"publishing {info.variant} {info.output} from {info.source} as ROS 2 node "
                  f"{args.node_name} on {ros2.check_namespace(args.namespace)}/... "
                  f"(domain {pub.domain}, QoS {args.qos or 'default'})", flush=True)
            _stream(source, pub, args, progress, meter)
    return 0


def _stream(source, pub, args, progress, meter):
    """Puts the source's frames until its end, the length options or Ctrl-C,
    with the progress line, and says what went out."""
    start = time.monotonic()
    dropped = 0
    try:
        for frame in options.length_limited(source.frames(max_frames=args.frames), args):
            pub.put(frame)
            dropped += frame.dropped
            meter.tick()
            progress.update(f"{pub.published} frames, {meter.rate:.1f} fps, dropped {dropped}")
    except KeyboardInterrupt:
        pass
    finally:
        progress.close()
        print(f"published {pub.published} frames in {time.monotonic() - start:.1f} s", file=sys.stderr)
