"""Camera intrinsics and point clouds (pure data and numpy)."""
import functools
import math
import numbers
from dataclasses import dataclass

import numpy as np


DISTORTION_FIELDS = ("k1", "k2", "p1", "p2", "k3")


@dataclass(frozen=True)
class Intrinsics:
    """A lens in pixels, optical-frame axes (x right, y down, z forward), in
    the convention of OpenCV and ROS CameraInfo: the centre of pixel (u, v)
    is at (u, v). `k1`, `k2`, `p1`, `p2`, `k3` are the plumb-bob distortion
    (radial k, tangential p; ROS's D in that order); all zero is a pinhole."""

    width: int
    height: int
    fx: float
    fy: float
    cx: float
    cy: float
    k1: float = 0.0
    k2: float = 0.0
    p1: float = 0.0
    p2: float = 0.0
    k3: float = 0.0

    @property
    def distortion(self):
        """(k1, k2, p1, p2, k3)."""
        return tuple(getattr(self, n) for n in DISTORTION_FIELDS)

    @property
    def distorted(self):
        return any(v != 0.0 for v in self.distortion)

    def __post_init__(self):
        # A zero, negative or non-finite focal length turns every ray into
        # NaN or flips it: refused here rather than found in the points.
        for name in ("width", "height"):
            v = getattr(self, name)
            if isinstance(v, bool) or not isinstance(v, numbers.Integral) or v <= 0:
                raise ValueError(f"intrinsics: {name} must be a positive integer, not {v!r}")
        for name in ("fx", "fy", "cx", "cy") + DISTORTION_FIELDS:
            v = getattr(self, name)
            if isinstance(v, bool) or not isinstance(v, numbers.Real) or not math.isfinite(v):
                raise ValueError(f"intrinsics: {name} must be a finite number, not {v!r}")
            if name in ("fx", "fy") and v <= 0:
                raise ValueError(f"intrinsics: {name} must be positive, not {v!r}")


def intrinsics_to_dict(intrinsics):
    """The lens as plain JSON-ready values; the distortion only when there
    is one, so that a pinhole's description reads as it always did (and as
    older readers expect)."""
    k = intrinsics
    d = {n: getattr(k, n) for n in ("width", "height", "fx", "fy", "cx", "cy")}
    if k.distorted:
        d.update(zip(DISTORTION_FIELDS, k.distortion))
    return d


def intrinsics_from_dict(d):
    """Inverse of `intrinsics_to_dict` (missing distortion: none)."""
    return Intrinsics(**d)


def nominal_intrinsics(width, height, horizontal_fov_deg=60.0):
    """Nominal intrinsics of a module variant: a pinhole with its axis
    through the image centre and a 60-degree horizontal field of view. These
    are nominal values (the simulated module's lens), not a calibration."""
    f = (width / 2.0) / math.tan(math.radians(horizontal_fov_deg) / 2.0)
    return Intrinsics(width=width, height=height, fx=f, fy=f, cx=(width - 1) / 2.0,
                      cy=(height - 1) / 2.0)


def distort(intrinsics, x, y):
    """Plumb-bob distortion of normalised image coordinates (x, y): where
    the ray through (x, y, 1) lands, still normalised (multiply by the focal
    lengths and add the principal point for pixels)."""
    k1, k2, p1, p2, k3 = intrinsics.distortion
    x, y = np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64)
    r2 = x * x + y * y
    radial = 1.0 + r2 * (k1 + r2 * (k2 + r2 * k3))
    return (x * radial + 2.0 * p1 * x * y + p2 * (r2 + 2.0 * x * x),
            y * radial + p1 * (r2 + 2.0 * y * y) + 2.0 * p2 * x * y)


def project(intrinsics, points):
    """Pixel coordinates (N, 2) of camera-frame points (N, 3) through the
    lens, distortion included."""
    p = np.asarray(points, dtype=np.float64).reshape(-1, 3)
    xd, yd = distort(intrinsics, p[:, 0] / p[:, 2], p[:, 1] / p[:, 2])
    k = intrinsics
    return np.stack([k.fx * xd + k.cx, k.fy * yd + k.cy], axis=-1)


# Newton's method on the 2 x 2 distortion map converges quadratically from
# the distorted point itself for any lens a calibration accepts; the cap only
# guards against a lens that folds over inside the image.
_UNDISTORT_ITERATIONS = 30
_UNDISTORT_TOLERANCE = 1e-12


