"""`python -m quorvex doctor` on every simulated board (the core's survey of
each, printed by the build's sim_board_survey), with the faults a user
meets, and on this machine."""
import json
import os
import pathlib
import subprocess
import sys

import pytest

from quorvex import _native
from quorvex.commands import doctor

from conftest import require_child_interpreter

SURVEY = pathlib.Path(_native.__file__).resolve().parents[2] / "tests" / "sim_board_survey"
BOARDS = {"BOARD_RASPBERRY_PI": (5, 10), "BOARD_RASPBERRY_PI_5": (6, 10), "BOARD_RADXA_ROCK": (7, 4),
          "BOARD_JETSON_TX1_NANO": (2, 7), "BOARD_JETSON": (3, 30)}


def sim_survey(kind, *faults):
    if not SURVEY.exists():
        pytest.skip(f"{SURVEY} is not built")
    out = subprocess.run([str(SURVEY), str(kind), *faults], capture_output=True, text=True, timeout=60, check=True)
    return json.loads(out.stdout)


class Board(doctor.Probes):
    """A 32-bit userland on a 64-bit ARM kernel, its nodes owned by 'video'."""

    def __init__(self, survey, camera_error=None, features=("neon",), member=(False, False), libraries=None,
                 said=(), chosen=False):
        self._survey, self._error, self._features, self._member = survey, camera_error, features, member
        self._libraries = libraries if libraries is not None else {"libquorvex_evk_sdk.so": "", "libsi4c.so": ""}
        self._lines, self._chosen = list(said), chosen
        self.opened = []

    def libraries(self):
        return self._libraries

    def library_lines(self):
        return self._lines

    def simulated_chosen(self):
        return self._chosen

    def find_library(self, name):
        return None

    def survey(self):
        return self._survey

    def kernel_machine(self):
        return "aarch64"

    def userland(self):
        return 32, "linux-armv7l"

    def cpu_features(self):
        return set(self._features)

    def group_name(self, gid):
        return "video"

    def member_of(self, group):
        return self._member

    def open_camera(self, connect, index):
        self.opened.append(connect)
        return self._error


@pytest.mark.parametrize("name", sorted(BOARDS))
def test_every_simulated_board_is_described_and_opens(name):
    kind, bus = BOARDS[name]
    probes = Board(sim_survey(kind))
    report = doctor.diagnose(probes)
    text = report.text()
    assert f"({name})" in text and "/dev/video0 driver sim-csi2" in text
    assert f"module on bus {bus}" in text and "controller at 0x0C answers" in text
    assert "userland 32-bit (linux-armv7l)" in text and "NEON:" in text and "yes" in text
    assert report.problems == [] and report.camera == "csi:0" and probes.opened == ["csi"]
    if kind in (5, 6, 7):
        assert "media:" in text and "sub-device:" in text


# Each fault of a set-up gives one line saying what to do.
@pytest.mark.parametrize("faults, probe_args, expected", [
    (["deny=/dev/video0"], {}, "sudo usermod -aG video $USER"),
    (["deny=/dev/video0"], {"member": (False, True)}, "log out and in again"),
    (["deny=/dev/i2c-10"], {}, "/dev/i2c-10: permission denied"),
    (["silent"], {}, "does not answer on I2C bus 10: check the ribbon cable"),
    ([], {"features": ()}, "no NEON"),
    ([], {"camera_error": "opening csi:0: System error (-2)"}, "did not open or answer"),
])
def test_each_fault_says_what_to_do(faults, probe_args, expected):
    probes = Board(sim_survey(5, *faults), **probe_args)
    report = doctor.diagnose(probes, camera="csi")
    assert len(report.problems) == 1 and expected in report.problems[0], report.problems
    assert (report.camera is None) == ("camera_error" in probe_args)


USB_NOTICE = "using the simulated USB module: no libquorvex_evk_sdk.so on this system"
NO_LIBRARY = ("no libquorvex_evk_sdk.so on this system (QUORVEX_SIMULATED=0): install the vendor's USB module "
              "library")


# What opened, and which library the core uses after it, on a machine with
# no CSI board: the simulated module is named as such on the camera line,
# and a library that could not be loaded is the problem, not the cable.
@pytest.mark.parametrize("probe_args, camera_line, in_use, problem", [
    ({"libraries": {"libquorvex_evk_sdk.so": "simulated"}, "said": [USB_NOTICE]},
     "usb:0 opened (simulated module: no real module reached)", "in use: simulated",
     "the camera that opened is the simulated module (" + USB_NOTICE + "): install the vendor's USB module"),
    ({"libraries": {"libquorvex_evk_sdk.so": "simulated"}, "said": [USB_NOTICE], "chosen": True},
     "usb:0 opened (simulated module: no real module reached)", "in use: simulated", None),
    ({"libraries": {"libquorvex_evk_sdk.so": "/usr/lib/libquorvex_evk_sdk.so"}},
     "usb:0 opened", "in use: /usr/lib/libquorvex_evk_sdk.so", None),
    ({"camera_error": "opening usb:0: Unknown error (-1)", "said": [NO_LIBRARY]},
     "none opened", None, NO_LIBRARY),
    ({"camera_error": "opening usb:0: Unknown error (-1)"},
     "none opened", None, "on USB check the cable and the udev rule"),
])
def test_the_camera_line_says_what_opened_and_which_library(probe_args, camera_line, in_use, problem):
    # A machine with no device-tree model and no capture node: USB only.
    survey = {"model": "", "board": 0, "nodes": [], "module_bus": -1, "module_bus_source": "",
              "chip_answers": -1, "chip_error": 0}
    probes = Board(survey, **probe_args)
    report = doctor.diagnose(probes, camera="usb")
    lines = dict(report.lines)
    assert lines["camera"] == camera_line
    assert (report.camera == "usb:0") == ("camera_error" not in probe_args)
    evk = lines["libquorvex_evk_sdk"]
    assert (in_use in evk) if in_use else ("in use" not in evk), evk
    if problem is None:
        assert report.problems == []
    else:
        assert len(report.problems) == 1 and problem in report.problems[0], report.problems
        if problem == NO_LIBRARY:
            assert "cable" not in report.problems[0]


def test_the_command_keeps_its_old_import():
    from quorvex import doctor as old
    assert old.diagnose is doctor.diagnose and old.Probes is doctor.Probes


def test_this_machine():
    require_child_interpreter()
    r = subprocess.run([sys.executable, "-m", "quorvex", "doctor"], capture_output=True, text=True, timeout=120,
                       env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)))
    assert r.returncode == 0, r.stdout + r.stderr
    for label in ("board:", "kernel:", "NEON:", "libquorvex_evk_sdk:", "libsi4c:", "versions:", "camera:"):
        assert label in r.stdout
    # The core's answer after the open: the library a camera reached.
    assert "; in use: " in r.stdout.split("libquorvex_evk_sdk:")[1].splitlines()[0], r.stdout
