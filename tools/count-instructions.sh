#!/usr/bin/env bash
# Instructions per HQVGA frame (phase to depth) of the armv7 build, counted
# under qemu-arm by a small TCG plugin (tools/qemu-insn-count.c): exact and
# the same on every run. The probe converts the bench frame F times; a frame
# costs (count(F) - count(0)) / F, which leaves out start-up and set-up.
#   tools/count-instructions.sh [build-dir]      (default build/armhf-bench)
# Needs arm-linux-gnueabihf-g++, qemu-arm and a host C compiler
# (tools/setup.sh g++-arm-linux-gnueabihf qemu-user installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/armhf-bench}
frames=3
cpu=cortex-a7  # the core of the 32-bit Raspberry Pi boards, with NEON
sysroot=/usr/arm-linux-gnueabihf

for tool in arm-linux-gnueabihf-g++ qemu-arm cc; do
  command -v "$tool" >/dev/null || { echo "count-instructions: $tool not found" >&2; exit 1; }
done

cmake=.venv/bin/cmake
[ -x "$cmake" ] || cmake=cmake
ninja=$(command -v .venv/bin/ninja || command -v ninja)
if [ -f cmake/toolchain-armhf.cmake ]; then
  cross=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-armhf.cmake")
else
  cross=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=armv7l
         -DCMAKE_C_COMPILER=arm-linux-gnueabihf-gcc -DCMAKE_CXX_COMPILER=arm-linux-gnueabihf-g++)
fi
# The cross settings are given once, when the build directory is made.
if [ -f "$build/CMakeCache.txt" ]; then
  "$cmake" -S . -B "$build" >/dev/null
else
  "$cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$(realpath "$ninja")" "${cross[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_BUILD_PYTHON=OFF -DQUORVEX_BUILD_TESTS=OFF >/dev/null
fi
"$cmake" --build "$build" --target phase_instruction_probe >/dev/null

# QEMU accepts only the plugin interface versions it knows: take the first
# one this qemu-arm loads.
plugin="$build/qemu-insn-count.so"
loaded=
for version in 1 2 3 4 5 6; do
  cc -O2 -shared -fPIC -DPLUGIN_API_VERSION=$version tools/qemu-insn-count.c -o "$plugin"
  if qemu-arm -L "$sysroot" -cpu "$cpu" -plugin "$plugin" "$build/bench/phase_instruction_probe" scalar 0 \
       >/dev/null 2>&1; then
    loaded=$version
    break
  fi
done
[ -n "$loaded" ] || { echo "count-instructions: qemu-arm loads no instruction-count plugin" >&2; exit 1; }

count() {
  qemu-arm -L "$sysroot" -cpu "$cpu" -plugin "$plugin" -d plugin \
    "$build/bench/phase_instruction_probe" "$1" "$2" 2>&1 >/dev/null | sed -n 's/^instructions: //p'
}

echo "HQVGA phase-to-depth, armv7 under qemu-arm -cpu $cpu: instructions per 240 x 180 frame"
base=
for backend in scalar neon; do
  idle=$(count "$backend" 0)
  busy=$(count "$backend" "$frames")
  [ -n "$idle" ] && [ -n "$busy" ] || { echo "count-instructions: no count for $backend" >&2; exit 1; }
  per=$(( (busy - idle) / frames ))
  if [ -z "$base" ]; then
    base=$per
    printf '  %-8s %12d\n' "$backend" "$per"
  else
    printf '  %-8s %12d   %sx scalar\n' "$backend" "$per" "$(awk "BEGIN { printf \"%.3f\", $per / $base }")"
  fi
done
