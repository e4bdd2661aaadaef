"""A recording played to the viewer: it waits for a page, keeps the
recorded pace, pauses, seeks, loops and ends as asked."""
import threading
import time

import numpy as np
import pytest

pytest.importorskip("mcap")
pytest.importorskip("mcap_ros2")

import quorvex  # noqa: E402
from quorvex import recording  # noqa: E402
from quorvex.viewer.playback import Playback  # noqa: E402

N, W, H = 10, 16, 12


@pytest.fixture
def path(tmp_path):
    info = quorvex.StreamInfo(source="test", variant="hqvga", width=W, height=H, output="depth",
                              intrinsics=quorvex.nominal_intrinsics(W, H))
    p = tmp_path / "ten.mcap"
    with recording.RecordingWriter(p, info, compression="none") as w:
        for i in range(N):
            depth = np.full((H, W), 1000.0 + i, np.float32)
            w.offer(quorvex.Frame(sequence=i, timestamp_ms=1000 + 20 * i, host_time_ns=0, dropped=0, width=W,
                                  height=H, output="depth", depth=depth, amplitude=depth,
                                  confidence=depth), block=True)
    return p


def played(path, **kw):
    return Playback(quorvex.open_recording(path, realtime=False), **kw)


class Taker:
    """Reads a playback's frames in a thread: [(position, depth at 0,0, sequence)]."""

    def __init__(self, playback, ack=True):
        self.ack = ack
        self.got, self.done = [], threading.Event()
        self.thread = threading.Thread(target=self._run, args=(playback,), daemon=True)
        self.thread.start()

    def _run(self, playback):
        for f in playback.frames():
            self.got.append((playback.position, round(float(f.depth[0, 0])) - 1000, f.sequence))
            if self.ack:
                playback.frame_shown()
        self.done.set()

    def wait(self, n, seconds=30.0):
        end = time.monotonic() + seconds
        while len(self.got) < n and time.monotonic() < end:
            time.sleep(0.01)
        return len(self.got)


def test_waits_for_a_page_then_plays_at_the_recorded_pace_and_exits_at_the_end(path):
    p = played(path, exit_at_end=True)
    assert p.length == N
    t = Taker(p, ack=False)
    time.sleep(0.3)
    assert t.got == []
    p.page_opened()
    # The first frame, held until a page has drawn it.
    assert t.wait(1) == 1
    time.sleep(0.3)
    assert len(t.got) == 1
    began = time.monotonic()
    p.frame_shown()
    assert t.done.wait(30)
    assert [g[:2] for g in t.got] == [(i, i) for i in range(N)]
    assert time.monotonic() - began >= 0.9 * 20 * (N - 2) / 1000  # the pace starts anew at frame 1


def test_end_pause_seek_play_and_loop(path):
    p = played(path, wait_for_page=False)
    changes = []
    p.on_change = lambda pb: changes.append(pb.ended)
    t = Taker(p)
    assert t.wait(N) == N
    end = time.monotonic() + 30
    while not p.ended and time.monotonic() < end:
        time.sleep(0.01)
    assert p.ended and changes == [True] and p.controls()["playing"]["value"] == 0
    # Seeking while stopped shows that one frame, and nothing after it.
    p.set("position", 7)
    assert t.wait(N + 1) == N + 1 and t.got[-1][:2] == (7, 7)
    time.sleep(0.2)
    assert len(t.got) == N + 1 and changes == [True, False]
    # Backwards, then playing on from there; sequences never go back.
    p.set("position", 2)
    p.set("playing", 1)
    assert t.wait(N + 1 + 8) == N + 9
    assert [g[0] for g in t.got[N + 1:]] == list(range(2, 10))
    assert [g[2] for g in t.got] == list(range(N + 9))
    # Looping from the end back to the start.
    p.set("loop", 1)
    p.set("playing", 1)
    assert t.wait(N + 9 + 12) == N + 21
    # It plays on until told to stop: only the first twelve are judged.
    assert [g[0] for g in t.got[N + 9:N + 21]] == list(range(10)) + [0, 1]
    p.set("playing", 0)
    time.sleep(0.1)
    n = len(t.got)
    time.sleep(0.2)
    assert len(t.got) == n
    p.close()
    assert t.done.wait(30)


def test_unknown_transport_control_is_refused(path):
    with pytest.raises(ValueError, match="no control 'speed'"):
        played(path).set("speed", 2)
