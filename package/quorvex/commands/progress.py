"""The progress line of a command that streams."""
import sys
import time


class Progress:
    """One status line on standard error. On a terminal it is redrawn in
    place (\\r) at most every `redraw` seconds; anywhere else (a log file,
    a pipe, a service's journal) it is a plain line every `interval`
    seconds, so that a log holds readable lines instead of one that never
    ends. `quiet`: nothing at all."""

    def __init__(self, quiet=False, stream=None, redraw=0.25, interval=10.0, clock=time.monotonic):
        self._stream = sys.stderr if stream is None else stream
        self._quiet = quiet
        isatty = getattr(self._stream, "isatty", None)
        self._tty = bool(isatty and isatty())
        self._every = redraw if self._tty else interval
        self._clock = clock
        self._next = clock() + (0 if self._tty else interval)
        self._drawn = 0  # width of the line on the terminal

    def update(self, text):
        """Shows `text` if it is time to."""
        if self._quiet:
            return
        now = self._clock()
        if now < self._next:
            return
        self._next = now + self._every
        if self._tty:
            # Spaces wipe what a longer line left behind.
            self._stream.write("\r" + text.ljust(self._drawn))
            self._drawn = len(text)
        else:
            self._stream.write(text + "\n")
        self._stream.flush()

    def close(self):
        """Ends the line on a terminal, so what follows starts on its own."""
        if self._drawn:
            self._stream.write("\n")
            self._stream.flush()
            self._drawn = 0
