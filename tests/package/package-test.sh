#!/bin/sh
# package-test.sh SOURCE BUILD: packs the Linux archives from BUILD and uses them as a studio
# does, without the source tree: the demo as unpacked, a CMake game and a pkg-config game built
# against the package and played against its sandbox, and a frame of ours named from the
# stripped library with its debug file.
set -eu
SRC=$(cd "$1" && pwd)
BUILD=$(cd "$2" && pwd)
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT INT TERM
fail() { echo "FAIL: $*" >&2; exit 1; }

NIMO_BUILD="$BUILD" NIMO_DIST="$T/dist" "$SRC/tools/package.sh" linux
# Packing again gives the same bytes (dates, order and owners fixed).
NIMO_BUILD="$BUILD" NIMO_DIST="$T/again" "$SRC/tools/package.sh" linux >/dev/null
for a in "$T"/dist/*; do cmp "$a" "$T/again/${a##*/}" || fail "${a##*/} differs when packed again"; done
mkdir "$T/sdk" "$T/symbols"
tar -C "$T/sdk" -xzf "$T"/dist/nimosdk64-*-linux-x64.tar.gz
tar -C "$T/symbols" -xzf "$T"/dist/nimosdk64-*-linux-x64-symbols.tar.gz
P=$(echo "$T"/sdk/nimosdk64-*-linux-x64)

for f in include/nimosdk64.h include/nimosdk64_c.h bindings/csharp/NimoSdk.cs LICENSE CHANGELOG.md \
  REQUIREMENTS.md licenses/nlohmann-json-copyright.txt lib/cmake/nimosdk64/nimosdk64-config-version.cmake; do
  [ -s "$P/$f" ] || fail "$f is missing"
done
for topic in "Callback codes" "Threads" "Engines" "Options" "Security" "Local files"; do
  grep -q "^#.* $topic" "$P/docs/INTEGRATION.md" || fail "the guide lacks \"$topic\""
done
for topic in "Fault modes" "Control endpoint"; do
  grep -q "^## $topic" "$P/sandbox/README.md" || fail "the sandbox README lacks \"$topic\""
done
grep -q "GLIBC_2\." "$P/REQUIREMENTS.md" || fail "no glibc version measured"

echo "== the demo, as unpacked"
"$P/sandbox/run-demo.sh" >"$T/demo.out" 2>&1 || { cat "$T/demo.out"; fail "the packaged demo"; }
env -u LD_LIBRARY_PATH ldd "$P/sandbox/nimo-demo" | grep "not found" && fail "the demo needs LD_LIBRARY_PATH"

echo "== a CMake game: find_package(nimosdk64)"
cmake -S "$SRC/tests/package/consumer" -B "$T/cmake-game" -DCMAKE_PREFIX_PATH="$P" \
  -DGAME_SOURCE="$SRC/tests/engines/c_flow.c" -DCMAKE_C_FLAGS="-Wall -Werror" >/dev/null
cmake --build "$T/cmake-game" >/dev/null
"$P/sandbox/run-demo.sh" "$P/sandbox" "$T/cmake-game/game" poll >"$T/cmake.out" 2>&1 ||
  { cat "$T/cmake.out"; fail "the CMake game"; }

echo "== a pkg-config game"
# shellcheck disable=SC2046
cc -Wall -Werror -o "$T/pc-game" "$SRC/tests/engines/c_flow.c" \
  $(PKG_CONFIG_PATH="$P/lib/pkgconfig" pkg-config --cflags --libs nimosdk64) -lpthread -lm
"$P/sandbox/run-demo.sh" "$P/sandbox" "$T/pc-game" threads >"$T/pc.out" 2>&1 ||
  { cat "$T/pc.out"; fail "the pkg-config game"; }

echo "== symbols"
# An internal (not exported) function, one not starting with inlined code: only the
# debug file can name it.
line=$(nm -C "$BUILD/libnimosdk64.so" | grep -m 1 ' t NimoSdk::CNimoCore::Exit()')
addr=${line%% *}
name=$(echo "$line" | sed 's/^[0-9a-f]* t \([^(]*\).*/\1/')
mkdir "$T/alone" && cp "$P/lib/libnimosdk64.so" "$T/alone/"
addr2line -f -C -e "$T/alone/libnimosdk64.so" "0x$addr" | grep -qF "$name" && fail "the shipped library is not stripped"
cp "$T"/symbols/nimosdk64-*-linux-x64/lib/libnimosdk64.so.debug "$P/lib/"
addr2line -f -C -e "$P/lib/libnimosdk64.so" "0x$addr" | grep -qF "$name" || fail "$name not found through the debug link"
echo "ok"
