#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh machine: Debian
# packages (as root; otherwise prints what to install and stops) and Python
# packages into the project's own virtual environment (.venv).
#   tools/setup.sh [extra apt packages...]
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(g++ make libgtest-dev libgmock-dev "$@")
missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "setup: installing ${missing[*]}"
    # Multiarch packages need their architecture known to dpkg first.
    for p in "${missing[@]}"; do
      case "$p" in *:armhf) dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf ;; esac
    done
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "setup: missing Debian packages: ${missing[*]}" >&2
    echo "setup: install them as root, then run this again:" >&2
    echo "    sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
fi

python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv
fi
# The stamp records which requirements were installed; a missing tool (an
# environment recreated or damaged by hand) also triggers a reinstall.
stamp=.venv/.requirements-installed
want=$(sha256sum requirements-dev.txt | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ] || [ ! -x .venv/bin/cmake ] || [ ! -x .venv/bin/pytest ]; then
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q -r requirements-dev.txt
  echo "$want" > "$stamp"
fi
