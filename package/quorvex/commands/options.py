"""The options every command shares, named and checked in one place:

    source   --config FILE | --recording FILE (also --from, --play) |
             --subscribe KEY; --camera usb|csi (also --connect-camera),
             --index N, --simulated / --no-simulated
    length   --seconds S | --frames N, --quiet
    output   --output depth|raw, and per command how frames are stored or
             sent (record's --compression)
    network  --connect/--listen ENDPOINT (Zenoh endpoints only),
             --zenoh-config FILE, --lossless; a subscription's --wait S
    filters  --filters default|near|far|none

and `open_source`, which turns the source options into a source."""
import argparse
import contextlib
import os
import signal
import sys
import tempfile
import time

from ..errors import CameraError, native_stderr
from ..sources import DEFAULT_KEY
from . import UsageError

CAMERA_LINKS = ("usb", "csi")
OUTPUTS = ("depth", "raw")


# Values ------------------------------------------------------------------
def frame_count(text):
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"a whole number of frames, not {text!r}") from None
    if n < 1:
        raise argparse.ArgumentTypeError(f"at least 1 frame, not {n}")
    return n


def seconds(text):
    try:
        s = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"a number of seconds, not {text!r}") from None
    if not s > 0 or s == float("inf"):
        raise argparse.ArgumentTypeError(f"more than 0 seconds (and finite), not {text}")
    return s


WAIT_SECONDS = 20.0


def wait_seconds(text):
    try:
        s = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"a number of seconds, not {text!r}") from None
    if not 0 <= s < float("inf"):
        raise argparse.ArgumentTypeError(f"0 (until Ctrl-C) or more seconds, not {text}")
    return s


class _Endpoint(argparse.Action):
    # `--connect usb|csi` named the camera's link before --camera did; as
    # neither word is a Zenoh endpoint, it still reaches the camera.
    def __call__(self, parser, namespace, value, option_string=None):
        if option_string == "--connect" and value in CAMERA_LINKS:
            print(f"quorvex: read --connect {value} as --camera {value} (--connect names Zenoh "
                  "endpoints)", file=sys.stderr)
            namespace.connect_camera = value
            return
        setattr(namespace, self.dest, list(getattr(namespace, self.dest) or []) + [value])


# Groups ------------------------------------------------------------------
def add_source_arguments(parser, subscribe=True, calibration=True):
    """The source: the camera by default, a recording, or with `subscribe`
    a stream published under a key (with the network options); with
    `calibration` the lens to see it through (--calibration)."""
    group = parser.add_argument_group("source (default: the camera; with no module attached, "
                                      "the built-in simulated one)")
    what = group.add_mutually_exclusive_group()
    what.add_argument("--config", metavar="FILE", help="open the camera with this configuration file")
    what.add_argument("--recording", "--from", "--play", dest="recording", metavar="FILE",
                      help="the frames of a recording instead of a camera (--from and --play "
                           "are other names of it)")
    if subscribe:
        what.add_argument("--subscribe", metavar="KEY",
                          help=f"the frames another machine publishes under KEY (e.g. {DEFAULT_KEY}); "
                               "name it with --connect or --listen")
    group.add_argument("--camera", "--connect-camera", dest="connect_camera", choices=CAMERA_LINKS,
                       default="usb", help="the camera's link: usb (default) or csi")
    group.add_argument("--index", type=int, default=0, help="camera index (default 0)")
    sim = group.add_mutually_exclusive_group()
    sim.add_argument("--simulated", dest="simulated", action="store_const", const=True, default=None,
                     help="open the built-in simulated module even where the vendor's library is installed")
    sim.add_argument("--no-simulated", dest="simulated", action="store_const", const=False,
                     help="open only a real module (fail where the vendor's library is missing)")
    group.add_argument("--physics", choices=("ideal", "realistic"), default=None,
                       help="the world the simulated module shows (opened with no --config): realistic "
                            "(a sensor's edges, noise, ambient light and saturation) or ideal")
    if calibration:
        group.add_argument("--calibration", metavar="FILE",
                           help="the lens of a camera_info YAML file (python -m quorvex calibrate "
                                "writes one) for the point clouds and camera info, instead of the "
                                "nominal lens or the one the source describes")
    # output None: what the source holds (a camera: depth).
    parser.set_defaults(subscribe=None, output=None, calibration=None, transport="zenoh")
    if subscribe:
        what.add_argument("--transport", choices=("zenoh", "ros2"), default="zenoh",
                          help="with ros2: the depth images (16UC1 mm or 32FC1 m) and camera "
                               "info any ROS 2 publisher sends under --namespace, instead of "
                               "a camera")
        network = parser.add_argument_group("network (with --subscribe)")
        add_network_arguments(network)
        network.add_argument("--wait", type=wait_seconds, default=WAIT_SECONDS, metavar="SECONDS",
                             help=f"how long to wait for the publisher (default {WAIT_SECONDS:g}; "
                                  "0: until Ctrl-C)")
        add_ros2_arguments(parser.add_argument_group("ROS 2 (with --transport ros2)"))


