"""`python -m quorvex doctor`: what a user needs to know before asking for
help, gathered read-only: the board, architectures, NEON, the camera's
device nodes with their drivers and permissions, the module's I2C bus and
controller, the vendor libraries the system finds, the versions, and one
line per problem saying what to do. Exit status 0 when a camera opened.

Everything that looks at the machine goes through `Probes`, so that a test
can show the doctor another machine (a simulated board's survey)."""
import ctypes.util
import errno
import grp
import os
import platform
import struct
import sys
import sysconfig

from .._version import __version__
from ..errors import native_stderr

BOARD_KINDS = {0: "BOARD_UNKNOWN", 2: "BOARD_JETSON_TX1_NANO", 3: "BOARD_JETSON", 5: "BOARD_RASPBERRY_PI",
               6: "BOARD_RASPBERRY_PI_5", 7: "BOARD_RADXA_ROCK"}
VENDOR_LIBRARIES = ("quorvex_evk_sdk", "si4c")
USB_LIBRARY = "libquorvex_evk_sdk.so"
CHIP_ADDRESS = 0x0C
SETUP = "see \"Setting up a board\" in the README"


class Probes:
    """The machine as the doctor sees it; each method may be replaced."""

    def survey(self):
        from .. import _native
        return _native.survey_host()

    def kernel_machine(self):
        return os.uname().machine

    def userland(self):
        # The interpreter's own build says what the userland is: a 32-bit
        # Raspberry Pi OS often runs a 64-bit kernel under it.
        return struct.calcsize("P") * 8, sysconfig.get_platform()

    def cpu_features(self):
        try:
            with open("/proc/cpuinfo") as f:
                text = f.read()
        except OSError:
            return set()
        features = set()
        for line in text.splitlines():
            key, _, value = line.partition(":")
            if key.strip().lower() in ("features", "flags"):
                features.update(value.split())
        return features

    def group_name(self, gid):
        try:
            return grp.getgrgid(gid).gr_name
        except KeyError:
            return str(gid)

    def member_of(self, group):
        """(in this session's groups, listed as a member in /etc/group)."""
        try:
            g = grp.getgrnam(group)
        except KeyError:
            return False, False
        user = _user()
        return g.gr_gid in os.getgroups(), user in g.gr_mem

    def is_root(self):
        return os.geteuid() == 0

    def find_library(self, name):
        return ctypes.util.find_library(name)

    def libraries(self):
        """soname -> "simulated", the vendor library's path, or "" when this
        process has loaded none (the core's own answer)."""
        from .. import _native
        return _native.libraries()

    def numpy_version(self):
        import numpy
        return numpy.__version__

    def open_camera(self, connect, index):
        """None when it opened, else the error's text. What the libraries
        said meanwhile is kept for `library_lines`."""
        from ..camera import Camera
        with native_stderr() as said:
            try:
                Camera(connect=connect, index=index).close()
                error = None
            except Exception as e:  # any failure is the report's, not a traceback
                error = str(e)
                # The camera folds the libraries' reasons into its message;
                # the report names them apart (collected here), after what failed.
                reasons = list(getattr(e, "library_reasons", []))
                code = getattr(e, "code", None)
                if reasons and code is not None:
                    error = error.replace(f"{'; '.join(reasons)} ({code.str()} ({int(code)}))",
                                          f"{code.str()} ({int(code)})")
        self._said = said
        return error

    def library_lines(self):
        """The lines the vendor libraries' loader printed during the last
        open_camera: which library is in use, or why none could be."""
        return getattr(self, "_said", [])

    def simulated_chosen(self):
        """Whether the user asked for the simulated module."""
        return os.environ.get("QUORVEX_SIMULATED") == "1"


def _user():
    try:
        import pwd
        return pwd.getpwuid(os.geteuid()).pw_name
    except (ImportError, KeyError):
        return os.environ.get("USER", "")


class Report:
    def __init__(self):
        self.lines = []     # (label, text)
        self.problems = []  # one line each: what is wrong and what to do
        self.camera = None  # "csi:0" / "usb:0" once one opened

    def add(self, label, text):
        self.lines.append((label, text))

    def text(self):
        width = max(len(label) for label, _ in self.lines) + 1 if self.lines else 0
        out = [f"{label + ':':<{width}} {text}" for label, text in self.lines]
        if self.problems:
            out.append("problems:")
            out.extend(f"  - {p}" for p in self.problems)
        else:
            out.append("problems: none found")
        return "\n".join(out)


