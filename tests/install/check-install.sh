#!/usr/bin/env bash
# check-install.sh BUILD_DIR PROBE_PLUGIN_DIR PORTAL_BASE_URL
# Installs the build into a scratch prefix and checks the portable folder: every file is
# there, the program finds its libraries, starts offscreen from the folder and lists the
# regions of the sample "cities.txt"; when the program is built for the substitute portal on
# 127.0.0.1:8443 and that port is free, a run over two regions leaves its result file,
# workbook and log in the folder; a second installation keeps the user's region list; the
# TGZ archive holds the same folder.
set -uo pipefail

build=$1
probe_plugins=$2
portal=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
source "$(dirname "$0")/../support/start-sim.sh"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

prefix=$scratch/prefix
if ! cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
  cat "$scratch/install.log" >&2
  echo "FAIL: cmake --install" >&2
  exit 1
fi
folder=$prefix/OrgHarvester

# The folder's contents.
expected_files=(orgharvester platforms/libqxcb.so platforms/libqoffscreen.so
                orgharvester.desktop orgharvester.svg guide-ru.txt cities.txt add-to-menu.sh)
for f in "${expected_files[@]}"; do
  [ -s "$folder/$f" ] || fail "$f missing or empty in the installed folder"
done
for f in orgharvester add-to-menu.sh orgharvester.desktop; do
  [ -x "$folder/$f" ] || fail "$f is not executable"
done

# The desktop entry: an application started in the folder the entry lies in (found through
# its own location, %k), with the folder's icon.
desktop=$folder/orgharvester.desktop
head -n 1 "$desktop" | grep -qx '\[Desktop Entry\]' || fail "desktop file lacks its group header"
for line in 'Type=Application' 'Name=OrgHarvester' "Icon=$folder/orgharvester.svg"; do
  grep -qxF "$line" "$desktop" || fail "desktop file lacks $line"
done
grep -q '^Exec=.*exec ./orgharvester.* %k$' "$desktop" || fail "desktop file does not start the program from its own folder"
grep -q '^Path=' "$desktop" && fail "the folder's desktop entry names a fixed folder"
grep -q '<svg ' "$folder/orgharvester.svg" || fail "the icon is no SVG"
grep -q 'СТАРТ' "$folder/guide-ru.txt" || fail "the guide is not the Russian guide"

