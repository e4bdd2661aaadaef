"""The tools joined up: `record` and `view` take a subscription as their
source, `view --play` shows a real recording, and `publish --recording`
sends one. Loopback only, explicit 127.0.0.1 endpoints, no scouting, every
loop bounded in count and time."""
import asyncio
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

pytest.importorskip("zenoh")
pytest.importorskip("mcap")
pytest.importorskip("mcap_ros2")
pytest.importorskip("aiohttp")
import aiohttp  # noqa: E402

import quorvex  # noqa: E402
from quorvex import network, recording  # noqa: E402
from quorvex.commands.view import add_arguments, open_source  # noqa: E402
from quorvex.viewer import ServerThread, Viewer, protocol  # noqa: E402
from test_network import depth_frame, free_endpoint, stream_info  # noqa: E402

PLANES = ("depth", "amplitude", "confidence")


def write_recording(path, count, seed=1):
    """A recording of `count` synthetic frames 33 ms apart; returns them."""
    rng = np.random.default_rng(seed)
    frames = [depth_frame(i, rng) for i in range(count)]
    for f in frames:
        f.depth[::7, ::5] = 0  # some pixels without a measurement
    with recording.RecordingWriter(path, stream_info(), compression="lz4") as w:
        for f in frames:
            w.offer(f, block=True)
    return frames


