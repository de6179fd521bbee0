#!/bin/sh
# Static OpenSSL for x86_64-w64-mingw32, built once per machine from Debian's own source
# package (the same version as the Linux build) and kept outside the clone.
#   tools/win/build-openssl.sh          prints the install prefix (builds it when missing)
# NIMO_OPENSSL_MINGW_CACHE overrides the cache folder (default /var/cache/nimosdk64).
set -eu
CACHE=${NIMO_OPENSSL_MINGW_CACHE:-/var/cache/nimosdk64}
# Any finished build is reused (the newest when there are several): Debian's archive
# keeps only the current source, so the version is known only once it is fetched.
for d in $(ls -d "$CACHE"/openssl-*-mingw64 2>/dev/null | sort -rV); do
  if [ -f "$d/.complete" ]; then
    echo "$d"
    exit 0
  fi
done

mkdir -p "$CACHE"
WORK=$(mktemp -d "$CACHE/.build-XXXXXX")
chmod 755 "$WORK" # apt downloads as its own user
trap 'rm -rf "$WORK"' EXIT INT TERM
echo "building OpenSSL for mingw64 in $WORK (once per machine)" >&2

# A private apt configuration with deb-src lines for the machine's own suites; the
# machine's apt sources and lists stay untouched. apt checks the index signatures.
APT="$WORK/apt"
mkdir -p "$APT/sources.list.d" "$APT/lists/partial"
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  sed -e 's/^Types:.*/Types: deb-src/' "$f" >"$APT/sources.list.d/$(basename "$f")"
done
: >"$APT/sources.list"
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] || continue
  sed -n -e 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f" >>"$APT/sources.list"
done
APTOPTS="-o Dir::Etc::SourceList=$APT/sources.list -o Dir::Etc::SourceParts=$APT/sources.list.d \
-o Dir::State::Lists=$APT/lists -o Debug::NoLocking=1"
# shellcheck disable=SC2086
apt-get $APTOPTS -qq update >&2
mkdir -p "$WORK/src"
# shellcheck disable=SC2086
chmod 777 "$WORK/src"
# Newest first; a mirror may list a version whose files it no longer serves.
# shellcheck disable=SC2086
for v in $(apt-cache $APTOPTS showsrc openssl | sed -n 's/^Version: //p' | sort -rV); do
  # shellcheck disable=SC2086
  (cd "$WORK/src" && apt-get $APTOPTS -qq source --download-only "openssl=$v" >&2) && break
  rm -f "$WORK"/src/*
done
DSC=$(ls "$WORK"/src/openssl_*.dsc)
VERSION=$(sed -n 's/^Version: //p' "$DSC")
# A Debian version may hold ":" and "~"; keep the folder name plain.
PREFIX="$CACHE/openssl-$(printf '%s' "$VERSION" | tr ':~' '__')-mingw64"
echo "OpenSSL source $VERSION" >&2
dpkg-source -x "$DSC" "$WORK/openssl" >&2

cd "$WORK/openssl"
./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- no-shared no-tests no-legacy \
  no-module --prefix="$WORK/install" --libdir=lib >&2
make -s -j"${NIMO_JOBS:-2}" build_libs >&2
make -s install_dev >&2
cp LICENSE.txt "$WORK/install/LICENSE.txt"
touch "$WORK/install/.complete"
# The rename makes the cache appear whole or not at all; a concurrent builder that
# finished first wins and our copy is dropped.
mv -T "$WORK/install" "$PREFIX" 2>/dev/null || [ -f "$PREFIX/.complete" ]
echo "$PREFIX"
