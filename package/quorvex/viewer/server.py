"""The viewer's web server: one page, its static files, and a WebSocket per
page that carries frames (binary) and controls (JSON text).

One thread reads the source and encodes each frame once; the event loop
hands the newest encoding to every client whose window has room. A client
acknowledges each frame after drawing it and has at most WINDOW frames in
flight, so a slow page simply gets fewer frames: nothing queues up for it,
and neither the camera nor the other pages wait for it.
"""
import asyncio
import hmac
import json
import secrets
import socket
import threading
import time
from pathlib import Path

from aiohttp import WSMsgType, web

from .. import colormap
from ..errors import CameraError
from ..filters import stream_range
from ..geometry import intrinsics_to_dict, nominal_intrinsics
from ..sources import controls_of
from ..rate import RateMeter
from . import protocol
from .filtering import CONTROLS as FILTER_CONTROLS
from .filtering import ViewerFilters, filters_upstream
from .playback import END_TEXT

STATIC = Path(__file__).with_name("static")
WINDOW = 2  # frames in flight per client: one being drawn, one on the way


PLAYBACK_CONTROLS = ("playing", "position", "loop")
RANGE_CONTROLS = ("range", "mode")  # camera controls after which the filters measure anew


class _Client:
    def __init__(self, ws, can_control):
        self.ws = ws
        self.can_control = can_control
        self.wake = asyncio.Event()
        self.pending = {}  # sequence -> host arrival time (ns) of frames in flight
        self.last_sent = None
        self.sent = 0
        self.latencies_ms = []  # arrival at the host -> drawn by the page
        self.capture_latencies_ms = []  # captured by the module (estimated) -> drawn by the page


