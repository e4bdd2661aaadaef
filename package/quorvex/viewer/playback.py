"""A recording played to the viewer's pages: it waits for the first page,
then plays at the recorded pace, and pages can pause, seek and loop it.

`Playback` is a source like any other (`.info`, `.frames()`, `.close()`);
the viewer finds its transport through `controls()` and `set()`, and tells
it that a page opened with `page_opened()`.
"""
import threading
import time

from ..recording import scan_recording

END_TEXT = "end of the recording"
FIRST_FRAME_WAIT_S = 10.0


class Playback:
    """Plays `recording` (a `quorvex.Recording`, opened with realtime=False:
    the pace is kept here, so that pausing and seeking can interrupt it).

    `wait_for_page`: nothing is read before the first page opens.
    `exit_at_end`: `frames()` ends after the last frame (the viewer's server
    then stops); otherwise the end is shown and a page may seek or play again.
    `on_change(state)` is called from the reading thread when the playback
    changes by itself: at the end, and when it starts again."""

    def __init__(self, recording, wait_for_page=True, loop=False, exit_at_end=False):
        self.recording = recording
        self.info = recording.info
        _report, _counts, stamps = scan_recording(recording.path)
        self.length = len(stamps)
        self.exit_at_end = exit_at_end
        self.on_change = None
        self.position = None  # index of the frame last yielded
        self.ended = False
        self._cond = threading.Condition()
        self._started = not wait_for_page
        self._playing = True
        self._loop = bool(loop)
        self._seek = None
        self._closed = False
        self._shown = False  # a page has drawn a frame

    # What the viewer offers and sets ----------------------------------------
    def controls(self):
        """The transport as viewer controls (names, kinds and values)."""
        with self._cond:
            last = max(self.length - 1, 0)
            return {
                "playing": {"label": "Play", "kind": "choice", "choices": [0, 1], "widget": "toggle",
                            "value": int(self._playing), "unit": "", "group": "playback"},
                "position": {"label": "Frame", "kind": "int", "min": 0, "max": last, "widget": "slider",
                             "value": self.position or 0, "unit": f"of {self.length}",
                             "group": "playback"},
                "loop": {"label": "Loop", "kind": "choice", "choices": [0, 1], "widget": "toggle",
                         "value": int(self._loop), "unit": "", "group": "playback"},
            }

    def set(self, name, value):
        with self._cond:
            if name == "playing":
                self._playing = bool(value)
                if self._playing and self.ended:
                    self._seek = 0  # play after the end: from the start
            elif name == "position":
                self._seek = int(value)
            elif name == "loop":
                self._loop = bool(value)
            else:
                raise ValueError(f"playback has no control {name!r}")
            self._cond.notify_all()

    def page_opened(self):
        with self._cond:
            self._started = True
            self._cond.notify_all()

    def frame_shown(self):
        """A page acknowledged a frame it drew."""
        if not self._shown:
            with self._cond:
                self._shown = True
                self._cond.notify_all()

    @property
    def waiting_for_page(self):
        return not self._started

    def close(self):
        with self._cond:
            self._closed = True
            self._cond.notify_all()
        self.recording.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # Frames --------------------------------------------------------------------
    def _changed(self):
        if self.on_change is not None:
            self.on_change(self)

    def frames(self, max_frames=None, stall_timeout=None):
        """The frames as a page should see them; `sequence` counts the frames
        yielded (it never goes back when the recording does), `position`
        says where in the recording each one is."""
        with self._cond:
            while not self._started and not self._closed:
                self._cond.wait(0.5)
        reader, index, count, clock = None, 0, 0, None
        try:
            while not self._closed and (max_frames is None or count < max_frames):
                show_one = False
                with self._cond:
                    while not self._closed and self._seek is None and (not self._playing or self.ended):
                        self._cond.wait(0.5)
                    if self._closed:
                        return
                    if self._seek is not None:
                        target = min(max(self._seek, 0), max(self.length - 1, 0))
                        self._seek = None
                        show_one = not self._playing
                        if reader is None or target < index:
                            reader, index = _restart(reader, self.recording), 0
                        # The file is read in order: a seek forward decodes
                        # the frames it passes over.
                        while index < target and next(reader, None) is not None:
                            index += 1
                        clock = None
                        if self.ended:
                            self.ended = False
                            self._changed()
                if reader is None:
                    reader, index = _restart(reader, self.recording), 0
                frame = next(reader, None)
                if frame is None:
                    if self._loop and index > 0:
                        reader, index, clock = _restart(reader, self.recording), 0, None
                        continue
                    if self.exit_at_end:
                        return
                    with self._cond:
                        self.ended = True
                        self._playing = False
                    self._changed()
                    continue
                if not show_one and clock is not None and not self._pace(frame.timestamp_ms, clock):
                    clock = None  # paused or moved while waiting: the pace starts anew
                    with self._cond:
                        if self._seek is None and not self._playing:
                            # Pausing keeps the frame that was due: it is the next one shown.
                            reader = _prepend(frame, reader)
                            continue
                if clock is None or frame.timestamp_ms < clock[0]:
                    clock = (frame.timestamp_ms, time.monotonic())
                self.position = index
                index += 1
                frame.sequence = count
                count += 1
                frame.host_time_ns = time.monotonic_ns()
                yield frame
                if count == 1 and not self._shown:
                    # The first page sees the first frame, however long it
                    # takes to load: the next waits until it has been drawn.
                    with self._cond:
                        end = time.monotonic() + FIRST_FRAME_WAIT_S
                        while not self._shown and not self._closed and time.monotonic() < end:
                            self._cond.wait(0.1)
                    clock = None
        finally:
            if reader is not None:
                reader.close()

    def _pace(self, timestamp_ms, clock):
        """Waits until the frame is due; False when a pause or seek came first."""
        due = clock[1] + (timestamp_ms - clock[0]) / 1000.0
        with self._cond:
            while True:
                if self._closed or self._seek is not None or not self._playing:
                    return False
                left = due - time.monotonic()
                if left <= 0:
                    return True
                self._cond.wait(min(left, 0.5))


def _restart(reader, recording):
    if reader is not None:
        reader.close()
    return iter(recording.frames(realtime=False))


def _prepend(frame, reader):
    yield frame
    yield from reader