def add_length_arguments(parser, progress=True):
    """How long a command streams: `--seconds` or `--frames` (default:
    until Ctrl-C or SIGTERM), and `--quiet` for no progress line."""
    group = parser.add_argument_group("length (default: until Ctrl-C or SIGTERM)")
    one = group.add_mutually_exclusive_group()
    one.add_argument("--seconds", type=seconds, metavar="S", help="stop after S seconds")
    one.add_argument("--frames", type=frame_count, metavar="N", help="stop after N frames")
    if progress:
        group.add_argument("--quiet", action="store_true", help="no progress line")


def add_output_arguments(parser, raw=True):
    """What the frames carry and how they are stored or sent; a command adds
    its own options (record's --compression) to the group returned."""
    group = parser.add_argument_group("output")
    if raw:
        group.add_argument("--output", choices=OUTPUTS, default=None,
                           help="depth (default): depth, amplitude and confidence images; raw: the raw "
                                "samples (a camera's choice: a recording or a subscription gives what "
                                "it holds)")
    return group


def add_network_arguments(group):
    """Zenoh session options (the publisher's, or a subscription's)."""
    group.add_argument("--connect", action=_Endpoint, default=[], metavar="ENDPOINT",
                       help="Zenoh endpoint to connect to, e.g. tcp/192.0.2.1:7447 (repeatable)")
    group.add_argument("--listen", action="append", default=[], metavar="ENDPOINT",
                       help="Zenoh endpoint to listen on, e.g. tcp/0.0.0.0:7447 (repeatable); "
                            "by default nothing listens")
    group.add_argument("--zenoh-config", metavar="FILE",
                       help="Zenoh's own JSON5 configuration (TLS, access control, ...)")
    group.add_argument("--lossless", action="store_true",
                       help="every frame is delivered, the network waiting for the slowest side, "
                            "instead of newest-frame-wins (both sides must ask for it)")


def add_ros2_arguments(group):
    """Where ROS 2 frames are published or read (with --transport ros2);
    the domain is ROS_DOMAIN_ID's, Cyclone's own settings CYCLONEDDS_URI's."""
    group.add_argument("--namespace", default="/quorvex",
                       help="topic namespace (default /quorvex: /quorvex/depth/image, "
                            "/quorvex/camera_info, ...)")
    group.add_argument("--qos", choices=("default", "sensor"), default=None,
                       help="default: reliable, volatile, keep last 5 (what publish sends by "
                            "default); sensor: best effort (what a reader asks for by default: "
                            "it receives from reliable and best-effort publishers alike)")


def add_filter_arguments(parser, default):
    """--filters: the depth filters applied before the command uses the
    frames; `default` is "default" (show) or "none" (keep raw)."""
    if default == "none":
        why = ("none: the raw depth, which can be filtered on playback with other settings; "
               "the metadata says which filters were applied")
    else:
        why = "default; none shows the module's raw depth"
    parser.add_argument("--filters", choices=FILTERS, default=default,
                        help=f"depth filter preset ({why})")


