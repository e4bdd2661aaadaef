#!/usr/bin/env bash
# The C++ library as users get it: the installed tree, the CMake package and
# the pkg-config file, the Debian packages for amd64, armhf and arm64.
#
#   tools/test-sdk.sh        build and check all of it (make sdk-test)
#   tools/test-sdk.sh deb    only build the packages into build/deb (make deb)
#
# Checks: the installed files are exactly the expected ones (the native
# interface's headers, no test program, no simulation or kernel header, none
# of the wheel's files from a build that also makes the Python modules); a
# user's program and the example build against the installed tree through
# find_package and through pkg-config, and run on the simulated module; the
# amd64 packages install with dpkg and the example builds against them and
# runs; the ARM packages hold ARM files for their architecture, and a user's
# program cross-built against them runs under qemu.
#
# The arm64 packages need cmake/toolchain-arm64.cmake; without it they are
# skipped, and the script says so.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mode=${1:-test}
jobs=${JOBS:-$(nproc)}
cmake=$root/.venv/bin/cmake
cpack=$root/.venv/bin/cpack
gen=(-G Ninja "-DCMAKE_MAKE_PROGRAM=$root/.venv/bin/ninja")
version=$(sed -n 's/^project(QuorvexDepthCamera VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "test-sdk: no project version in CMakeLists.txt" >&2; exit 1; }
out=build/deb
mkdir -p $out

say() { echo "--- test-sdk: $*"; }

# Configures and builds the library alone for one architecture, installs it
# under build/sdk-<arch>/root and makes its packages; prints nothing else.
build_arch() {
  local arch=$1 toolchain=$2 dir=build/sdk-$1
  local extra=()
  [ -n "$toolchain" ] && extra=("-DCMAKE_TOOLCHAIN_FILE=$root/$toolchain")
  say "$arch: build"
  "$cmake" -S . -B $dir "${gen[@]}" "${extra[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX=/usr -DQUORVEX_BUILD_PYTHON=OFF -DQUORVEX_BUILD_TESTS=OFF \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
  # The library and the stand-ins only: the benchmarks and the simulation
  # library are no part of the packages.
  "$cmake" --build $dir -j "$jobs" --target quorvex si4c quorvex_evk_sdk
  rm -rf $dir/root $dir/deb
  DESTDIR=$root/$dir/root "$cmake" --install $dir >/dev/null
  (cd $dir && "$cpack" >/dev/null)
  cp $dir/deb/*.deb $out/
}

triple_of() {
  case $1 in amd64) echo x86_64-linux-gnu ;; armhf) echo arm-linux-gnueabihf ;; arm64) echo aarch64-linux-gnu ;; esac
}

# Each package unpacked on its own holds exactly its component's files.
check_debs() {
  local arch=$1 triple; triple=$(triple_of "$arch")
  local so=${version%.*}
  [ "${version%%.*}" = 0 ] || so=${version%%.*}
  local pkg comp deb
  for pair in "libquorvex$so:Runtime" "libquorvex-dev:Development" "libquorvex-simulated:Simulation"; do
    pkg=${pair%%:*}; comp=${pair##*:}
    deb=$out/${pkg}_${version}_${arch}.deb
    [ -f "$deb" ] || { echo "test-sdk: missing $deb" >&2; exit 1; }
    rm -rf build/sdk-$arch/unpacked/$pkg && mkdir -p build/sdk-$arch/unpacked/$pkg
    dpkg-deb -x "$deb" build/sdk-$arch/unpacked/$pkg
    dpkg-deb -f "$deb" > build/sdk-$arch/unpacked/$pkg.control
    .venv/bin/python tests/sdk/check_tree.py build/sdk-$arch/unpacked/$pkg --triple "$triple" \
      --version "$version" --components "$comp" --deb-control build/sdk-$arch/unpacked/$pkg.control
  done
  # The development package pins the runtime of its own version; the
  # simulated modules are only ever suggested.
  dpkg-deb -f $out/libquorvex-dev_${version}_${arch}.deb Depends | grep -qx "libquorvex$so (= $version)"
  dpkg-deb -f $out/libquorvex${so}_${version}_${arch}.deb Suggests | grep -qx "libquorvex-simulated"
  if dpkg-deb -f $out/libquorvex${so}_${version}_${arch}.deb Depends Recommends | grep -q simulated; then
    echo "test-sdk: the runtime package pulls in the simulated modules" >&2; exit 1
  fi
}

# A user's program and the example against an installed tree at
# <tree>/usr, through the CMake package and through pkg-config, then run.
# Extra arguments configure the user's projects (a toolchain file). Set
# before: CXX, the compiler; RUN, the command that runs a program built for
# the tree (empty natively); LIBPATH, where the tree's core library lies
# when it is not in the system's folders.
build_users() {
  local tag=$1 tree=$2 triple=$3; shift 3
  local dir=build/sdk-users/$tag
  rm -rf $dir && mkdir -p $dir
  "$cmake" -S tests/sdk/consumer -B $dir/consumer "${gen[@]}" "-DCMAKE_PREFIX_PATH=$tree/usr" "$@" >/dev/null
  "$cmake" --build $dir/consumer >/dev/null
  "$cmake" -S examples/cpp -B $dir/example "${gen[@]}" "-DCMAKE_PREFIX_PATH=$tree/usr" "$@" >/dev/null
  "$cmake" --build $dir/example >/dev/null
  say "$tag: consumer (find_package)"
  "${RUN[@]}" $dir/consumer/consumer
  say "$tag: example (find_package)"
  "${RUN[@]}" $dir/example/depth_stream 2 </dev/null
  # The pkg-config file answers for the tree's own place, wherever it lies.
  local pc=(pkg-config)
  if [ "$tree" != / ]; then
    pc=(env "PKG_CONFIG_PATH=$tree/usr/lib/$triple/pkgconfig" pkg-config)
  fi
  local flags; flags=$("${pc[@]}" --cflags --libs quorvex)
  "$CXX" -std=c++17 -Wall -Wextra -Werror -o $dir/consumer-pc tests/sdk/consumer/consumer.cpp $flags
  "$CXX" -std=c++17 -Wall -Wextra -Werror -o $dir/depth_stream-pc examples/cpp/depth_stream.cpp $flags
  say "$tag: consumer (pkg-config: $flags)"
  LD_LIBRARY_PATH=$LIBPATH "${RUN[@]}" $dir/consumer-pc
  say "$tag: example (pkg-config)"
  LD_LIBRARY_PATH=$LIBPATH "${RUN[@]}" $dir/depth_stream-pc 1 </dev/null
}

# The example ends cleanly on Ctrl-C: stream, interrupt, expect success.
check_interrupt() {
  local program=$1 log=build/sdk-users/interrupt.log
  "$program" 30 >$log 2>&1 </dev/null &
  local pid=$!
  sleep 2
  kill -INT $pid
  local rc=0
  wait $pid || rc=$?
  grep -q "(interrupted)" $log || { echo "test-sdk: the example did not stop on SIGINT:" >&2; cat $log >&2; exit 1; }
  [ $rc -eq 0 ] || { echo "test-sdk: the example exited with $rc after SIGINT" >&2; exit 1; }
  say "example stopped cleanly on SIGINT"
}

# --- amd64 -----------------------------------------------------------------
rm -f $out/*.deb
build_arch amd64 ""
arches="amd64"
if [ -f cmake/toolchain-armhf.cmake ] && command -v arm-linux-gnueabihf-g++ >/dev/null; then
  build_arch armhf cmake/toolchain-armhf.cmake
  arches+=" armhf"
else
  echo "!!! test-sdk: SKIPPED armhf packages: no arm-linux-gnueabihf-g++ (make setup-armhf) !!!"
fi
if [ -f cmake/toolchain-arm64.cmake ] && command -v aarch64-linux-gnu-g++ >/dev/null; then
  build_arch arm64 cmake/toolchain-arm64.cmake
  arches+=" arm64"
else
  echo "!!! test-sdk: SKIPPED arm64 packages: no cmake/toolchain-arm64.cmake or aarch64-linux-gnu-g++ !!!"
fi
ls -l $out
[ "$mode" = deb ] && exit 0

say "installed tree"
.venv/bin/python tests/sdk/check_tree.py build/sdk-amd64/root --triple x86_64-linux-gnu \
  --version "$version" --components Runtime,Development,Simulation
for arch in $arches; do
  say "$arch: packages"
  check_debs "$arch"
done

# The installed tree under build/: the program finds the core through
# LD_LIBRARY_PATH (CMake's build run path does that for find_package), the
# core finds the simulated modules through its own run path.
CXX=g++ RUN=() LIBPATH=$root/build/sdk-amd64/root/usr/lib/x86_64-linux-gnu
build_users tree "$root/build/sdk-amd64/root" x86_64-linux-gnu
check_interrupt build/sdk-users/tree/example/depth_stream

# A development build (the Python modules configured too) installed to a
# prefix of the user's choice: the C++ library alone, nothing of the wheel;
# a program finds it through the pkg-config file (which follows the tree),
# then runs with LD_LIBRARY_PATH or with a run path of its own, as the
# README says.
check_prefix() {
  local dir=build/sdk-prefix prefix=$root/build/sdk-prefix/stage/opt/quorvex
  say "cmake --install --prefix of a development build"
  "$cmake" -S . -B $dir "${gen[@]}" -DCMAKE_BUILD_TYPE=Release -DQUORVEX_BUILD_TESTS=OFF \
    "-DPython_EXECUTABLE=$root/.venv/bin/python" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
  "$cmake" --build $dir -j "$jobs" --target quorvex si4c quorvex_evk_sdk
  rm -rf $dir/stage
  "$cmake" --install $dir --prefix "$prefix" >/dev/null
  local libdir; libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' $dir/CMakeCache.txt)
  .venv/bin/python tests/sdk/check_tree.py $dir/stage --top opt/quorvex --libdir "$libdir" \
    --triple x86_64-linux-gnu --version "$version" --components Runtime,Development,Simulation
  local flags; flags=$(PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig pkg-config --cflags --libs quorvex)
  case "$flags" in *"$prefix"*) ;; *) echo "test-sdk: pkg-config does not name $prefix: $flags" >&2; exit 1 ;; esac
  g++ -std=c++17 -Wall -Wextra -Werror -o $dir/consumer tests/sdk/consumer/consumer.cpp $flags
  g++ -std=c++17 -Wall -Wextra -Werror -o $dir/consumer-rpath tests/sdk/consumer/consumer.cpp $flags \
    "-Wl,-rpath,$prefix/$libdir"
  say "prefix: consumer with LD_LIBRARY_PATH"
  LD_LIBRARY_PATH=$prefix/$libdir $dir/consumer
  say "prefix: consumer with its run path"
  env -u LD_LIBRARY_PATH $dir/consumer-rpath
}
check_prefix

# ARM: a user's program cross-built against the unpacked packages, run under
# qemu-user with the packages' files as its library path.
for arch in $arches; do
  [ "$arch" = amd64 ] && continue
  triple=$(triple_of "$arch")
  tree=$root/build/sdk-$arch/merged
  rm -rf "$tree" && mkdir -p "$tree"
  for p in build/sdk-$arch/unpacked/*/; do cp -a "$p"usr "$tree"/; done
  qemu=qemu-arm; [ "$arch" = arm64 ] && qemu=qemu-aarch64
  CXX=$triple-g++ RUN=($qemu -L /usr/$triple) LIBPATH=$tree/usr/lib/$triple
  build_users "$arch" "$tree" "$triple" "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/toolchain-$arch.cmake"
done

# dpkg -i of the amd64 packages, then the example from the installed
# documentation, built the way the README tells users. Needs root; the
# packages are removed again afterwards so the machine stays as it was.
if [ "$(id -u)" -ne 0 ]; then
  echo "!!! test-sdk: SKIPPED dpkg -i of the amd64 packages: not root !!!"
  exit 0
fi
if dpkg-query -W 'libquorvex*' >/dev/null 2>&1; then
  echo "test-sdk: libquorvex packages are already installed on this machine; not touching them" >&2
  dpkg-query -W 'libquorvex*' >&2
  exit 1
fi
so=${version%.*}
[ "${version%%.*}" = 0 ] || so=${version%%.*}
packages=(libquorvex-dev libquorvex-simulated "libquorvex$so")
trap 'dpkg -r "${packages[@]}" >/dev/null 2>&1 || true' EXIT
examples=/usr/share/doc/libquorvex-dev/examples
work=build/sdk-users/installed
rm -rf $work && mkdir -p $work
# Without the simulated modules the core still loads: a USB open says what
# is missing and fails, the program goes on to its own error.
say "dpkg -i the amd64 runtime and development packages alone"
dpkg -i $out/libquorvex${so}_${version}_amd64.deb $out/libquorvex-dev_${version}_amd64.deb
"$cmake" -S $examples -B $work/alone "${gen[@]}" >/dev/null
"$cmake" --build $work/alone >/dev/null
rc=0
$work/alone/depth_stream 1 </dev/null >$work/alone.log 2>&1 || rc=$?
if [ $rc -eq 0 ] || ! grep -q "no libquorvex_evk_sdk.so on this system and no simulated USB module" $work/alone.log; then
  echo "test-sdk: without libquorvex-simulated the example did not report the missing library (rc $rc):" >&2
  cat $work/alone.log >&2; exit 1
fi
say "installed alone: the USB open reports the missing library"
say "dpkg -i the amd64 packages"
dpkg -i $out/*_amd64.deb
"$cmake" -S $examples -B $work/cmake "${gen[@]}" >/dev/null
"$cmake" --build $work/cmake >/dev/null
say "installed: example (find_package)"
$work/cmake/depth_stream 2 </dev/null
g++ -std=c++17 -o $work/depth_stream-pc $examples/depth_stream.cpp $(pkg-config --cflags --libs quorvex)
say "installed: example (pkg-config)"
$work/depth_stream-pc 1 </dev/null
# A vendor's USB library on LD_LIBRARY_PATH (the test tree's, which answers
# that no module is there and records its calls) is what the installed core
# opens, though the stand-ins are installed; QUORVEX_SIMULATED=1 passes it by.
mkdir -p $work/vendor
cc -shared -fPIC -O1 -I"$root" -o $work/vendor/libquorvex_evk_sdk.so \
  tests/fake_vendor/fake_evk.c tests/fake_vendor/fake_record.c -ldl
rc=0
LD_LIBRARY_PATH=$root/$work/vendor FAKE_VENDOR_LOG=$work/vendor.calls $work/cmake/depth_stream 1 </dev/null \
  >$work/vendor.log 2>&1 || rc=$?
if [ $rc -eq 0 ] || ! grep -q "using the USB module library $root/$work/vendor/libquorvex_evk_sdk.so" $work/vendor.log \
   || ! grep -q QuorvexOpenCamera $work/vendor.calls; then
  echo "test-sdk: the installed core did not open the vendor's USB library on LD_LIBRARY_PATH (rc $rc):" >&2
  cat $work/vendor.log >&2; exit 1
fi
LD_LIBRARY_PATH=$root/$work/vendor QUORVEX_SIMULATED=1 $work/cmake/depth_stream 1 </dev/null
say "installed: a vendor's USB library on LD_LIBRARY_PATH is used, QUORVEX_SIMULATED=1 passes it by"
CXX=g++ RUN=() LIBPATH=
build_users installed / x86_64-linux-gnu
say "dpkg -r the amd64 packages"
dpkg -r "${packages[@]}" >/dev/null
trap - EXIT
if [ -e /usr/include/quorvex ] || [ -e /usr/lib/x86_64-linux-gnu/libquorvex.so.$so ]; then
  echo "test-sdk: dpkg -r left files behind" >&2; exit 1
fi
say "all checks passed"
