#!/usr/bin/env bash
# Runs the programs of tests/kernel/ against real Linux drivers: Debian's own
# kernels booted under qemu-system (TCG, no KVM) with a busybox initramfs,
# the virtual video driver vivid and, on armv7l, a real I2C adapter (the
# vexpress-a9 board's) with an EEPROM at the module controller's address.
# aarch64 boots on the generic virt machine, which has no I2C controller.
#
#   tools/test-kernel.sh [fetch|run] [x86_64] [armv7l] [aarch64]
#
# `fetch` only downloads the Debian packages into the cache and exits 0 when
# that worked (CI uses it to tell whether the archive is reachable); `run`
# (the default) fetches, builds the guest programs, boots each architecture
# and fails when a program fails or a guest does not reach the tests.
# Nothing is installed into the host's /boot or /lib/modules: the kernel
# packages are unpacked with dpkg -x into build/kernel-cache.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

mode=run
arches=()
for a in "$@"; do
  case "$a" in
    fetch|run) mode=$a ;;
    x86_64|armv7l|aarch64) arches+=("$a") ;;
    *) echo "test-kernel: unknown argument '$a'" >&2; exit 2 ;;
  esac
done
[ ${#arches[@]} -gt 0 ] || arches=(x86_64 armv7l aarch64)

cache=${KERNEL_CACHE:-$top/build/kernel-cache}
work=$top/build/kernel-test
jobs=${JOBS:-$(nproc)}
# One boot takes about 20 s here; the bound leaves room for a loaded machine.
boot_timeout=${KERNEL_BOOT_TIMEOUT:-300}
cmake=$top/.venv/bin/cmake
ninja=$top/.venv/bin/ninja
marker='@@quorvex-ktest'

log() { echo "test-kernel: $*"; }
die() { echo "test-kernel: FAILED: $*" >&2; exit 1; }

# ---------------------------------------------------------------- packages
ensure_host_tools() {
  # The ARM packages are fetched by name, so dpkg must know the architectures.
  local a added=
  for a in armhf arm64; do
    if ! dpkg --print-foreign-architectures | grep -qx "$a"; then
      [ "$(id -u)" -eq 0 ] || die "dpkg does not know $a; as root run: dpkg --add-architecture $a && apt-get update"
      dpkg --add-architecture "$a"
      added=1
    fi
  done
  if [ -n "$added" ]; then apt-get update -qq || return 1; fi
  tools/setup.sh qemu-system-x86 qemu-system-arm kmod cpio g++-arm-linux-gnueabihf g++-aarch64-linux-gnu
}

# Exit status 3 says that Debian's archive could not serve what is needed
# (CI reports that as a skip, loudly); anything else is a failure.
unreachable() {
  echo "test-kernel: $*" >&2
  exit 3
}

# Name of the kernel image package a Debian meta package points at.
kernel_package() {
  local meta=$1 name
  name=$(apt-cache depends "$meta" 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}')
  if [ -z "$name" ]; then
    apt-get update -qq >/dev/null || true
    name=$(apt-cache depends "$meta" 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}')
  fi
  [ -n "$name" ] || return 1
  echo "$name"
}

# Downloads "name[:arch]" into the cache unless the candidate version is
# there already; prints the .deb's path.
fetch_deb() {
  local pkg=$1 name arch version file
  name=${pkg%%:*}
  arch=amd64
  case "$pkg" in *:*) arch=${pkg##*:} ;; esac
  version=$(apt-cache policy "$pkg" | awk '/Candidate:/ {print $2; exit}')
  [ -n "$version" ] && [ "$version" != "(none)" ] || { echo "test-kernel: no candidate for $pkg" >&2; return 1; }
  file="$cache/debs/${name}_${version/:/%3a}_${arch}.deb"
  if [ ! -s "$file" ]; then
    mkdir -p "$cache/debs"
    (cd "$cache/debs" && apt-get download -q "$pkg=$version" >/dev/null 2>"$cache/debs/apt.log") || {
      cat "$cache/debs/apt.log" >&2
      echo "test-kernel: could not download $pkg=$version" >&2
      return 1
    }
  fi
  echo "$file"
}

declare -A kernel_deb busybox_deb
fetch_all() {
  local k_amd64 k_armhf k_arm64
  k_amd64=$(kernel_package linux-image-amd64) || { echo "test-kernel: linux-image-amd64 unknown to apt" >&2; return 1; }
  k_armhf=$(kernel_package linux-image-armmp:armhf) || { echo "test-kernel: linux-image-armmp:armhf unknown to apt" >&2; return 1; }
  case "$k_armhf" in *:armhf) ;; *) k_armhf=$k_armhf:armhf ;; esac
  k_arm64=$(kernel_package linux-image-arm64:arm64) || { echo "test-kernel: linux-image-arm64:arm64 unknown to apt" >&2; return 1; }
  case "$k_arm64" in *:arm64) ;; *) k_arm64=$k_arm64:arm64 ;; esac
  kernel_deb[aarch64]=$(fetch_deb "$k_arm64") || return 1
  busybox_deb[aarch64]=$(fetch_deb busybox-static:arm64) || return 1
  kernel_deb[x86_64]=$(fetch_deb "$k_amd64") || return 1
  kernel_deb[armv7l]=$(fetch_deb "$k_armhf") || return 1
  busybox_deb[x86_64]=$(fetch_deb busybox-static) || return 1
  busybox_deb[armv7l]=$(fetch_deb busybox-static:armhf) || return 1
}

