"""The viewer's server without a browser: the messages it accepts, the
requests it refuses, pages that misbehave or vanish, and pages of
different speeds sharing one source."""
import asyncio
import json
import socket
import threading
import time

import numpy as np
import pytest

pytest.importorskip("aiohttp")
import aiohttp  # noqa: E402

import quorvex  # noqa: E402
from quorvex.viewer import ServerThread, Viewer  # noqa: E402
from quorvex.viewer import protocol  # noqa: E402

CONTROLS = {"range": {"kind": "choice", "choices": [2000, 4000], "value": 4000},
            "skip": {"kind": "int", "min": 0, "max": 9, "value": 0}}


class FakeSource:
    """A source of synthetic frames at a fixed rate that records control writes."""

    def __init__(self, fps=60.0, width=64, height=48, first=0, capture_lag_ns=None):
        self.fps, self.width, self.height, self.first = fps, width, height, first
        self.capture_lag_ns = capture_lag_ns
        self.values = {"range": 4000, "frame_rate": 0}
        self.writes = []
        self.info = quorvex.StreamInfo(source="fake", variant="hqvga", width=width, height=height,
                                       output="depth",
                                       intrinsics=quorvex.nominal_intrinsics(width, height))

    def frames(self, max_frames=None):
        n, t0 = 0, time.monotonic()
        while max_frames is None or n < max_frames:
            wait = t0 + n / self.fps - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            depth = np.full((self.height, self.width), 1000.0 + n, np.float32)
            now = time.monotonic_ns()
            yield quorvex.Frame(sequence=self.first + n, timestamp_ms=int(n * 1000 / self.fps),
                                host_time_ns=now, dropped=0, width=self.width,
                                height=self.height, output="depth", depth=depth,
                                amplitude=np.ones_like(depth),
                                capture_ns=None if self.capture_lag_ns is None else now - self.capture_lag_ns)
            n += 1

    def get_control(self, name):
        return self.values.get(name, 0)

    def set_control(self, name, value):
        if name == "frame_rate":
            raise quorvex.CameraError("setting frame_rate: Not implemented")
        self.writes.append((name, value))
        self.values[name] = value

    def close(self):
        pass


# Pure parts ------------------------------------------------------------------
@pytest.mark.parametrize("data, why", [
    (b'{"type": "ack", "seq": 1}', "only text"),
    ('{"type": "ack", "seq": 1}' + " " * 300, "too long"),
    ("{not json", "not JSON"),
    ("[1, 2]", "not an object"),
    ('{"type": "hello"}', "unknown message type"),
    ('{"type": "ack", "seq": 2}', "not in flight"),
    ('{"type": "ack", "seq": "1"}', "integer"),
    ('{"type": "ack", "seq": 1, "x": 0}', "exactly"),
    ('{"type": "set", "control": "exposure", "value": 1}', "unknown control"),
    ('{"type": "set", "control": "range", "value": 3000}', "out of range"),
    ('{"type": "set", "control": "range", "value": true}', "not an integer"),
    ('{"type": "set", "control": "range", "value": 2000.0}', "not an integer"),
    ('{"type": "set", "control": "skip", "value": 10}', "out of range"),
    ('{"type": "set", "control": "skip", "value": -1}', "out of range"),
    ('{"type": "set", "control": ["range"], "value": 2000}', "unknown control"),
    ('{"type": "set", "control": "range"}', "exactly"),
])
def test_bad_client_messages_are_named(data, why):
    with pytest.raises(protocol.BadMessage, match=why):
        protocol.parse_client_message(data, CONTROLS, {1: 0})


def test_good_client_messages():
    assert protocol.parse_client_message('{"type":"ack","seq":1}', CONTROLS, {1: 0})["seq"] == 1
    assert protocol.parse_client_message('{"type":"set","control":"range","value":2000}', CONTROLS, {})
    assert protocol.parse_client_message('{"type":"set","control":"skip","value":9}', CONTROLS, {})


