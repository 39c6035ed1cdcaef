#!/bin/sh
# Adds OrgHarvester to the desktop's application menu of the current user, pointing at this
# folder (run it again after moving the folder). Remove with: add-to-menu.sh --remove
set -eu

here=$(cd "$(dirname "$0")" && pwd)
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

mkdir -p "$apps"
{
  grep -v -e '^Exec=' -e '^Icon=' -e '^Path=' "$here/orgharvester.desktop"
  printf 'Exec="%s"\n' "$(exec_arg "$here/orgharvester")"
  # The program reads 01cert.pem and 01key.pem from the folder it is started in.
  printf 'Path=%s\n' "$(value "$here")"
  printf 'Icon=%s\n' "$(value "$here/orgharvester.svg")"
} > "$entry.tmp"
mv -f "$entry.tmp" "$entry"
echo "added $entry"
