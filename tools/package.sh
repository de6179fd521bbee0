#!/bin/sh
# Release packages from the Linux build (build/) and the Windows build (build-win/):
#   dist/nimosdk64-<version>-windows-x64.zip, dist/nimosdk64-<version>-linux-x64.tar.gz
#   and beside each its -symbols archive (the separate debug files).
#   package.sh [all|linux|windows]   (NIMO_BUILD, NIMO_BUILD_WIN, NIMO_DIST move the folders)
# The Steam stand-in and the sandbox go to sandbox/, never beside the SDK library.
#   package.sh compare DIST1 DIST2   names the archives, and the files in them, that differ
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WHAT=${1:-all}
if [ "$WHAT" = compare ]; then
  T=$(mktemp -d)
  trap 'rm -rf "$T"' EXIT INT TERM
  status=0
  for a in "$2"/*; do
    n=${a##*/}
    [ -f "$a" ] || continue
    cmp -s "$a" "$3/$n" && continue
    status=1
    echo "$n differs:"
    for side in 1 2; do
      mkdir -p "$T/$side/$n"
      [ "$side" = 1 ] && f=$a || f="$3/$n"
      [ -f "$f" ] || continue
      case "$n" in
        *.zip) unzip -q "$f" -d "$T/$side/$n" ;;
        *) tar -C "$T/$side/$n" -xzf "$f" ;;
      esac
    done
    diff -rq "$T/1/$n" "$T/2/$n" | sed "s#$T/[12]/$n/##g; s/^/  /" >"$T/diff" || true
    if [ -s "$T/diff" ]; then cat "$T/diff"; else echo "  the same files: their dates, order or owners differ"; fi
  done
  exit $status
fi
BUILD=${NIMO_BUILD:-$ROOT/build}
BUILD_WIN=${NIMO_BUILD_WIN:-$ROOT/build-win}
DIST=${NIMO_DIST:-$ROOT/dist}
PKG="$ROOT/tools/package"
VERSION=$(sed -n 's/^#define NIMO_VERSION_STRING "\(.*\)"$/\1/p' "$BUILD/generated/nimo_version.h")
[ -n "$VERSION" ] || { echo "no version in $BUILD/generated/nimo_version.h" >&2; exit 1; }
# Every file dated from the commit, so that packing the same commit twice gives the same bytes.
EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || echo 0)}
# strip and objcopy date the PE files they rewrite from this, not from the clock.
export SOURCE_DATE_EPOCH="$EPOCH"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT INT TERM
mkdir -p "$DIST"
DIST=$(cd "$DIST" && pwd)

# tgz|zip FOLDER NAME ARCHIVE: FOLDER/NAME packed with sorted entries, fixed dates and owners.
tgz() {
  chmod -R u+rwX,go+rX,go-w "$1/$2"
  find "$1/$2" -exec touch -h -d "@$EPOCH" {} +
  tar -C "$1" --sort=name --format=gnu --owner=0 --group=0 --numeric-owner --mtime="@$EPOCH" -cf - "$2" |
    gzip -9n >"$3"
}
zipped() {
  chmod -R u+rwX,go+rX,go-w "$1/$2"
  find "$1/$2" -exec touch -h -d "@$EPOCH" {} +
  rm -f "$3"
  (cd "$1" && find "$2" | LC_ALL=C sort | TZ=UTC zip -qX -@ "$3")
}

# strip_apart OBJCOPY FILE DEBUGDIR: FILE keeps only what runs; its debug information goes to
# DEBUGDIR/<name>.debug, found again through the debug link (name and checksum).
strip_apart() {
  mkdir -p "$3"
  "$1" --only-keep-debug "$2" "$3/$(basename "$2").debug"
  "$1" --strip-unneeded "$2"  # the export table stays
  (cd "$3" && "$1" --add-gnu-debuglink="$(basename "$2").debug" "$2")
}

