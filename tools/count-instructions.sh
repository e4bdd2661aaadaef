#!/usr/bin/env bash
# Instructions per HQVGA frame (phase to depth, depth coding, depth filters;
# the filters also per VGA frame) of the ARM builds, counted
# under qemu-user by a small TCG plugin (tools/qemu-insn-count.c): exact and
# the same on every run. The probe converts the bench frame F times; a frame
# costs (count(F) - count(0)) / F, which leaves out start-up and set-up.
#   tools/count-instructions.sh [ARCH...]      (armv7, aarch64; default: both
#                                               where the cross tools are)
# Build directories: build/armhf-bench and build/arm64-bench. Needs the
# cross compiler, qemu-user and a host C compiler (make setup-armhf,
# make setup-arm64). With QUORVEX_BENCH_FIGURES set, the counts also go to
# instructions-ARCH.json there, named as in build/bench/results.json.
set -euo pipefail
cd "$(dirname "$0")/.."
frames=3

cmake=.venv/bin/cmake
[ -x "$cmake" ] || cmake=cmake
ninja=$(command -v .venv/bin/ninja || command -v ninja)
command -v cc >/dev/null || { echo "count-instructions: no host C compiler (cc)" >&2; exit 1; }

# ARCH -> cross compiler, qemu, core, build directory, toolchain file.
settings() {
  case "$1" in
    # The core of the 32-bit Raspberry Pi boards, with NEON.
    armv7) echo "arm-linux-gnueabihf qemu-arm cortex-a7 build/armhf-bench toolchain-armhf.cmake armhf" ;;
    # The core of the Raspberry Pi 4 (Jetson Nano's A57 runs the same code).
    aarch64) echo "aarch64-linux-gnu qemu-aarch64 cortex-a72 build/arm64-bench toolchain-arm64.cmake arm64" ;;
    *) echo "count-instructions: unknown architecture $1 (armv7, aarch64)" >&2; return 1 ;;
  esac
}

# The figures of one architecture, "name value" lines, written as one JSON
# object when the architecture is done.
figures=()
figure() { figures+=("$1 $2"); }
write_figures() {
  [ -n "${QUORVEX_BENCH_FIGURES:-}" ] || return 0
  local out="$QUORVEX_BENCH_FIGURES/instructions-$1.json" sep= line
  { printf '{'
    for line in "${figures[@]}"; do
      printf '%s\n  "%s": %s' "$sep" "${line% *}" "${line##* }"
      sep=,
    done
    printf '\n}\n'
  } >"$out"
  figures=()
}

