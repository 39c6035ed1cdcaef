#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
# Only packages that are missing are installed, so a second call is quick.
#   --fuzz   also clang and libFuzzer, for scripts/fuzz.sh (not needed to build or test)
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config make
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libcurl4-openssl-dev libssl-dev openssl
  libsimdjson-dev libxlsxwriter-dev zlib1g-dev
  libgtest-dev googletest
  fonts-dejavu-core unzip xdg-utils
  fonts-dejavu-extra
)
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: these packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
