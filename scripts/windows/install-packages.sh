#!/usr/bin/env bash
# The Debian packages the Windows build and its tests need: the mingw-w64 cross compiler
# (posix threads), zlib for it, Qt's host tools, Tcl (SQLite's amalgamation is made with it), wine and Xvfb to run the result, and the
# source-package tools (with a deb-src line of its own for the same mirror).
set -euo pipefail
packages=(
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  qt6-base-dev qt6-base-dev-tools qt6-translations-l10n
  cmake ninja-build perl make dpkg-dev xz-utils zip unzip tcl
  wine wine64 fonts-wine xvfb xauth locales openssl
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
srclist=/etc/apt/sources.list.d/orgharvester-src.sources
# The source packages come from the mirror this machine already takes Debian's packages from
# (a local mirror included), as apt itself reports it; deb.debian.org only when none is found.
mirror=$(apt-cache policy 2>/dev/null | awk '
  /^ *[0-9]+ [a-z]+:\/\/[^ ]+ bookworm\/main / { uri = $2; next }
  uri != "" && /^ +release / {
    if ($0 ~ /o=Debian,/ && $0 ~ /l=Debian,/ && $0 ~ /n=bookworm,/) { print uri; exit }
    uri = ""
  }')
mirror=${mirror:-http://deb.debian.org/debian}
need_src=0
grep -qx "URIs: $mirror" "$srclist" 2>/dev/null || need_src=1
# Wine takes its ANSI code page from the locale: ru_RU.UTF-8 gives Windows-1251, as on a
# Russian desktop; en_US.UTF-8 gives Windows-1252, a Western one without Cyrillic letters.
need_locale=0
locale -a 2>/dev/null | grep -qix 'ru_RU.utf8' || need_locale=1
locale -a 2>/dev/null | grep -qix 'en_US.utf8' || need_locale=1
if [ ${#missing[@]} -eq 0 ] && [ $need_src -eq 0 ] && [ $need_locale -eq 0 ]; then exit 0; fi
if [ "$(id -u)" -ne 0 ]; then
  echo "windows packages: installing needs root: ${missing[*]} (and perhaps a deb-src line and the ru_RU.UTF-8 and en_US.UTF-8 locales)" >&2
  exit 1
fi
if [ $need_src -eq 1 ]; then
  cat > "$srclist" <<SRC
Types: deb-src
URIs: $mirror
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
[ ${#missing[@]} -eq 0 ] || apt-get install -y -qq --no-install-recommends "${missing[@]}"
if [ $need_locale -eq 1 ]; then
  for l in ru_RU en_US; do
    sed -i "s/^# *\($l.UTF-8 UTF-8\)/\1/" /etc/locale.gen
    grep -qx "$l.UTF-8 UTF-8" /etc/locale.gen || echo "$l.UTF-8 UTF-8" >> /etc/locale.gen
  done
  locale-gen >/dev/null
fi
