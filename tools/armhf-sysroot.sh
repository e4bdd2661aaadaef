#!/usr/bin/env bash
# Unpacks an armhf CPython with numpy and pytest, plus the Python headers the
# extension is cross-built against, from Debian's armhf packages into a
# sysroot that qemu-arm can run from (`qemu-arm -L SYSROOT`). No chroot and
# no root file system image: only `dpkg -x`. Downloaded packages are kept in
# CACHE so a rerun fetches nothing.
#   tools/armhf-sysroot.sh SYSROOT CACHE
set -euo pipefail
sysroot=$1
cache=$2
# libstdc++6: the extension's own runtime, which a board always has but the
# interpreter does not pull in.
packages=(python3.11-minimal libpython3.11-stdlib libpython3.11-dev python3-numpy python3-pytest libstdc++6)

stamp=$sysroot/.complete
if [ -f "$stamp" ] && [ "$stamp" -nt "$0" ]; then
  exit 0
fi

# apt only knows armhf packages once the architecture is added.
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "armhf-sysroot: run as root once: dpkg --add-architecture armhf && apt-get update" >&2
    exit 1
  fi
  dpkg --add-architecture armhf
  apt-get update -qq
fi

# Resolve the packages as if installing onto an empty armhf system: apt then
# picks one provider for every alternative (BLAS, LAPACK) and lists the whole
# closure, including the C library the interpreter runs on.
mkdir -p "$cache"
empty_status=$(mktemp)
trap 'rm -f "$empty_status"' EXIT
resolve() {
  apt-get install -s --no-install-recommends \
    -o Dir::State::status="$empty_status" \
    -o APT::Architecture=armhf -o APT::Architectures::=armhf -o APT::Architectures::=all \
    -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= \
    "${packages[@]}"
}
deb_name() { echo "${1}_${2//:/%3a}_${3}.deb"; }

# Resolves, then downloads what the cache lacks. Fails if either step does.
fetch() {
  resolve > "$cache/resolve.log" 2>&1 || return 1
  # Lines read: Inst NAME (VERSION ARCHIVE [ARCH])
  sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) [^[]*\[\([a-z0-9]*\)\].*/\1 \2 \3/p' \
    "$cache/resolve.log" > "$cache/packages.txt"
  [ -s "$cache/packages.txt" ] || return 1
  local want=() name version arch
  while read -r name version arch; do
    [ -f "$cache/$(deb_name "$name" "$version" "$arch")" ] && continue
    if [ "$arch" = all ]; then want+=("$name=$version"); else want+=("$name:$arch=$version"); fi
  done < "$cache/packages.txt"
  [ ${#want[@]} -eq 0 ] && return 0
  echo "armhf-sysroot: downloading ${#want[@]} packages"
  (cd "$cache" && apt-get download -qq -o APT::Sandbox::User=root "${want[@]}")
}
if ! fetch; then
  # Package lists can be missing on a fresh machine, or name versions the
  # archive no longer has after a point release: refresh once and retry.
  [ "$(id -u)" -eq 0 ] && apt-get update -qq
  fetch || { echo "armhf-sysroot: cannot resolve or download the packages" >&2; cat "$cache/resolve.log" >&2; exit 1; }
fi

# Versions superseded by a point release are of no further use.
for deb in "$cache"/*.deb; do
  [ -e "$deb" ] || continue
  base=${deb##*/}
  grep -qx "$base" <(while read -r name version arch; do deb_name "$name" "$version" "$arch"; done < "$cache/packages.txt") \
    || rm -f "$deb"
done

echo "armhf-sysroot: unpacking into $sysroot"
rm -rf "$sysroot"
mkdir -p "$sysroot"
while read -r name version arch; do
  dpkg -x "$cache/$(deb_name "$name" "$version" "$arch")" "$sysroot"
done < "$cache/packages.txt"

# Debian ships BLAS and LAPACK as alternatives, which dpkg -x does not set
# up. Relative links, so the host's own /usr never comes into play.
libdir=$sysroot/usr/lib/arm-linux-gnueabihf
ln -sf blas/libblas.so.3 "$libdir/libblas.so.3"
ln -sf lapack/liblapack.so.3 "$libdir/liblapack.so.3"
touch "$stamp"
