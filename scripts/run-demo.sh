#!/usr/bin/env bash
# run-demo.sh BUILD_DIR PROGRAM_DIR
# Opens the window against the substitute portal: puts the demo client certificate and key
# into PROGRAM_DIR (an installed program folder, see ./run), writes its region list there
# when it has none, starts portal-sim from BUILD_DIR on 127.0.0.1:8443 (the compiled-in portal
# address) with a demo dataset, runs the program from PROGRAM_DIR (the program reads the
# certificate and key from the current directory and writes its results beside itself) and
# stops the portal again when the window closes.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR PROGRAM_DIR" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
app_dir=$(cd "$2" && pwd)
sim=$build/tools/portal-sim/portal-sim
tls=$build/demo-tls
port=8443
dataset=(--regions 85 --orgs 3000 --houses 120000 --seed 1)
sim_log=$(dirname "$app_dir")/portal-sim.log

for f in "$app_dir/orgharvester" "$sim" "$tls/01cert.pem" "$tls/01key.pem" "$tls/server.crt"; do
  if [ ! -e "$f" ]; then
    echo "run-demo: $f is missing; build and install first (./run)" >&2
    exit 1
  fi
done

# Always the pair signed by the test CA of this build, which the portal trusts.
cp -f "$tls/01cert.pem" "$tls/01key.pem" "$app_dir/"
if [ ! -e "$app_dir/cities.txt" ]; then
  "$sim" "${dataset[@]}" --write-cities "$app_dir/cities.txt"
fi

sim_out=$(mktemp)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -f "$sim_out"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$sim" "${dataset[@]}" --port "$port" --tls-dir "$tls" --log "$sim_log" >"$sim_out" 2>&1 &
sim_pid=$!

# Wait for "LISTENING <port>", or for the portal to give up (exit code 3: the port is taken).
for _ in $(seq 1 100); do
  grep -q '^LISTENING ' "$sim_out" && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    rc=0
    wait "$sim_pid" || rc=$?
    sim_pid=
    if [ "$rc" -eq 3 ]; then
      echo "run-demo: port $port on 127.0.0.1 is busy; another program (perhaps an earlier demo) listens there. Stop it and try again." >&2
    else
      echo "run-demo: the substitute portal did not start:" >&2
    fi
    cat "$sim_out" >&2
    exit 1
  fi
  sleep 0.1
done
if ! grep -q '^LISTENING ' "$sim_out"; then
  echo "run-demo: the substitute portal did not start within 10 s" >&2
  exit 1
fi
echo "run-demo: substitute portal listening on https://127.0.0.1:$port/ (request log: $sim_log)"
echo "run-demo: the program runs in $app_dir; its results are written there"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run-demo: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); the window needs one." >&2
  echo "run-demo: on a machine without a screen: apt-get install xvfb, then xvfb-run -a ./run" >&2
fi

cd "$app_dir"
rc=0
./orgharvester || rc=$?
exit "$rc"
