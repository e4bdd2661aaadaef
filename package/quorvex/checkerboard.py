"""Calibrating a lens from amplitude images of a printed checkerboard, with
OpenCV (the `calibrate` extra). What `python -m quorvex calibrate` runs;
nothing else in the package imports it, and using a calibration never
needs OpenCV.

    views = [v for v in (find_board(f.amplitude, (9, 6)) for f in frames) if v is not None]
    result = calibrate(views, (width, height), (9, 6), 0.030)
    check(result)                  # CalibrationRefused: too few views, ...
    result.intrinsics              # quorvex.Intrinsics with the distortion
"""
from dataclasses import dataclass, field
from typing import List

import numpy as np

import cv2

from .errors import CameraError
from .geometry import Intrinsics

# A result is trusted only with this many views of the board ...
MIN_VIEWS = 10
# ... corners in every one of these image regions (3 x 3) ...
REGIONS = 3
# ... and at most this reprojection error (RMS over all corners, pixels).
MAX_RMS_PX = 1.0
# Amplitude images of a 240 x 180 module show 30 mm squares 4 to 10 pixels
# wide: the detector sees them this many times larger (found in 39 of 40
# simulated views at 3, 29 at 1).
_UPSCALE = 3


class CalibrationRefused(CameraError):
    """A calibration that cannot be trusted; the message is one line that
    says what to do."""


@dataclass
class View:
    """The board's inner corners found in one image ((N, 2) float32 pixels,
    row by row), and which frame it was."""

    corners: np.ndarray
    sequence: int = -1


@dataclass
class Result:
    intrinsics: Intrinsics
    rms_px: float                  # over every corner of every view
    view_rms_px: List[float]       # per view, in the order given
    views: List[View] = field(default_factory=list)
    image_size: tuple = (0, 0)


def to_gray(amplitude):
    """8-bit image of an amplitude plane: scaled to its brightest part (the
    99.5th percentile, so a few hot pixels do not darken the rest)."""
    a = np.nan_to_num(np.asarray(amplitude, dtype=np.float32), nan=0.0, posinf=0.0, neginf=0.0)
    top = float(np.percentile(a, 99.5)) if a.size else 0.0
    if not top > 0:
        return np.zeros(a.shape, np.uint8)
    return np.clip(a * (255.0 / top), 0, 255).astype(np.uint8)


def find_board(amplitude, size, sequence=-1):
    """The board's `size` = (columns, rows) inner corners in an amplitude
    image, as a View, or None when the whole board is not seen."""
    gray = to_gray(amplitude)
    big = cv2.resize(gray, None, fx=_UPSCALE, fy=_UPSCALE, interpolation=cv2.INTER_CUBIC)
    # The sector-based detector's own sub-pixel fit is the more accurate on
    # squares this small (measured: 0.05 px RMS against 0.19 px after a
    # gradient refinement, whose window reaches the next corners).
    found, corners = cv2.findChessboardCornersSB(big, tuple(size),
                                                 flags=cv2.CALIB_CB_EXHAUSTIVE | cv2.CALIB_CB_ACCURACY)
    if not found:
        found, corners = cv2.findChessboardCorners(
            big, tuple(size), flags=cv2.CALIB_CB_ADAPTIVE_THRESH | cv2.CALIB_CB_NORMALIZE_IMAGE)
        if not found:
            return None
        criteria = (cv2.TERM_CRITERIA_EPS + cv2.TERM_CRITERIA_MAX_ITER, 50, 0.001)
        corners = cv2.cornerSubPix(big, corners.astype(np.float32), (_UPSCALE * 2 + 1, _UPSCALE * 2 + 1),
                                   (-1, -1), criteria)
    # Back to the image's own pixels: resize maps the centre of pixel x to
    # the centre of (x + 0.5) * scale - 0.5.
    pts = (corners.reshape(-1, 2) + 0.5) / _UPSCALE - 0.5
    return View(corners=pts.astype(np.float32), sequence=sequence)


def board_points(size, square_m):
    """The inner corners on the board (metres, z = 0), in the order the
    detector gives them."""
    cols, rows = size
    grid = np.zeros((rows * cols, 3), np.float32)
    grid[:, :2] = np.mgrid[0:cols, 0:rows].T.reshape(-1, 2) * square_m
    return grid


