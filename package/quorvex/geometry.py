"""Camera intrinsics (pure data)."""
import math
from dataclasses import dataclass


@dataclass(frozen=True)
class Intrinsics:
    """Pinhole intrinsics in pixels, optical-frame axes (x right, y down,
    z forward), in the convention of OpenCV and ROS CameraInfo: the centre
    of pixel (u, v) is at (u, v)."""

    width: int
    height: int
    fx: float
    fy: float
    cx: float
    cy: float


def nominal_intrinsics(width, height, horizontal_fov_deg=60.0):
    """Nominal intrinsics of a module variant: a pinhole with its axis
    through the image centre and a 60-degree horizontal field of view. These
    are nominal values (the simulated module's lens), not a calibration."""
    f = (width / 2.0) / math.tan(math.radians(horizontal_fov_deg) / 2.0)
    return Intrinsics(width=width, height=height, fx=f, fy=f, cx=(width - 1) / 2.0,
                      cy=(height - 1) / 2.0)
