#!/usr/bin/env bash
# Unpacks a Debian release's CPython with numpy and pytest, Cyclone DDS's C
# library, plus the Python headers the extension is cross-built against, for
# one foreign architecture (armhf, arm64) into a sysroot that qemu-user can run from
# (`qemu-arm -L SYSROOT`, `qemu-aarch64 -L SYSROOT`). No chroot and no root
# file system image: only `dpkg -x`.
#
# The packages are found with a private apt state under CACHE (its own
# source list, package lists and downloads), never the host's: the host's
# sources, architectures and installed packages stay as they are, and the
# release need not be the host's. Downloads stay in CACHE, so a rerun
# fetches nothing but fresh package lists.
#   tools/debian-sysroot.sh ARCH RELEASE SYSROOT CACHE
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: $0 ARCH RELEASE SYSROOT CACHE" >&2; exit 2; }
arch=$1
release=$2
sysroot=$3
cache=$4
case "$arch" in
  armhf) triple=arm-linux-gnueabihf ;;
  arm64) triple=aarch64-linux-gnu ;;
  *) echo "debian-sysroot: unknown architecture $arch (armhf, arm64)" >&2; exit 2 ;;
esac
# The release's default interpreter through its meta packages, whichever
# version that is. libstdc++6: the extension's own runtime, which a board
# always has but the interpreter does not pull in. liblz4-dev: only what
# the instruction counts of tools/count-instructions.sh compare the depth
# coders with (the extension never links it).
packages=(python3-minimal libpython3-stdlib libpython3-dev python3-numpy python3-pytest libstdc++6 liblz4-dev)
# Cyclone DDS's C library, which `--transport ros2` loads at run time, so
# that the ROS 2 tests run against the board's own build of it; its package
# is named after the release's ABI transition (64-bit time_t in trixie).
case "$release" in
  bookworm) packages+=(libddsc0debian) ;;
  *) packages+=(libddsc0t64) ;;
esac

stamp=$sysroot/.complete
if [ -f "$stamp" ] && [ "$stamp" -nt "$0" ]; then
  exit 0
fi

# The archive the host already uses (deb822 or one-line sources).
uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
[ -n "$uri" ] || uri=$(awk '$1 == "deb" && $2 !~ /^\[/ {print $2; exit} $1 == "deb" {print $3; exit}' \
  /etc/apt/sources.list 2>/dev/null || true)
[ -n "$uri" ] || { echo "debian-sysroot: no Debian archive in the host's apt sources" >&2; exit 1; }

state=$(realpath -m "$cache/apt")
mkdir -p "$state/lists/partial" "$state/archives/partial"
cat > "$state/sources.list" <<LIST
deb [arch=$arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $release main
deb [arch=$arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $release-updates main
LIST
: > "$state/status"  # an empty system: apt lists the whole closure
apt_opts=(
  -o Dir::Etc::sourcelist="$state/sources.list" -o Dir::Etc::sourceparts=-
  -o Dir::State::Lists="$state/lists" -o Dir::State::status="$state/status"
  -o Dir::Cache="$state" -o Dir::Cache::archives="$state/archives"
  -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
  -o APT::Architecture="$arch" -o APT::Architectures::="$arch" -o APT::Architectures::=all
  -o APT::Sandbox::User=root
)

deb_name() { echo "${1}_${2//:/%3a}_${3}.deb"; }

# Resolves the packages as if installing onto an empty system of that
# architecture (apt then picks one provider for every alternative, BLAS and
# LAPACK), then downloads what the cache lacks.
fetch() {
  apt-get "${apt_opts[@]}" install -s --no-install-recommends "${packages[@]}" \
    > "$cache/resolve.log" 2>&1 || return 1
  # Lines read: Inst NAME (VERSION ARCHIVE [ARCH])
  sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) [^[]*\[\([a-z0-9]*\)\].*/\1 \2 \3/p' \
    "$cache/resolve.log" > "$cache/packages.txt"
  [ -s "$cache/packages.txt" ] || return 1
  local want=() name version a
  while read -r name version a; do
    [ -f "$cache/$(deb_name "$name" "$version" "$a")" ] && continue
    if [ "$a" = all ]; then want+=("$name=$version"); else want+=("$name:$a=$version"); fi
  done < "$cache/packages.txt"
  [ ${#want[@]} -eq 0 ] && return 0
  echo "debian-sysroot: downloading ${#want[@]} $release $arch packages"
  (cd "$cache" && apt-get "${apt_opts[@]}" download -qq "${want[@]}")
}
update() { apt-get "${apt_opts[@]}" update -qq; }
# Fresh lists when there are none; stale ones can name versions the archive
# no longer has after a point release: refresh once and retry.
if ! ls "$state/lists/"*_Packages* >/dev/null 2>&1; then
  update || { echo "debian-sysroot: cannot fetch the $release package lists" >&2; exit 3; }
fi
if ! fetch; then
  update || { echo "debian-sysroot: cannot fetch the $release package lists" >&2; exit 3; }
  fetch || { echo "debian-sysroot: cannot resolve or download the packages" >&2; cat "$cache/resolve.log" >&2; exit 3; }
fi

# Versions superseded by a point release are of no further use.
for deb in "$cache"/*.deb; do
  [ -e "$deb" ] || continue
  base=${deb##*/}
  grep -qx "$base" <(while read -r name version a; do deb_name "$name" "$version" "$a"; done < "$cache/packages.txt") \
    || rm -f "$deb"
done

echo "debian-sysroot: unpacking $release $arch into $sysroot"
rm -rf "$sysroot"
mkdir -p "$sysroot"
while read -r name version a; do
  dpkg -x "$cache/$(deb_name "$name" "$version" "$a")" "$sysroot"
done < "$cache/packages.txt"

# Releases with a merged /usr (trixie) ship the dynamic loader and libraries
# under /usr/lib only; the /lib links are base-files', which a sysroot lacks.
for d in bin sbin lib; do
  [ -e "$sysroot/$d" ] || [ ! -d "$sysroot/usr/$d" ] || ln -s "usr/$d" "$sysroot/$d"
done

# Debian ships BLAS and LAPACK as alternatives, which dpkg -x does not set
# up. Relative links, so the host's own /usr never comes into play.
libdir=$sysroot/usr/lib/$triple
ln -sf blas/libblas.so.3 "$libdir/libblas.so.3"
ln -sf lapack/liblapack.so.3 "$libdir/liblapack.so.3"
touch "$stamp"
