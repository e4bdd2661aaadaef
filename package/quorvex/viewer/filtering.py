"""The viewer's own depth filters: the source streams raw depth, and the
viewer runs a `quorvex.Filters` over it, so that a page can switch between
the raw and the filtered picture of the same stream and move the
confidence threshold while it watches.

The pages change the settings from the server's event loop; the chain runs
on the thread that reads the source. Settings are handed over as plain
values and applied by that thread just before the next frame, so the
chain itself is only ever touched by one thread.
"""
from ..filters import Filters, StreamFilter, make_filters, stream_range

CONTROLS = ("filtered", "confidence")
# The slider is the chain's allowed predicted noise (max_noise, a fraction
# of the depth) in per mille: whole numbers, as every page control is.
PER_MILLE = 1000
NOISE_MIN, NOISE_MAX = 1, 100


def filters_upstream(info):
    """True when the source's frames come filtered already (a camera that
    filters by itself, a recording made with --filters): their raw depth
    is gone, so the viewer has nothing to switch."""
    return info.filters is not None


class ViewerFilters:
    """A filter chain over one source's raw depth, switched and tuned from
    the pages. `filters`: a preset name or a `quorvex.Filters` (kept and
    used as it is); `filtered`: what the pages see first. The range is the
    source's info's, then what `range_changed` says."""

    def __init__(self, filters, info, filtered=True):
        chain = make_filters(filters)
        if not isinstance(chain, Filters):
            raise ValueError(f"the viewer's filters must be a preset name or a Filters, not {filters!r}")
        range_mm = stream_range(info)
        if range_mm is None:
            raise ValueError("the viewer's filters need the range of the frames (a source whose info has "
                             "a 'range' control); view --filters none shows such a source raw")
        self.stream = StreamFilter(chain, info.variant, range_mm)
        self.filters = chain
        # Written from the event loop, read by the reading thread.
        self.enabled = bool(filtered)
        self._noise = chain.max_noise
        self._restart = False

    def controls(self):
        """The raw/filtered toggle and the threshold slider as page controls."""
        noise = min(max(round(self.filters.max_noise * PER_MILLE), NOISE_MIN), NOISE_MAX)
        return {
            "filtered": {"label": "Filtered", "kind": "choice", "choices": [0, 1], "widget": "toggle",
                         "value": int(self.enabled), "unit": "", "group": "filters"},
            "confidence": {"label": "Confidence: noise at most", "kind": "int", "min": NOISE_MIN,
                           "max": NOISE_MAX, "widget": "slider", "value": noise,
                           "unit": "\u2030 of the depth", "group": "filters"},
        }

    def set(self, name, value):
        """A page's change (from the event loop; values already checked)."""
        if name == "filtered":
            self.enabled = bool(value)
        elif name == "confidence":
            self._noise = value / PER_MILLE
        else:
            raise ValueError(f"the viewer's filters have no control {name!r}")

    def range_changed(self, range_mm):
        """The source's range or frequency mode was set: the aliasing test
        follows the range, and the temporal average starts again with the
        next frame even where the range stayed (a new mode measures anew)."""
        self.stream.range_mm = int(range_mm)
        self._restart = True

    def apply(self, frame, position=None):
        """(frame to show, whether its depth is filtered), on the reading
        thread. `position`: the frame's index in a recording, None live."""
        if self._restart:
            self._restart = False
            self.stream.restart()
        if not self.enabled:
            # Raw frames shown: the filtered ones after them start afresh.
            self.stream.restart()
            return frame, False
        # The chain is touched by this thread only: the slider's value is
        # handed over here.
        if self.filters.max_noise != self._noise:
            self.filters.max_noise = self._noise
        return self.stream.apply(frame, position)
