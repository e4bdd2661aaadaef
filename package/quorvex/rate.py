"""The one measure of frames per second used by every tool."""
import collections
import time


class RateMeter:
    """Frames per second over the last `window` arrivals: what the stream
    does now, not an average since the start, which hides a stall."""

    def __init__(self, window=30, clock=time.monotonic):
        self._times = collections.deque(maxlen=max(2, int(window)))
        self._clock = clock
        self.count = 0

    def tick(self, now=None):
        """Counts one frame arriving at `now` (seconds; default the clock);
        returns the rate."""
        self._times.append(self._clock() if now is None else now)
        self.count += 1
        return self.rate

    @property
    def rate(self):
        t = self._times
        if len(t) < 2 or t[-1] <= t[0]:
            return 0.0
        return (len(t) - 1) / (t[-1] - t[0])

    @property
    def period(self):
        """Seconds between frames now; None before two frames."""
        rate = self.rate
        return 1.0 / rate if rate > 0 else None


def per_second(count, seconds):
    """A summary's rate: `count` over `seconds`, 0 for no time."""
    return count / seconds if seconds > 0 else 0.0
