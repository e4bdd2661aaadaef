"""Colour maps and the automatic colour range, shared by every picture of
depth this package makes (the demo's pictures, the web viewer's page): the
same map, direction and range rule everywhere, so a colour means the same
distance in all of them.

Near is the low end of a map (dark blue in "turbo"), far the high end.
Invalid pixels (depth 0) get a colour of their own that the map never uses.
"""
import numpy as np

# Each map as stops (position 0..1, red, green, blue), interpolated linearly
# into a 256-entry table. "turbo" follows the usual rainbow from dark blue
# through cyan, green and yellow to dark red, brighter in its middle than at
# its ends.
_STOPS = {
    "turbo": ((0.00, 48, 18, 59), (0.10, 67, 72, 178), (0.20, 70, 120, 238), (0.30, 52, 165, 251),
              (0.40, 28, 208, 213), (0.50, 40, 236, 160), (0.60, 110, 254, 96), (0.70, 180, 248, 55),
              (0.80, 233, 208, 55), (0.87, 252, 160, 48), (0.94, 228, 84, 20), (1.00, 122, 4, 3)),
    "grey": ((0.0, 0, 0, 0), (1.0, 255, 255, 255)),
    "heat": ((0.0, 10, 0, 0), (0.35, 190, 20, 0), (0.7, 255, 170, 0), (1.0, 255, 255, 210)),
}
# Not part of their map: grey for the coloured maps, magenta for grey.
_INVALID = {"turbo": (128, 128, 128), "grey": (200, 0, 200), "heat": (70, 110, 180)}
DEFAULT = "turbo"
NAMES = tuple(_STOPS)

# The automatic range: these percentiles of the valid depths, read from a
# histogram of BIN_MM-wide bins over at most SAMPLES pixels, so that a few
# stray pixels do not squash the rest and no sort is needed.
LOW_PERCENTILE, HIGH_PERCENTILE = 0.02, 0.98
BIN_MM = 16
SAMPLES = 40000
DEFAULT_RANGE = (0, 4000)


def _table(stops):
    t = np.linspace(0.0, 1.0, 256)
    pos = np.array([s[0] for s in stops])
    return np.stack([np.rint(np.interp(t, pos, [s[c] for s in stops])) for c in (1, 2, 3)],
                    axis=1).astype(np.uint8)


_TABLES = {name: _table(stops) for name, stops in _STOPS.items()}
for _t in _TABLES.values():
    _t.flags.writeable = False


def colormap(name=DEFAULT):
    """The 256 x 3 uint8 table of a map (index 0: the near end)."""
    try:
        return _TABLES[name]
    except KeyError:
        raise ValueError(f"unknown colour map {name!r} (one of {', '.join(NAMES)})") from None


def invalid_colour(name=DEFAULT):
    """The colour of invalid pixels in pictures drawn with that map."""
    colormap(name)
    return _INVALID[name]


def depth_mm(depth):
    """Depth as the pictures see it: whole millimetres, 0 where invalid or
    not finite (as the viewer sends it to its pages)."""
    d = np.nan_to_num(np.asarray(depth, dtype=np.float64), nan=0.0, posinf=0.0, neginf=0.0)
    return np.clip(np.rint(d), 0, 65535).astype(np.uint16)


def auto_range(depth):
    """(near, far) in mm for a depth image in mm: the automatic colour range."""
    d = depth_mm(depth).ravel()
    step = max(1, d.size // SAMPLES)
    sample = d[::step]
    sample = sample[sample > 0]
    if sample.size < 2:
        return DEFAULT_RANGE
    cumulative = np.cumsum(np.bincount(sample >> 4, minlength=65536 // BIN_MM))

    def percentile(q):
        return int(np.searchsorted(cumulative, q * sample.size)) * BIN_MM + BIN_MM // 2

    lo, hi = percentile(LOW_PERCENTILE), percentile(HIGH_PERCENTILE)
    return (lo, hi) if hi > lo else (lo - BIN_MM // 2, lo + BIN_MM // 2)


def colour_index(depth, lo, hi):
    """The table index of each depth (mm) in the range lo..hi: 256 equal
    steps, clipped at both ends."""
    if not hi > lo:
        raise ValueError(f"a colour range needs far > near, not {lo} .. {hi}")
    d = depth_mm(depth).astype(np.float64)
    return np.clip(np.floor((d - lo) * 256.0 / (hi - lo)), 0, 255).astype(np.uint8)


def colorize(depth, lo=None, hi=None, name=DEFAULT):
    """An (H, W, 3) uint8 picture of a depth image in mm; the range defaults
    to auto_range(depth)."""
    if lo is None or hi is None:
        auto = auto_range(depth)
        lo = auto[0] if lo is None else lo
        hi = auto[1] if hi is None else hi
    rgb = colormap(name)[colour_index(depth, lo, hi)]
    rgb[depth_mm(depth) == 0] = invalid_colour(name)
    return rgb


def ticks(lo, hi, most=6):
    """Round values (1, 2 or 5 times a power of ten) inside lo..hi for a
    colour bar: at most `most` of them."""
    span = float(hi - lo)
    if not span > 0:
        return [lo]
    for power in range(-3, 8):
        for m in (1, 2, 5):
            step = m * 10.0 ** power
            first = np.ceil(lo / step) * step
            n = int(np.floor((hi - first) / step + 1e-9)) + 1
            if n <= most:
                return [round(first + i * step, 6) for i in range(n)]
    return [lo, hi]


def tables_for_page():
    """Every map as the viewer's page receives it (plain lists)."""
    return {name: {"table": _TABLES[name].ravel().tolist(), "invalid": list(_INVALID[name])}
            for name in NAMES}


__all__ = ["colormap", "colorize", "auto_range", "colour_index", "invalid_colour", "ticks",
           "depth_mm", "NAMES", "DEFAULT"]
