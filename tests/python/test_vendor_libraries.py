"""Which vendor library a camera opens: a vendor's build on the search path,
the simulated module otherwise, and either when forced. The vendors' builds
here are the test tree's own, which record every call they get."""
import json
import os
import pathlib
import subprocess
import sys

import pytest

import QuorvexDepthCamera
from conftest import require_child_interpreter

BUILD = pathlib.Path(__file__).resolve().parents[2] / "build" / "native"
FAKE = BUILD / "tests" / "fake_vendor"
STAND_IN_USB = BUILD / "quorvex" / "simulated" / "libquorvex_evk_sdk.so"

# The test libraries are built with the build tree, for its machine: an
# installed wheel (an ARM one under emulation) cannot load them.
pytestmark = pytest.mark.skipif(
    not (FAKE / "vga" / "libsi4c.so").exists()
    or BUILD not in pathlib.Path(QuorvexDepthCamera.__file__).resolve().parents,
    reason="test vendor libraries are built for the build tree's core only")

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
    require_child_interpreter()
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


def _child(code, env_extra, *args):
    require_child_interpreter()
    env = {k: v for k, v in os.environ.items() if k != "QUORVEX_SIMULATED"}
    env.update(env_extra)
    r = subprocess.run([sys.executable, "-c", code, *args], env=env, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    return json.loads(r.stdout.splitlines()[-1]), r.stderr


# The first camera's library serves the process; a later camera asking for
# the other kind is told which is loaded and why, and the environment stays
# as the program set it.
CONFLICT = r"""
import json, os, sys
import quorvex
first, later = json.loads(sys.argv[1])
quorvex.Camera(simulated=first).close()
try:
    quorvex.Camera(simulated=later).close()
    refused = None
except quorvex.CameraError as e:
    refused = str(e)
print(json.dumps({"refused": refused, "env": os.environ.get("QUORVEX_SIMULATED")}))
"""


@pytest.mark.parametrize("first,later,refusal", [
    (True, False, "simulated=False asks for the vendor's USB module library, but this process already uses "
                  "the simulated USB module (simulated=True)"),
    (None, False, "simulated=False asks for the vendor's USB module library, but this process already uses "
                  "the simulated USB module (no libquorvex_evk_sdk.so on this system)"),
    (False, True, "simulated=True asks for the simulated USB module, but this process already uses the USB "
                  "module library {usb} (simulated=False)"),
    (False, None, None),
    (True, True, None),
])
def test_a_later_camera_cannot_switch_the_library(first, later, refusal):
    folders = ["usb"] if first is False else []
    env = {"LD_LIBRARY_PATH": os.pathsep.join(str(FAKE / f) for f in folders),
           "FAKE_VENDOR_FORWARD": str(STAND_IN_USB)}
    out, err = _child(CONFLICT, env, json.dumps([first, later]))
    assert out["env"] is None
    if refusal is None:
        assert out["refused"] is None, out
    else:
        refusal = refusal.format(usb=FAKE / "usb" / "libquorvex_evk_sdk.so")
        assert out["refused"].startswith("opening usb:0: " + refusal), out["refused"]
        assert "new process" in out["refused"]


def _unloadable(kind, path):
    lib = (FAKE / "usb" / "libquorvex_evk_sdk.so").read_bytes()
    if kind == "text":
        # A linker script, as development packages install under a library's name.
        path.write_text("/* GNU ld script */\nGROUP ( /usr/lib/libquorvex_evk_sdk.so.1 AS_NEEDED ( /lib/ld.so ) )\n")
    elif kind == "empty":
        path.write_bytes(b"")
    elif kind == "truncated":
        path.write_bytes(lib[:1024])
    else:  # the other ELF class: what a 32-bit package puts beside a 64-bit program
        ident = bytearray(lib)
        ident[4] = 1 if ident[4] == 2 else 2
        path.write_bytes(bytes(ident))


OPEN = r"""
import json
import QuorvexDepthCamera as q
from quorvex import _native
cam = q.QuorvexCamera()
status = int(cam.open(q.TOFConnect.USB, 0))
print(json.dumps({"status": status, "libraries": _native.libraries()}))
"""


@pytest.mark.parametrize("kind,reason", [
    ("text", "invalid ELF header"),
    ("empty", "file too short"),
    ("truncated", ""),
    ("wrong-class", "wrong ELF class"),
])
def test_a_vendor_file_that_cannot_be_loaded_fails_the_open(tmp_path, kind, reason):
    bad = tmp_path / "libquorvex_evk_sdk.so"
    _unloadable(kind, bad)
    out, err = _child(OPEN, {"LD_LIBRARY_PATH": str(tmp_path)})
    # Not replaced by the simulated module: the file is there, and broken.
    assert out["status"] == -1 and out["libraries"]["libquorvex_evk_sdk.so"] == "", err
    lines = [line for line in err.splitlines() if line.startswith("cannot load ")]
    assert len(lines) == 1 and str(bad) in lines[0] and reason in lines[0], err
    assert "simulated" not in err
