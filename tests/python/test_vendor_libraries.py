"""Which USB library a camera opens: a vendor's build on the search path,
the simulated module otherwise, and either when forced."""
import os
import pathlib
import subprocess
import sys

import pytest

BUILD = pathlib.Path(__file__).resolve().parents[2] / "build" / "native"
FAKE = BUILD / "tests" / "fake_vendor"

CHILD = r"""
import QuorvexDepthCamera as q
cam = q.QuorvexCamera()
print("status", int(cam.open(q.TOFConnect.USB, 0)))
"""


def _run(tmp_path, on_path, simulated):
    env = dict(os.environ)
    env["FAKE_VENDOR_LOG"] = str(tmp_path / "calls")
    env.pop("QUORVEX_SIMULATED", None)
    if simulated is not None:
        env["QUORVEX_SIMULATED"] = simulated
    env["LD_LIBRARY_PATH"] = str(FAKE) if on_path else ""
    r = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True, timeout=120)
    calls = (tmp_path / "calls").read_text().split() if (tmp_path / "calls").exists() else []
    return r.stdout.split()[-1] if r.stdout else "", r.stderr, calls


@pytest.mark.skipif(not (FAKE / "libquorvex_evk_sdk.so").exists(), reason="test vendor library not built")
@pytest.mark.parametrize("on_path,simulated,status,reached,notice", [
    (True, None, "-1", True, "using the USB module library"),
    (True, "0", "-1", True, "using the USB module library"),
    (True, "1", "0", False, "using the simulated USB module: QUORVEX_SIMULATED=1"),
    (False, None, "0", False, "using the simulated USB module: no libquorvex_evk_sdk.so on this system"),
    (False, "0", "-1", False, "no libquorvex_evk_sdk.so on this system (QUORVEX_SIMULATED=0)"),
    (False, "yes", "-1", False, "QUORVEX_SIMULATED is 'yes'"),
])
def test_usb_library_choice(tmp_path, on_path, simulated, status, reached, notice):
    got, err, calls = _run(tmp_path, on_path, simulated)
    assert got == status, err
    assert notice in err
    # The vendor's library is asked, and says no module is there.
    assert ("QuorvexOpenCamera" in calls) == reached