def test_frame_message_round_trip_and_invalid_depths():
    depth = np.array([[0.0, 1499.6, np.nan], [-5.0, 70000.0, np.inf]], np.float32)
    amp = np.array([[0.0, 10.0, 20.0], [np.nan, 1e9, 5.0]], np.float32)
    f = quorvex.Frame(sequence=7, timestamp_ms=1234, host_time_ns=5_000_000, dropped=2, width=3,
                      height=2, output="depth", depth=depth, amplitude=amp)
    fields, d, a, c = protocol.decode_frame(protocol.encode_frame(f, 29.5))
    assert d.tolist() == [[0, 1500, 0], [0, 65535, 0]]
    assert c is None and fields["position"] is None and not fields["filtered"]
    assert fields["sequence"] == 7 and fields["dropped"] == 2 and fields["timestamp_ms"] == 1234
    assert fields["host_ms"] == 5.0 and abs(fields["fps"] - 29.5) < 1e-3
    assert a.dtype == np.uint8 and a[1, 0] == 0
    f.confidence = np.array([[4.0, 0.0, 2.0], [1.0, 4.0, 3.0]], np.float32)
    fields, _, _, c = protocol.decode_frame(protocol.encode_frame(f, 0.0, position=41, filtered=True))
    assert fields["position"] == 41 and fields["filtered"]
    # The plane and its scale give back confidence to within one step.
    assert np.abs(c / fields["conf_scale"] - f.confidence).max() <= 1 / fields["conf_scale"]
    raw = quorvex.Frame(sequence=0, timestamp_ms=0, host_time_ns=0, dropped=0, width=3, height=2,
                        output="raw", raw=np.zeros((2, 3), np.uint16))
    assert protocol.encode_frame(raw) is None


@pytest.mark.parametrize("bind, host, ok", [
    ("127.0.0.1", "127.0.0.1:8080", True),
    ("127.0.0.1", "localhost:8080", True),
    ("127.0.0.1", "[::1]:8080", True),
    ("127.0.0.1", "LOCALHOST:8080", True),
    ("127.0.0.1", "127.0.0.1:8081", False),
    ("127.0.0.1", "127.0.0.1", False),          # port 80 implied
    ("127.0.0.1", "evil.example:8080", False),  # a re-pointed DNS name
    ("127.0.0.1", "192.168.1.9:8080", False),
    ("127.0.0.1", "box:8080", False),           # the machine's name, but bound to loopback
    ("127.0.0.1", "", False),
    ("127.0.0.1", "::1:8080", False),
    ("127.0.0.1", "127.0.0.1:80x", False),
    ("0.0.0.0", "192.168.1.9:8080", True),
    ("0.0.0.0", "box.local:8080", True),
    ("0.0.0.0", "board.lan:8080", True),        # --allow-host
    ("0.0.0.0", "evil.example:8080", False),
    ("192.168.1.9", "192.168.1.9:8080", True),
    ("192.168.1.9", "10.0.0.1:8080", False),
])
def test_host_policy(bind, host, ok):
    policy = protocol.HostPolicy(bind, 8080, extra_names=("board.lan",), machine_names=("box", "box.local"))
    assert policy.allows(host) is ok


def test_controls_offered_where_the_module_accepts_them(tmp_path):
    with quorvex.Camera() as cam:
        offered = protocol.probe_controls(cam)
        # The USB HQVGA module has no frame-rate control.
        assert sorted(offered) == ["range", "skip"]
        assert offered["range"]["value"] == cam.get_control("range")
    cfg = tmp_path / "vga.cfg"
    cfg.write_text("variant = vga\n")
    with quorvex.Camera(config=cfg) as cam:
        assert sorted(protocol.probe_controls(cam)) == ["skip"]
    assert protocol.probe_controls(object()) == {}


# The server ----------------------------------------------------------------------
@pytest.fixture
def served():
    source = FakeSource()
    with ServerThread(Viewer(source, port=0)) as server:
        source.writes.clear()  # the probe's
        yield server, source


def run(coro):
    async def bounded():
        return await asyncio.wait_for(coro, 30)
    return asyncio.run(bounded())