# The integrator's guide: the project README without the sections and the paragraphs
# ("`./run ...`") about building and testing the SDK.
integration_guide() {
  echo "# nimosdk64 $VERSION: integrating the SDK"
  echo
  echo "From the project's README; \`sandbox/README.md\` describes the sandbox server."
  echo
  awk '/^## / { keep = ($0 !~ /^## (Layout|Windows|Packages)/) }
    prev == "" && /^`\.\/run / { drop = 1 }
    /^$/ { drop = 0 }
    keep && !drop && !(last == "" && $0 == "") { print; last = $0 }
    { prev = $0 }' "$ROOT/README.md" |
    sed 's#tools/sandbox/README\.md#sandbox/README.md#g'
}

# Short history: the first-parent subjects of each version, newest first.
changelog() {
  echo "# Changelog"
  if ! git -C "$ROOT" rev-parse -q --verify HEAD >/dev/null 2>&1; then
    echo
    echo "## $VERSION"
    return
  fi
  git -C "$ROOT" log --first-parent --format='%H %cs %s' |
    while read -r hash day subject; do
      v=$(git -C "$ROOT" show "$hash:CMakeLists.txt" 2>/dev/null |
        sed -n 's/^project(nimosdk64 VERSION \([0-9.]*\).*/\1/p')
      printf '%s\t%s\t%s\n' "${v:-0}" "$day" "$subject"
    done |
    awk -F '\t' '
      $1 != v { v = $1; printf "\n## %s (%s)\n\n", v, $2 }
      # Merges that say nothing more and work on tests or tools alone are left out.
      $3 ~ /^Merge branch [^;]*$/ || $3 ~ /^(Tests?|bench(_[a-z]+)?|Mutation|Random games|README)[ :]/ { next }
      { s = $3; sub(/^Merge (branch )?[^;]*; /, "", s); sub(/^Merge /, "", s); sub(/; .*/, "", s)
        if (length(s) > 110) s = substr(s, 1, 107) "..."
        print "- " s }'
}

# requirements LIBDIR FILE...: what the Linux binaries need of the system, measured.
requirements() {
  dir=$1
  shift
  echo "# Linux requirements (x86-64), measured on this package's binaries"
  echo
  echo "| file | needs | newest glibc symbol | newest libstdc++ symbol |"
  echo "|---|---|---|---|"
  for f in "$@"; do
    needed=$(objdump -p "$dir/$f" | awk '$1 == "NEEDED" { printf "%s`%s`", sep, $2; sep = ", " }')
    glibc=$(objdump -T "$dir/$f" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -n 1)
    cxx=$(objdump -T "$dir/$f" | grep -o 'GLIBCXX_[0-9.]*' | sort -uV | tail -n 1)
    echo "| \`$f\` | $needed | ${glibc:-none} | ${cxx:-none} |"
  done
  echo
  echo "The SDK library uses the system's OpenSSL 3 (\`libssl.so.3\`, \`libcrypto.so.3\`) and"
  echo "C++ runtime: Debian 12, Ubuntu 22.04 and newer have them. \`libsteam_api.so\` is Steam's"
  echo "(the real one from the Steamworks SDK beside the game; the stand-in in \`sandbox/\`)."
  echo "The sandbox server also needs cpp-httplib (Debian: \`apt-get install libcpp-httplib0.11\`)."
}

# common DIR LICENCE-FILES...: headers, binding, documents, licences
common() {
  dir=$1
  shift
  mkdir -p "$dir/include" "$dir/licenses" "$dir/docs" "$dir/bindings/csharp" "$dir/lib/cmake/nimosdk64"
  cp "$ROOT"/include/*.h "$dir/include/"
  cp "$ROOT/bindings/csharp/NimoSdk.cs" "$dir/bindings/csharp/"
  sed "s/@VERSION@/$VERSION/g" "$PKG/README.md" >"$dir/README.md"
  cp "$ROOT/LICENSE" "$dir/LICENSE"
  changelog >"$dir/CHANGELOG.md"
  integration_guide >"$dir/docs/INTEGRATION.md"
  { cat "$PKG/SANDBOX.md"; echo; sed 's#build/tools/sandbox/nimo-sandbox#sandbox/nimo-sandbox#g' \
    "$ROOT/tools/sandbox/README.md"; } >"$dir/sandbox/README.md"
  cp "$ROOT/tools/sandbox/view.png" "$dir/sandbox/"
  cp "$PKG/nimosdk64-config.cmake" "$dir/lib/cmake/nimosdk64/"
  cmake -DVERSION="$VERSION" -DOUT="$dir/lib/cmake/nimosdk64/nimosdk64-config-version.cmake" \
    -P "$PKG/version-file.cmake"
  for pair in "$@"; do
    cp "${pair#*=}" "$dir/licenses/${pair%%=*}"
  done
}

linux() {
  L="$WORK/nimosdk64-$VERSION-linux-x64"
  LS="$WORK/symbols/nimosdk64-$VERSION-linux-x64"
  mkdir -p "$L/lib/pkgconfig" "$L/sandbox"
  cp "$BUILD/libnimosdk64.so" "$L/lib/"
  strip_apart objcopy "$L/lib/libnimosdk64.so" "$LS/lib"
  cp "$BUILD/libsteam_api.so" "$BUILD/tools/sandbox/nimo-sandbox" "$BUILD/examples/demo/nimo-demo" "$L/sandbox/"
  # The demo runs as unpacked: the SDK from ../lib, Steam's stand-in from beside it, loaded by
  # the demo itself since the SDK library looks only beside itself. (patchelf before strip:
  # the other way round it can spoil the version records.)
  patchelf --add-needed libsteam_api.so "$L/sandbox/nimo-demo"
  patchelf --set-rpath '$ORIGIN/../lib:$ORIGIN' "$L/sandbox/nimo-demo"
  strip --strip-unneeded "$L"/sandbox/libsteam_api.so "$L"/sandbox/nimo-sandbox "$L"/sandbox/nimo-demo
  cp "$ROOT/examples/demo/run-demo.sh" "$L/sandbox/"
  sed "s/@VERSION@/$VERSION/g" "$PKG/nimosdk64.pc.in" >"$L/lib/pkgconfig/nimosdk64.pc"
  common "$L" OpenSSL-copyright.txt=/usr/share/doc/libssl3/copyright \
    nlohmann-json-copyright.txt=/usr/share/doc/nlohmann-json3-dev/copyright \
    easyloggingpp-copyright.txt=/usr/share/doc/libeasyloggingpp-dev/copyright \
    cpp-httplib-copyright.txt=/usr/share/doc/libcpp-httplib-dev/copyright
  requirements "$L" lib/libnimosdk64.so sandbox/libsteam_api.so sandbox/nimo-demo sandbox/nimo-sandbox \
    >"$L/REQUIREMENTS.md"
  tgz "$WORK" "$(basename "$L")" "$DIST/nimosdk64-$VERSION-linux-x64.tar.gz"
  tgz "$WORK/symbols" "$(basename "$LS")" "$DIST/nimosdk64-$VERSION-linux-x64-symbols.tar.gz"
}

windows() {
  W="$WORK/nimosdk64-$VERSION-windows-x64"
  WS="$WORK/symbols/nimosdk64-$VERSION-windows-x64"
  mkdir -p "$W/bin" "$W/lib" "$W/sandbox"
  cp "$BUILD_WIN/nimosdk64.dll" "$W/bin/"
  strip_apart x86_64-w64-mingw32-objcopy "$W/bin/nimosdk64.dll" "$WS/bin"
  cp "$BUILD_WIN/nimosdk64.dll.a" "$W/lib/"
  # An import library in the short format, which MSVC's linker also reads.
  # (Its member and symbol names come from the output's path and the temporary prefix: both fixed.)
  (cd "$W/lib" && x86_64-w64-mingw32-dlltool -d "$ROOT/cmake/nimosdk64.def" -D nimosdk64.dll -t nimosdk64 \
    -l nimosdk64.lib)
  cp "$BUILD_WIN/steam_api64.dll" "$BUILD_WIN/nimo-demo.exe" "$BUILD_WIN/nimo-sandbox.exe" "$W/sandbox/"
  x86_64-w64-mingw32-strip --strip-unneeded "$W/sandbox/steam_api64.dll" "$W/sandbox/nimo-demo.exe" \
    "$W/sandbox/nimo-sandbox.exe"
  cp "$ROOT/examples/demo/run-demo.cmd" "$W/sandbox/"
  # Windows looks for a program's DLLs beside it: the demo gets its own copy.
  cp "$W/bin/nimosdk64.dll" "$W/sandbox/"
  openssl_licence="$(sed -n 's/^NIMO_MINGW_OPENSSL:PATH=//p' "$BUILD_WIN/CMakeCache.txt")/LICENSE.txt"
  httplib_licence="$(sed -n 's/^NIMO_MINGW_HTTPLIB:PATH=//p' "$BUILD_WIN/CMakeCache.txt")/copyright"
  common "$W" OpenSSL-LICENSE.txt="$openssl_licence" \
    cpp-httplib-copyright.txt="$httplib_licence" \
    nlohmann-json-copyright.txt=/usr/share/doc/nlohmann-json3-dev/copyright \
    easyloggingpp-copyright.txt=/usr/share/doc/libeasyloggingpp-dev/copyright \
    mingw-w64-runtime-and-winpthreads-copyright.txt=/usr/share/doc/mingw-w64-x86-64-dev/copyright \
    gcc-runtime-libstdc++-libgcc-copyright.txt=/usr/share/doc/gcc-mingw-w64-base/copyright
  zipped "$WORK" "$(basename "$W")" "$DIST/nimosdk64-$VERSION-windows-x64.zip"
  zipped "$WORK/symbols" "$(basename "$WS")" "$DIST/nimosdk64-$VERSION-windows-x64-symbols.zip"
}

# meta FILE GUID-SEED [KIND]: Unity's import record for FILE (GUIDs derived from the path, so
# every build of a version names each asset the same).
meta() {
  guid=$(printf 'nimosdk64:%s' "$2" | md5sum | cut -c1-32)
  head='' importer=TextScriptImporter extra=''
  case "${3:-}" in
    win64 | linux64)
      # A plugin for its own platform (and that system's Editor) only.
      if [ "$3" = win64 ]; then w=1 os=Windows wcpu=x86_64 lcpu=None; else w=0 os=Linux wcpu=None lcpu=x86_64; fi
      l=$((1 - w))
      sed -e "s/@GUID@/$guid/;s/@EXCLUDE_LINUX64@/$w/;s/@EXCLUDE_WIN64@/$l/;s/@EDITOR_OS@/$os/" \
        -e "s/@LINUX64@/$l/;s/@LINUX64_CPU@/$lcpu/;s/@WIN64@/$w/;s/@WIN64_CPU@/$wcpu/" \
        "$PKG/unity/plugin.meta.in" >"$1.meta"
      return ;;
    folder) head='folderAsset: yes\n' importer=DefaultImporter ;;
    script) importer=MonoImporter
      extra='  serializedVersion: 2\n  defaultReferences: []\n  executionOrder: 0\n  icon: {instanceID: 0}\n' ;;
    asmdef) importer=AssemblyDefinitionImporter ;;
  esac
  printf "fileFormatVersion: 2\nguid: %s\n$head$importer:\n  externalObjects: {}\n$extra  userData:\n  assetBundleName:\n  assetBundleVariant:\n" \
    "$guid" >"$1.meta"
}

# Unity's package layout (an npm tarball: everything under package/), from the two archives'
# folders made by linux and windows.
unity() {
  U="$WORK/unity/package"
  mkdir -p "$U/Runtime" "$U/Plugins/Windows/x86_64" "$U/Plugins/Linux/x86_64" "$U/Samples~/PollFlow" "$U/Documentation~"
  sed "s/@VERSION@/$VERSION/" "$PKG/unity/package.json.in" >"$U/package.json"
  cp "$ROOT/bindings/csharp/NimoSdk.cs" "$PKG/unity/Nimo.Sdk.asmdef" "$U/Runtime/"
  cp "$W/bin/nimosdk64.dll" "$U/Plugins/Windows/x86_64/"
  cp "$L/lib/libnimosdk64.so" "$U/Plugins/Linux/x86_64/"
  cp "$PKG/unity/NimoFlowSample.cs" "$U/Samples~/PollFlow/"
  cp "$PKG/unity/README.md" "$U/README.md"
  cp "$L/CHANGELOG.md" "$U/CHANGELOG.md"
  cp "$ROOT/LICENSE" "$U/LICENSE.md"
  cp "$L/docs/INTEGRATION.md" "$L/REQUIREMENTS.md" "$U/Documentation~/"
  for f in "$W"/licenses/* "$L"/licenses/*; do
    printf '## %s\n\n```\n' "$(basename "$f" .txt)"
    cat "$f"
    printf '```\n\n'
  done >"$U/Third Party Notices.md"
  for f in package.json README.md CHANGELOG.md LICENSE.md "Third Party Notices.md"; do meta "$U/$f" "$f"; done
  for d in Runtime Plugins Plugins/Windows Plugins/Windows/x86_64 Plugins/Linux Plugins/Linux/x86_64; do
    meta "$U/$d" "$d" folder
  done
  meta "$U/Runtime/NimoSdk.cs" Runtime/NimoSdk.cs script
  meta "$U/Runtime/Nimo.Sdk.asmdef" Runtime/Nimo.Sdk.asmdef asmdef
  meta "$U/Plugins/Windows/x86_64/nimosdk64.dll" Plugins/Windows/x86_64/nimosdk64.dll win64
  meta "$U/Plugins/Linux/x86_64/libnimosdk64.so" Plugins/Linux/x86_64/libnimosdk64.so linux64
  tgz "$WORK/unity" package "$DIST/nimosdk64-unity-$VERSION.tgz"
}

case "$WHAT" in
  all) windows; linux; unity ;;
  linux) linux ;;
  windows) windows ;;
  *) echo "usage: package.sh [all|linux|windows]" >&2; exit 2 ;;
esac
ls -l "$DIST"