def _is_arm(machine):
    return machine.startswith(("arm", "aarch64"))


def _check_platform(report, probes):
    machine = probes.kernel_machine()
    bits, plat = probes.userland()
    report.add("kernel", f"{machine}, userland {bits}-bit ({plat})")
    arm_userland = "arm" in plat or "aarch64" in plat
    if machine == "aarch64" and bits == 32:
        report.add("note", "a 32-bit userland on a 64-bit kernel: install the armhf packages and wheels")
    features = probes.cpu_features()
    if _is_arm(machine) or arm_userland:
        neon = bool(features & {"neon", "asimd"})
        report.add("NEON", "yes" if neon else "no")
        if not neon:
            report.problems.append("the CPU reports no NEON: depth is computed on the portable path, "
                                   "which is slower; nothing to set up")
    else:
        report.add("NEON", f"not an ARM CPU (AVX2: {'yes' if 'avx2' in features else 'no'})")


def _describe(node):
    parts = [node["path"]]
    if node["driver"]:
        parts.append(f"driver {node['driver']}")
    if node["card"]:
        parts.append(f"\"{node['card']}\"")
    return " ".join(parts)


def _check_node_access(report, probes, node):
    err = node["open_error"]
    if err == 0:
        return "read-write ok"
    if err not in (errno.EACCES, errno.EPERM):
        return f"cannot open ({os.strerror(err)})"
    group = probes.group_name(node["gid"])
    group_rw = node["mode"] & 0o060 == 0o060
    in_session, listed = probes.member_of(group)
    if not group_rw:
        report.problems.append(f"{node['path']} is mode {node['mode'] & 0o777:03o}: no group may use it; "
                               f"a udev rule must give group '{group}' read-write ({SETUP})")
    elif listed and not in_session:
        report.problems.append(f"{node['path']}: you were added to group '{group}' but this session "
                               "predates it: log out and in again")
    else:
        report.problems.append(f"{node['path']}: permission denied; group '{group}' grants it: "
                               f"sudo usermod -aG {group} $USER, then log in again")
    return f"permission denied (group '{group}' grants it)"


def _check_board(report, probes, survey):
    model = survey["model"]
    kind = BOARD_KINDS.get(survey["board"], str(survey["board"]))
    report.add("board", f"{model or 'no device-tree model'} ({kind})")
    nodes = survey["nodes"]
    by_kind = {k: [n for n in nodes if n["kind"] == k] for k in ("capture", "subdev", "media", "i2c")}
    for label, kind_name in (("capture", "capture"), ("media", "media"), ("sub-device", "subdev")):
        for node in by_kind[kind_name]:
            report.add(label, f"{_describe(node)}: {_check_node_access(report, probes, node)}")
    if not by_kind["capture"]:
        report.add("capture", "no /dev/video* nodes")

    csi_board = survey["board"] != 0
    if model and not csi_board:
        report.problems.append(f"this board is not one the CSI path knows ({kind}): a CSI module needs a "
                               "Raspberry Pi, a Jetson or a Radxa ROCK; a USB module works on any board")
    if csi_board and not by_kind["capture"]:
        report.problems.append(f"no capture node: enable the camera interface and the module's device-tree "
                               f"overlay, then reboot ({SETUP})")

    bus = survey["module_bus"]
    if bus >= 0:
        where = survey["module_bus_source"]
        answer = {1: f"the controller at 0x{CHIP_ADDRESS:02X} answers",
                  0: f"the controller at 0x{CHIP_ADDRESS:02X} does not answer "
                     f"({os.strerror(survey['chip_error']) if survey['chip_error'] else 'no reply'})",
                  -1: f"/dev/i2c-{bus} could not be opened, so the controller was not asked"}[survey["chip_answers"]]
        report.add("i2c", f"module on bus {bus} (named by {where}); {answer}")
        if survey["chip_answers"] == 0:
            report.problems.append(f"the module's controller does not answer on I2C bus {bus}: check the ribbon "
                                   "cable (contacts, orientation) and the module's power")
        bus_node = [n for n in by_kind["i2c"] if n["path"] == f"/dev/i2c-{bus}"]
        if bus_node:
            report.add("i2c node", f"{_describe(bus_node[0])}: {_check_node_access(report, probes, bus_node[0])}")
        else:
            report.problems.append(f"no /dev/i2c-{bus}: enable I2C and load i2c-dev "
                                   f"(sudo modprobe i2c-dev; {SETUP})")
    elif csi_board:
        report.add("i2c", f"no node names the module's I2C client (<bus>-{CHIP_ADDRESS:04x}); "
                          f"{len(by_kind['i2c'])} adapters")
        report.problems.append("the module's I2C client is not declared: load the device-tree overlay the "
                               f"module's vendor documents and reboot ({SETUP})")
        if not by_kind["i2c"]:
            report.problems.append(f"no /dev/i2c-* nodes: enable I2C (sudo modprobe i2c-dev; {SETUP})")


