#!/usr/bin/env bash
# The Windows tests under wine, from `./run test` after the Linux tests (whose build/ holds
# the portal-sim they talk to). Without the cache of cross-built libraries (./run windows
# makes it, about an hour on two cores) it says so in one line and does nothing, so a cold
# machine runs the Linux tests alone.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cd "$root"

source "$here/versions.sh" 2>/dev/null || true
if [ ! -f "${win_ready_stamp:-/nonexistent}" ]; then
  echo "windows tests: left out, no cross-built Windows libraries in ${win_cache_root:-the cache} (./run windows makes them)"
  exit 0
fi

# Built in the Russian locale the tests use: packing must not depend on the locale.
LC_ALL=ru_RU.UTF-8 bash "$here/build.sh"
build=$root/build-win
linux_build=$root/build
[ -x "$linux_build/tools/portal-sim/portal-sim" ] || { echo "windows tests: build the Linux tests first (./run test)" >&2; exit 1; }

source "$here/wine-env.sh"

# The Linux portal-sim, started for the Windows test programs by the launcher.
/usr/bin/python3 "$root/tests/windows/sim-launcher.py" "$linux_build/tools/portal-sim/portal-sim" \
  "$build/demo-tls" "$scratch/launcher.port" </dev/null &
pids+=($!)
for _ in $(seq 1 100); do [ -s "$scratch/launcher.port" ] && break; sleep 0.1; done
export ORGH_SIM_LAUNCHER=$(cat "$scratch/launcher.port")

ctest --test-dir "$build" --output-on-failure -j2 --timeout 900
bash "$root/tests/windows/check-zip.sh" "$build" "$linux_build"
bash "$root/tests/windows/check-trust.sh" "$build" "$linux_build"
