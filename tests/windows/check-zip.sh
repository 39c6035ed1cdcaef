#!/usr/bin/env bash
# check-zip.sh WIN_BUILD LINUX_BUILD
# The Windows zip as a user gets it, under wine (WINEPREFIX, DISPLAY and the Russian locale
# come from scripts/windows/test.sh): unpacked into a folder whose path holds Cyrillic
# letters and a space, it holds what it needs, starts from its folder, shows the regions of
# its sample list in the window, closes and ends at once, and writes nothing outside its
# folder. With port 8443 (the compiled-in portal address) free, a run over two regions
# against the Linux portal-sim is stopped part-way and continued through the window, and
# the rows of both result files together are exactly those of an uninterrupted run of the
# Linux program over the same regions: none lost, none doubled.
set -uo pipefail

win=$1
linux=$2
zip=$(ls "$win"/OrgHarvester-*-win64.zip 2>/dev/null | head -n 1)
[ -n "$zip" ] || { echo "FAIL: no zip in $win" >&2; exit 1; }
scratch=$(mktemp -d)
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; rm -rf "$scratch"' EXIT
source "$(dirname "$0")/../support/start-sim.sh"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

parent="$scratch/Мои программы"
mkdir -p "$parent"
unzip -q "$zip" -d "$parent" || { echo "FAIL: unzip" >&2; exit 1; }
folder=$parent/OrgHarvester

for f in orgharvester.exe qt.conf platforms/qwindows.dll styles/qwindowsvistastyle.dll \
         translations/qtbase_ru.qm cities.txt Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll libcurl.dll \
         libssl-3-x64.dll libcrypto-3-x64.dll libxlsxwriter.dll libstdc++-6.dll libwinpthread-1.dll; do
  [ -s "$folder/$f" ] || fail "$f missing from the zip"
