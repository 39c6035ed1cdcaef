#!/usr/bin/env bash
# check-trust.sh WIN_BUILD LINUX_BUILD
# The Windows program ended early the ways Windows ends a harvest, under wine (WINEPREFIX,
# DISPLAY and the Russian locale come from scripts/windows/test.sh), each time continued
# through the window ("СТАРТ", "Нет" to the leftovers question) until the harvest ends; the
# rows of all its result files together are then exactly those of an uninterrupted run of the
# Linux program, and every workbook holds its result file's rows:
#   - killed abruptly (as the task manager or a crash ends it) at seeded moments;
#   - the session ended mid-run (wineboot --end-session, then with --shutdown too): the log and
#     the queue are on the disk when the program has gone, and no workbook was made while it
#     was quitting;
#   - a second copy started in the same folder is told the truth, and a result file held
#     open by a spreadsheet program stops the next start with a clear message;
#   - a workbook written into a folder whose name code page 1252 cannot spell (Cyrillic
#     letters, on a Western system).
# ORGH_KILL_SEED picks the kill moments (default 1); ORGH_TRUST_CHECKS a few of the checks by
# name (see the end). Needs port 8443 free.
set -uo pipefail

win=$1
linux=$2
source "$(dirname "$0")/lib.sh"  # scratch, fail(), the steps below
regions=2
export ORGH_EXE_TIMEOUT=600

# Whether the folder holds a queue to continue ("lists.dat" with more than its mark).
queue_left() { [ -s "$folder/lists.dat" ] && [ "$(wc -c <"$folder/lists.dat")" -gt 3 ]; }

# Continues the harvest left in the folder until it ends (the leftovers question answered
# "Нет" by the probe); at most three starts. A harvest already ended is not started again:
# that would be a new harvest, its rows a second time.
finish_harvest() {
  local what=$1 i
  for i in 1 2 3; do
    queue_left || return 0
    run_exe "$scratch/$what-finish-$i.txt" ORGH_PROBE_RUN=$regions || fail "$what: a continuing run ended with $?"
  done
  queue_left && fail "$what: the harvest did not end in three starts"
}

# Waits up to $1 s for the program to have started a run of its own: a result file more
# than the $2 there were before (each start writes a new one; 0 for a first start).
result_files() { ls "$folder"/data*.tab 2>/dev/null | wc -l; }
wait_for_run() {
  local i
  for i in $(seq 1 $(( $1 * 10 ))); do
    [ "$(result_files)" -gt "${2:-0}" ] && [ -n "$(exe_pid)" ] && return 0
    sleep 0.1
  done
  return 1
}

# Until the program's process has gone (the wine server itself stays: it was started to).
wait_gone() {
  local i
  for i in $(seq 1 100); do [ -z "$(exe_pid)" ] && return 0; sleep 0.1; done
}

kill_and_resume() {
  unpack_zip "$scratch/kill/Мои программы"
  # Each answer a second late: a start lasts long enough for the kills to land mid-run.
  start_demo_sim 1000 || { echo "note: port 8443 is busy, the kill checks are left out"; return; }
  linux_reference_rows $regions "$scratch/reference.txt"
  local seed=${ORGH_KILL_SEED:-1} k delay landed=0
  for k in 1 2 3 4; do
    # Once the harvest has ended there is nothing left to kill.
    if [ "$k" -gt 1 ] && ! queue_left; then break; fi
    # Seeded moments between 1.5 and 6 s into a start.
    delay=$(LC_ALL=C awk -v s="$seed" -v k="$k" 'BEGIN { srand(s * 31 + k); printf "%.1f", 1.5 + rand() * 4.5 }')
    local before
    before=$(result_files)
    { run_exe "$scratch/kill-$k.txt" ORGH_PROBE_RUN=$regions; } 2>/dev/null &
    local runner=$!
    if wait_for_run 60 "$before"; then
      sleep "$delay"
      local pid
      pid=$(exe_pid)
      [ -n "$pid" ] && kill -9 "$pid"
    fi
    wait "$runner" 2>/dev/null
    wait_gone
    # A program that was killed never closed its window.
    grep -q '^CLOSED' "$scratch/kill-$k.txt" || landed=$((landed + 1))
    echo "kill $k at ${delay} s: $(ls "$folder"/data*.tab 2>/dev/null | wc -l) result files so far"
  done
  [ "$landed" -ge 2 ] || fail "kills: only $landed of them landed mid-run"
  finish_harvest kill
  compare_rows "killed 4 times at seeded moments (seed $seed) and continued" "$scratch/reference.txt"
}