class Viewer:
    """Serves `source` (any `quorvex.sources.FrameSource`) to web pages; its
    controls are offered when it keeps `quorvex.sources.Controls`.

    `require_token_to_watch` defaults to True when bound beyond loopback.
    `port=0` picks a free port (see `.port` after `start`). `max_frames`:
    the source's frames to show (None: all). A source with a transport (a
    `playback.Playback`) is played to the pages: it starts with the first.

    `filters` (a preset name or a `quorvex.Filters`): the viewer filters the
    source's raw depth itself and the pages get a raw/filtered toggle and a
    confidence threshold; `filtered` is what they show first. A source
    whose frames come filtered already is shown as it is, without them."""

    def __init__(self, source, host="127.0.0.1", port=8080, read_only=False, token=None,
                 require_token_to_watch=None, allow_hosts=(), log=None, max_frames=None,
                 filters=None, filtered=True):
        self.source = source
        self.page_filters = None
        self.upstream_filtered = None  # known once the source is read
        if filters is not None:
            # Asked here only when needed: a subscription's info waits for its publisher.
            info = source.info
            self.upstream_filtered = filters_upstream(info)
            # A source whose range is unknown (a recording made without
            # one) cannot be filtered; shown raw, as asked, it needs no chain.
            if (not self.upstream_filtered and info.output == "depth"
                    and (filtered or stream_range(info) is not None)):
                self.page_filters = ViewerFilters(filters, info, filtered)
        self.playback = source if hasattr(source, "page_opened") else None
        self.max_frames = max_frames
        self.host = host
        self.port = port
        self.read_only = read_only
        self.token = token or secrets.token_urlsafe(16)
        self.require_token_to_watch = (not protocol.is_loopback(host)
                                       if require_token_to_watch is None else require_token_to_watch)
        self._allow_hosts = tuple(allow_hosts)
        self._log = log  # a callable taking one line, e.g. for refused requests
        self.policy = None
        self.clients = set()
        self.refused = 0  # requests refused by the Host/Origin/token checks
        self.bad_messages = 0
        self.frames_in = 0
        self.encode_cpu_s = 0.0  # the reader thread's, encoding frames once for every page
        self.latest = None  # (sequence, message, host_time_ns)
        self.status = "starting"
        self.controls = protocol.probe_controls(source)
        if self.page_filters is not None:
            self.controls.update(self.page_filters.controls())
        if self.playback is not None:
            self.controls.update(self.playback.controls())
            self.playback.on_change = self._playback_changed
        self._control_lock = None
        self._loop = None
        self._runner = None
        self._stop_reading = threading.Event()
        self._reader = None

    # Lifetime ---------------------------------------------------------------
    async def start(self):
        self._loop = asyncio.get_running_loop()
        self._control_lock = asyncio.Lock()
        app = web.Application(middlewares=[self._guard], client_max_size=4096)
        app.router.add_get("/", self._index)
        app.router.add_get("/ws", self._websocket)
        app.router.add_static("/static/", STATIC, show_index=False, follow_symlinks=False)
        self._runner = web.AppRunner(app, access_log=None, handle_signals=False,
                                    shutdown_timeout=1.0)
        await self._runner.setup()
        site = web.TCPSite(self._runner, self.host, self.port)
        await site.start()
        if self.port == 0:
            self.port = self._runner.addresses[0][1]
        self.policy = protocol.HostPolicy(self.host, self.port, self._allow_hosts, _machine_names())
        self._reader = threading.Thread(target=self._read, name="quorvex-viewer-source", daemon=True)
        self._reader.start()

    async def stop(self):
        self._stop_reading.set()
        for c in list(self.clients):
            await _quietly(c.ws.close(code=1001, message=b"server stopping"))
        if self._runner is not None:
            await self._runner.cleanup()
        if self._reader is not None:
            await asyncio.get_running_loop().run_in_executor(None, self._reader.join, 5.0)

    def url(self, host=None, with_token=True):
        h = host or self.host
        h = f"[{h}]" if ":" in h else h
        return f"http://{h}:{self.port}/" + (f"?token={self.token}" if with_token else "")

    # The source ---------------------------------------------------------------
    @property
    def reading(self):
        """True while the source is being read (started, not ended)."""
        return self._reader is not None and self._reader.is_alive()

    def _read(self):
        meter = RateMeter()
        try:
            if self.upstream_filtered is None:
                self.upstream_filtered = filters_upstream(self.source.info)
            self.status = ("waiting for the first page" if self.playback is not None
                           and self.playback.waiting_for_page else "streaming")
            for frame in self.source.frames(max_frames=self.max_frames):
                if self._stop_reading.is_set():
                    break
                if self.status != "streaming":
                    self._set_status("streaming")
                fps = meter.tick()
                position = self.playback.position if self.playback is not None else None
                filtered = self.upstream_filtered
                if self.page_filters is not None:
                    frame, filtered = self.page_filters.apply(frame, position)
                cpu = time.thread_time()
                message = protocol.encode_frame(frame, fps, position, filtered)
                self.encode_cpu_s += time.thread_time() - cpu
                if message is None:
                    self._set_status("the source streams raw frames; the viewer shows depth")
                    continue
                self.frames_in += 1
                # Pages see, and acknowledge, the 32 bits the frame message
                # carries; a network source's sequence numbers are wider.
                captured = frame.host_time_ns if frame.capture_ns is None else frame.capture_ns
                self._loop.call_soon_threadsafe(self._publish, frame.sequence & 0xFFFFFFFF, message,
                                                (frame.host_time_ns, captured))
            else:
                self._set_status("end of the source")
        except CameraError as e:
            self._set_status(f"camera error: {e}")
        except RuntimeError:  # the loop closed while a frame was handed over
            if not self._stop_reading.is_set():
                raise

    def _set_status(self, text):
        self.status = text
        if self._loop is not None and not self._stop_reading.is_set():
            self._loop.call_soon_threadsafe(self._broadcast_json, {"type": "status", "text": text})

    def _playback_changed(self, playback):
        # From the reading thread: the recording ended, or plays again.
        self._set_status(END_TEXT if playback.ended else "streaming")
        if self._loop is not None and not self._stop_reading.is_set():
            self._loop.call_soon_threadsafe(self._playback_values)

    def _playback_values(self):
        for name, c in self.playback.controls().items():
            self.controls[name]["value"] = c["value"]
        self._broadcast_controls()

    def _publish(self, sequence, message, host_ns):
        self.latest = (sequence, message, host_ns)
        for c in self.clients:
            c.wake.set()

    # HTTP ------------------------------------------------------------------------
    def _token_state(self, request):
        """None: no token given; True/False: the one token given is right/wrong."""
        given = request.query.getall("token", [])
        if not given:
            return None
        return len(given) == 1 and hmac.compare_digest(given[0].encode(), self.token.encode())

    @web.middleware
    async def _guard(self, request, handler):
        # Host and Origin on every request, the WebSocket upgrade included:
        # a page of another site reaches this server only under another
        # name (Host) or from another origin (Origin).
        if not self.policy.allows(request.headers.get("Host", "")):
            return self._refuse(request, "unknown Host")
        origin = request.headers.get("Origin")
        if origin is not None and not self.policy.same_origin(origin, request.headers.get("Host")):
            return self._refuse(request, "foreign Origin")
        if request.path in ("/", "/ws"):
            token = self._token_state(request)
            if token is False:
                return self._refuse(request, "wrong token")
            if token is None and self.require_token_to_watch:
                return self._refuse(request, "this viewer needs the token: open the URL it printed at start")
        response = await handler(request)
        if not isinstance(response, web.WebSocketResponse):
            response.headers["Cache-Control"] = "no-store"
            response.headers["X-Frame-Options"] = "DENY"
            response.headers["Referrer-Policy"] = "no-referrer"
            response.headers["Content-Security-Policy"] = (
                "default-src 'self'; connect-src 'self'; img-src 'self' data:; frame-ancestors 'none'")
        return response

    def _refuse(self, request, why):
        self.refused += 1
        if self._log is not None:
            self._log(f"refused {request.method} {request.path} from {request.remote} "
                      f"(Host {request.headers.get('Host', '-')!r}, Origin {request.headers.get('Origin', '-')!r}): {why}")
        return web.Response(status=403, text=f"refused: {why}\n")

    async def _index(self, request):
        return web.FileResponse(STATIC / "index.html")

    async def _websocket(self, request):
        can_control = bool(self.controls) and not self.read_only and self._token_state(request) is True
        ws = web.WebSocketResponse(max_msg_size=protocol.MAX_CLIENT_MESSAGE, compress=False, heartbeat=20)
        await ws.prepare(request)
        client = _Client(ws, can_control)
        self.clients.add(client)
        if self.playback is not None:
            self.playback.page_opened()
        sender = asyncio.ensure_future(self._send_frames(client))
        try:
            try:
                # A subscription's info waits for its publisher: never on
                # the loop, where it would hold every page.
                info = await self._loop.run_in_executor(None, _info_of, self.source)
            except CameraError as e:
                await ws.close(code=1011, message=str(e).encode()[:120])
                return ws
            await ws.send_str(json.dumps(self._hello(client, info)))
            async for msg in ws:
                try:
                    if msg.type != WSMsgType.TEXT:
                        raise protocol.BadMessage("only text messages are accepted")
                    parsed = protocol.parse_client_message(msg.data, self.controls, client.pending)
                    if parsed["type"] == "set" and not client.can_control:
                        raise protocol.BadMessage("this page may not change controls")
                except protocol.BadMessage as e:
                    self.bad_messages += 1
                    await ws.close(code=1008, message=str(e).encode()[:120])
                    break
                if parsed["type"] == "ack":
                    if self.playback is not None:
                        self.playback.frame_shown()
                    arrived, captured = client.pending.pop(parsed["seq"])
                    now = time.monotonic_ns()
                    client.latencies_ms.append((now - arrived) / 1e6)
                    del client.latencies_ms[:-1000]
                    client.capture_latencies_ms.append((now - captured) / 1e6)
                    del client.capture_latencies_ms[:-1000]
                    # The page shows how old what it drew was, from capture.
                    await _quietly(ws.send_str(json.dumps(
                        {"type": "latency", "capture_to_screen_ms": round(client.capture_latencies_ms[-1], 1)})))
                    client.wake.set()
                else:
                    await self._set_control(parsed["control"], parsed["value"], client)
        except ConnectionError:
            pass
        finally:
            self.clients.discard(client)
            sender.cancel()
            await _quietly(sender)
        return ws

    def _hello(self, client, info):
        k = info.intrinsics
        described = {"source": info.source, "variant": info.variant, "width": info.width,
                     "height": info.height, "output": info.output, "version": info.version,
                     "intrinsics": intrinsics_to_dict(k)}
        # The page draws with the package's own colour maps and range rule,
        # and places points along the module's rays (it measures the
        # distance along each pixel's ray, not along the optical axis).
        return {"type": "hello", "info": described, "controls": self.controls,
                "can_control": client.can_control, "read_only": self.read_only, "status": self.status,
                "geometry": "radial", "colormaps": colormap.tables_for_page(),
                "colormap": colormap.DEFAULT,
                "range_rule": {"low": colormap.LOW_PERCENTILE, "high": colormap.HIGH_PERCENTILE,
                               "bin_mm": colormap.BIN_MM, "samples": colormap.SAMPLES,
                               "default": list(colormap.DEFAULT_RANGE)},
                "recording": None if self.playback is None else {"frames": self.playback.length},
                # What the rate and drops are of: a camera, or a recording or
                # a subscription passing on what another camera sent.
                "source_kind": ("recording" if self.playback is not None
                                else "camera" if controls_of(self.source) is not None else "stream"),
                "filters": self._filters_described(info),
                # What the 3D view's note says of the lens it places points with.
                "lens": "nominal" if k == nominal_intrinsics(info.width, info.height) else "given"}

    def _filters_described(self, info):
        # Which chain the filtered pictures come from, for the page's label.
        if self.page_filters is not None:
            return dict(self.page_filters.filters.describe(), by="viewer")
        if info.filters is not None:
            return dict(info.filters, by="source")
        return None

    async def _send_frames(self, client):
        # Newest frame only: whatever arrived while this client's window was
        # full is skipped for it.
        try:
            while not client.ws.closed:
                await client.wake.wait()
                client.wake.clear()
                while (self.latest is not None and len(client.pending) < WINDOW
                       and self.latest[0] != client.last_sent and not client.ws.closed):
                    sequence, message, host_ns = self.latest
                    client.last_sent = sequence
                    client.pending[sequence] = host_ns
                    client.sent += 1
                    await client.ws.send_bytes(message)
        except (ConnectionError, RuntimeError):
            # The page vanished mid-frame; its handler ends the connection.
            await _quietly(client.ws.close())

    async def _set_control(self, name, value, client):
        async with self._control_lock:
            previous = self.controls[name]["value"]
            if name in FILTER_CONTROLS or name in PLAYBACK_CONTROLS:
                self._set_local(name, value)
                self.controls[name]["value"] = value
                if self.playback is not None and name != "position" and self.playback.position is not None:
                    # The frame shown, not the last one sought: pages set
                    # their slider from every controls message.
                    self.controls["position"]["value"] = self.playback.position
                self._broadcast_controls()
                return
            try:
                await self._loop.run_in_executor(None, protocol.apply_control, self.source, name,
                                                 value, previous)
            except CameraError as e:
                await _quietly(client.ws.send_str(json.dumps({"type": "error", "text": str(e)})))
                return
            self.controls[name]["value"] = value
            if name in RANGE_CONTROLS and self.page_filters is not None:
                # The VGA module's range follows its frequency mode: the
                # module's answer, not the value sent, is the range in force.
                try:
                    range_mm = await self._loop.run_in_executor(None, self.source.get_control, "range")
                except (CameraError, ValueError, AttributeError):
                    range_mm = value if name == "range" else self.page_filters.stream.range_mm
                self.page_filters.range_changed(range_mm)
        self._broadcast_controls()

    def _set_local(self, name, value):
        # Controls of this server, not of the camera: nothing waits on a device.
        if name in FILTER_CONTROLS:
            self.page_filters.set(name, value)
        else:
            self.playback.set(name, value)

    def _broadcast_controls(self):
        self._broadcast_json({"type": "controls", "values": {n: c["value"] for n, c in self.controls.items()}})

    def _broadcast_json(self, obj):
        text = json.dumps(obj)
        for c in list(self.clients):
            asyncio.ensure_future(_quietly(c.ws.send_str(text)))

    # Figures ------------------------------------------------------------------------
    def stats(self):
        return {"frames_in": self.frames_in, "refused": self.refused, "bad_messages": self.bad_messages,
                "clients": [{"sent": c.sent, "latencies_ms": list(c.latencies_ms),
                             "capture_latencies_ms": list(c.capture_latencies_ms)} for c in self.clients]}