# ------------------------------------------------------------ per architecture
# Everything an architecture needs, by name.
configure_arch() {
  case "$1" in
    x86_64)
      qemu=(qemu-system-x86_64 -M q35,accel=tcg -cpu max -m 512 -smp 1)
      console=ttyS0
      cross=()
      strip_tool=strip
      # vivid alone; its dependencies come from modprobe.
      modules=("vivid n_devs=2 multiplanar=1,2")
      ;;
    armv7l)
      # vexpress-a9 has a real I2C controller (plain I2C transfers, unlike the
      # SMBus-only ones of q35 and i2c-stub); vivid loads there as well, so
      # one boot serves the V4L2 and the I2C programs. Its first bus gets an
      # EEPROM at the module controller's address with 2-byte register
      # addresses (4 KiB). The second bus stays empty: NACKs take seconds there.
      qemu=(qemu-system-arm -M vexpress-a9 -m 512 -smp 1
            -device at24c-eeprom,address=0x0c,rom-size=4096)
      console=ttyAMA0
      cross=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-armhf.cmake")
      strip_tool=arm-linux-gnueabihf-strip
      modules=("vivid n_devs=2 multiplanar=1,2" "i2c-versatile" "i2c-dev")
      ;;
    aarch64)
      # The generic virt machine (what 64-bit ARM guests boot on): vivid
      # loads there; it offers no I2C controller to attach an EEPROM to.
      qemu=(qemu-system-aarch64 -M virt -cpu cortex-a57 -m 512 -smp 1)
      console=ttyAMA0
      cross=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-arm64.cmake")
      strip_tool=aarch64-linux-gnu-strip
      modules=("vivid n_devs=2 multiplanar=1,2")
      ;;
  esac
}

# Guest builds of an architecture: name and extra compiler flags. armv7l is
# built twice, with the 32-bit time_t that armhf defaults to and with the
# 64-bit one: the V4L2 buffer record (and so the request numbers) differ.
guest_builds() {
  case "$1" in
    x86_64) echo "x86_64|" ;;
    armv7l) echo "armv7l|"; echo "armv7l-time64|-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64" ;;
    aarch64) echo "aarch64|" ;;
  esac
}

