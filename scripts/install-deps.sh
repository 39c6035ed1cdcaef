#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
#   scripts/install-deps.sh                 everything (build, tests, demo)
#   scripts/install-deps.sh --runtime       only what an installed program folder needs to run
#   scripts/install-deps.sh --fuzz          everything, and clang with libFuzzer for
#                                           scripts/fuzz.sh (not needed to build or test)
#   scripts/install-deps.sh --list-runtime  prints the runtime packages, one a line, and
#                                           installs nothing (the window's font test uses it)
# Only packages that are missing are installed, so a second call is quick. python3-gi lets the
# install test start the program's desktop entry the way a file manager does.
set -euo pipefail

# What the program itself runs on: Qt (with the xcb and offscreen platform plugins), its
# Russian translations, libcurl, OpenSSL, simdjson, libxlsxwriter, SQLite (the harvest
# history), the window's fonts
# (DejaVu Sans with Cyrillic letters, and its condensed face from fonts-dejavu-extra, which
# the window is drawn with) and xdg-open for opening the finished workbook.
runtime_packages=(
  libqt6widgets6 libqt6gui6 qt6-translations-l10n
  libcurl4 libssl3 libsimdjson14 libxlsxwriter4 libsqlite3-0
  fonts-dejavu-core fonts-dejavu-extra xdg-utils
)

packages=(
  g++ cmake ninja-build pkg-config make
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libcurl4-openssl-dev libssl-dev openssl
  libsimdjson-dev libxlsxwriter-dev zlib1g-dev libsqlite3-dev
  libgtest-dev googletest
  fonts-dejavu-core fonts-dejavu-extra unzip xdg-utils
  qt6-translations-l10n
  python3-gi
)

case "${1:-}" in
  "") ;;
  --runtime) packages=("${runtime_packages[@]}") ;;
  --fuzz) packages+=(clang libclang-rt-14-dev) ;;
  --list-runtime) printf '%s\n' "${runtime_packages[@]}"; exit 0 ;;
  *) echo "usage: $0 [--runtime|--fuzz|--list-runtime]" >&2; exit 2 ;;
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
