#!/usr/bin/env bash
# font-layout.sh TEST_EXE INSTALL_DEPS FONTS SCALE
# Runs the window's layout test offscreen at SCALE (QT_SCALE_FACTOR) with one set of fonts
# only, through a fontconfig configuration that knows no other folder:
#   runtime   the fonts of the runtime packages (INSTALL_DEPS --list-runtime), all an
#             end user's machine is sure to have: the window must get its own face there
#   fallback  DejaVu Sans alone (fonts-dejavu-core), what a machine without the condensed
#             face falls back to
#   serif     DejaVu Serif alone, a face of other widths
set -euo pipefail

exe=$1
deps=$2
set=$3
scale=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/fonts"

font_files() { dpkg -L "$@" 2>/dev/null | grep -E '\.(ttf|otf|ttc|pfb)$' || true; }
case "$set" in
  runtime)
    # shellcheck disable=SC2046
    files=$(font_files $(bash "$deps" --list-runtime))
    expect="DejaVu Sans Condensed" ;;
  fallback)
    files=$(font_files fonts-dejavu-core | grep '/DejaVuSans\(-Bold\)\?\.ttf$')
    expect="DejaVu Sans" ;;
  serif)
    files=$(font_files fonts-dejavu-core | grep '/DejaVuSerif\.ttf$')
    expect="DejaVu Serif" ;;
  *) echo "font-layout: unknown font set $set" >&2; exit 2 ;;
esac
if [ -z "$files" ]; then
  echo "font-layout: no font files for the set $set (are the packages installed?)" >&2
  exit 1
fi
for f in $files; do ln -s "$f" "$work/fonts/"; done
echo "font-layout: $set fonts: $(ls "$work/fonts" | tr '\n' ' ')"
cat >"$work/fonts.conf" <<CONF
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "urn:fontconfig:fonts.dtd">
<fontconfig>
  <dir>$work/fonts</dir>
  <cachedir>$work/cache</cachedir>
</fontconfig>
CONF

FONTCONFIG_FILE=$work/fonts.conf QT_QPA_PLATFORM=offscreen QT_SCALE_FACTOR=$scale \
  ORGH_EXPECT_FONT=$expect "$exe"
