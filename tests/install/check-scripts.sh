#!/usr/bin/env bash
# check-scripts.sh SOURCE_DIR
# scripts/install-deps.sh takes each of its options (with a stand-in for dpkg-query that
# finds every package installed, so nothing is installed) and asks for the packages of that
# option; the runtime packages that the README and the user guide list are the script's.
set -uo pipefail

src=$1
deps=$src/scripts/install-deps.sh
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Records the package asked about (the last argument) and says it is installed.
mkdir "$scratch/bin"
cat >"$scratch/bin/dpkg-query" <<'FAKE'
#!/bin/sh
for last; do :; done
echo "$last" >>"$ASKED"
printf 'install ok installed'
FAKE
chmod +x "$scratch/bin/dpkg-query"
asked() {  # asked OPTION...: the packages the script asks about, sorted
  : >"$scratch/asked"
  ASKED=$scratch/asked PATH="$scratch/bin:$PATH" bash "$deps" "$@" >"$scratch/out" 2>&1
  local rc=$?
  sort -u "$scratch/asked"
  return $rc
}

runtime=$(bash "$deps" --list-runtime | sort -u)
[ -n "$runtime" ] || fail "--list-runtime printed nothing"
everything=$(asked) || fail "install-deps.sh without options: $(cat "$scratch/out")"
fuzz=$(asked --fuzz) || fail "install-deps.sh --fuzz: $(cat "$scratch/out")"
only_runtime=$(asked --runtime) || fail "install-deps.sh --runtime: $(cat "$scratch/out")"
[ "$only_runtime" = "$runtime" ] || fail "--runtime asks for other packages than --list-runtime prints"
for p in clang libclang-rt-14-dev; do
  grep -qx "$p" <<<"$fuzz" || fail "--fuzz does not ask for $p"
  grep -qx "$p" <<<"$everything" && fail "the plain call asks for $p"
done
comm -23 <(echo "$everything") <(echo "$fuzz") | grep . >&2 && fail "--fuzz leaves out build packages"
# The window's own face.
grep -qx fonts-dejavu-extra <<<"$runtime" || fail "the runtime packages lack fonts-dejavu-extra"
bash "$deps" --unknown >/dev/null 2>"$scratch/usage" && fail "an unknown option was taken"
grep -q -- --fuzz "$scratch/usage" || fail "the usage does not name --fuzz"

# The README names them in parentheses after `scripts/install-deps.sh --runtime`; the guide
# in its apt-get line.
readme=$(tr '\n' ' ' <"$src/README.md" | sed -n 's/.*`scripts\/install-deps.sh --runtime` (\([^)]*\)).*/\1/p' |
         tr ', ' '\n\n' | grep . | sort -u)
[ "$readme" = "$runtime" ] || fail "the README's runtime packages differ: $(diff <(echo "$runtime") <(echo "$readme") | tr '\n' ' ')"
guide=$(sed -n '/apt-get install/,/^$/p' "$src/packaging/guide-ru.txt" | tr ' \\' '\n\n' |
        grep -v -e '^$' -e '^apt-get$' -e '^install$' | sort -u)
[ "$guide" = "$runtime" ] || fail "the guide's runtime packages differ: $(diff <(echo "$runtime") <(echo "$guide") | tr '\n' ' ')"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "scripts ok"
