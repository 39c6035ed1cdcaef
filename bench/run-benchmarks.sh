#!/usr/bin/env bash
# Builds the benchmarks with the default (Release) preset, runs every bench_* executable and
# prints their figures as one table (a few minutes in all: the whole run of the job goes at
# the program's own pace). Arguments are passed to every benchmark. bench/README.md keeps a
# dated run beside the targets.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
cd "$root"

cmake --preset default >/dev/null
targets=$(cmake --build "$build" --target help | sed -n 's/^\(bench_[A-Za-z0-9_]*\):.*/\1/p' |
  grep -v '_autogen' | sort -u || true)
if [ -z "$targets" ]; then
  echo "run-benchmarks: no bench_* targets found" >&2
  exit 1
fi
# shellcheck disable=SC2086
cmake --build "$build" -j "$(nproc)" --target $targets >&2

results=$(mktemp)
trap 'rm -f "$results"' EXIT
for t in $targets; do
  exe="$build/bench/$t"
  if [ ! -f "$exe" ] || [ ! -x "$exe" ]; then
    echo "run-benchmarks: $exe was not built" >&2
    exit 1
  fi
  echo "running $t ..." >&2
  "$exe" "$@" | grep '^BENCH' | cut -f2- | sed "s/^/$t\t/" >>"$results"
done

printf '%-15s %-20s %-16s %12s  %s\n' benchmark scenario metric value unit
awk -F'\t' '{ printf "%-15s %-20s %-16s %12s  %s\n", $1, $2, $3, $4, $5 }' "$results"
