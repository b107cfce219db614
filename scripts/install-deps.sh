#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the programs and the tests need, when missing.
# Usage: scripts/install-deps.sh            (build and run)
#        scripts/install-deps.sh --tests    (also what the test suite, the fuzz targets and the
#                                            benchmarks use)
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libfreetype-dev libfontconfig-dev fontconfig fonts-dejavu-core
  qt6-base-dev lighttpd curl
)
if [[ "${1:-}" == "--tests" ]]; then
  packages+=(
    googletest libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev
    python3 python3-pil giflib-tools libgif-dev chromium xvfb xauth strace
    clang libclang-rt-dev
  )
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}" >&2
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
