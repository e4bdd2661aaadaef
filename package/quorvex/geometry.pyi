import os
from typing import Optional, Union

import numpy as np

class Intrinsics:
    width: int
    height: int
    fx: float
    fy: float
    cx: float
    cy: float
    def __init__(self, width: int, height: int, fx: float, fy: float, cx: float, cy: float) -> None: ...

def nominal_intrinsics(width: int, height: int, horizontal_fov_deg: float = 60.0) -> Intrinsics: ...
def depth_to_points(
    depth: np.ndarray, intrinsics: Optional[Intrinsics] = None, organised: bool = False, scale: float = 0.001
) -> np.ndarray: ...
def save_ply(
    path: Union[str, "os.PathLike[str]"], points: np.ndarray, colors: Optional[np.ndarray] = None
) -> int: ...
