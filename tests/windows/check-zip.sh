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
source "$(dirname "$0")/lib.sh"  # scratch, fail(), the steps below

unpack_zip "$scratch/Мои программы"
zip=$(ls "$win"/OrgHarvester-*-win64.zip | head -n 1)

for f in orgharvester.exe qt.conf platforms/qwindows.dll styles/qwindowsvistastyle.dll \
         translations/qtbase_ru.qm cities.txt Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll libcurl.dll \
         libssl-3-x64.dll libcrypto-3-x64.dll libxlsxwriter.dll libstdc++-6.dll libwinpthread-1.dll; do
  [ -s "$folder/$f" ] || fail "$f missing from the zip"
done
ls "$folder"/*.txt | grep -qv cities.txt || fail "no guide in the zip"
strings -el "$folder/orgharvester.exe" | grep -qx "OrgHarvester" || fail "the program has no version information"
[ "$(unzip -Z1 "$zip" | grep -cv '^OrgHarvester/')" -eq 0 ] || fail "the zip holds files outside OrgHarvester/"

names=$scratch/names.txt
sed '1s/^\xEF\xBB\xBF//; s/\r$//' "$folder/cities.txt" | cut -d= -f1 >"$names"

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
  # Each answer 300 ms late, so that the stop 3 s in lands mid-run.
  if ! start_demo_sim 300; then
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
  # The log and the selection in the ANSI code page of a Russian system.
  local log
  log=$(ls "$folder"/log-*.txt | tail -n 1)
  iconv -f cp1251 -t utf-8 "$log" | grep -q 'Работа завершена' || fail "the log is not in Windows-1251"

  # The same regions through the Linux program, uninterrupted.
  linux_reference_rows 2 "$scratch/rows-linux.txt"
  compare_rows "run through the window, stopped and continued ($(cat "$scratch/run.txt.seconds") s)" "$scratch/rows-linux.txt"
}
# The program must also end by itself after its run: a process left behind is killed by the
# timeout and counts as a failure.
ORGH_EXE_TIMEOUT=600 run_interrupted

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "windows zip ok: $zip ($(du -k "$zip" | cut -f1) KiB)"
