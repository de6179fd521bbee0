#!/bin/sh
# Sourced by tools/win/build-<package>.sh: a library for x86_64-w64-mingw32 built once per
# machine from Debian's own source package and kept outside the clone, in
# $CACHE/<package>-<version>-mingw64 (NIMO_MINGW_CACHE moves it; default /var/cache/nimosdk64).
#   reuse_build PACKAGE      prints a finished build's folder and exits, when there is one
#   fetch_source PACKAGE     unpacks the source into $WORK/PACKAGE (the current folder after it);
#                            sets VERSION and PREFIX
#   publish_build            moves $WORK/install to PREFIX whole and prints PREFIX
# Messages go to standard error: standard output is the folder alone.
CACHE=${NIMO_MINGW_CACHE:-${NIMO_OPENSSL_MINGW_CACHE:-/var/cache/nimosdk64}}

reuse_build() {
  # Any finished build is reused (the newest when there are several): Debian's archive
  # keeps only the current source, so the version is known only once it is fetched.
  for d in $(ls -d "$CACHE/$1"-*-mingw64 2>/dev/null | sort -rV); do
    if [ -f "$d/.complete" ]; then
      echo "$d"
      exit 0
    fi
  done
}

fetch_source() {
  mkdir -p "$CACHE"
  WORK=$(mktemp -d "$CACHE/.build-XXXXXX")
  chmod 755 "$WORK" # apt downloads as its own user
  trap 'rm -rf "$WORK"' EXIT INT TERM
  echo "building $1 for mingw64 in $WORK (once per machine)" >&2

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
  chmod 777 "$WORK/src"
  # Newest first; a mirror may list a version whose files it no longer serves.
  # shellcheck disable=SC2086
  for v in $(apt-cache $APTOPTS showsrc "$1" | sed -n 's/^Version: //p' | sort -rV); do
    # shellcheck disable=SC2086
    (cd "$WORK/src" && apt-get $APTOPTS -qq source --download-only "$1=$v" >&2) && break
    rm -f "$WORK"/src/*
  done
  DSC=$(ls "$WORK/src/$1"_*.dsc)
  VERSION=$(sed -n 's/^Version: //p' "$DSC")
  # A Debian version may hold ":" and "~"; keep the folder name plain.
  PREFIX="$CACHE/$1-$(printf '%s' "$VERSION" | tr ':~' '__')-mingw64"
  echo "$1 source $VERSION" >&2
  dpkg-source -x "$DSC" "$WORK/$1" >&2
  cd "$WORK/$1" || exit 1
}

publish_build() {
  touch "$WORK/install/.complete"
  # The rename makes the cache appear whole or not at all; a concurrent builder that
  # finished first wins and our copy is dropped.
  mv -T "$WORK/install" "$PREFIX" 2>/dev/null || [ -f "$PREFIX/.complete" ]
  echo "$PREFIX"
}
