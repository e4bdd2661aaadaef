"""How well filtered depth matches the scene: figures computed from the
simulated module's ground truth (sim_truth), never from the filters' own
tests. Shared by the filter tests and the quality report of `make bench`.

Pixel classes, per frame, from the truth alone (the nearest and farthest
true depth of a 5 x 5 window are a pixel's foreground and background; the
window is wider than the edge itself because motion during a frame smears
mixed pixels over more than one column):
- flying: near the silhouette of an object, a raw reading more than 50 mm
  from the foreground, the background and the pixel's own surface, within
  the range;
- outlier: the same away from edges, a raw reading more than 50 mm off
  the one surface there (noise of weak returns, multipath);
- surface: every pixel of a 5 x 5 window fully covered by one surface
  (away from silhouettes), within the range, with a raw reading;
- aliased: the truth beyond the range, yet a raw reading (it wrapped).
"""
import numpy as np

from sim_truth import ground_truth

FLYING_MM = 50.0


def _window(a, r, op):
    p = np.pad(a, r, mode="edge")
    h, w = a.shape
    out = a.copy()
    for dy in range(2 * r + 1):
        for dx in range(2 * r + 1):
            out = op(out, p[dy:dy + h, dx:dx + w])
    return out


class Truth:
    """The truth of one frame and the pixel classes it defines."""

    def __init__(self, depth, cover, raw, range_mm):
        self.depth = depth
        near, far = _window(depth, 2, np.minimum), _window(depth, 2, np.maximum)
        self.near, self.far = near, far
        inside = (far < range_mm) & (depth > 0)
        read = raw > 0
        off = read & inside & self.astray(raw)
        # Edges are where one object ends before another (a pixel of the
        # window part covered); a face seen at a grazing angle spans as much
        # depth, but is one surface: its strays are outliers.
        edge = _window(cover, 2, np.minimum) < 1.0
        self.flying = off & edge
        self.outlier = off & ~edge
        whole = (_window(cover, 2, np.minimum) >= 1.0) & (_window(depth, 2, np.maximum) < range_mm)
        self.surface = read & whole
        self.aliased = read & (depth >= range_mm)

    def astray(self, d):
        """Readings more than 50 mm from the pixel's own surface and from
        the foreground and background around it (a box's side face lies
        between the two and is no flying pixel)."""
        return ((np.abs(d - self.depth) > FLYING_MM) & (np.abs(d - self.near) > FLYING_MM)
                & (np.abs(d - self.far) > FLYING_MM))


def truths(config_path, frames, range_mm, raw=True):
    """A Truth per frame (the module's frame `sequence`). With `raw`
    false the frames are filtered ones: every pixel counts as read."""
    out = []
    for f in frames:
        depth, cover = ground_truth(str(config_path), f.width, f.height, f.sequence)
        read = f.depth if raw else np.ones_like(f.depth)
        out.append(Truth(depth.astype(np.float64), cover, read.astype(np.float64), range_mm))
    return out


class Tally:
    """Counts over many frames of one scene for one way of filtering."""

    CLASSES = ("flying", "outlier", "surface", "aliased")

    def __init__(self):
        self.n = dict.fromkeys(self.CLASSES, 0)
        self.hit = dict.fromkeys(self.CLASSES, 0)
        self.sq = {"raw": 0.0, "out": 0.0}
        self.count = 0
        self.wrong = {"raw": 0, "out": 0}
        self.frames = 0

    def add(self, truth, raw, out, judge=None):
        """One frame: `raw` the unfiltered depth, `out` the filtered one.
        The RMS error is taken on the surface pixels of `judge` (all of
        them when None) that both keep; None skips it for this frame."""
        gone = out <= 0
        for name in self.CLASSES:
            mask = getattr(truth, name)
            self.n[name] += int(mask.sum())
            self.hit[name] += int((mask & (gone != (name == "surface"))).sum())
        if judge is not False:
            both = truth.surface & ~gone & (True if judge is None else judge)
            self.sq["raw"] += float(((raw[both] - truth.depth[both]) ** 2).sum())
            self.sq["out"] += float(((out[both] - truth.depth[both]) ** 2).sum())
            self.count += int(both.sum())
        # Kept readings more than 50 mm from every surface of their window:
        # flying pixels left, and trails of surfaces that have gone.
        for name, d in (("raw", raw), ("out", out)):
            self.wrong[name] += int(((d > 0) & truth.astray(d)).sum())
        self.frames += 1

    def share(self, name):
        """Share of the class's pixels judged right (invalidated, or for
        surfaces kept); None when the scene has none."""
        return self.hit[name] / self.n[name] if self.n[name] else None

    def rms(self, which):
        return (self.sq[which] / self.count) ** 0.5 if self.count else None


def swept(previous, truth, mm=1.0):
    """Pixels whose truth changed over the frames in `previous` (Truths):
    where a moving surface is, or was a moment ago."""
    out = np.zeros(truth.depth.shape, bool)
    for p in previous:
        out |= np.abs(p.depth - truth.depth) > mm
    return out
