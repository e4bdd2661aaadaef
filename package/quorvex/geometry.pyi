import os
from typing import Dict, Optional, Tuple, Union

import numpy as np

DISTORTION_FIELDS: Tuple[str, ...]

class Intrinsics:
    width: int
    height: int
    fx: float
    fy: float
    cx: float
    cy: float
    k1: float
    k2: float
    p1: float
    p2: float
    k3: float
    def __init__(
        self,
        width: int,
        height: int,
        fx: float,
        fy: float,
        cx: float,
        cy: float,
        k1: float = 0.0,
        k2: float = 0.0,
        p1: float = 0.0,
        p2: float = 0.0,
        k3: float = 0.0,
    ) -> None: ...
    @property
    def distortion(self) -> Tuple[float, float, float, float, float]: ...
    @property
    def distorted(self) -> bool: ...

def distort(intrinsics: Intrinsics, x: np.ndarray, y: np.ndarray) -> Tuple[np.ndarray, np.ndarray]: ...
def undistort(intrinsics: Intrinsics, xd: np.ndarray, yd: np.ndarray) -> Tuple[np.ndarray, np.ndarray]: ...
def project(intrinsics: Intrinsics, points: np.ndarray) -> np.ndarray: ...

def intrinsics_to_dict(intrinsics: Intrinsics) -> Dict[str, Union[int, float]]: ...
def intrinsics_from_dict(d: Dict[str, Union[int, float]]) -> Intrinsics: ...
def nominal_intrinsics(width: int, height: int, horizontal_fov_deg: float = 60.0) -> Intrinsics: ...
def depth_to_points(
    depth: np.ndarray, intrinsics: Optional[Intrinsics] = None, organised: bool = False, scale: float = 0.001
) -> np.ndarray: ...
def save_ply(
    path: Union[str, "os.PathLike[str]"], points: np.ndarray, colors: Optional[np.ndarray] = None
) -> int: ...
