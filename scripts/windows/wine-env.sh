# Sourced by the scripts that run the Windows build under wine (scripts/windows/test.sh,
# bench/windows-session-end.sh) after versions.sh, with build set to the Windows build:
# a wine prefix of the build's own in Russian, the libraries' folders on WINEPATH, a display
# (Xvfb) and a wine server that outlives each program. Sets scratch (removed at the end with
# what was started here) and pids (more processes to stop at the end).
scratch=$(mktemp -d)
pids=()
# Wine of its own, in Russian (the ANSI code page is then 1251, as on a Russian desktop).
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8
# The test programs find the DLLs where they were built and cached.
mingw_runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
zpath() { local p; p=$(realpath "$1"); echo "Z:${p//\//\\}"; }
export WINEPATH="$(zpath "$win_prefix/bin");$(zpath "$mingw_runtime");$(zpath /usr/x86_64-w64-mingw32/lib)"
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
fi
# A display for the window, and wine's background processes started with their handles
# away from ctest's pipes (ctest would wait for them otherwise).
display=$(for n in $(seq 90 140); do [ -e /tmp/.X11-unix/X$n ] || { echo $n; break; }; done)
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=":$display"
wineserver -p </dev/null >/dev/null 2>&1 || true  # one already running (exit 2) serves as well
wine cmd /c exit </dev/null >/dev/null 2>&1
