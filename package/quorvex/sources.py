"""The part of the commands that names and opens a source of frames: a
camera, a recording, or a network subscription, with the same options in
`record`, `view` and `publish`; and SIGTERM ending a command as Ctrl-C does.
"""
import contextlib
import signal

from .errors import CameraError

CAMERA_CONNECTIONS = ("usb", "csi")
DEFAULT_KEY = "quorvex/camera"


def add_network_arguments(group):
    """Zenoh session options (the publisher's, or a subscription's)."""
    group.add_argument("--connect", action="append", default=[], metavar="ENDPOINT",
                       help="Zenoh endpoint to connect to, e.g. tcp/192.0.2.1:7447 (repeatable)")
    group.add_argument("--listen", action="append", default=[], metavar="ENDPOINT",
                       help="Zenoh endpoint to listen on, e.g. tcp/0.0.0.0:7447 (repeatable); "
                            "by default nothing listens")
    group.add_argument("--zenoh-config", metavar="FILE",
                       help="Zenoh's own JSON5 configuration (TLS, access control, ...)")
    group.add_argument("--lossless", action="store_true",
                       help="every frame is delivered, the network waiting for the slowest side, "
                            "instead of newest-frame-wins (both sides must ask for it)")


def add_source_arguments(parser, recording_flags=("--recording",), output=True, subscribe=True):
    """Options naming the source: the camera by default (`--config`,
    `--connect-camera`, `--index`, `--output`), a recording (under
    `recording_flags`, all meaning the same), or with `subscribe` a stream
    published under a key (`--subscribe KEY` and the network options)."""
    group = parser.add_argument_group("source (default: the camera; with no module attached, "
                                      "the built-in simulated one)")
    what = group.add_mutually_exclusive_group()
    what.add_argument("--config", metavar="FILE", help="open the camera with this configuration file")
    what.add_argument(*recording_flags, dest="recording", metavar="FILE",
                      help="the frames of a recording instead of a camera")
    if subscribe:
        what.add_argument("--subscribe", metavar="KEY",
                          help=f"the frames another machine publishes under KEY (e.g. {DEFAULT_KEY}); "
                               "name it with --connect or --listen")
    group.add_argument("--connect-camera", choices=CAMERA_CONNECTIONS, default="usb",
                       help="how the camera is connected (default usb; `--connect usb|csi` too)")
    group.add_argument("--index", type=int, default=0, help="camera index (default 0)")
    if output:
        group.add_argument("--output", choices=("depth", "raw"), default="depth",
                           help="depth: depth, amplitude and confidence images; raw: the raw samples")
    if subscribe:
        add_network_arguments(parser.add_argument_group("network (with --subscribe)"))
    # A publisher's own --connect/--listen are not a source's.
    parser.set_defaults(subscribe=None, output="depth", _subscribable=subscribe)


def split_connect(args):
    """`--connect usb|csi` names the camera's connection, as `record` and
    `view` had it before they took subscriptions; every other `--connect`
    is a Zenoh endpoint. Returns the endpoints."""
    endpoints = []
    for value in getattr(args, "connect", ()):
        if value in CAMERA_CONNECTIONS:
            args.connect_camera = value
        else:
            endpoints.append(value)
    args.connect = endpoints
    return endpoints


def open_source(args, realtime):
    """The source the options name. `realtime`: a recording plays at its
    recorded pace (True) or as fast as it is read. Raises CameraError (or
    ValueError for a malformed key) when it cannot be opened."""
    import quorvex

    endpoints = split_connect(args)
    if args.recording:
        opener = getattr(quorvex, "open_recording", None)
        if opener is None:
            raise CameraError("this installation cannot read recordings (quorvex.open_recording "
                              "is missing; install the 'record' extra)")
        try:
            return opener(args.recording, realtime=realtime)
        except ImportError as e:
            raise CameraError(str(e)) from None
    if args.subscribe:
        try:
            return quorvex.subscribe(args.subscribe, connect=endpoints, listen=args.listen,
                                     config=args.zenoh_config, lossless=args.lossless)
        except ImportError as e:
            raise CameraError(str(e)) from None
    if args._subscribable and (endpoints or args.listen):
        raise CameraError("--connect ENDPOINT and --listen name a network: add --subscribe KEY")
    return quorvex.Camera(connect=args.connect_camera, index=args.index, config=args.config,
                          output=args.output)


def _interrupt(signum, frame):
    raise KeyboardInterrupt


@contextlib.contextmanager
def sigterm_as_interrupt():
    """A service manager or `timeout` stops a command with SIGTERM: end it as
    cleanly as on Ctrl-C (files finished, sessions and cameras closed)."""
    previous = signal.signal(signal.SIGTERM, _interrupt)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)