# end_session SWITCHES: a run ended by the session's end, then continued. (wineboot's
# --shutdown alone ends nothing: with --end-session it ends the session as a shutdown.)
end_session() {
  local switch=$1
  unpack_zip "$scratch/session${switch// /}/Мои программы"
  start_demo_sim 1000 || { echo "note: port 8443 is busy, the session-end checks are left out"; return; }
  linux_reference_rows $regions "$scratch/reference.txt"
  { run_exe "$scratch/session${switch// /}.txt" ORGH_PROBE_RUN=$regions; } 2>/dev/null &
  local runner=$!
  if ! wait_for_run 60; then
    fail "session end $switch: the run did not start"
    wait "$runner"
    return
  fi
  sleep 3
  local asked ended
  asked=$(date +%s.%N)
  wineboot $switch </dev/null >/dev/null 2>&1
  wait "$runner" 2>/dev/null
  ended=$(date +%s.%N)
  wait_gone
  echo "session end $switch: the program had gone $(awk -v a="$asked" -v b="$ended" 'BEGIN { printf "%.1f", b - a }') s after the message"
  ls "$folder"/log-*.txt >/dev/null 2>&1 || fail "session end $switch: no log file"
  queue_left || fail "session end $switch: the queue was not saved"
  ls "$folder"/data*.xlsx >/dev/null 2>&1 && fail "session end $switch: a workbook was made while the program was quitting"
  finish_harvest "session${switch// /}"
  compare_rows "session ended ($switch) mid-run and continued" "$scratch/reference.txt"
}

# held_and_second_copy: while a run goes on, a second copy started in the same folder is
# told that a copy of this computer runs there (never to delete its lock); the run is then
# killed, and its result file is opened by a spreadsheet program before the next start: the
# start is refused with the file's name and what to do, and once the file is closed the
# harvest continues with every row once.
held_and_second_copy() {
  unpack_zip "$scratch/held/Мои программы"
  start_demo_sim 1000 || { echo "note: port 8443 is busy, the held-file checks are left out"; return; }
  linux_reference_rows $regions "$scratch/reference.txt"
  { run_exe "$scratch/held-first.txt" ORGH_PROBE_RUN=$regions; } 2>/dev/null &
  local runner=$!
  if ! wait_for_run 60; then
    fail "held file: the run did not start"
    wait "$runner"
    return
  fi
  run_exe "$scratch/held-second.txt" || true
  local told
  told=$(grep '^MESSAGE ' "$scratch/held-second.txt")
  echo "a second copy in the same folder: ${told:-no message}" | cut -c 1-160
  [[ "$told" == *"уже работает другая копия программы (процесс "* ]] ||
    fail "second copy: not told that a copy runs in the folder"
  [[ "$told" == *"другой компьютер"* || "$told" == *"удалите"* ]] &&
    fail "second copy: told of another computer or to delete the lock"
  sleep 2
  local pid
  pid=$(exe_pid)
  [ -n "$pid" ] && kill -9 "$pid"
  wait "$runner" 2>/dev/null
  wait_gone
  if grep -q '^CLOSED' "$scratch/held-first.txt" || ! queue_left; then
    fail "held file: the run ended before it was killed"
    return
  fi

  # Held as a spreadsheet program holds an open file: others may read it, nobody may write.
  local held p
  held=$(ls "$folder"/data*.tab | sort -V | tail -n 1)
  p=$(realpath "$held")
  wine "$win/tests/windows/holdfile.exe" "Z:${p//\//\\}" 600000 spreadsheet </dev/null >"$scratch/holder.out" 2>&1 &
  local holder=$!
  for _ in $(seq 1 100); do grep -q HELD "$scratch/holder.out" && break; sleep 0.1; done
  grep -q HELD "$scratch/holder.out" || fail "held file: the holder did not open $(basename "$held")"
  local rows_before refused
  rows_before=$(cat "$folder"/data*.tab | wc -l)
  run_exe "$scratch/held-refused.txt" ORGH_PROBE_RUN=$regions || fail "held file: the refused start ended with $?"
  refused=$(grep '^MESSAGE ' "$scratch/held-refused.txt" | grep -F "$(basename "$held")")
  echo "a held result file: ${refused:-no message}" | cut -c 1-200
  [[ "$refused" == *"занят другой программой; закройте его там"* ]] ||
    fail "held file: no message that names the file and says to close it"
  [ "$(cat "$folder"/data*.tab | wc -l)" -eq "$rows_before" ] || fail "held file: the refused start wrote rows"
  queue_left || fail "held file: the refused start lost the queue"
  pkill -f 'holdfile\.exe' 2>/dev/null
  wait "$holder" 2>/dev/null
  finish_harvest held
  compare_rows "result file held by a spreadsheet program at a start, then closed and continued" "$scratch/reference.txt"
}

# A folder that a Western code page cannot spell: the workbook is written all the same.
western_folder() {
  unpack_zip "$scratch/western/Отчёты"
  start_demo_sim 0 || { echo "note: port 8443 is busy, the Western code page check is left out"; return; }
  linux_reference_rows 1 "$scratch/reference-1.txt"
  LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 run_exe "$scratch/western.txt" ORGH_PROBE_RUN=1 ||
    fail "code page 1252: the run ended with $?"
  grep '^LOG .*Ошибка' "$scratch/western.txt" >&2 && fail "code page 1252: the run logged errors"
  local saved=$regions
  regions=1
  compare_rows "code page 1252, a Cyrillic folder" "$scratch/reference-1.txt"
  regions=$saved
}

# ORGH_TRUST_CHECKS names the checks to run (default: all, in this order).
for check in ${ORGH_TRUST_CHECKS:-kill_and_resume held_and_second_copy session_end session_shutdown western_folder}; do
  case $check in
    session_end) end_session --end-session ;;
    session_shutdown) end_session "--end-session --shutdown" ;;
    *) "$check" ;;
  esac
done

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "windows trust checks ok"