async def receive_frames(ws, count, ack=True, delay=0.0):
    """Reads until `count` frames arrived; returns their sequences."""
    seqs = []
    while len(seqs) < count:
        msg = await ws.receive(timeout=5)
        if msg.type == aiohttp.WSMsgType.BINARY:
            seqs.append(protocol.decode_frame(msg.data)[0]["sequence"])
            if delay:
                await asyncio.sleep(delay)
            if ack:
                await ws.send_str(json.dumps({"type": "ack", "seq": seqs[-1]}))
        elif msg.type != aiohttp.WSMsgType.TEXT:
            raise AssertionError(f"connection ended: {msg}")
    return seqs


def test_the_hello_comes_before_any_frame(monkeypatch, served):
    # The stream's description may take a while (a subscription waits for
    # its publisher) while frames keep coming: none may overtake the hello,
    # whose geometry the page needs to read them.
    from quorvex.viewer import server as server_module

    slow_info = server_module._info_of

    def slow(source):
        time.sleep(0.5)
        return slow_info(source)

    monkeypatch.setattr(server_module, "_info_of", slow)
    server, _ = served
    v = server.viewer

    async def go():
        async with aiohttp.ClientSession() as s:
            ws = await s.ws_connect(f"http://127.0.0.1:{v.port}/ws", origin=f"http://127.0.0.1:{v.port}")
            first = await ws.receive(timeout=10)
            assert first.type == aiohttp.WSMsgType.TEXT and json.loads(first.data)["type"] == "hello"
            # ... and the newest frame follows without waiting for another.
            while True:
                msg = await ws.receive(timeout=10)
                if msg.type == aiohttp.WSMsgType.BINARY:
                    break
            await ws.close()

    run(go())


def test_refusals_of_host_origin_and_token(served):
    server, _ = served
    v = server.viewer
    base = f"http://127.0.0.1:{v.port}"

    async def go():
        async with aiohttp.ClientSession() as s:
            async def status(path, **headers):
                async with s.get(base + path, headers=headers) as r:
                    return r.status
            assert await status("/") == 200
            assert await status(f"/?token={v.token}") == 200
            assert await status("/static/viewer.js") == 200
            assert await status("/?token=wrong") == 403
            assert await status(f"/?token={v.token}&token={v.token}") == 403
            assert await status("/", Host=f"evil.example:{v.port}") == 403
            assert await status("/static/viewer.js", Host=f"evil.example:{v.port}") == 403
            assert await status("/", Origin="http://evil.example") == 403
            assert await status("/static/../protocol.py") in (403, 404)
            for kwargs in ({"origin": "http://evil.example"}, {"origin": "null"},
                           {"headers": {"Host": f"evil.example:{v.port}"}}):
                with pytest.raises(aiohttp.WSServerHandshakeError) as e:
                    await s.ws_connect(base + "/ws", **kwargs)
                assert e.value.status == 403
            with pytest.raises(aiohttp.WSServerHandshakeError):
                await s.ws_connect(base + "/ws?token=wrong")
            ws = await s.ws_connect(base + "/ws", origin=f"http://127.0.0.1:{v.port}")
            hello = json.loads((await ws.receive(timeout=5)).data)
            assert hello["type"] == "hello" and hello["can_control"] is False
            await ws.close()
        v.require_token_to_watch = True  # what binding beyond loopback sets
        async with aiohttp.ClientSession() as s:
            async with s.get(base + "/") as r:
                assert r.status == 403 and "token" in await r.text()
            async with s.get(f"{base}/?token={v.token}") as r:
                assert r.status == 200

    run(go())
    assert v.refused >= 10