def _info_of(source):
    return source.info


async def _quietly(awaitable):
    try:
        await awaitable
    except (ConnectionError, RuntimeError, asyncio.CancelledError):
        pass


def _machine_names():
    try:
        name = socket.gethostname().lower()
    except OSError:
        return ()
    return (name, name + ".local") if name else ()


class ServerThread:
    """A Viewer on an event loop of its own in a background thread, for
    programs that already have a main loop (and for tests):

        with ServerThread(Viewer(cam, port=0)) as s:
            print(s.viewer.url())
    """

    def __init__(self, viewer):
        self.viewer = viewer
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, name="quorvex-viewer", daemon=True)

    def __enter__(self):
        self._thread.start()
        asyncio.run_coroutine_threadsafe(self.viewer.start(), self._loop).result(30)
        return self

    def call(self, fn, *args):
        """Runs fn(*args) on the server's loop and returns its result."""
        async def wrapped():
            return fn(*args)
        return asyncio.run_coroutine_threadsafe(wrapped(), self._loop).result(30)

    def __exit__(self, *exc):
        try:
            asyncio.run_coroutine_threadsafe(self.viewer.stop(), self._loop).result(30)
        finally:
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join(10)
            self._loop.close()
        return False


async def serve_forever(viewer):
    """Serves until cancelled, for programs with an event loop of their own."""
    await viewer.start()
    try:
        while True:
            await asyncio.sleep(3600)
    finally:
        await viewer.stop()
