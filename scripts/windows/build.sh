#!/usr/bin/env bash
# Makes the Windows program: the cross-built libraries (deps.sh, cached), the program and its
# tests (CMake preset "windows", folder build-win/), then the folder "OrgHarvester/" with
# everything the program needs beside it, packed as OrgHarvester-<version>-win64.zip in
# build-win/. Unzipped anywhere, the folder runs as it is.
#   scripts/windows/build.sh [-DNAME=VALUE ...]   all of it; CMake settings such as
#                                   PORTAL_BASE_URL and PORTAL_KEY_PASSPHRASE go to the
#                                   configuration (and stay in build-win/ for later calls)
#   scripts/windows/build.sh --no-zip   the program and tests only
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cd "$root"

bash "$here/deps.sh"
source "$here/versions.sh"
export ORGH_WIN64_PREFIX="$win_prefix"
triple=x86_64-w64-mingw32

no_zip=0
settings=()
for arg in "$@"; do
  case "$arg" in
    --no-zip) no_zip=1 ;;
    -D*) settings+=("$arg") ;;
    *) echo "usage: $0 [--no-zip] [-DNAME=VALUE ...]" >&2; exit 2 ;;
  esac
done
cmake --preset windows "${settings[@]}" >/dev/null
cmake --build --preset windows -j "$(nproc)"
[ $no_zip -eq 1 ] && exit 0

build=$root/build-win
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
stage=$build/package
folder=$stage/OrgHarvester
rm -rf "$stage"
cmake --install "$build" --prefix "$stage" >/dev/null

# The guide as Notepad reads it everywhere: with the UTF-8 mark and CR LF line ends.
for guide in "$folder"/*.txt; do
  [ "$(basename "$guide")" = cities.txt ] && continue
  { printf '\xEF\xBB\xBF'; sed 's/\r\?$/\r/' "$guide"; } >"$guide.new" && mv "$guide.new" "$guide"
done

# Qt's plugins: the windows platform and the native style; qt.conf says where they are.
mkdir -p "$folder/platforms" "$folder/styles" "$folder/translations"
cp "$win_prefix/plugins/platforms/qwindows.dll" "$folder/platforms/"
cp "$win_prefix/plugins/styles/qwindowsvistastyle.dll" "$folder/styles/"
printf '[Paths]\r\nPlugins = .\r\nTranslations = translations\r\n' > "$folder/qt.conf"
# The toolkit's own texts (dialog buttons) in Russian: the same file as on Linux.
cp /usr/share/qt6/translations/qtbase_ru.qm "$folder/translations/"

# Every DLL the program and its plugins load, followed through the libraries' own needs;
# what neither the cross-built prefix nor the mingw runtime holds is part of Windows.
search=("$win_prefix/bin" "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")"
        "/usr/$triple/lib")
needed() { LC_ALL=C x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'; }
queue=("$folder/orgharvester.exe" "$folder/platforms/qwindows.dll" "$folder/styles/qwindowsvistastyle.dll")
declare -A seen=()
while [ ${#queue[@]} -gt 0 ]; do
  bin=${queue[0]}; queue=("${queue[@]:1}")
  for dll in $(needed "$bin"); do
    key=${dll,,}
    [ -n "${seen[$key]:-}" ] && continue
    seen[$key]=1
    for dir in "${search[@]}"; do
      if [ -f "$dir/$dll" ]; then
        cp "$dir/$dll" "$folder/"
        queue+=("$folder/$dll")
        break
      fi
    done
  done
done
# The program's own libraries must have been found (objdump's words are read in the C locale).
for dll in Qt6Core.dll libcurl.dll; do
  [ -f "$folder/$dll" ] || { echo "windows: $dll was not found for the program folder" >&2; exit 1; }
done

# The DLLs ship without their debug sections (libstdc++ alone carries about 18 MB of them);
# the copies in the cache and the mingw runtime folder stay as they are.
find "$folder" -iname '*.dll' -exec x86_64-w64-mingw32-strip --strip-debug {} +

zip_name=OrgHarvester-$version-win64.zip
rm -f "$build/$zip_name"
(cd "$stage" && zip -qr -X "$build/$zip_name" OrgHarvester)
echo "windows: $build/$zip_name ($(du -k "$build/$zip_name" | cut -f1) KiB)"
