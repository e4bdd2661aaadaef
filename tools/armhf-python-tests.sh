#!/usr/bin/env bash
# Runs the Python test suite against the cross-built armv7l wheel, with
# Debian's armhf CPython, numpy and pytest under qemu-arm.
#   tools/armhf-python-tests.sh SYSROOT WHEEL_DIR [pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
sysroot=$(realpath "$1")
wheel_dir=$2
shift 2

python=$(cd "$sysroot/usr/bin" && ls python3.[0-9]* | grep -E '^python3\.[0-9]+$' | head -n 1)
version=${python#python}
tag=cp${version//./}
wheels=("$wheel_dir"/*-"$tag"-"$tag"-linux_armv7l.whl)
[ -f "${wheels[0]}" ] || { echo "armhf-python-tests: no $tag armv7l wheel in $wheel_dir" >&2; exit 1; }

# The host's pip installs the wheel for the target: it refuses a wheel whose
# tags do not fit an armv7l CPython of that version, and unpacks it the way
# pip on a board would.
site=build/armhf-site
rm -rf "$site"
.venv/bin/python -m pip install -q --no-index --no-deps --only-binary=:all: \
  --platform linux_armv7l --implementation cp --python-version "$version" --abi "$tag" \
  --target "$site" "${wheels[0]}"

run_python() {
  env -u PYTHONHOME -u PYTHONSTARTUP PYTHONNOUSERSITE=1 PYTHONPATH="$(realpath "$site")" \
    qemu-arm -L "$sysroot" "$sysroot/usr/bin/$python" "$@"
}
run_python -c 'import platform, sys, numpy, QuorvexDepthCamera as q
print("armhf python", sys.version.split()[0], platform.machine(), "numpy", numpy.__version__, "module", q.__file__)
assert platform.machine() == "armv7l" and sys.maxsize == 2**31 - 1'
run_python -m pytest -q -p no:cacheprovider "$@" tests/python
