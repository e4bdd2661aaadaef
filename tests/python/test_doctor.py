"""`python -m quorvex doctor` on every simulated board (the core's survey of
each, printed by the build's sim_board_survey), with the faults a user
meets, and on this machine."""
import json
import os
import pathlib
import subprocess
import sys

import pytest

from quorvex import _native, doctor

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

    def __init__(self, survey, camera_error=None, features=("neon",), member=(False, False)):
        self._survey, self._error, self._features, self._member = survey, camera_error, features, member
        self.opened = []

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


def test_this_machine():
    require_child_interpreter()
    r = subprocess.run([sys.executable, "-m", "quorvex", "doctor"], capture_output=True, text=True, timeout=120,
                       env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)))
    assert r.returncode == 0, r.stdout + r.stderr
    for label in ("board:", "kernel:", "NEON:", "libquorvex_evk_sdk:", "libsi4c:", "versions:", "camera:"):
        assert label in r.stdout
