#!/usr/bin/env bash
# Builds the benchmarks with the default (Release) preset, runs every bench_* executable and
# prints their figures as one table (a few minutes in all: the whole run of the job goes at
# the program's own pace). Arguments are passed to every benchmark. bench/README.md keeps a
# dated run beside the targets.
#
#   bash bench/run-benchmarks.sh --country
# runs only the whole country through the window (bench_run --country: 85 regions, 30,000
# organisations, 1,000,000 houses; about an hour at the program's pace) for its peak memory.
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
if [ "${1:-}" = "--country" ]; then
  targets=bench_run
fi
for t in $targets; do
  exe="$build/bench/$t"
  if [ ! -f "$exe" ] || [ ! -x "$exe" ]; then
    echo "run-benchmarks: $exe was not built" >&2
    exit 1
  fi
  echo "running $t ..." >&2
  "$exe" "$@" | grep '^BENCH' | cut -f2- | sed "s/^/$t\t/" >>"$results"
done

printf '%-15s %-24s %-16s %12s  %s\n' benchmark scenario metric value unit
awk -F'\t' '{ printf "%-15s %-24s %-16s %12s  %s\n", $1, $2, $3, $4, $5 }' "$results"

# The targets beside the figures they are about (figures only: nothing fails on them).
echo
awk -F'\t' '
  { v[$2 "|" $3] = $4 }
  function row(what, target, value, met) {
    printf "%-52s %-16s %-12s %s\n", what, target, value, (value == "" || target == "-") ? "-" : (met ? "yes" : "no")
  }
  END {
    printf "%-52s %-16s %-12s %s\n", "target", "wanted", "measured", "met"
    k = v["20ms kept|of ceiling"]; row("20 ms away, 3 threads, kept: share of the ceiling", ">= 0.9", k, k >= 0.9)
    r = v["20ms refused|of ceiling"]; row("20 ms away, 3 threads, refused: share of the ceiling", "-", r, 1)
    c = v["20ms kept|CPU/request"]; row("CPU per request, kept (ms)", "<= 1.0", c, c != "" && c <= 1.0)
    w = v["job + window|CPU/request"]; row("CPU per request, kept, with the window (ms)", "<= 1.0", w, w != "" && w <= 1.0)
    f = v["20ms refused|CPU/request"]; row("CPU per request, refused (ms)", "<= 2.0", f, f != "" && f <= 2.0)
    x = v["20ms refused|x floor"]; row("CPU per request, refused, x fresh floor (loopback)", "<= 1.3", x, x != "" && x <= 1.3)
    d = v["20ms refused|x floor 20ms"]; row("CPU per request, refused, x fresh floor at 20 ms", "<= 1.3", d, d != "" && d <= 1.3)
    t = v["workbook 30000|x floor"]; row("workbook time, x floor", "<= 1.1", t, t != "" && t <= 1.1)
    g = v["workbook 30000|peak growth"]; p = v["workbook 30000|floor peak"]
    m = (g == "" ? "" : sprintf("%.1f", g - p)); row("workbook memory above the floor (MB)", "<= 20", m, m != "" && m <= 20)
    n = v["country + window|peak RSS"]; row("a whole country, peak resident size (MB)", "< 150", n, n != "" && n < 150)
    i1 = v["country|import 1"]; i2 = v["country|import 2"]; rp = v["country|report"]
    hs = (i1 == "" ? "" : sprintf("%.1f", i1 + i2 + rp)); row("history: two imports and the report (s)", "<= 60", hs, hs != "" && hs <= 60)
    h1 = v["country|db after 1"]; row("history: MB of a first harvest", "<= ~100", h1, h1 != "" && h1 <= 110)
    h2 = v["country|db added by 2"]; row("history: MB added by a later harvest", "<= ~100", h2, h2 != "" && h2 <= 110)
    hp = v["country|peak RSS"]; row("history: peak resident size (MB)", "< 150", hp, hp != "" && hp < 150)
  }' "$results"
