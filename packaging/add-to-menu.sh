#!/bin/sh
# The desktop entry "orgharvester.desktop" of this folder starts the program in the folder it
# lies in, wherever that is (its Exec finds the folder through the entry's own location). An
# icon needs an absolute path, and so does an entry in the application menu, which lies
# elsewhere: this script points the folder's entry's icon at the folder and adds to the
# current user's menu an entry that names the folder. Run it again after moving the folder.
#   add-to-menu.sh            both
#   add-to-menu.sh --here     only the icon of the entry in this folder (done by the
#                             installation, and by the entry itself when it starts the program)
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

icon="Icon=$(value "$here/orgharvester.svg")"
if ! grep -qxF "$icon" "$own"; then
  # Rewritten in place: the entry keeps its execute permission and whatever trust the file
  # manager has given it.
  { grep -v '^Icon=' "$own"; printf '%s\n' "$icon"; } >"$own.tmp"
  cat "$own.tmp" >"$own"
  rm -f "$own.tmp"
fi
[ "${1:-}" = --here ] && exit 0

# The menu's copy names the folder itself: its own location says nothing about the program.
mkdir -p "$apps"
{
  grep -v -e '^Exec=' -e '^Icon=' -e '^Path=' -e '^#' "$own"
  printf 'Exec="%s"\n' "$(exec_arg "$here/orgharvester")"
  # The program reads 01cert.pem and 01key.pem from the folder it is started in.
  printf 'Path=%s\n' "$(value "$here")"
  printf '%s\n' "$icon"
} >"$entry.tmp"
mv -f "$entry.tmp" "$entry"
echo "added $entry"