def calibrate(views, image_size, size, square_m, k_coefficients=2):
    """Fits the plumb-bob lens to the views. `k_coefficients`: 2 fits k1, k2
    (k3 stays 0, as most calibrations of a modest lens keep it), 3 also k3."""
    width, height = image_size
    objects = [board_points(size, square_m)] * len(views)
    images = [v.corners.reshape(-1, 1, 2) for v in views]
    flags = 0 if k_coefficients >= 3 else cv2.CALIB_FIX_K3
    criteria = (cv2.TERM_CRITERIA_EPS + cv2.TERM_CRITERIA_MAX_ITER, 100, 1e-10)
    rms, K, D, rvecs, tvecs = cv2.calibrateCamera(objects, images, (width, height), None, None,
                                                  flags=flags, criteria=criteria)
    D = np.asarray(D, dtype=np.float64).ravel()
    D = np.concatenate([D, np.zeros(max(0, 5 - D.size))])[:5]
    per_view = []
    for obj, img, r, t in zip(objects, images, rvecs, tvecs):
        proj, _ = cv2.projectPoints(obj, r, t, K, D)
        per_view.append(float(np.sqrt(np.mean(np.sum((proj - img) ** 2, axis=-1)))))
    lens = Intrinsics(int(width), int(height), float(K[0, 0]), float(K[1, 1]), float(K[0, 2]),
                      float(K[1, 2]), *(float(v) for v in D))
    return Result(intrinsics=lens, rms_px=float(rms), view_rms_px=per_view, views=list(views),
                  image_size=(int(width), int(height)))


_REGION_NAMES = [["top left", "top", "top right"], ["left", "centre", "right"],
                 ["bottom left", "bottom", "bottom right"]]


def uncovered_regions(views, image_size):
    """The image's regions (3 x 3) where no view put a corner."""
    width, height = image_size
    seen = np.zeros((REGIONS, REGIONS), bool)
    for v in views:
        c = v.corners.reshape(-1, 2)
        col = np.clip((c[:, 0] + 0.5) * REGIONS // width, 0, REGIONS - 1).astype(int)
        row = np.clip((c[:, 1] + 0.5) * REGIONS // height, 0, REGIONS - 1).astype(int)
        seen[row, col] = True
    return [_REGION_NAMES[r][c] for r in range(REGIONS) for c in range(REGIONS) if not seen[r, c]]


def check_views(views, frames, image_size, size):
    """CalibrationRefused unless the views are enough to calibrate from."""
    board = f"{size[0]}x{size[1]}"
    if len(views) < MIN_VIEWS:
        raise CalibrationRefused(
            f"the {board} board was found in {len(views)} of {frames} frames; at least {MIN_VIEWS} views "
            f"are needed (20 to 40 is good): show the whole board, flat and well lit, at 0.6 to 1.2 m, in "
            f"every part of the image and tilted, or check --size (inner corners)")
    missing = uncovered_regions(views, image_size)
    if missing:
        raise CalibrationRefused(
            f"no view of the board reaches the image's {', '.join(missing)}: the lens there would be "
            f"guessed; show the board in those parts of the image too")


def check(result):
    """CalibrationRefused for a result whose error says the model or the
    corners are wrong."""
    if not result.rms_px <= MAX_RMS_PX:
        worst = int(np.argmax(result.view_rms_px)) if result.view_rms_px else -1
        which = f" (worst: frame {result.views[worst].sequence}, {result.view_rms_px[worst]:.2f} px)" \
            if worst >= 0 and result.views else ""
        raise CalibrationRefused(
            f"the reprojection error is {result.rms_px:.2f} px, above {MAX_RMS_PX:g} px{which}: the corners "
            f"do not fit one lens; check --size and --square, use a flat board, hold it still, and "
            f"calibrate again")
    k = result.intrinsics
    w, h = result.image_size
    if not (0 <= k.cx < w and 0 <= k.cy < h):
        raise CalibrationRefused(f"the principal point ({k.cx:.1f}, {k.cy:.1f}) lies outside the "
                                 f"{w} x {h} image: the views do not pin the lens down; add views "
                                 "tilted about both axes")