def _check_libraries(report, probes):
    # After the camera's open: the core loads a library when a camera first
    # needs it.
    in_use = probes.libraries()
    for name in VENDOR_LIBRARIES:
        found = probes.find_library(name)
        text = f"system search: {found or 'not found'}"
        if in_use.get(f"lib{name}.so"):
            text += f"; in use: {in_use[f'lib{name}.so']}"
        report.add(f"lib{name}", text)


def _check_versions(report, probes):
    try:
        numpy_version = probes.numpy_version()
    except ImportError:
        numpy_version = "missing"
        report.problems.append("numpy is missing: pip install numpy")
    report.add("versions", f"Python {platform.python_version()}, numpy {numpy_version}, quorvex {__version__}")


def _check_camera(report, probes, survey, camera, index):
    """Opens the first camera that will; returns its "camera" line."""
    order = [camera] if camera != "auto" else (["csi", "usb"] if survey["board"] != 0 else ["usb"])
    failures = []
    for connect in order:
        error = probes.open_camera(connect, index)
        if error is None:
            report.camera = f"{connect}:{index}"
            if connect == "usb" and probes.libraries().get(USB_LIBRARY) == "simulated":
                # It opens whether or not a module is plugged in: saying only
                # "opened" would tell a user whose module is unplugged that
                # all is well.
                if not probes.simulated_chosen():
                    why = next((line for line in probes.library_lines() if "simulated" in line), "")
                    report.problems.append(f"the camera that opened is the simulated module"
                                           f"{' (' + why + ')' if why else ''}: install the vendor's USB "
                                           f"module library to reach a real module ({SETUP})")
                return f"{connect}:{index} opened (simulated module: no real module reached)"
            return f"{connect}:{index} opened"
        # A library that could not be loaded is the problem, not the module.
        loader = [line for line in probes.library_lines() if not line.startswith("using ")]
        failures.append((f"{connect}:{index}: {error}", loader))
    for failure, loader in failures:
        if loader:
            report.problems.append(f"{failure}: {'; '.join(loader)}{_choice_hint()}")
        else:
            report.problems.append(f"{failure}: {_meaning(failure)}")
    return "none opened"


def _choice_hint():
    value = os.environ.get("QUORVEX_SIMULATED")
    if value == "0":
        return " (QUORVEX_SIMULATED=0 allows the vendor's library only; unset it to use the simulated module)"
    if value == "1":
        return " (QUORVEX_SIMULATED=1 asks for the simulated module)"
    return ""


def _meaning(error):
    if "(-2)" in error:
        return ("a device node or the I2C bus did not open or answer; the lines above say which, "
                f"else {SETUP}")
    if "(-1)" in error:
        return ("no module answered, or it did not start: on USB check the cable and the udev rule, "
                f"on CSI the overlay ({SETUP})")
    return SETUP


def diagnose(probes=None, camera="auto", index=0):
    """Runs every check; returns the Report."""
    probes = probes or Probes()
    report = Report()
    survey = probes.survey()
    _check_board(report, probes, survey)
    _check_platform(report, probes)
    _check_versions(report, probes)
    opened = _check_camera(report, probes, survey, camera, index)
    _check_libraries(report, probes)
    report.add("camera", opened)
    return report


def add_arguments(parser):
    parser.add_argument("--camera", choices=("auto", "usb", "csi"), default="auto",
                        help="which camera link to try opening (default: CSI on a known board, then USB)")
    parser.add_argument("--index", type=int, default=0, help="device index (N of /dev/videoN on CSI)")


def run(args):
    report = diagnose(camera=args.camera, index=args.index)
    print(report.text())
    return 0 if report.camera else 1
