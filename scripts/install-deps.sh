#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
#   scripts/install-deps.sh            everything (build, tests, demo)
#   scripts/install-deps.sh --runtime  only what an installed program folder needs to run
# Only packages that are missing are installed, so a second call is quick.
#   --fuzz   also clang and libFuzzer, for scripts/fuzz.sh (not needed to build or test)
set -euo pipefail

# What the program itself runs on: Qt (with the xcb and offscreen platform plugins), its
# Russian translations, libcurl, OpenSSL, simdjson, libxlsxwriter, a font with Cyrillic
# letters and xdg-open for opening the finished workbook.
runtime_packages=(
  libqt6widgets6 libqt6gui6 qt6-translations-l10n
  libcurl4 libssl3 libsimdjson14 libxlsxwriter4
  fonts-dejavu-core xdg-utils
)

packages=(
  g++ cmake ninja-build pkg-config make
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libcurl4-openssl-dev libssl-dev openssl
  libsimdjson-dev libxlsxwriter-dev zlib1g-dev
  libgtest-dev googletest
  fonts-dejavu-core unzip xdg-utils
  fonts-dejavu-extra
  qt6-translations-l10n
)
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang libclang-rt-14-dev)
fi

case "${1:-}" in
  "") ;;
  --runtime) packages=("${runtime_packages[@]}") ;;
  *) echo "usage: $0 [--runtime]" >&2; exit 2 ;;
esac

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
