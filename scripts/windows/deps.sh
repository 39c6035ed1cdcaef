#!/usr/bin/env bash
# Cross-builds, once, the libraries the Windows program needs (OpenSSL, curl, libxlsxwriter,
# simdjson, GoogleTest, SQLite and the parts of Qt base the program uses) from Debian's own source
# packages, into a cache outside the clone keyed by their versions and build options
# (see versions.sh). A second call finds the cache and returns at once; a call that was
# interrupted continues with the first library not yet installed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

bash "$here/install-packages.sh"
# shellcheck source=versions.sh
source "$here/versions.sh"

if [ -f "$win_ready_stamp" ]; then
  echo "windows deps: cached in $win_prefix"
  exit 0
fi

work="$win_cache_root/$win_key/work"
src="$win_cache_root/sources"
mkdir -p "$work" "$src" "$win_prefix"
export ORGH_WIN64_PREFIX="$win_prefix"
toolchain="$root/cmake/mingw-w64.cmake"
jobs=$(nproc)
triple=x86_64-w64-mingw32
started=$(date +%s)

fetch() { # package=version → unpacked folder name on stdout
  local pinned=$1 name=${1%%=*} version=${1#*=}
  local dir="$work/$name-$version"
  if [ ! -d "$dir" ]; then
    (cd "$src" && ls "${name}_${version}.dsc" >/dev/null 2>&1 ||
       apt-get source -qq --download-only "$pinned" 2>&1 | grep -v "unsandboxed" >&2 || true)
    [ -f "$src/${name}_${version}.dsc" ] || { echo "windows deps: cannot fetch the source package $pinned" >&2; exit 1; }
    dpkg-source -q --no-check -x "$src/${name}_${version}.dsc" "$dir.tmp" >/dev/null
    mv "$dir.tmp" "$dir"
  fi
  echo "$dir"
}

step() { # name, then the commands run once
  local name=$1; shift
  local stamp="$win_prefix/.built-$name"
  [ -f "$stamp" ] && return 0
  local t0; t0=$(date +%s)
  echo "windows deps: building $name"
  "$@"
  echo "$(( $(date +%s) - t0 )) s" > "$stamp"
  echo "windows deps: $name built in $(cat "$stamp")"
}

cmake_lib() { # source dir, build dir, extra options
  local s=$1 b=$2; shift 2
  cmake -S "$s" -B "$b" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$win_prefix" "$@" >"$b.configure.log" 2>&1 ||
    { tail -40 "$b.configure.log" >&2; exit 1; }
  cmake --build "$b" -j "$jobs" >"$b.build.log" 2>&1 || { tail -40 "$b.build.log" >&2; exit 1; }
  cmake --install "$b" >/dev/null
}

build_openssl() {
  local s; s=$(fetch "${win_sources[1]}")
  (cd "$s" &&
   CC=gcc-posix perl Configure mingw64 --cross-compile-prefix=$triple- --prefix="$win_prefix" \
     --libdir=lib shared no-tests >"$work/openssl.configure.log" 2>&1 &&
   make -j "$jobs" build_libs >"$work/openssl.build.log" 2>&1 &&
   make install_dev install_runtime_libs >"$work/openssl.install.log" 2>&1) ||
    { tail -40 "$work"/openssl.*.log >&2; exit 1; }
}

build_curl() {
  local s; s=$(fetch "${win_sources[2]}")
  cmake_lib "$s" "$work/curl-build" -DBUILD_SHARED_LIBS=ON -DCURL_USE_OPENSSL=ON \
    -DOPENSSL_ROOT_DIR="$win_prefix" -DHTTP_ONLY=ON -DCURL_DISABLE_LDAP=ON -DUSE_LIBIDN2=OFF \
    -DCURL_USE_LIBSSH2=OFF -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF \
    -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF \
    -DENABLE_MANUAL=OFF -DCURL_USE_LIBPSL=OFF
}

build_xlsxwriter() {
  local s; s=$(fetch "${win_sources[3]}")
  # Its mingw build opens the workbook through the narrow C library, which cannot spell a
  # folder the ANSI code page lacks; the wide-character path it has for Windows (UTF-8
  # names) is kept on, with minizip's Windows file functions it needs.
  sed -i '/^#ifdef __MINGW32__$/{N;/\n#undef _WIN32$/{N;d}}' "$s/src/packager.c" "$s/src/utility.c"
  sed -i '/if(NOT USE_SYSTEM_MINIZIP)/,/endif()/ s/if(MSVC)/if(WIN32)/' "$s/CMakeLists.txt"
  if grep -q '^#undef _WIN32$' "$s/src/packager.c" "$s/src/utility.c"; then
    echo "windows deps: libxlsxwriter's narrow file names could not be switched off" >&2
    exit 1
  fi
  cmake_lib "$s" "$work/xlsxwriter-build" -DBUILD_SHARED_LIBS=ON -DUSE_SYSTEM_MINIZIP=OFF \
    -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF -DZLIB_ROOT=/usr/$triple
}

build_simdjson() {
  local s; s=$(fetch "${win_sources[4]}")
  cmake_lib "$s" "$work/simdjson-build" -DBUILD_SHARED_LIBS=OFF -DSIMDJSON_DEVELOPER_MODE=OFF
}

build_googletest() {
  local s; s=$(fetch "${win_sources[5]}")
  cmake_lib "$s" "$work/googletest-build" -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=ON
}

# SQLite: the amalgamation made on the host from Debian's source, compiled for Windows into a
# static library (one C file; nothing to ship beside the program).
build_sqlite() {
  local s; s=$(fetch "${win_sources[6]}")
  local b="$work/sqlite-build"
  mkdir -p "$b"
  (cd "$b" && "$s/configure" --disable-tcl >configure.log 2>&1 && make sqlite3.c >amalgamation.log 2>&1 &&
   $triple-gcc-posix -O2 -DSQLITE_THREADSAFE=1 -c sqlite3.c -o sqlite3.o >compile.log 2>&1 &&
   $triple-ar rcs libsqlite3.a sqlite3.o) || { tail -40 "$b"/*.log >&2; exit 1; }
  mkdir -p "$win_prefix/include" "$win_prefix/lib"
  cp "$b/sqlite3.h" "$b/sqlite3ext.h" "$win_prefix/include/"
  cp "$b/libsqlite3.a" "$win_prefix/lib/"
}

# Qt base: only Core, Gui, Widgets, Test, the windows platform plugin and the Windows style.
build_qt() {
  local s; s=$(fetch "${win_sources[0]}")
  # Qt 6.4.2's windows platform plugin asks for the dynamic OpenGL loader even where OpenGL
  # is left out; without OpenGL there is nothing to ask.
  sed -i 's/^#if QT_CONFIG(dynamicgl)$/#if QT_CONFIG(dynamicgl) \&\& QT_CONFIG(opengl)/' \
    "$s/src/plugins/platforms/windows/qwindowswindow.cpp"
  cmake_lib "$s" "$work/qt-build" -DBUILD_SHARED_LIBS=ON \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_gui=ON -DFEATURE_widgets=ON -DFEATURE_testlib=ON \
    -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_xml=OFF -DFEATURE_dbus=OFF \
    -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_opengl=OFF \
    -DFEATURE_vulkan=OFF -DFEATURE_icu=OFF -DFEATURE_tabletevent=OFF \
    -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_sql_sqlite=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
    -DFEATURE_system_png=OFF -DFEATURE_system_freetype=OFF
}

step openssl build_openssl
step curl build_curl
step xlsxwriter build_xlsxwriter
step simdjson build_simdjson
step googletest build_googletest
step sqlite build_sqlite
step qt build_qt

rm -rf "$work"
date -u +%FT%TZ > "$win_ready_stamp"
echo "windows deps: ready in $win_prefix ($(( $(date +%s) - started )) s)"
