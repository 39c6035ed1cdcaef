# Sourced by the shell tests: start_sim OUT_FILE PORTAL_SIM [ARG...] starts portal-sim in the
# background with its output in OUT_FILE, sets sim_pid and returns 0 once it listens; when it
# does not (its port is busy, it ended), it is stopped again and the call returns 1.
# stop_sim stops the one started, if any.
start_sim() {
  local out=$1 program=$2
  shift 2
  "$program" "$@" >"$out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 1 100); do
    grep -q '^LISTENING ' "$out" && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -q '^LISTENING ' "$out" && return 0
  kill "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
  sim_pid=
  return 1
}

stop_sim() {
  [ -n "${sim_pid:-}" ] || return 0
  kill "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
  sim_pid=
}