unpack() {
  local arch=$1 tree=$cache/$1/root stamp
  stamp="$(basename "${kernel_deb[$arch]}") $(basename "${busybox_deb[$arch]}")"
  if [ "$(cat "$cache/$arch/unpacked" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$tree"
    mkdir -p "$tree"
    dpkg -x "${kernel_deb[$arch]}" "$tree"
    dpkg -x "${busybox_deb[$arch]}" "$tree"
    echo "$stamp" >"$cache/$arch/unpacked"
  fi
  kver=$(ls "$tree/lib/modules" | head -n 1)
  [ -n "$kver" ] || die "$arch: no modules in ${kernel_deb[$arch]}"
  vmlinuz=$tree/boot/vmlinuz-$kver
  [ -f "$vmlinuz" ] || die "$arch: no kernel image in ${kernel_deb[$arch]}"
  [ -f "$tree/lib/modules/$kver/modules.dep" ] || depmod -b "$tree" "$kver"
}

build_guest_programs() {
  local name=$1 flags=$2 dir=$top/build/kernel-guest/$1
  mkdir -p "$top/build/kernel-guest"
  log "building the guest programs for $name"
  local args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_KERNEL_TESTS=ON
              -DQUORVEX_BUILD_TESTS=OFF -DQUORVEX_BUILD_PYTHON=OFF
              -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" "${cross[@]}")
  # Configured again only when the settings change; otherwise only built.
  if [ ! -f "$dir/build.ninja" ] || [ "$(cat "$dir.args" 2>/dev/null)" != "${args[*]}" ]; then
    rm -rf "$dir"
    "$cmake" -S "$top" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" "${args[@]}" >"$dir.configure.log" 2>&1 \
      || { cat "$dir.configure.log"; die "$name: configuring the guest programs failed"; }
    echo "${args[*]}" >"$dir.args"
  fi
  "$cmake" --build "$dir" -j "$jobs" --target quorvex_kernel_tests >"$dir.build.log" 2>&1 \
    || { tail -n 60 "$dir.build.log"; die "$name: building the guest programs failed"; }
}

make_initramfs() {
  local arch=$1 tree=$cache/$1/root root=$work/$1/initramfs m name line build flags
  rm -rf "$root"
  mkdir -p "$root"/{bin,dev,proc,sys,tmp,etc,tests}
  cp "$tree/bin/busybox" "$root/bin/busybox"

  # The modules and everything they depend on, at the paths modprobe expects.
  : >"$root/etc/modules"
  for m in "${modules[@]}"; do
    name=${m%% *}
    modprobe -d "$tree" -S "$kver" --show-depends "$name" >"$work/$arch/deps" \
      || die "$arch: module $name not found in $kver"
    while read -r line; do
      case "$line" in
        insmod\ *)
          line=${line#insmod }
          line=${line%% *}
          mkdir -p "$root/$(dirname "${line#"$tree"/}")"
          cp "$line" "$root/${line#"$tree"/}"
          ;;
      esac
    done <"$work/$arch/deps"
    echo "$m" >>"$root/etc/modules"
  done
  cp "$tree/lib/modules/$kver"/modules.{order,builtin} "$root/lib/modules/$kver/" 2>/dev/null || true
  depmod -b "$root" "$kver"

  : >"$root/tests/list"
  while IFS='|' read -r build flags; do
    while read -r prog; do
      [ -n "$prog" ] || continue
      "$strip_tool" -o "$root/tests/$build.$prog" "$top/build/kernel-guest/$build/tests/kernel/$prog"
      echo "$build.$prog" >>"$root/tests/list"
    done <"$top/build/kernel-guest/$build/tests/kernel/programs.txt"
  done < <(guest_builds "$arch")
  [ -s "$root/tests/list" ] || die "$arch: no guest programs"

  cat >"$root/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
echo "$marker BOOTED \$(uname -m) \$(uname -r)"
while read -r m args; do
  modprobe "\$m" \$args || echo "$marker MODULE-FAILED \$m"
done </etc/modules
# Device nodes appear once the drivers have registered them.
i=0
while [ ! -e /dev/video0 ] && [ \$i -lt 100 ]; do sleep 0.1; i=\$((i + 1)); done
cd /tmp
while read -r t; do
  echo "$marker START \$t"
  /tests/\$t --gtest_color=no
  rc=\$?
  if [ \$rc -eq 0 ]; then echo "$marker PASS \$t"; else echo "$marker FAIL \$t (exit status \$rc)"; fi
done </tests/list
echo "$marker DONE"
poweroff -f
EOF
  chmod +x "$root/init"
  (cd "$root" && find . -print0 | cpio --null -o -H newc --quiet | gzip -1 >"$work/$arch/initramfs.cpio.gz")
}

# Boots the guest and judges its console: every program listed must have
# passed, no module may have failed to load, and the guest must get to the end.
boot_and_check() {
  local arch=$1 console_log=$work/$1/console.log dtb=() rc=0 t passed=0 failed=0
  if [ "$arch" = armv7l ]; then
    dtb=(-dtb "$cache/$arch/root/usr/lib/linux-image-$kver/vexpress-v2p-ca9.dtb")
  fi
  log "booting $kver ($arch)"
  local t0=$(date +%s)
  timeout --kill-after=10 "$boot_timeout" "${qemu[@]}" "${dtb[@]}" \
    -kernel "$vmlinuz" -initrd "$work/$arch/initramfs.cpio.gz" \
    -append "console=$console quiet loglevel=1 panic=-1 rdinit=/init" \
    -display none -monitor none -serial "file:$console_log" -no-reboot </dev/null || rc=$?
  tr -d '\r' <"$console_log" >"$console_log.txt"
  cat "$console_log.txt"
  log "$arch: qemu ran $(( $(date +%s) - t0 )) s"
  if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    echo "test-kernel: $arch: the guest did not finish within ${boot_timeout} s"
  elif [ $rc -ne 0 ]; then
    echo "test-kernel: $arch: qemu exited with status $rc"
  fi
  grep -q "^$marker BOOTED" "$console_log.txt" || { echo "test-kernel: $arch: the guest did not reach its init"; failed=$((failed + 1)); }
  if grep -q "^$marker MODULE-FAILED" "$console_log.txt"; then
    grep "^$marker MODULE-FAILED" "$console_log.txt"
    failed=$((failed + 1))
  fi
  while read -r t; do
    if grep -qx "$marker PASS $t" "$console_log.txt"; then
      passed=$((passed + 1))
      # A program that passed with skipped tests says so in the summary.
      if awk -v from="$marker START $t" -v to="$marker PASS $t" \
           '$0 == from {inside = 1; next} $0 == to {inside = 0} inside && /^\[  SKIPPED \]/ {found = 1}
            END {exit !found}' "$console_log.txt"; then
        results+=("PASS $arch $t (some of its tests were skipped)")
      else
        results+=("PASS $arch $t")
      fi
    else
      failed=$((failed + 1))
      results+=("FAIL $arch $t")
    fi
  done <"$work/$arch/initramfs/tests/list"
  grep -qx "$marker DONE" "$console_log.txt" || { echo "test-kernel: $arch: the guest did not finish its tests"; failed=$((failed + 1)); }
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
}

# ------------------------------------------------------------------- main
ensure_host_tools || unreachable "the host tools could not be installed from the Debian archive"
fetch_all || unreachable "the Debian packages could not be fetched"
if [ "$mode" = fetch ]; then
  log "packages in $cache/debs"
  exit 0
fi

results=()
total_passed=0
total_failed=0
for arch in "${arches[@]}"; do
  configure_arch "$arch"
  mkdir -p "$cache/$arch" "$work/$arch"
  unpack "$arch"
  while IFS='|' read -r build flags; do
    build_guest_programs "$build" "$flags"
  done < <(guest_builds "$arch")
  make_initramfs "$arch"
  boot_and_check "$arch"
done

echo
printf '  %s\n' "${results[@]}"
# Counts programs (each a GoogleTest binary) plus boot-level failures.
echo "test-kernel: $total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]
