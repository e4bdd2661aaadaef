"""`python -m quorvex view`: a live web viewer of any source, served by the
board and opened from a browser (needs the `view` extra: aiohttp)."""
import asyncio
import inspect
import signal
import socket
import sys

from .protocol import is_loopback
from .server import ServerThread, Viewer, serve_forever

__all__ = ["Viewer", "ServerThread", "serve_forever", "add_arguments", "run"]


def add_arguments(parser):
    what = parser.add_mutually_exclusive_group()
    what.add_argument("--config", metavar="FILE", help="open the camera with this configuration file")
    what.add_argument("--play", metavar="FILE", help="show a recording instead of a camera")
    parser.add_argument("--connect", choices=("usb", "csi"), default="usb", help="camera connection (usb)")
    parser.add_argument("--index", type=int, default=0, help="camera index (0)")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to serve on (127.0.0.1; anything else is reachable from other "
                             "machines and needs the token to watch)")
    parser.add_argument("--port", type=int, default=8080, help="TCP port (8080)")
    parser.add_argument("--read-only", action="store_true", help="offer no controls, even with the token")
    parser.add_argument("--allow-host", action="append", default=[], metavar="NAME",
                        help="another name the page may be opened under (e.g. board.example.lan)")


def open_source(args):
    import quorvex

    if args.play:
        opener = getattr(quorvex, "open_recording", None)
        if opener is None:
            raise SystemExit("quorvex view --play: this installation cannot read recordings "
                             "(quorvex.open_recording is missing; install the 'record' extra)")
        # A viewer shows a recording at the pace it was recorded.
        try:
            paced = "realtime" in inspect.signature(opener).parameters
        except (TypeError, ValueError):
            paced = False
        return opener(args.play, realtime=True) if paced else opener(args.play)
    return quorvex.Camera(connect=args.connect, index=args.index, config=args.config, output="depth")


def _outward_address():
    # The address of the interface that routes outwards; connecting a UDP
    # socket sends nothing.
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.connect(("192.0.2.1", 9))
            return s.getsockname()[0]
    except OSError:
        return None


def run(args):
    from ..errors import CameraError

    try:
        source = open_source(args)
    except (CameraError, OSError, ValueError) as e:
        print(f"quorvex view: {e}", file=sys.stderr)
        return 1
    with source:
        viewer = Viewer(source, host=args.host, port=args.port, read_only=args.read_only,
                        allow_hosts=args.allow_host,
                        log=lambda line: print(f"quorvex view: {line}", file=sys.stderr, flush=True))
        if not is_loopback(args.host):
            print(f"quorvex view: WARNING: serving on {args.host}, beyond this machine: anyone who "
                  f"can reach port {args.port} and has the token below can watch"
                  + ("" if args.read_only else " and change the camera's controls"), file=sys.stderr)
        loop = asyncio.new_event_loop()
        try:
            loop.run_until_complete(viewer.start())
        except OSError as e:
            print(f"quorvex view: cannot serve on {args.host}:{args.port}: {e}", file=sys.stderr)
            loop.close()
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
        try:
            loop.run_forever()
        except KeyboardInterrupt:
            pass
        finally:
            loop.run_until_complete(viewer.stop())
            loop.close()
    return 0

