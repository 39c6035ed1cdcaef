# Sourced by the Windows zip checks (check-zip.sh, check-trust.sh): the zip unpacked as a
# user gets it, the program run from its folder under wine with the probe style, and the rows
# of its result files held against an uninterrupted run of the Linux program.
# The caller sets win (the Windows build) and linux (the Linux build) first; this sets scratch
# (a folder of the check's own, removed at the end with the portal it started) and fail(),
# which counts in failures. ORGH_KEEP_SCRATCH=1 keeps the scratch folder (its name is printed).

scratch=$(mktemp -d)
[ -n "${ORGH_KEEP_SCRATCH:-}" ] && echo "scratch: $scratch"
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; [ -n "${ORGH_KEEP_SCRATCH:-}" ] || rm -rf "$scratch"' EXIT
source "$(dirname "${BASH_SOURCE[0]}")/../support/start-sim.sh"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# unpack_zip PARENT: the zip's folder OrgHarvester/ under PARENT (made), with the probe style
# beside the program; sets folder.
unpack_zip() {
  local parent=$1 zip
  zip=$(ls "$win"/OrgHarvester-*-win64.zip 2>/dev/null | head -n 1)
  [ -n "$zip" ] || { echo "FAIL: no zip in $win" >&2; exit 1; }
  mkdir -p "$parent"
  unzip -q -o "$zip" -d "$parent" || { echo "FAIL: unzip" >&2; exit 1; }
  folder=$parent/OrgHarvester
  # The probe style (tests/install/probestyle.cpp) beside the program: the folder's own plugin
  # path (qt.conf) finds it; wine passes no QT_ variables, the -style argument does.
  cp "$win/tests/windows/probe-plugins/styles/orgh_probe_style.dll" "$folder/styles/"
}

# run_exe OUT [VAR=VALUE...]: the program from its folder, the probe reporting to OUT; its
# run time in OUT.seconds. ORGH_EXE_TIMEOUT (s) bounds it.
run_exe() {
  local out=$1 rc=0 started
  shift
  started=$(date +%s)
  (cd "$folder" && env ORGH_PROBE_OUT="$out" "$@" timeout "${ORGH_EXE_TIMEOUT:-120}" wine ./orgharvester.exe -style orghprobe \
     </dev/null >"$out.console" 2>&1) || rc=$?
  echo "$(( $(date +%s) - started ))" >"$out.seconds"
  return $rc
}

# The demo portal on the compiled-in port with a dataset of 85 regions, each answer DELAY ms
# late, in place of the one a check before started (also one that stopped half-way); returns
# 1 when the port is busy. The TLS files go beside the program.
start_demo_sim() {
  local delay=$1
  stop_sim
  cp "$win/demo-tls/01cert.pem" "$win/demo-tls/01key.pem" "$folder/"
  start_sim "$scratch/sim.out" "$linux/tools/portal-sim/portal-sim" --regions 85 --orgs 600 --houses 20000 \
    --seed 5 --delay "$delay" --port 8443 --tls-dir "$win/demo-tls"
}

# linux_reference_rows REGIONS OUT: the rows (sorted) of an uninterrupted run of the Linux
# program over the first REGIONS regions of the Windows folder's cities.txt.
linux_reference_rows() {
  local regions=$1 out=$2 lfolder=$scratch/linux-$1
  [ -s "$out" ] && return 0
  mkdir -p "$lfolder"
  cp "$linux/app/orgharvester" "$folder/cities.txt" "$win/demo-tls/01cert.pem" "$win/demo-tls/01key.pem" "$lfolder/"
  (cd "$lfolder" && QT_QPA_PLATFORM=offscreen QT_PLUGIN_PATH="$linux/tests/install/probe-plugins" \
     QT_STYLE_OVERRIDE=orghprobe ORGH_PROBE_OUT="$lfolder/probe.txt" ORGH_PROBE_RUN=$regions \
     timeout 600 ./orgharvester >"$lfolder/run.log" 2>&1) || fail "the Linux run ended with $?"
  for t in "$lfolder"/data*.tab; do tail -n +2 "$t"; done | sort >"$out"
  [ -s "$out" ] || fail "the Linux run wrote no rows"
}

# compare_rows WHAT REFERENCE: the rows of every result file in the folder against the
# reference; prints one line and fails on a lost, doubled or unexpected row. Every result file
# with rows must have a workbook that holds them.
compare_rows() {
  local what=$1 reference=$2 rows=$scratch/rows-$RANDOM.txt lost doubled extra
  for t in "$folder"/data*.tab; do tail -n +2 "$t"; done | sort >"$rows"
  lost=$(comm -23 "$reference" <(sort -u "$rows") | wc -l)
  doubled=$(uniq -d "$rows" | wc -l)
  extra=$(comm -13 "$reference" <(sort -u "$rows") | wc -l)
  echo "$what: $(wc -l <"$rows") rows in $(ls "$folder"/data*.tab | wc -l) files, lost $lost, doubled $doubled, unexpected $extra"
  [ "$lost" -eq 0 ] && [ "$doubled" -eq 0 ] && [ "$extra" -eq 0 ] || fail "$what: rows differ from the Linux run"
  for t in "$folder"/data*.tab; do
    [ "$(wc -l <"$t")" -gt 1 ] || continue
    if [ ! -s "${t%.tab}.xlsx" ]; then
      fail "$what: no workbook beside $(basename "$t")"
    elif ! /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/workbook-matches.py" "$t" "${t%.tab}.xlsx" >&2; then
      fail "$what: the workbook of $(basename "$t") differs from its result file"
    fi
  done
}

# The program's own wine process, if one runs: by its process name (cut to 15 characters),
# never the `timeout` or `wine` that started it, whose kill would leave the program running.
exe_pid() { pgrep -x 'orgharvester.ex' | head -n 1; }