done
ls "$folder"/*.txt | grep -qv cities.txt || fail "no guide in the zip"
strings -el "$folder/orgharvester.exe" | grep -qx "OrgHarvester" || fail "the program has no version information"
[ "$(unzip -Z1 "$zip" | grep -cv '^OrgHarvester/')" -eq 0 ] || fail "the zip holds files outside OrgHarvester/"

# The probe style (tests/install/probestyle.cpp) beside the program: the folder's own plugin
# path (qt.conf) finds it; wine passes no QT_ variables, the -style argument does.
cp "$win/tests/windows/probe-plugins/styles/orgh_probe_style.dll" "$folder/styles/"
names=$scratch/names.txt
sed '1s/^\xEF\xBB\xBF//; s/\r$//' "$folder/cities.txt" | cut -d= -f1 >"$names"

run_exe() {  # out-file, then variables for the probe; the program from its folder
  local out=$1 rc=0 started
  shift
  started=$(date +%s)
  (cd "$folder" && env ORGH_PROBE_OUT="$out" "$@" timeout "${ORGH_EXE_TIMEOUT:-120}" wine ./orgharvester.exe -style orghprobe \
     </dev/null >"$out.console" 2>&1) || rc=$?
  echo "$(( $(date +%s) - started ))" >"$out.seconds"
  return $rc
}

touch "$scratch/marker"
sleep 1
run_exe "$scratch/probe.txt" ORGH_PROBE_SHOT="$win/window-windows.png" || fail "the program ended with $?"
grep '^MESSAGE ' "$scratch/probe.txt" >&2 && fail "the program showed a message box"
grep '^REGION ' "$scratch/probe.txt" | cut -c8- >"$scratch/shown.txt"
cmp -s "$names" "$scratch/shown.txt" || fail "the window lists other regions than the sample file"
grep -qx CLOSED "$scratch/probe.txt" || fail "the window was not closed"
[ -e "$folder/selection.txt" ] || fail "no selection.txt beside the program after closing"
[ -s "$win/window-windows.png" ] || echo "note: the window gave no picture of itself under wine"
grep -q '^CWD .*Мои программы' "$scratch/probe.txt" || fail "the program did not start in its folder"
# Nothing written outside the folder (wine's own registry files aside).
outside=$(find "$WINEPREFIX/drive_c" -newer "$scratch/marker" -type f 2>/dev/null | grep -v '\.reg$' | head -5)
[ -z "$outside" ] || fail "files written outside the folder: $outside"

run_interrupted() {
  local sim=$linux/tools/portal-sim/portal-sim tls=$win/demo-tls
  local dataset=(--regions 85 --orgs 600 --houses 20000 --seed 5)
  cp "$tls/01cert.pem" "$tls/01key.pem" "$folder/"
  # Each answer 300 ms late, so that the stop 3 s in lands mid-run.
  if ! start_sim "$scratch/sim.out" "$sim" "${dataset[@]}" --delay 300 --port 8443 --tls-dir "$tls"; then
    echo "note: port 8443 is busy, the run through the window is left out"
    return
  fi
  run_exe "$scratch/run.txt" ORGH_PROBE_RUN=2 ORGH_PROBE_STOP_MS=3000 || fail "the run ended with $?"
  grep -qx STOPPED "$scratch/run.txt" || fail "the run was not stopped"
  grep -qx RESUMED "$scratch/run.txt" || fail "the run was not continued"
  grep -q '^LOG .*Работа завершена, лог записан в Z:\\.*\\Мои программы\\OrgHarvester\\log-' "$scratch/run.txt" ||
    fail "the run did not end normally: $(grep '^LOG' "$scratch/run.txt" | tail -3)"
  grep -q '^LOG .*ERROR_' "$scratch/run.txt" && fail "the run logged errors"
  local tabs
  tabs=$(ls "$folder"/data*.tab 2>/dev/null | wc -l)
  [ "$tabs" -eq 2 ] || fail "expected the stopped and the continued result file, found $tabs"
  for t in "$folder"/data*.tab; do [ -s "${t%.tab}.xlsx" ] || fail "no workbook beside $(basename "$t")"; done
  for t in "$folder"/data*.tab; do tail -n +2 "$t"; done | sort >"$scratch/rows-win.txt"
  # The log and the selection in the ANSI code page of a Russian system.
  local log
  log=$(ls "$folder"/log-*.txt | tail -n 1)
  iconv -f cp1251 -t utf-8 "$log" | grep -q 'Работа завершена' || fail "the log is not in Windows-1251"

  # The same regions through the Linux program, uninterrupted.
  local lfolder=$scratch/linux
  mkdir -p "$lfolder"
  cp "$linux/app/orgharvester" "$folder/cities.txt" "$tls/01cert.pem" "$tls/01key.pem" "$lfolder/"
  (cd "$lfolder" && QT_QPA_PLATFORM=offscreen QT_PLUGIN_PATH="$linux/tests/install/probe-plugins" \
     QT_STYLE_OVERRIDE=orghprobe ORGH_PROBE_OUT="$scratch/linux.txt" ORGH_PROBE_RUN=2 \
     timeout 600 ./orgharvester >"$scratch/linux.log" 2>&1) || fail "the Linux run ended with $?"
  for t in "$lfolder"/data*.tab; do tail -n +2 "$t"; done | sort >"$scratch/rows-linux.txt"
  local lost doubled
  lost=$(comm -23 "$scratch/rows-linux.txt" <(sort -u "$scratch/rows-win.txt") | wc -l)
  doubled=$(uniq -d "$scratch/rows-win.txt" | wc -l)
  extra=$(comm -13 "$scratch/rows-linux.txt" <(sort -u "$scratch/rows-win.txt") | wc -l)
  echo "run through the window: $(wc -l <"$scratch/rows-win.txt") rows in two files, lost $lost, doubled $doubled, unexpected $extra, $(cat "$scratch/run.txt.seconds") s"
  [ "$(wc -l <"$scratch/rows-linux.txt")" -gt 0 ] || fail "the Linux run wrote no rows"
  [ "$lost" -eq 0 ] && [ "$doubled" -eq 0 ] && [ "$extra" -eq 0 ] || fail "rows differ from the Linux run"
}
# The program must also end by itself after its run: a process left behind is killed by the
# timeout and counts as a failure.
ORGH_EXE_TIMEOUT=600 run_interrupted

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "windows zip ok: $zip ($(du -k "$zip" | cut -f1) KiB)"
