#!/usr/bin/env bash
# Builds the fuzz targets (clang's libFuzzer, in build-fuzz/) and runs one of them, or all of
# them one after the other, for a bounded time each.
#   scripts/fuzz.sh TARGET SECONDS     TARGET: region_count search_page card house_count
#                                              house_page entities lines, or all
# Starts from the seed corpus in fuzz/corpus/TARGET (copied, so the seeds stay small); what
# the run finds stays in build-fuzz/corpus/TARGET. A crash leaves its input in
# build-fuzz/crashes/ and ends the script with a non-zero code.
set -euo pipefail

targets=(region_count search_page card house_count house_page entities lines)
if [ $# -ne 2 ] || ! [[ "$2" =~ ^[0-9]+$ ]]; then
  echo "usage: $0 TARGET|all SECONDS   (targets: ${targets[*]})" >&2
  exit 2
fi
target=$1
seconds=$2

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is missing (scripts/install-deps.sh --fuzz installs it)" >&2
  exit 1
fi
CC=clang CXX=clang++ cmake -S "$root/fuzz" -B "$build" -G Ninja >/dev/null
if [ "$target" = all ]; then
  cmake --build "$build" -j "$(nproc)" >&2
  run=("${targets[@]}")
else
  if [[ ! " ${targets[*]} " =~ " $target " ]]; then
    echo "fuzz: unknown target $target (targets: ${targets[*]})" >&2
    exit 2
  fi
  cmake --build "$build" -j "$(nproc)" --target "fuzz_$target" >&2
  run=("$target")
fi

mkdir -p "$build/crashes"
status=0
for t in "${run[@]}"; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  cp -n "$root/fuzz/corpus/$t/"* "$corpus/" 2>/dev/null || true
  log="$build/fuzz_$t.log"
  echo "fuzz: $t for $seconds s (log: $log)" >&2
  # Answers are capped at 64 MiB; inputs of up to 1 MiB reach every path of the readers.
  set +e
  "$build/fuzz_$t" "$corpus" -max_total_time="$seconds" -max_len=1048576 -timeout=30 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/crashes/$t-" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  echo "fuzz: $t: exit $rc, executions ${runs:-?}, corpus $(ls "$corpus" | wc -l) inputs"
  [ $rc -eq 0 ] || status=1
done
exit $status