FILTERS = ("default", "near", "far", "none")


def _preset(filters):
    # --filters none is the module's raw depth: no Filters at all.
    if filters not in FILTERS:
        raise ValueError(f"filters must be one of {', '.join(FILTERS)}, not {filters!r}")
    return None if filters == "none" else filters


# Sources -----------------------------------------------------------------
def open_source(args, realtime, subscribing=True, physics=None, filters="none"):
    """The source the source options in `args` name (add_source_arguments).
    `realtime`: a recording plays at its recorded pace (True) or as fast as
    it is read. `subscribing`: the network options belong to the source
    (False: to the command's own publisher). `physics`: see `open_camera`.
    `filters`: a --filters value; the camera filters by itself, a
    recording or a subscription is wrapped in a FilteredSource (which
    leaves depth filtered upstream as it is).
    Raises CameraError (or ValueError for a malformed key)."""
    return _open_source(args, realtime, subscribing, physics, filters)


def _calibrated(source, args):
    """A recording or a subscription seen through --calibration (a camera
    takes it when it opens)."""
    path = getattr(args, "calibration", None)
    if not path:
        return source
    from ..calibration import load_calibration
    from ..sources import WithIntrinsics

    try:
        lens = load_calibration(path)
    except BaseException:
        source.close()
        raise
    wrapped = WithIntrinsics(source, lens)
    try:
        wrapped.info  # a lens of another size is refused now, not mid-stream
    except BaseException:
        source.close()
        raise
    return wrapped


def _open_source(args, realtime, subscribing, physics, filters):
    import quorvex
    from ..filters import FilteredSource

    preset = _preset(filters)
    # A recording named wins over any subscription.
    ros2 = subscribing and not args.recording and getattr(args, "transport", "zenoh") == "ros2"
    _refuse_ignored(args, preset, ros2)
    if args.recording or args.subscribe or ros2:
        try:
            if args.recording:
                source = quorvex.open_recording(args.recording, realtime=realtime)
            elif ros2:
                source = quorvex.subscribe(args.namespace, transport="ros2", qos=args.qos or "sensor")
            else:
                wait = getattr(args, "wait", WAIT_SECONDS)
                source = quorvex.subscribe(args.subscribe, connect=args.connect, listen=args.listen,
                                           config=args.zenoh_config, lossless=args.lossless,
                                           info_timeout=wait or None)
                source.on_wait = lambda: print(
                    f"quorvex {getattr(args, 'command', '')}: waiting for a publisher of {args.subscribe} "
                    + ("(Ctrl-C stops)" if not wait else f"for up to {wait:g} s (--wait)"),
                    file=sys.stderr, flush=True)
            source = _calibrated(source, args)
        except ImportError as e:  # the extra it needs is not installed
            raise CameraError(str(e)) from None
        if args.output is not None or preset is not None:
            _refuse_mismatch(args, source, preset)
        return source if preset is None else FilteredSource(source, preset)
    if subscribing and (args.connect or args.listen):
        raise CameraError("--connect ENDPOINT and --listen name a network: add --subscribe KEY")
    return open_camera(args, physics=physics, filters=filters)


def _refuse_ignored(args, preset, ros2):
    """Options that the source named would ignore, refused before it opens."""
    if args.physics:
        other = ("--config FILE (its physics line sets the world)" if args.config
                 else "a recording" if args.recording
                 else "a subscription" if args.subscribe or ros2
                 else "--camera csi" if args.connect_camera != "usb"
                 else "--no-simulated" if args.simulated is False else None)
        if other:
            raise UsageError(f"--physics sets the world of the simulated module opened over USB "
                             f"without --config; it does not apply to {other}")
    if preset is not None and args.output == "raw":
        raise UsageError(f"--filters {args.filters} filters depth; raw samples (--output raw) have "
                         "none: leave one of them out")
    if (args.subscribe and not ros2 and not args.recording and not args.connect and not args.listen
            and not _names_endpoints(getattr(args, "zenoh_config", None))):
        raise UsageError(f"--subscribe {args.subscribe} needs the publisher's address: give "
                         "--connect ENDPOINT (e.g. tcp/192.0.2.10:7447) or --listen ENDPOINT, "
                         "or a --zenoh-config that names them")