# Every library the program and its plugins need is found on this system.
for bin in "$folder/orgharvester" "$folder"/platforms/*.so; do
  if ldd "$bin" | grep -q 'not found'; then
    fail "$bin: $(ldd "$bin" | grep 'not found' | tr '\n' ' ')"
  fi
done

# The menu helper puts the entry into the user's menu, naming the folder (a menu entry lies
# elsewhere); the rest of the entry is the folder's.
XDG_DATA_HOME=$scratch/xdg sh "$folder/add-to-menu.sh" >/dev/null || fail "add-to-menu.sh failed"
menu=$scratch/xdg/applications/orgharvester.desktop
for line in "Exec=\"$folder/orgharvester\"" "Path=$folder" "Icon=$folder/orgharvester.svg"; do
  grep -qxF "$line" "$menu" || fail "menu entry lacks $line"
done
diff <(grep -v -e '^Exec=' -e '^Icon=' -e '^Path=' -e '^#' "$desktop") \
     <(grep -v -e '^Exec=' -e '^Icon=' -e '^Path=' "$menu") >&2 || fail "menu entry differs"

# The region names of the sample list: the text before the first "=" of every line.
sed '1s/^\xEF\xBB\xBF//; s/\r$//' "$folder/cities.txt" | cut -d= -f1 >"$scratch/names.txt"
[ "$(wc -l <"$scratch/names.txt")" -ge 80 ] || fail "the sample list holds too few regions"

# The installed program, started from its folder with its own platform plugins, shows them.
probe=$scratch/probe.txt
rc=0
(cd "$folder" && QT_QPA_PLATFORM=offscreen QT_QPA_PLATFORM_PLUGIN_PATH="$folder/platforms" \
   QT_PLUGIN_PATH="$probe_plugins" QT_STYLE_OVERRIDE=orghprobe ORGH_PROBE_OUT="$probe" \
   timeout 60 ./orgharvester >"$scratch/run.log" 2>&1) || rc=$?
[ "$rc" -eq 0 ] || { fail "the program ended with $rc"; cat "$scratch/run.log" >&2; }
grep '^MESSAGE ' "$probe" >&2 && fail "the program showed a message box"
grep '^REGION ' "$probe" | cut -c8- >"$scratch/shown.txt"
cmp -s "$scratch/names.txt" "$scratch/shown.txt" ||
  fail "the window lists other regions than the sample file: $(diff "$scratch/names.txt" "$scratch/shown.txt" | head -5)"
grep -qx CLOSED "$probe" || fail "the window was not closed"
# Closing saved the (empty) selection beside the program.
[ -e "$folder/selection.txt" ] || fail "no selection.txt beside the program after closing"

# A run over the first two regions against the substitute portal, with the demo certificate.
run_over_two_regions() {
  local sim=$build/tools/portal-sim/portal-sim tls=$build/demo-tls sim_pid rc=0
  cp "$tls/01cert.pem" "$tls/01key.pem" "$folder/" || { fail "no demo certificate"; return; }
  if ! start_sim "$scratch/sim.out" "$sim" --regions 85 --orgs 300 --houses 3000 --seed 3 \
         --port 8443 --tls-dir "$tls"; then
    echo "note: port 8443 is busy, the run over two regions is left out"
    return
  fi
  (cd "$folder" && QT_QPA_PLATFORM=offscreen QT_PLUGIN_PATH="$probe_plugins" \
     QT_STYLE_OVERRIDE=orghprobe ORGH_PROBE_OUT="$scratch/run.txt" ORGH_PROBE_RUN=2 \
     timeout 600 ./orgharvester >"$scratch/run2.log" 2>&1) || rc=$?
  stop_sim
  [ "$rc" -eq 0 ] || { fail "the run ended with $rc"; cat "$scratch/run2.log" >&2; }
  grep -q '^LOG .*: Работа завершена, лог записан в '"$folder"'/log-' "$scratch/run.txt" ||
    fail "the run did not end normally: $(grep '^LOG' "$scratch/run.txt" | tail -3)"
  local tab xlsx
  tab=$(ls "$folder"/data*.tab 2>/dev/null | head -n 1)
  xlsx=${tab%.tab}.xlsx
  [ -n "$tab" ] && [ "$(wc -l <"$tab")" -gt 1 ] || fail "no result rows in the folder"
  [ -n "$tab" ] && [ -s "$xlsx" ] || fail "no workbook beside the result file"
  ls "$folder"/log-*.txt >/dev/null 2>&1 || fail "no log file in the folder"
  grep -q '^LOG .*ERROR_' "$scratch/run.txt" && fail "the run logged errors"
  [ -e "$folder/lists.dat" ] || fail "no lists.dat after the run"
  echo "run over two regions: $(($(wc -l <"$tab") - 1)) rows in $(basename "$tab")"
}
if [ "$portal" = "https://127.0.0.1:8443/" ]; then
  run_over_two_regions
fi

# The archive unpacked into a folder with a blank in its name, its desktop entry started as a
# file manager does on a double click (GLib, with the entry's own location), nothing run
# before: the program starts in that folder and shows its regions, and the entry then has
# the folder's icon.
launch_unpacked() {
  local unpacked="$scratch/unpacked here" out="$scratch/launch.txt"
  mkdir -p "$unpacked" && tar -xzf "$1" -C "$unpacked" || { fail "cannot unpack the archive"; return; }
  local entry=$unpacked/OrgHarvester/orgharvester.desktop
  grep -qx 'Icon=orgharvester' "$entry" || fail "the archive's desktop entry holds a path of the build machine"
  if ! /usr/bin/python3 -c 'import gi; gi.require_version("Gio", "2.0")' 2>/dev/null; then
    echo "note: python3-gi is missing, the start from the unpacked folder is left out"
    return
  fi
  (cd / && QT_QPA_PLATFORM=offscreen QT_PLUGIN_PATH="$probe_plugins" QT_STYLE_OVERRIDE=orghprobe \
     ORGH_PROBE_OUT="$out" /usr/bin/python3 -c '
import sys, gi
gi.require_version("Gio", "2.0")
from gi.repository import Gio
sys.exit(0 if Gio.DesktopAppInfo.new_from_filename(sys.argv[1]).launch([], None) else 1)' "$entry" \
     >"$scratch/launch.log" 2>&1) || { fail "launching the entry: $(cat "$scratch/launch.log")"; return; }
  # The program is not our child: wait for the probe's last word.
  for _ in $(seq 1 300); do
    grep -qx CLOSED "$out" 2>/dev/null && break
    sleep 0.1
  done
  grep -qxF "CWD $unpacked/OrgHarvester" "$out" ||
    fail "the entry did not start the program in its folder: $(cat "$out" "$scratch/launch.log" 2>&1 | head -5)"
  [ "$(grep -c '^REGION ' "$out")" = "$(wc -l <"$scratch/names.txt")" ] ||
    fail "the program started from the entry did not list the sample regions"
  grep -qxF "Icon=$unpacked/OrgHarvester/orgharvester.svg" "$entry" || fail "the entry's icon was not pointed at its folder"
  [ -x "$entry" ] || fail "the entry lost its execute permission"
}

# Installing again keeps the user's own region list.
printf 'Своя=01$$$x\r\n' >"$folder/cities.txt"
cmake --install "$build" --prefix "$prefix" >"$scratch/install2.log" 2>&1 || fail "second install"
[ "$(cat "$folder/cities.txt")" = $'Своя=01$$$x\r' ] || fail "a second installation replaced cities.txt"

# The archive: the same folder at its root. Made with the locale unset, as on a fresh machine
# or in a container, where a file name outside ASCII cannot be read; without warnings.
if (cd "$build" && env -u LANG -u LANGUAGE LC_ALL=C cpack -G TGZ -B "$scratch/package" \
      >"$scratch/cpack.log" 2>&1); then
  grep -i 'warning' "$scratch/cpack.log" >&2 && fail "cpack warned"
  archive=$(ls "$scratch"/package/*.tar.gz 2>/dev/null | head -n 1)
  if [ -z "$archive" ]; then
    fail "cpack made no .tar.gz"
  else
    tar -tzf "$archive" | sed 's:/$::' >"$scratch/archive.txt"
    LC_ALL=C grep -n '[^ -~]' "$scratch/archive.txt" >&2 && fail "archive names outside ASCII"
    for f in "${expected_files[@]}"; do
      grep -qx "OrgHarvester/$f" "$scratch/archive.txt" || fail "archive lacks OrgHarvester/$f"
    done
    grep -qv '^OrgHarvester' "$scratch/archive.txt" && fail "archive holds files outside OrgHarvester/"
    tar -tvzf "$archive" OrgHarvester/orgharvester.desktop | grep -q '^-rwx' ||
      fail "the archive's desktop entry is not executable"
    launch_unpacked "$archive"
  fi
else
  cat "$scratch/cpack.log" >&2
  fail "cpack -G TGZ"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install tree ok: $folder"
