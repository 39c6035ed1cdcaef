#!/bin/sh
# Points the desktop entry "orgharvester.desktop" of this folder at the folder (a desktop
# entry needs absolute paths) and adds it to the current user's application menu. Run it
# again after moving the folder.
#   add-to-menu.sh            both
#   add-to-menu.sh --here     only the entry in this folder (done by the installation)
#   add-to-menu.sh --remove   take the entry out of the menu again
set -eu

here=$(cd "$(dirname "$0")" && pwd)
own=$here/orgharvester.desktop
apps=${XDG_DATA_HOME:-$HOME/.local/share}/applications
entry=$apps/orgharvester.desktop

if [ "${1:-}" = --remove ]; then
  rm -f "$entry"
  echo "removed $entry"
  exit 0
fi

# A desktop entry value: backslashes doubled. Exec additionally quotes its argument and
# escapes the characters that are special inside the quotes.
value() { printf '%s' "$1" | sed 's/\\/\\\\/g'; }
exec_arg() { printf '%s' "$1" | sed 's/\\/\\\\\\\\/g; s/["`$]/\\\\&/g'; }

{
  grep -v -e '^Exec=' -e '^Icon=' -e '^Path=' "$own"
  printf 'Exec="%s"\n' "$(exec_arg "$here/orgharvester")"
  # The program reads 01cert.pem and 01key.pem from the folder it is started in.
  printf 'Path=%s\n' "$(value "$here")"
  printf 'Icon=%s\n' "$(value "$here/orgharvester.svg")"
} >"$own.tmp"
mv -f "$own.tmp" "$own"
[ "${1:-}" = --here ] && exit 0

mkdir -p "$apps"
cp -f "$own" "$entry"
echo "added $entry"
