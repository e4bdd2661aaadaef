"""`python -m quorvex view`: a live web viewer of any source, served by the
board and opened from a browser (needs the `view` extra: aiohttp)."""
import asyncio
import errno
import signal
import socket
import sys

from ..viewer import Viewer
from ..viewer.playback import Playback
from ..viewer.protocol import is_loopback
from . import options


def add_arguments(parser):
    options.add_source_arguments(parser)
    options.add_length_arguments(parser, progress=False)
    options.add_filter_arguments(options.add_output_arguments(parser, raw=False), "default")
    serve = parser.add_argument_group("serving")
    serve.add_argument("--host", default="127.0.0.1",
                       help="address to serve on (127.0.0.1; anything else is reachable from other "
                            "machines and needs the token to watch)")
    serve.add_argument("--port", type=int, default=8080, help="TCP port (8080; 0: any free one)")
    serve.add_argument("--read-only", action="store_true",
                       help="offer no controls, even with the token")
    play = parser.add_argument_group("recordings (--play FILE)")
    play.add_argument("--loop", action="store_true", help="play the recording again from its start at its end")
    play.add_argument("--exit-at-end", action="store_true",
                      help="stop the server after the recording's last frame (the end is otherwise "
                           "shown and a page may seek back)")
    serve.add_argument("--allow-host", action="append", default=[], metavar="NAME",
                       help="another name the page may be opened under (e.g. board.example.lan)")


def open_source(args):
    # A recording is paced by its playback, which pauses and seeks; it
    # starts when the first page opens, so that page sees it from the start.
    # The simulated module shows the world a sensor sees. Every source is
    # opened raw, the camera too: the viewer filters by itself, so that a
    # page can switch to the raw depth of the same stream.
    source = options.open_source(args, realtime=False, physics="realistic", filters="none")
    if args.recording:
        return Playback(source, wait_for_page=True, loop=args.loop, exit_at_end=args.exit_at_end)
    return source


def _outward_address():
    # The address of the interface that routes outwards; connecting a UDP
    # socket sends nothing.
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.connect(("192.0.2.1", 9))
            return s.getsockname()[0]
    except OSError:
        return None


def _cannot_serve(args, e):
    where = f"cannot serve on {args.host}:{args.port}"
    if isinstance(e, OverflowError) or not 0 <= args.port <= 65535:
        return f"{where}: a port is a number from 0 to 65535 (0: any free one)"
    if getattr(e, "errno", None) == errno.EADDRINUSE:
        return f"{where}: the port is in use (another viewer?); choose another --port, or --port 0"
    if getattr(e, "errno", None) == errno.EACCES:
        return f"{where}: this user may not use ports below 1024; choose --port 1024 or above"
    return f"{where}: {getattr(e, 'strerror', None) or e}"


def run(args):
    if not 0 <= args.port <= 65535:
        # Refused before the camera is opened for nothing.
        print(f"quorvex view: {_cannot_serve(args, None)}", file=sys.stderr)
        return 1
    with open_source(args) as source:
        # A subscription learns it from the publisher: asked here, not from
        # the server's loop when the first page says hello.
        source.info
        viewer = Viewer(source, host=args.host, port=args.port, read_only=args.read_only,
                        allow_hosts=args.allow_host, max_frames=args.frames,
                        # --filters none: the raw depth first, the default chain one click away.
                        filters="default" if args.filters == "none" else args.filters,
                        filtered=args.filters != "none",
                        log=lambda line: print(f"quorvex view: {line}", file=sys.stderr, flush=True))
        if not is_loopback(args.host):
            print(f"quorvex view: WARNING: serving on {args.host}, beyond this machine: anyone who "
                  f"can reach port {args.port} and has the token below can watch"
                  + ("" if args.read_only else " and change the camera's controls"), file=sys.stderr)
        loop = asyncio.new_event_loop()
        try:
            loop.run_until_complete(viewer.start())
        except (OSError, OverflowError) as e:
            loop.run_until_complete(viewer.stop())
            loop.close()
            print(f"quorvex view: {_cannot_serve(args, e)}", file=sys.stderr)
            return 1
        hosts = [args.host]
        if args.host in ("0.0.0.0", "::", ""):
            hosts = [h for h in (_outward_address(), socket.gethostname(), "127.0.0.1") if h]
        for h in hosts:
            print(f"quorvex view: open {viewer.url(h)}", flush=True)
        print("quorvex view: Ctrl-C stops", flush=True)
        # A service manager stops the viewer with SIGTERM: close the camera as Ctrl-C does.
        try:
            loop.add_signal_handler(signal.SIGTERM, loop.stop)
        except (NotImplementedError, RuntimeError):
            pass
        if args.seconds is not None:
            loop.call_later(args.seconds, loop.stop)
        if args.frames is not None or args.exit_at_end:
            _stop_when_read(loop, viewer)
        try:
            loop.run_forever()
        except KeyboardInterrupt:
            pass
        finally:
            loop.run_until_complete(viewer.stop())
            loop.close()
    return 0


def _stop_when_read(loop, viewer):
    # The reader ends after --frames frames; the page has then had them.
    if viewer.reading:
        loop.call_later(0.1, _stop_when_read, loop, viewer)
    else:
        loop.stop()
