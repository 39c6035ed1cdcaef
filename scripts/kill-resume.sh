#!/usr/bin/env bash
# Kills a larger harvest with SIGKILL at random moments and continues it each time, then
# compares the union of its result files with an uninterrupted run of the same data:
# prints the lost and the doubled rows (both must be 0).
#
#   bash scripts/kill-resume.sh [KILLS] [SEED]      (defaults 30 kills, seed from the clock)
# Needs a build in build/ (./run test or cmake --build --preset default).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build
kills=${1:-30}
seed=${2:-$(date +%s)}
RANDOM=$seed
driver=$build/tests/harvest/crash_driver
sim=$build/tools/portal-sim/portal-sim
tls=$build/demo-tls
for f in "$driver" "$sim" "$tls/01cert.pem"; do
  [ -e "$f" ] || { echo "kill-resume: $f is missing: build first" >&2; exit 2; }
done

work=$(mktemp -d)
simpid=
cleanup() { [ -n "$simpid" ] && kill "$simpid" 2>/dev/null || true; [ -n "${KEEP:-}" ] || rm -rf "$work"; }
[ -n "${KEEP:-}" ] && echo "work: $work"
trap cleanup EXIT

dataset=(--regions 8 --orgs 400 --houses 100000 --seed 3)
"$sim" "${dataset[@]}" --write-cities "$work/cities.txt"
"$sim" "${dataset[@]}" --port 0 --tls-dir "$tls" >"$work/sim.out" 2>&1 &
simpid=$!
for _ in $(seq 100); do grep -q LISTENING "$work/sim.out" 2>/dev/null && break; sleep 0.1; done
port=$(awk '/LISTENING/ {print $2}' "$work/sim.out")
[ -n "$port" ] || { echo "kill-resume: the substitute portal did not start" >&2; exit 2; }

common=(--base "https://127.0.0.1:$port/" --cert "$tls/01cert.pem" --key "$tls/01key.pem"
        --cities "$work/cities.txt" --pass-wait 10 --checkpoint-ms 1000)

mkdir -p "$work/reference" "$work/killed"
start=$(date +%s%N)
"$driver" --dir "$work/reference" "${common[@]}"
ms=$(( ($(date +%s%N) - start) / 1000000 ))
echo "uninterrupted run: $ms ms"

# Each kill lands at a random moment of a start, anywhere from its first milliseconds to
# well into its loop; every start continues what the one before left.
for i in $(seq "$kills"); do
  delay=$(( 20 + RANDOM % 2000 ))
  "$driver" --dir "$work/killed" "${common[@]}" &
  pid=$!  # the driver itself, not a subshell: the kill must reach it
  sleep "$(printf '0.%03d' $((delay % 1000)))"; sleep $((delay / 1000))
  if kill -0 "$pid" 2>/dev/null; then
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    echo "kill $i after $delay ms"
  else
    wait "$pid" || true
    echo "kill $i after $delay ms: the run had already ended"
  fi
done
for _ in 1 2 3; do "$driver" --dir "$work/killed" "${common[@]}" && break; done

echo "seed $seed, $kills kills, result files: $(ls "$work/killed"/data*.tab | wc -l)"
"$driver" --compare "$work/reference" "$work/killed"
