#!/usr/bin/env bash
# The end of a Windows session during a country's harvest, under wine: the Windows program
# runs over all 85 regions of a country-sized portal-sim (30,000 organisations, 1,000,000
# houses) until its queue holds the country's card links, then the session ends
# (wineboot --end-session). Prints the time from the message until the saved state is on the
# disk (the queue, then the log: the log file appears last) and until the program has gone,
# with the size of what was saved. Needs the Windows build (./run windows), the Linux build's
# portal-sim (./run test) and port 8443 free.
#
#   bash bench/windows-session-end.sh [SECONDS_OF_LISTING]   (default 240)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
listing=${1:-240}

if [ -z "${ORGH_WINE_READY:-}" ]; then
  source "$root/scripts/windows/versions.sh"
  [ -f "${win_ready_stamp:-/nonexistent}" ] || { echo "no cross-built Windows libraries: ./run windows first" >&2; exit 1; }
  build=$root/build-win
  [ -f "$build"/OrgHarvester-*-win64.zip ] || { echo "no Windows zip: ./run windows first" >&2; exit 1; }
  source "$root/scripts/windows/wine-env.sh"
  ORGH_WINE_READY=1 bash "$0" "$@"
  exit
fi

win=$root/build-win
linux=$root/build
source "$root/tests/windows/lib.sh"
unpack_zip "$scratch/country"
cp "$win/demo-tls/01cert.pem" "$win/demo-tls/01key.pem" "$folder/"
start_sim "$scratch/sim.out" "$linux/tools/portal-sim/portal-sim" --regions 85 --orgs 30000 --houses 1000000 \
  --seed 11 --delay 0 --port 8443 --tls-dir "$win/demo-tls" || { echo "port 8443 is busy" >&2; exit 1; }
export ORGH_EXE_TIMEOUT=$((listing + 300))
{ run_exe "$scratch/run.txt" ORGH_PROBE_RUN=85; } 2>/dev/null &
runner=$!
for _ in $(seq 1 600); do [ -n "$(exe_pid)" ] && ls "$folder"/data*.tab >/dev/null 2>&1 && break; sleep 0.1; done
[ -n "$(exe_pid)" ] || { echo "the run did not start" >&2; exit 1; }
sleep "$listing"
pid=$(exe_pid)
rss=$(awk '/^VmRSS/ { printf "%.0f", $2 / 1024 }' "/proc/$pid/status" 2>/dev/null)

asked=$(date +%s.%N)
wineboot --end-session </dev/null >/dev/null 2>&1 &
saved= gone=
while [ -z "$gone" ]; do
  now=$(date +%s.%N)
  [ -z "$saved" ] && ls "$folder"/log-*.txt >/dev/null 2>&1 && saved=$now
  [ -z "$(exe_pid)" ] && gone=$now
  awk -v a="$asked" -v n="$now" 'BEGIN { exit !(n - a > 60) }' && { echo "the program was still there after 60 s" >&2; break; }
  sleep 0.05
done
wait "$runner" 2>/dev/null
[ -z "$saved" ] && ls "$folder"/log-*.txt >/dev/null 2>&1 && saved=$(date +%s.%N)

queue=$(wc -l <"$folder/lists.dat")
log_lines=$(cat "$folder"/log-*.txt 2>/dev/null | wc -l)
seconds() { LC_ALL=C awk -v a="$asked" -v b="$1" 'BEGIN { if (b == "") print "never"; else printf "%.2f s", b - a }'; }
echo "resident size before the message: ${rss:-?} MB"
echo "saved: queue of $queue tasks ($(wc -c <"$folder/lists.dat") bytes), log of $log_lines lines"
echo "from the message to the log on the disk (the queue is saved before it): $(seconds "$saved")"
echo "from the message until the program had gone: $(seconds "$gone")"
