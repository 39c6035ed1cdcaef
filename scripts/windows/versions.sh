# The Debian source packages the Windows build is made from, and where their cross-built
# copies are cached. Sourced by the other scripts in this folder.
# Pinned to bookworm's own versions (the security suite drops old ones).
win_sources=(
  qt6-base=6.4.2+dfsg-10
  openssl=3.0.17-1~deb12u2
  curl=7.88.1-10+deb12u15
  libxlsxwriter=1.1.4-2
  simdjson=3.0.1-1
  googletest=1.12.1-0.2
  sqlite3=3.40.1-2+deb12u2
)
# Bump when a build option in deps.sh changes, so an old cache is not taken for a new one.
win_recipe=2

win_cache_root="${ORGH_WIN64_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orgharvester-win64}"
win_key=$(printf '%s\n' "${win_sources[@]}" "recipe=$win_recipe" "$(x86_64-w64-mingw32-g++-posix -dumpversion 2>/dev/null)" | sha256sum | cut -c1-16)
win_prefix="$win_cache_root/$win_key/prefix"
# Present only when every library was built and installed.
win_ready_stamp="$win_cache_root/$win_key/complete"
