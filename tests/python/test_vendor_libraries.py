"""Which vendor library a camera opens: a vendor's build on the search path,
the simulated module otherwise, and either when forced. The vendors' builds
here are the test tree's own, which record every call they get."""
import json
import os
import pathlib
import subprocess
import sys

import pytest

BUILD = pathlib.Path(__file__).resolve().parents[2] / "build" / "native"
FAKE = BUILD / "tests" / "fake_vendor"
STAND_IN_USB = BUILD / "quorvex" / "simulated" / "libquorvex_evk_sdk.so"

pytestmark = pytest.mark.skipif(not (FAKE / "vga" / "libsi4c.so").exists(),
                                reason="test vendor libraries not built")

# Opens twice: the notice of a library that loaded is printed once per
# process, a failure each time.
CHILD = r"""
import json, sys
import QuorvexDepthCamera as q
from quorvex import _native
statuses = []
for _ in range(2):
    cam = q.QuorvexCamera()
    status = cam.openWithFile(sys.argv[1], 0) if len(sys.argv) > 1 else cam.open(q.TOFConnect.USB, 0)
    statuses.append(int(status))
    cam.close()
print(json.dumps({"status": statuses, "libraries": _native.libraries()}))
"""


def _run(tmp_path, folders, simulated, config=None, forward=False):
    env = dict(os.environ)
    log = tmp_path / "calls"
    env["FAKE_VENDOR_LOG"] = str(log)
    env.pop("QUORVEX_SIMULATED", None)
    if simulated is not None:
        env["QUORVEX_SIMULATED"] = simulated
    env["LD_LIBRARY_PATH"] = os.pathsep.join(str(FAKE / f) for f in folders)
    # The test USB library then drives the simulated module while the core
    # takes it for the vendor's.
    env["FAKE_VENDOR_FORWARD"] = str(STAND_IN_USB) if forward else ""
    args = [sys.executable, "-c", CHILD] + ([str(config)] if config else [])
    r = subprocess.run(args, env=env, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    out = json.loads(r.stdout.splitlines()[-1])
    calls = log.read_text().split() if log.exists() else []
    return out, r.stderr, calls


@pytest.mark.parametrize("folders,simulated,status,reached,notice", [
    (["usb"], None, -1, True, "using the USB module library {usb}"),
    (["usb"], "0", -1, True, "using the USB module library {usb}"),
    (["usb"], "1", 0, False, "using the simulated USB module: QUORVEX_SIMULATED=1"),
    ([], None, 0, False, "using the simulated USB module: no libquorvex_evk_sdk.so on this system"),
    ([], "0", -1, False, "no libquorvex_evk_sdk.so on this system (QUORVEX_SIMULATED=0)"),
    ([], "yes", -1, False, "QUORVEX_SIMULATED is 'yes'"),
])
def test_usb_library_choice(tmp_path, folders, simulated, status, reached, notice):
    out, err, calls = _run(tmp_path, folders, simulated)
    assert out["status"] == [status, status], err
    notice = notice.format(usb=FAKE / "usb" / "libquorvex_evk_sdk.so")
    assert err.count(notice) == (1 if notice.startswith("using") else 2), err
    # The vendor's library is asked, and says no module is there.
    assert ("QuorvexOpenCamera" in calls) == reached
    if notice.startswith("using"):
        want = "simulated" if "simulated" in notice else str(FAKE / "usb" / "libquorvex_evk_sdk.so")
        assert out["libraries"]["libquorvex_evk_sdk.so"] == want


# A VGA module on the simulated USB bus, or behind the test USB library that
# forwards to it: the depth library is loaded when the VGA device is created.
@pytest.mark.parametrize("folders,simulated,forward,status,notice,in_use", [
    (["vga"], None, False, -1, "using the VGA depth engine library {vga}", "{vga}"),
    (["usb", "vga"], "0", True, -1, "using the VGA depth engine library {vga}", "{vga}"),
    (["vga"], "1", False, 0, "using the simulated VGA depth engine: QUORVEX_SIMULATED=1", "simulated"),
    ([], None, False, 0, "using the simulated VGA depth engine: no libsi4c.so on this system", "simulated"),
    (["usb"], "0", True, -1,
     "no libsi4c.so on this system (QUORVEX_SIMULATED=0): install the vendor's VGA depth engine library", ""),
    (["vga-old"], None, False, -1, "{old} lacks SiSDKGetPhaseImage", ""),
])
def test_vga_library_choice(tmp_path, folders, simulated, forward, status, notice, in_use):
    config = tmp_path / "vga.cfg"
    config.write_text("variant = vga\nfps = 0\nscene = flat\n")
    out, err, calls = _run(tmp_path, folders, simulated, config, forward)
    paths = {"vga": FAKE / "vga" / "libsi4c.so", "old": FAKE / "vga-old" / "libsi4c.so"}
    assert out["status"] == [status, status], err
    notice = notice.format(**paths)
    assert err.count(notice) == (1 if notice.startswith("using") else 2), err
    assert out["libraries"]["libsi4c.so"] == in_use.format(**paths)
    # The vendor's engine is asked to create an instance, refuses, and the
    # open fails; a library lacking a function is never called.
    assert ("SiSDKCreate" in calls) == (in_use == "{vga}")
    assert ("QuorvexOpenCamera" in calls) == forward
