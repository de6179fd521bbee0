#!/bin/sh
# Release packages from the Linux build (build/) and the Windows build (build-win/):
#   dist/nimosdk64-<version>-windows-x64.zip and dist/nimosdk64-<version>-linux-x64.tar.gz
# The Steam stand-in and the sandbox go to sandbox/, never beside the SDK library.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
VERSION=$(sed -n 's/^#define NIMO_VERSION_STRING "\(.*\)"$/\1/p' "$ROOT/build/generated/nimo_version.h")
[ -n "$VERSION" ] || { echo "no version in build/generated/nimo_version.h" >&2; exit 1; }
OPENSSL_LICENSE="$(sed -n 's/^NIMO_MINGW_OPENSSL:PATH=//p' "$ROOT/build-win/CMakeCache.txt")/LICENSE.txt"
DIST="$ROOT/dist"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT INT TERM
mkdir -p "$DIST"

# common DIR: headers, integrators' README, licences
common() {
  mkdir -p "$1/include" "$1/licenses"
  cp "$ROOT"/include/*.h "$1/include/"
  cp "$ROOT/tools/package/README.md" "$1/README.md"
  cp "$OPENSSL_LICENSE" "$1/licenses/OpenSSL-LICENSE.txt"
  cp /usr/share/doc/nlohmann-json3-dev/copyright "$1/licenses/nlohmann-json-copyright.txt"
  cp /usr/share/doc/libeasyloggingpp-dev/copyright "$1/licenses/easyloggingpp-copyright.txt"
  cp "$ROOT/tools/package/SANDBOX.md" "$1/sandbox/README.md"
}

W="$WORK/nimosdk64-$VERSION-windows-x64"
mkdir -p "$W/bin" "$W/lib" "$W/sandbox"
cp "$ROOT/build-win/nimosdk64.dll" "$W/bin/"
x86_64-w64-mingw32-strip --strip-unneeded "$W/bin/nimosdk64.dll"  # the export table stays
cp "$ROOT/build-win/nimosdk64.dll.a" "$W/lib/"
# An import library in the short format, which MSVC's linker also reads.
x86_64-w64-mingw32-dlltool -d "$ROOT/cmake/nimosdk64.def" -D nimosdk64.dll -l "$W/lib/nimosdk64.lib"
cp "$ROOT/build-win/steam_api64.dll" "$ROOT/build-win/nimo-demo.exe" "$W/sandbox/"
x86_64-w64-mingw32-strip --strip-unneeded "$W/sandbox/steam_api64.dll" "$W/sandbox/nimo-demo.exe"
common "$W"
(cd "$WORK" && rm -f "$DIST/nimosdk64-$VERSION-windows-x64.zip" && zip -qr "$DIST/nimosdk64-$VERSION-windows-x64.zip" "$(basename "$W")")

L="$WORK/nimosdk64-$VERSION-linux-x64"
mkdir -p "$L/lib" "$L/sandbox"
cp "$ROOT/build/libnimosdk64.so" "$L/lib/"
strip --strip-unneeded "$L/lib/libnimosdk64.so"
cp "$ROOT/build/libsteam_api.so" "$ROOT/build/tools/sandbox/nimo-sandbox" "$ROOT/build/examples/demo/nimo-demo" "$L/sandbox/"
strip --strip-unneeded "$L"/sandbox/libsteam_api.so "$L"/sandbox/nimo-sandbox "$L"/sandbox/nimo-demo
common "$L"
tar -C "$WORK" -czf "$DIST/nimosdk64-$VERSION-linux-x64.tar.gz" "$(basename "$L")"
ls -l "$DIST"
