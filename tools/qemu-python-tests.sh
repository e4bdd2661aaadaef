#!/usr/bin/env bash
# Runs the Python test suite against a cross-built ARM wheel, with the
# Debian release's own CPython, numpy and pytest for that architecture under
# qemu-user (the sysroot of tools/debian-sysroot.sh).
#   tools/qemu-python-tests.sh ARCH SYSROOT WHEEL_DIR [pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
arch=$1
sysroot=$(realpath "$2")
wheel_dir=$3
shift 3
case "$arch" in
  armhf) qemu=(qemu-arm); machine=armv7l; maxsize='2**31 - 1' ;;
  # A Pi 5's core, not qemu's default "max": that one has pointer
  # authentication, which no board of ours has and qemu emulates slowly, and
  # trixie's interpreter signs every return (its tests ran 2 to 3 times
  # slower).
  arm64) qemu=(qemu-aarch64 -cpu cortex-a76); machine=aarch64; maxsize='2**63 - 1' ;;
  *) echo "qemu-python-tests: unknown architecture $arch (armhf, arm64)" >&2; exit 2 ;;
esac

python=$(cd "$sysroot/usr/bin" && ls python3.[0-9]* | grep -E '^python3\.[0-9]+$' | head -n 1)
version=${python#python}
tag=cp${version//./}
wheels=("$wheel_dir"/*-"$tag"-"$tag"-linux_"$machine".whl)
[ -f "${wheels[0]}" ] || { echo "qemu-python-tests: no $tag $machine wheel in $wheel_dir" >&2; exit 1; }

# The host's pip installs the wheel for the target: it refuses a wheel whose
# tags do not fit that interpreter and architecture, and unpacks it the way
# pip on a board would. One site per sysroot, so runs can go side by side.
site=build/site-$(basename "$sysroot")
rm -rf "$site"
.venv/bin/python -m pip install -q --no-index --no-deps --only-binary=:all: \
  --platform linux_"$machine" --implementation cp --python-version "$version" --abi "$tag" \
  --target "$site" "${wheels[0]}"

# A sysroot unpacked from packages holds no byte code, and
# PYTHONDONTWRITEBYTECODE (set on many CI machines) would keep imports from
# writing it: every interpreter the tests start would compile each module it
# imports again, some 30 s of CPU per start under emulation. Byte code is
# written, to a tree of its own per sysroot (not into the sources).
pycache=$(realpath -m "build/pycache-$(basename "$sysroot")")
# WRAP: a command to run the interpreter through (the loopback-only namespace).
run_python() {
  ${WRAP:-} env -u PYTHONHOME -u PYTHONSTARTUP -u PYTHONDONTWRITEBYTECODE PYTHONPYCACHEPREFIX="$pycache" PYTHONNOUSERSITE=1 QUORVEX_TEST_EMULATED=1 PYTHONPATH="$(realpath "$site")" \
    "${qemu[@]}" -L "$sysroot" "$sysroot/usr/bin/$python" "$@"
}
# The sysroot's own Cyclone DDS library must load: without it the ROS 2
# tests would only skip.
run_python -c "import platform, sys, numpy, QuorvexDepthCamera as q
from quorvex import dds
dds.library()
print('$arch python', sys.version.split()[0], platform.machine(), 'numpy', numpy.__version__, 'module', q.__file__)
assert platform.machine() == '$machine' and sys.maxsize == $maxsize"
# The cache would be written into the source tree by several runs at once.
# The ROS 2 tests go on their own, in a network namespace with only the
# loopback interface where one can be made (as `make test-ros2` runs them),
# against that library.
run_python -m pytest -q -p no:cacheprovider "$@" --ignore=tests/python/test_ros2.py tests/python
WRAP=tools/loopback-only.sh run_python -m pytest -q -p no:cacheprovider "$@" tests/python/test_ros2.py