count_arch() {
  local arch=$1 triple qemu cpu build toolchain debian
  read -r triple qemu cpu build toolchain debian <<<"$(settings "$arch")"
  local sysroot=/usr/$triple
  # liblz4, the depth coders' baseline, comes from the Debian sysroot of
  # the ARM wheels (make wheel-armhf, make wheel-arm64), brought up to date
  # here when it is there; without it the comparison is left out.
  local lz4root=$PWD/build/sysroot-$debian-bookworm
  if [ -d "$lz4root" ]; then
    tools/debian-sysroot.sh "$debian" bookworm "$lz4root" "build/debs-$debian-bookworm" >/dev/null || true
  fi
  [ -f "$lz4root/usr/include/lz4.h" ] || lz4root=
  for tool in "$triple-g++" "$qemu"; do
    command -v "$tool" >/dev/null || { echo "count-instructions: $tool not found" >&2; return 1; }
  done
  # The cross settings are given once, when the build directory is made.
  if [ -f "$build/CMakeCache.txt" ]; then
    "$cmake" -S . -B "$build" -DQUORVEX_BENCH_LZ4_ROOT="$lz4root" >/dev/null
  else
    "$cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$(realpath "$ninja")" \
      -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$toolchain" -DQUORVEX_BENCH_LZ4_ROOT="$lz4root" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_BUILD_PYTHON=OFF -DQUORVEX_BUILD_TESTS=OFF >/dev/null
  fi
  "$cmake" --build "$build" --target phase_instruction_probe codec_instruction_probe \
    filter_instruction_probe >/dev/null

  # QEMU accepts only the plugin interface versions it knows: take the
  # first one this qemu loads.
  local plugin="$build/qemu-insn-count.so" loaded= version
  for version in 1 2 3 4 5 6; do
    cc -O2 -shared -fPIC -DPLUGIN_API_VERSION=$version tools/qemu-insn-count.c -o "$plugin"
    if "$qemu" -L "$sysroot" -cpu "$cpu" -plugin "$plugin" "$build/bench/phase_instruction_probe" scalar 0 \
         >/dev/null 2>&1; then
      loaded=$version
      break
    fi
  done
  [ -n "$loaded" ] || { echo "count-instructions: $qemu loads no instruction-count plugin" >&2; return 1; }

  count() {
    "$qemu" -L "$sysroot" -cpu "$cpu" -plugin "$plugin" -d plugin \
      "$build/bench/phase_instruction_probe" "$1" "$2" 2>&1 >/dev/null | sed -n 's/^instructions: //p'
  }
  count_codec() {
    "$qemu" -L "$sysroot" -cpu "$cpu" -plugin "$plugin" -d plugin \
      "$build/bench/codec_instruction_probe" "$@" 2>&1 >/dev/null | sed -n 's/^instructions: //p'
  }

  echo "HQVGA phase-to-depth, $arch under $qemu -cpu $cpu: instructions per 240 x 180 frame"
  local base= backend idle busy per
  for backend in scalar neon; do
    idle=$(count "$backend" 0)
    busy=$(count "$backend" "$frames")
    [ -n "$idle" ] && [ -n "$busy" ] || { echo "count-instructions: no count for $backend" >&2; return 1; }
    per=$(( (busy - idle) / frames ))
    if [ "$backend" = scalar ]; then
      figure "phase_to_depth.hqvga.${arch}_scalar_instructions" "$per"
    else
      figure "phase_to_depth.hqvga.${arch}_instructions" "$per"
    fi
    if [ -z "$base" ]; then
      base=$per
      printf '  %-8s %12d\n' "$backend" "$per"
    else
      printf '  %-8s %12d   %sx scalar\n' "$backend" "$per" "$(awk "BEGIN { printf \"%.3f\", $per / $base }")"
    fi
  done

  # Depth coding of the decoded bench frame: compressedDepth (RVL) of the
  # depth, the amplitude (linear rice, all of its coding), both, and
  # liblz4's default compression of the same two planes (float32, as an lz4
  # recording holds them) where the probe was built with it.
  local part size parts=(depth amplitude both)
  grep -q '^QUORVEX_BENCH_LZ4_LIBRARY:FILEPATH=/' "$build/CMakeCache.txt" && parts+=(lz4) ||
    echo "  depth coding: no liblz4 comparison (make wheel-$debian makes the sysroot that has it)"
  for size in hqvga vga; do
    for part in "${parts[@]}"; do
      idle=$(count_codec 0 "$part" "$size")
      busy=$(count_codec "$frames" "$part" "$size")
      [ -n "$idle" ] && [ -n "$busy" ] || { echo "count-instructions: no count for the depth coder" >&2; return 1; }
      per=$(( (busy - idle) / frames ))
      printf '  depth coding, %-5s %-9s %12d\n' "$size" "$part" "$per"
      figure "coding.$part.$size.${arch}_instructions" "$per"
      [ "$part" = both ] && base=$per
      [ "$part" = lz4 ] && figure "coding.both.$size.${arch}_ratio_to_lz4" \
        "$(awk "BEGIN { printf \"%.3f\", $base / $per }")"
    done
  done

  # The depth filters on the decoded bench frame: the default chain on each
  # backend and frame size, then each stage alone on NEON.
  count_filter() {
    "$qemu" -L "$sysroot" -cpu "$cpu" -plugin "$plugin" -d plugin \
      "$build/bench/filter_instruction_probe" "$@" 2>&1 >/dev/null | sed -n 's/^instructions: //p'
  }
  local stage
  for size in hqvga vga; do
    base=
    for backend in scalar neon; do
      idle=$(count_filter "$backend" 0 "$size")
      busy=$(count_filter "$backend" "$frames" "$size")
      [ -n "$idle" ] && [ -n "$busy" ] || { echo "count-instructions: no count for the filters" >&2; return 1; }
      per=$(( (busy - idle) / frames ))
      if [ "$backend" = scalar ]; then
        figure "filters.default.$size.${arch}_scalar_instructions" "$per"
      else
        figure "filters.default.$size.${arch}_instructions" "$per"
      fi
      if [ -z "$base" ]; then
        base=$per
        printf '  default filter chain, %-5s [%s] %12d\n' "$size" "$backend" "$per"
      else
        printf '  default filter chain, %-5s [%s] %12d   %sx scalar\n' "$size" "$backend" "$per" \
          "$(awk "BEGIN { printf \"%.3f\", $per / $base }")"
      fi
    done
  done
  for stage in confidence aliasing flying spatial temporal holes; do
    idle=$(count_filter neon 0 hqvga "$stage")
    busy=$(count_filter neon "$frames" hqvga "$stage")
    [ -n "$idle" ] && [ -n "$busy" ] || { echo "count-instructions: no count for the $stage filter" >&2; return 1; }
    printf '  filter stage alone, hqvga [neon] %-10s %12d\n' "$stage" $(( (busy - idle) / frames ))
    figure "filters.$stage.hqvga.${arch}_instructions" $(( (busy - idle) / frames ))
  done
  write_figures "$arch"
}

arches=("$@")
if [ ${#arches[@]} -eq 0 ]; then
  for arch in armv7 aarch64; do
    read -r triple qemu _ <<<"$(settings "$arch")"
    if command -v "$triple-g++" >/dev/null && command -v "$qemu" >/dev/null; then
      arches+=("$arch")
    else
      echo "count-instructions: $arch skipped ($triple-g++ or $qemu missing)"
    fi
  done
fi
for arch in "${arches[@]}"; do
  count_arch "$arch"
done