def undistort(intrinsics, xd, yd):
    """Inverse of `distort`: normalised (x, y) whose distorted image is
    (xd, yd), found by Newton's method (no OpenCV needed). NaN where it does
    not converge (a lens that folds the image over there)."""
    k1, k2, p1, p2, k3 = intrinsics.distortion
    xd, yd = np.asarray(xd, dtype=np.float64), np.asarray(yd, dtype=np.float64)
    x, y = xd.copy(), yd.copy()
    for _ in range(_UNDISTORT_ITERATIONS):
        r2 = x * x + y * y
        radial = 1.0 + r2 * (k1 + r2 * (k2 + r2 * k3))
        slope = k1 + r2 * (2.0 * k2 + 3.0 * k3 * r2)  # d radial / d r2
        ex = x * radial + 2.0 * p1 * x * y + p2 * (r2 + 2.0 * x * x) - xd
        ey = y * radial + p1 * (r2 + 2.0 * y * y) + 2.0 * p2 * x * y - yd
        a = radial + 2.0 * x * x * slope + 2.0 * p1 * y + 6.0 * p2 * x
        b = 2.0 * x * y * slope + 2.0 * p1 * x + 2.0 * p2 * y
        d = radial + 2.0 * y * y * slope + 6.0 * p1 * y + 2.0 * p2 * x
        det = a * d - b * b
        with np.errstate(divide="ignore", invalid="ignore"):
            dx = (d * ex - b * ey) / det
            dy = (a * ey - b * ex) / det
        x, y = x - dx, y - dy
        if not (np.nanmax(np.abs(dx), initial=0.0) > _UNDISTORT_TOLERANCE
                or np.nanmax(np.abs(dy), initial=0.0) > _UNDISTORT_TOLERANCE):
            break
    # A pixel whose Newton step went wild, or landed where the map's slope
    # turns (the fold beyond which the lens shows no ray), has no ray.
    ex, ey = distort(intrinsics, x, y)
    bad = ~(np.abs(ex - xd) < 1e-9) | ~(np.abs(ey - yd) < 1e-9)
    x[bad] = np.nan
    y[bad] = np.nan
    return x, y


@functools.lru_cache(maxsize=8)
def _unit_rays(intrinsics):
    # Computed once per lens in float64, then kept in float32: the module
    # measures the distance along these rays, not along the optical axis.
    k = intrinsics
    u = (np.arange(k.width, dtype=np.float64) - k.cx) / k.fx
    v = (np.arange(k.height, dtype=np.float64) - k.cy) / k.fy
    x, y = np.meshgrid(u, v)
    if k.distorted:
        x, y = undistort(k, x, y)
    rays = np.stack([x, y, np.ones_like(x)], axis=-1)
    rays /= np.linalg.norm(rays, axis=-1, keepdims=True)
    rays = rays.astype(np.float32)
    rays.flags.writeable = False
    return rays


def depth_to_points(depth, intrinsics=None, organised=False, scale=0.001):
    """Points in metres, camera coordinates (x right, y down, z forward),
    from a depth image of radial distances in millimetres (0 = invalid).

    `organised=False`: an (N, 3) float32 array of the valid pixels, in row
    order. `organised=True`: an (H, W, 3) float32 array, NaN where the depth
    is invalid. `intrinsics` defaults to the nominal ones of the image size;
    with distortion, each pixel's ray is the lens's true one (undistorted
    once per lens and kept). `scale` converts the depth's unit to metres."""
    depth = np.asarray(depth)
    if depth.ndim != 2:
        raise ValueError(f"depth must be an (H, W) image, not of shape {depth.shape}")
    h, w = depth.shape
    k = nominal_intrinsics(w, h) if intrinsics is None else intrinsics
    if not isinstance(k, Intrinsics):
        # Any record with the fields will do; as Intrinsics it is checked.
        k = Intrinsics(k.width, k.height, k.fx, k.fy, k.cx, k.cy,
                       *(getattr(k, n, 0.0) for n in DISTORTION_FIELDS))
    if (k.width, k.height) != (w, h):
        raise ValueError(f"intrinsics are for {k.width} x {k.height}, the depth image is {w} x {h}")
    rays = _unit_rays(k)
    r = depth.astype(np.float32, copy=False) * np.float32(scale)
    valid = np.isfinite(r) & (r > 0)
    if k.distorted:
        valid &= np.isfinite(rays[..., 0])
    if organised:
        points = rays * r[..., None]
        points[~valid] = np.nan
        return points
    return rays[valid] * r[valid][:, None]


def save_ply(path, points, colors=None):
    """Writes points ((N, 3) or organised (H, W, 3); rows with NaN left
    out) as a binary little-endian PLY file of float x, y, z, with uchar
    red, green, blue when `colors` ((N, 3) or (H, W, 3) uint8) is given.
    Returns the number of points written."""
    pts = np.asarray(points, dtype=np.float32).reshape(-1, 3)
    keep = np.isfinite(pts).all(axis=1)
    fields = [("x", "<f4"), ("y", "<f4"), ("z", "<f4")]
    if colors is not None:
        cols = np.asarray(colors, dtype=np.uint8).reshape(-1, 3)
        if len(cols) != len(pts):
            raise ValueError(f"{len(cols)} colours for {len(pts)} points")
        fields += [("red", "u1"), ("green", "u1"), ("blue", "u1")]
    rows = np.empty(int(keep.sum()), dtype=fields)
    for i, axis in enumerate("xyz"):
        rows[axis] = pts[keep, i]
    if colors is not None:
        for i, c in enumerate(("red", "green", "blue")):
            rows[c] = cols[keep, i]
    header = ["ply", "format binary_little_endian 1.0", f"element vertex {len(rows)}"]
    header += [f"property {'float' if t == '<f4' else 'uchar'} {n}" for n, t in fields]
    header.append("end_header")
    with open(path, "wb") as f:
        f.write(("\n".join(header) + "\n").encode("ascii"))
        f.write(rows.tobytes())
    return len(rows)
