"""Ground truth of the simulated USB module's scenes, through the stand-in
library's QuorvexDebugGroundTruth (ctypes): true radial depth along each
pixel's centre ray and the fraction of the pixel that surface covers."""
import ctypes
import ctypes.util
import os

import numpy as np


def _library():
    # The stand-in lives in the private folder beside the core: the build
    # tree's, or an installed wheel's (inside the quorvex package).
    import QuorvexDepthCamera
    names = []
    for path in os.environ.get("PYTHONPATH", "").split(os.pathsep):
        names.append(os.path.join(path, "..", "quorvex", "simulated", "libquorvex_evk_sdk.so"))
    names.append(os.path.join(os.path.dirname(QuorvexDepthCamera.__file__), "quorvex", "simulated",
                              "libquorvex_evk_sdk.so"))
    for name in names:
        try:
            lib = ctypes.CDLL(name)
        except OSError:
            continue
        if hasattr(lib, "QuorvexDebugGroundTruth"):
            lib.QuorvexDebugGroundTruth.restype = ctypes.c_int
            lib.QuorvexDebugGroundTruth.argtypes = [ctypes.c_char_p, ctypes.c_uint32, ctypes.c_void_p,
                                                    ctypes.c_void_p, ctypes.c_uint32]
            return lib
    return None


def ground_truth(config_path, width, height, frame=0):
    """(depth_mm, coverage) as float32 arrays of height x width; skips the
    calling test where the library offers no truth (a vendor's build)."""
    import pytest
    lib = _library()
    if lib is None:
        pytest.skip("the USB camera library is not the simulated stand-in")
    depth = np.zeros((height, width), np.float32)
    coverage = np.zeros((height, width), np.float32)
    path = None if config_path is None else os.fsencode(config_path)
    n = lib.QuorvexDebugGroundTruth(path, frame, depth.ctypes.data, coverage.ctypes.data, width * height)
    if n != width * height:
        raise RuntimeError(f"QuorvexDebugGroundTruth({config_path}) returned {n}")
    return depth, coverage