def test_a_bad_message_closes_only_its_connection_and_changes_nothing(served):
    server, source = served
    v = server.viewer
    url = f"http://127.0.0.1:{v.port}/ws?token={v.token}"
    bad_messages = ['{"type":"set","control":"range","value":3000}', b"\x00\x01",
                    '{"type":"ack","seq":999999}', "x" * 5000,
                    '{"type":"set","control":"exposure","value":1}']

    async def go():
        async with aiohttp.ClientSession() as s:
            good = await s.ws_connect(url)
            for bad in bad_messages:
                ws = await s.ws_connect(url)
                await (ws.send_bytes(bad) if isinstance(bad, bytes) else ws.send_str(bad))
                while True:
                    msg = await ws.receive(timeout=5)
                    if msg.type in (aiohttp.WSMsgType.CLOSE, aiohttp.WSMsgType.CLOSED):
                        break
                assert ws.close_code in (1008, 1009), (bad[:40], ws.close_code)
            # A page without the token may watch but not change anything.
            ro = await s.ws_connect(url.split("?")[0])
            await ro.send_str('{"type":"set","control":"range","value":2000}')
            while (await ro.receive(timeout=5)).type not in (aiohttp.WSMsgType.CLOSE, aiohttp.WSMsgType.CLOSED):
                pass
            assert ro.close_code == 1008
            assert source.writes == []
            # The well-behaved page still streams and may change controls.
            assert len(await receive_frames(good, 5)) == 5
            await good.send_str('{"type":"set","control":"range","value":2000}')
            while True:
                msg = await good.receive(timeout=5)
                if msg.type == aiohttp.WSMsgType.TEXT and json.loads(msg.data)["type"] == "controls":
                    break
                if msg.type == aiohttp.WSMsgType.BINARY:
                    await good.send_str(json.dumps({"type": "ack", "seq": protocol.decode_frame(msg.data)[0]["sequence"]}))
            assert json.loads(msg.data)["values"]["range"] == 2000
            await good.close()

    run(go())
    assert source.writes == [("range", 2000)]
    assert v.bad_messages == len(bad_messages) + 1