def _names_endpoints(path):
    # A Zenoh configuration names its endpoints under connect or listen;
    # one that cannot be read is left to Zenoh to report.
    if not path:
        return False
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return "endpoints" in f.read()
    except OSError:
        return True


def _refuse_mismatch(args, source, preset):
    """--output and --filters against what a recording or a subscription
    holds: such a source streams what it holds, nothing else."""
    try:
        held = source.info.output
    except BaseException:
        source.close()
        raise
    what = f"{args.recording} holds" if args.recording else "the stream carries"
    problem = None
    if args.output is not None and args.output != held:
        problem = (f"--output {args.output}: {what} {held} frames, and a recording or a "
                   f"subscription is passed on as it is (--output chooses what a camera sends)")
    elif preset is not None and held != "depth":
        problem = f"--filters {args.filters} filters depth: {what} {held} frames"
    if problem:
        source.close()
        raise UsageError(problem)


def open_camera(args, physics=None, filters="none"):
    """quorvex.Camera as the options say. What the native layers print about
    a failed open and the package's error become one line that says what
    failed and what to do. `physics`: the simulated module's world when
    --physics does not name one (None: the module's own default).
    `filters`: a --filters value."""
    physics = args.physics or physics
    if physics and args.config is None and args.connect_camera == "usb" and args.simulated is not False:
        # The simulated module (what a USB open without a file gets here)
        # takes its world from a configuration file; it reads the file while
        # opening, so the file can go right after.
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "simulated.cfg")
            with open(path, "w") as f:
                f.write(f"physics = {physics}\n")
            camera = _open_camera(args, path, filters)
        # Named as the link it is, not by the passing file.
        camera._source = f"{args.connect_camera}:{args.index}"
        return camera
    return _open_camera(args, args.config, filters)


def _open_camera(args, config, filters):
    import quorvex

    calibration = None
    if getattr(args, "calibration", None):
        from ..calibration import load_calibration
        calibration = load_calibration(args.calibration)  # its own one line if bad
    failure = None
    with native_stderr() as said:
        try:
            camera = quorvex.Camera(connect=args.connect_camera, index=args.index, config=config,
                                    output=args.output or "depth", simulated=args.simulated,
                                    filters=_preset(filters), calibration=calibration)
        except CameraError as e:
            failure = e
    if failure is not None:
        from ..calibration import CalibrationError
        if isinstance(failure, CalibrationError):
            raise failure  # the camera opened; the lens does not fit it
        raise CameraError(_open_failure(args, failure, said)) from None
    for line in said:
        print(_as_given(line), file=sys.stderr)
    return camera


# The library notices name a choice by the Python argument; here the user
# gave the option.
_GIVEN = (("simulated=True", "--simulated"), ("simulated=False", "--no-simulated"))


def _as_given(line):
    for said, given in _GIVEN:
        line = line.replace(said, given)
    return line


def _open_failure(args, error, said):
    code = error.code
    status = f"{code.str()} ({int(code)})" if code is not None else str(error)
    # What the libraries wrote, the reasons among it, collected here.
    said = [_as_given(line) for line in said]
    # The libraries' own reason, when they gave one, with the status after it.
    why = f"{'; '.join(said)} ({status})" if said else status
    if args.config:
        return f"cannot open the camera with {args.config}: {why}; correct the file and run again"
    return (f"cannot open the camera at {args.connect_camera}:{args.index}: {why}; is the module "
            "connected, and may this user open its device nodes? `python -m quorvex doctor` checks")


def length_limited(frames, args):
    """`frames` until --seconds have passed (--frames is the source's
    `max_frames`)."""
    begin = time.monotonic()
    for frame in frames:
        yield frame
        if args.seconds is not None and time.monotonic() - begin >= args.seconds:
            return


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
