#!/bin/sh
# windows-test.sh SOURCE LINUX_BUILD WINDOWS_BUILD: packs every archive and uses the Windows
# ones as a studio does: the demo as unpacked under Wine against the zip's own sandbox (and
# run-demo.cmd's game side under Wine's cmd, which runs a pipe's two sides one after the other,
# so the script is not run whole), a mingw game built through
# find_package against the unpacked zip and played under Wine, a frame of ours named from the
# stripped DLL with its debug file; then the Unity package (unity-test.sh).
set -eu
SRC=$(cd "$1" && pwd)
BUILD=$(cd "$2" && pwd)
WBUILD=$(cd "$3" && pwd)
WINE=${NIMO_WINE:-/usr/lib/wine/wine64}
T=$(mktemp -d)
SB=""
trap '[ -z "$SB" ] || kill "$SB" 2>/dev/null; rm -rf "$T"' EXIT INT TERM
fail() { echo "FAIL: $*" >&2; exit 1; }

NIMO_BUILD="$BUILD" NIMO_BUILD_WIN="$WBUILD" NIMO_DIST="$T/dist" "$SRC/tools/package.sh" all
(cd "$T" && unzip -q dist/nimosdk64-*-windows-x64.zip)
Z=$(echo "$T"/nimosdk64-*-windows-x64)
for f in bindings/csharp/NimoSdk.cs docs/INTEGRATION.md LICENSE lib/nimosdk64.lib \
  licenses/mingw-w64-runtime-and-winpthreads-copyright.txt lib/cmake/nimosdk64/nimosdk64-config.cmake \
  sandbox/nimo-sandbox.exe sandbox/run-demo.cmd licenses/cpp-httplib-copyright.txt; do
  [ -s "$Z/$f" ] || fail "$f is missing"
done

echo "== the demo against the Windows sandbox, as unpacked"
NIMO_SANDBOX="$Z/sandbox/nimo-sandbox.exe" NIMO_SANDBOX_RUNNER="$WINE" \
  "$SRC/examples/demo/run-demo.sh" "$BUILD" "$WINE" "$Z/sandbox/nimo-demo.exe" >"$T/demo.out" 2>&1 ||
  { cat "$T/demo.out"; fail "the packaged demo"; }
grep -q "12 of 12 steps as expected" "$T/demo.out" || { cat "$T/demo.out"; fail "the packaged demo's steps"; }

echo "== run-demo.cmd's game side"
mkdir "$T/cmd"
# A fresh sandbox numbers its orders from 1 again (see run-demo.sh).
[ -z "${WINEPREFIX:-}" ] || rm -rf "$WINEPREFIX"/drive_c/users/*/AppData/Local/NimoSteamExeSdk/480
"$WINE" "$Z/sandbox/nimo-sandbox.exe" --state "$T/cmd/server" --player-product gem_300=decline \
  >"$T/cmd/lines" 2>"$T/cmd/sandbox.err" &
SB=$!
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
timeout 120 "$WINE" cmd /c "$(winpath "$Z/sandbox/run-demo.cmd")" :game "$(winpath "$T/cmd")" \
  "$(winpath "$T/cmd/demo.out")" || true
if ! grep -q "12 of 12 steps as expected" "$T/cmd/demo.out" || [ "$(tr -d '\r ' <"$T/cmd/status")" != 0 ]; then
  cat "$T/cmd/demo.out" "$T/cmd/sandbox.err"
  fail "run-demo.cmd"
fi
kill "$SB" 2>/dev/null || true
SB=""

echo "== a mingw game: find_package(nimosdk64)"
cmake -S "$SRC/tests/package/consumer" -B "$T/game" -DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/mingw-w64-x86_64.cmake" \
  -Dnimosdk64_DIR="$Z/lib/cmake/nimosdk64" -DGAME_SOURCE="$SRC/tests/engines/c_flow.c" >/dev/null
cmake --build "$T/game" >/dev/null
cp "$Z/bin/nimosdk64.dll" "$Z/sandbox/steam_api64.dll" "$T/game/"
"$SRC/examples/demo/run-demo.sh" "$BUILD" "$WINE" "$T/game/game.exe" poll >"$T/game.out" 2>&1 ||
  { cat "$T/game.out"; fail "the mingw game"; }

echo "== symbols"
line=$(x86_64-w64-mingw32-nm -C "$WBUILD/nimosdk64.dll" | grep -m 1 -E ' [tT] NimoSdk::CNimoCore::Exit\(\)')
name=$(echo "$line" | sed 's/^[0-9a-f]* [tT] \([^(]*\).*/\1/')
x86_64-w64-mingw32-addr2line -f -C -e "$Z/bin/nimosdk64.dll" "0x${line%% *}" | grep -qF "$name" &&
  fail "$name named without the debug file"
(cd "$T" && unzip -q dist/nimosdk64-*-windows-x64-symbols.zip)  # over the SDK's folder
x86_64-w64-mingw32-addr2line -f -C -e "$Z/bin/nimosdk64.dll" "0x${line%% *}" | grep -qF "$name" ||
  fail "$name not found through the debug link"

echo "== the Unity package"
sh "$SRC/tests/package/unity-test.sh" "$SRC" "$BUILD" "$T"/dist/nimosdk64-unity-*.tgz