def _raw_upgrade(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall((f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
               "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
               "Sec-WebSocket-Version: 13\r\n\r\n").encode())
    return s


def test_server_survives_pages_that_vanish_mid_frame(served):
    server, _ = served
    v = server.viewer
    for _ in range(5):
        s = _raw_upgrade(v.port)
        got = s.recv(600)  # the handshake and a piece of the first frames
        assert b"101" in got.split(b"\r\n", 1)[0]
        # Reset, not a clean close: the page's machine went away.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        s.close()
    deadline = time.monotonic() + 5
    while server.call(len, v.clients) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert server.call(len, v.clients) == 0

    async def go():
        async with aiohttp.ClientSession() as s:
            ws = await s.ws_connect(f"http://127.0.0.1:{v.port}/ws")
            assert len(await receive_frames(ws, 5)) == 5
            await ws.close()

    run(go())


def test_pages_of_different_speeds_get_the_newest_frames_at_their_own_pace(served):
    server, source = served
    v = server.viewer
    url = f"http://127.0.0.1:{v.port}/ws"
    seconds = 1.5
    result = {}

    async def page(name, delay):
        async with aiohttp.ClientSession() as s:
            ws = await s.ws_connect(url)
            end = time.monotonic() + seconds
            seqs = []
            while time.monotonic() < end:
                seqs += await receive_frames(ws, 1, delay=delay)
            result[name] = seqs
            await ws.close()

    async def stuck_page():
        # A page that never acknowledges stalls only itself.
        async with aiohttp.ClientSession() as s:
            ws = await s.ws_connect(url)
            got, end = 0, time.monotonic() + seconds
            while time.monotonic() < end:
                try:
                    msg = await ws.receive(timeout=max(0.01, end - time.monotonic()))
                except asyncio.TimeoutError:
                    break
                got += msg.type == aiohttp.WSMsgType.BINARY
            result["stuck"] = got
            await ws.close()

    frames_before = v.frames_in
    async def pages():
        await asyncio.gather(page("fast", 0.0), page("slow", 0.2), stuck_page())

    run(pages())
    produced = v.frames_in - frames_before
    fast, slow = result["fast"], result["slow"]
    # The source kept its rate; the fast page saw nearly all of it.
    assert produced >= 0.8 * source.fps * seconds
    assert len(fast) >= 0.6 * source.fps * seconds
    # The slow page got about one frame per 0.2 s, always a recent one.
    assert 4 <= len(slow) <= seconds / 0.2 + 3
    assert max(np.diff(slow)) > 3
    assert result["stuck"] == 2


def test_sequences_beyond_32_bits_are_acknowledged_as_the_page_reads_them():
    # A network source passes on its publisher's 64-bit sequence numbers.
    with ServerThread(Viewer(FakeSource(first=2**32 - 3 + 2**40), port=0)) as server:
        async def page():
            async with aiohttp.ClientSession() as s:
                ws = await s.ws_connect(f"http://127.0.0.1:{server.viewer.port}/ws")
                seqs = await receive_frames(ws, 8)
                await ws.close()
                return seqs
        seqs = run(page())
    assert len(seqs) == 8 and max(seqs) < 2**32  # the connection stayed open past the wrap


def test_pages_are_told_how_old_each_frame_they_drew_was_from_capture():
    # Frames captured 80 ms before they reached the viewer.
    with ServerThread(Viewer(FakeSource(capture_lag_ns=80_000_000), port=0)) as server:
        async def page():
            async with aiohttp.ClientSession() as s:
                ws = await s.ws_connect(f"http://127.0.0.1:{server.viewer.port}/ws")
                await receive_frames(ws, 3)
                for _ in range(50):
                    msg = await ws.receive(timeout=5)
                    if msg.type == aiohttp.WSMsgType.TEXT and json.loads(msg.data)["type"] == "latency":
                        await ws.close()
                        return json.loads(msg.data)["capture_to_screen_ms"]
                raise AssertionError("no latency message")
        latency = run(page())
    assert latency >= 80


def test_play_opens_the_recording_for_its_playback(monkeypatch):
    import argparse

    from quorvex.commands.view import add_arguments, open_source

    parser = argparse.ArgumentParser()
    add_arguments(parser)
    args = parser.parse_args(["--play", "rec.mcap"])
    # The recording is read as fast as asked: its playback keeps the pace,
    # so that pausing and seeking can interrupt the wait.
    import types

    from quorvex.viewer import playback

    opened = []
    monkeypatch.setattr(quorvex, "open_recording", lambda path, realtime=True: opened.append(
        (path, realtime)) or types.SimpleNamespace(path=path, info=None))
    monkeypatch.setattr(playback, "scan_recording", lambda path: (None, {}, [0, 33, 66]))
    played = open_source(args)
    assert opened == [("rec.mcap", False)]
    assert isinstance(played, playback.Playback) and played.length == 3 and played.waiting_for_page
    with pytest.raises(SystemExit):
        parser.parse_args(["--play", "a", "--config", "b"])


def test_the_command_prints_its_url_serves_and_stops_on_sigterm():
    import re
    import signal
    import subprocess
    import sys
    import urllib.request

    p = subprocess.Popen([sys.executable, "-m", "quorvex", "view", "--port", "0", "--read-only"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = p.stdout.readline()
        url = re.search(r"http://127\.0\.0\.1:\d+/\?token=\S+", line)
        assert url, line
        with urllib.request.urlopen(url.group(0), timeout=10) as r:
            assert r.status == 200 and b"viewer.js" in r.read()
        p.send_signal(signal.SIGTERM)
        assert p.wait(15) == 0
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()


class SlowInfo:
    """A source whose info waits, as a subscription's waits for its publisher."""

    def __init__(self):
        self.inner, self.release = FakeSource(), threading.Event()

    @property
    def info(self):
        self.release.wait(60)
        return self.inner.info

    def frames(self, max_frames=None):
        return self.inner.frames(max_frames)

    def close(self):
        pass


def test_a_page_whose_hello_waits_for_the_source_holds_no_other_request():
    source = SlowInfo()
    try:
        with ServerThread(Viewer(source, port=0)) as server:
            url = server.viewer.url()
            base, token = url.split("/?token=")

            async def go():
                async with aiohttp.ClientSession() as session:
                    async with session.ws_connect(f"{base}/ws?token={token}", origin=base) as ws:
                        # Its hello needs the info; the loop must answer others meanwhile.
                        async with session.get(url, timeout=aiohttp.ClientTimeout(total=20)) as r:
                            status = r.status
                        source.release.set()
                        msg = await ws.receive(timeout=20)
                        while msg.type == aiohttp.WSMsgType.BINARY:  # a frame may come first
                            msg = await ws.receive(timeout=20)
                return status, json.loads(msg.data)

            status, hello = run(go())
    finally:
        source.release.set()
    assert status == 200 and hello["type"] == "hello" and hello["info"]["width"] == 64