class Streamer:
    """Publishes synthetic frames at about 30 fps from a thread until
    stopped or `seconds` pass; `sent` maps sequence -> frame."""

    def __init__(self, key, endpoint, lossless=False, seconds=40.0):
        self.sent = {}
        self._stop = threading.Event()
        self._pub = network.Publisher(stream_info(), key=key, listen=[endpoint], lossless=lossless)
        self._thread = threading.Thread(target=self._run, args=(seconds,), daemon=True)
        self._thread.start()

    def _run(self, seconds):
        rng = np.random.default_rng(7)
        deadline = time.monotonic() + seconds
        seq = 0
        while not self._stop.is_set() and time.monotonic() < deadline:
            frame = depth_frame(seq, rng)
            self.sent[seq] = frame
            self._pub.put(frame)
            seq += 1
            time.sleep(1 / 30)

    def close(self):
        self._stop.set()
        self._thread.join(10)
        self._pub.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def command(*args):
    return subprocess.Popen([sys.executable, "-m", "quorvex", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def finish(proc, timeout):
    try:
        out, err = proc.communicate(timeout=timeout)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return proc.returncode, out, err


def test_record_command_records_a_subscription_frame_for_frame(tmp_path):
    ep, key, out = free_endpoint(), "qtest/rec", tmp_path / "remote.mcap"
    with Streamer(key, ep, lossless=True) as streamer:
        proc = command("record", str(out), "--subscribe", key, "--connect", ep, "--lossless",
                       "--frames", "20", "--quiet")
        code, _, err = finish(proc, 60)
    assert code == 0, err
    assert "20 frames" in err and "dropped 0" in err
    with quorvex.open_recording(out, realtime=False) as rec:
        assert rec.metadata["source"] == "test" and rec.info.controls == {"range": 4000}
        played = list(rec.frames())
    assert len(played) == 20
    # Lossless: the publisher's frames in a row, from wherever it joined.
    first = next(s for s, f in streamer.sent.items() if f.timestamp_ms == played[0].timestamp_ms)
    for i, frame in enumerate(played):
        sent = streamer.sent[first + i]
        assert frame.timestamp_ms == sent.timestamp_ms and frame.dropped == 0
        assert np.array_equal(frame.amplitude, sent.amplitude)
        assert np.array_equal(frame.confidence, sent.confidence)
        # Metres in the file: back within one float32 step.
        assert np.abs(frame.depth.view(np.int32) - sent.depth.view(np.int32)).max() <= 1


def test_source_options_are_the_same_in_every_command_and_misuse_is_named(tmp_path):
    import argparse

    parser = argparse.ArgumentParser()
    add_arguments(parser)
    # The camera's connection still works as `--connect usb|csi` beside endpoints.
    args = parser.parse_args(["--connect", "csi", "--index", "1"])
    assert args.connect == [] and args.connect_camera == "csi"
    args = parser.parse_args(["--connect", "tcp/127.0.0.1:9"])
    with pytest.raises(quorvex.CameraError, match="add --subscribe"):
        open_source(args)
    for both in (["--play", "a", "--config", "b"], ["--subscribe", "k", "--play", "a"]):
        with pytest.raises(SystemExit):
            parser.parse_args(both)
    args = parser.parse_args(["--recording", str(tmp_path / "missing.mcap")])
    with pytest.raises(quorvex.CameraError):
        open_source(args)
    # No publisher: the command says once that it waits, then ends in one line
    # instead of serving a page that waits.
    for cmd in (["view", "--port", "0"], ["record", str(tmp_path / "nobody.mcap")]):
        code, _, err = finish(command(*cmd, "--subscribe", "qtest/nobody", "--connect", free_endpoint(),
                                      "--wait", "1.5"), 60)
        lines = err.strip().splitlines()
        assert code == 1 and len(lines) == 2, (cmd, err)
        assert lines[0] == f"quorvex {cmd[0]}: waiting for a publisher of qtest/nobody for up to 1.5 s (--wait)"
        assert lines[1] == f"quorvex {cmd[0]}: no publisher of qtest/nobody answered within 1.5 s"
    with pytest.raises(SystemExit):
        parser.parse_args(["--subscribe", "k", "--wait", "-1"])


async def _frames_from_page(url, done, seconds=20.0):
    """Frames a page of the viewer at `url` receives, [(fields, depth mm)],
    until `done(frames)`."""
    base, token = url.split("/?token=")
    got = []
    async with aiohttp.ClientSession() as s:
        async with s.ws_connect(f"{base}/ws?token={token}", origin=base) as ws:
            deadline = time.monotonic() + seconds
            while not done(got) and time.monotonic() < deadline:
                msg = await ws.receive(timeout=max(0.1, deadline - time.monotonic()))
                if msg.type == aiohttp.WSMsgType.BINARY:
                    fields, depth, _, _ = protocol.decode_frame(msg.data)
                    got.append((fields, depth.copy()))
                    await ws.send_str(f'{{"type": "ack", "seq": {fields["sequence"]}}}')
                elif msg.type != aiohttp.WSMsgType.TEXT:
                    break
    return got


def assert_shown(got, frames_by_sequence):
    for fields, depth in got:
        frame = frames_by_sequence[fields["sequence"]]
        assert fields["timestamp_ms"] == frame.timestamp_ms
        assert np.array_equal(depth, np.rint(frame.depth).astype(np.uint16))


def test_view_command_shows_a_subscription(tmp_path):
    ep, key = free_endpoint(), "qtest/view"
    with Streamer(key, ep) as streamer:
        # --filters none: the page starts with the depth as sent.
        proc = command("view", "--subscribe", key, "--connect", ep, "--port", "0", "--read-only",
                       "--filters", "none")
        try:
            line = proc.stdout.readline()
            url = re.search(r"http://127\.0\.0\.1:\d+/\?token=\S+", line)
            assert url, line + proc.stderr.read() if proc.poll() is not None else line
            got = asyncio.run(_frames_from_page(url.group(0), lambda got: len(got) >= 10))
            proc.send_signal(signal.SIGTERM)
            code, _, err = finish(proc, 20)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    assert code == 0, err
    assert len(got) == 10
    assert_shown(got, streamer.sent)
    assert [f["sequence"] for f, _ in got] == sorted({f["sequence"] for f, _ in got})


def test_view_plays_a_real_recording_to_its_end(tmp_path):
    path = tmp_path / "scene.mcap"
    frames = write_recording(path, 12)
    import argparse

    parser = argparse.ArgumentParser()
    add_arguments(parser)
    source = open_source(parser.parse_args(["--play", str(path)]))
    assert isinstance(source.recording, recording.Recording) and source.length == 12
    with source, ServerThread(Viewer(source, port=0)) as server:
        time.sleep(0.3)
        assert server.viewer.frames_in == 0 and server.viewer.status == "waiting for the first page"
        got = asyncio.run(_frames_from_page(
            server.viewer.url(), lambda got: got and got[-1][0]["position"] == 11, seconds=10))
        deadline = time.monotonic() + 5
        while server.viewer.status != "end of the recording" and time.monotonic() < deadline:
            time.sleep(0.05)
        assert server.viewer.status == "end of the recording"
        assert server.viewer.reading  # a page may still seek back
    # The recording waited for the page and played at its pace: the frames
    # it got are the recording's, newest-first, ending with the last one.
    assert got and got[-1][0]["sequence"] == 11 and got[0][0]["position"] == 0
    assert_shown(got, dict(enumerate(frames)))


def test_publish_command_sends_a_recording_bit_for_bit(tmp_path):
    path = tmp_path / "scene.mcap"
    write_recording(path, 60)
    with quorvex.open_recording(path, realtime=False) as rec:
        recorded = list(rec.frames())
    ep, key = free_endpoint(), "qtest/replay"
    # The subscriber listens, so it is there before the first frame leaves.
    with quorvex.subscribe(key, listen=[ep], lossless=True, queue=64) as sub:
        proc = command("publish", "--recording", str(path), "--key", key, "--connect", ep,
                       "--lossless")
        try:
            got = []
            for frame in sub.frames(max_frames=60, stall_timeout=10):
                got.append(frame)
                if frame.sequence == 59:
                    break
            code, _, err = finish(proc, 30)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    assert code == 0 and "published 60 frames" in err, err
    assert got and got[-1].sequence == 59 and len(got) >= 40
    for frame in got:
        want = recorded[frame.sequence]
        assert frame.timestamp_ms == want.timestamp_ms
        for name in PLANES:
            assert np.array_equal(getattr(frame, name), getattr(want, name)), name


def test_camera_recording_and_subscription_keep_one_source_contract(tmp_path):
    from quorvex.sources import controls_of

    path = tmp_path / "scene.mcap"
    write_recording(path, 3)
    ep, key = free_endpoint(), "qtest/contract"
    with Streamer(key, ep) as streamer:
        sources = {"camera": quorvex.Camera(), "recording": quorvex.open_recording(path, realtime=False),
                   "subscription": quorvex.subscribe(key, connect=[ep])}
        for name, source in sources.items():
            with source:
                # What a sink may rely on, called alike on each.
                got = list(source.frames(max_frames=2, stall_timeout=10))
                assert len(got) == 2 and source.info.width == got[0].width, name
                assert (controls_of(source) is source) == (name == "camera"), name
            source.close()
    assert streamer.sent
