#!/bin/sh
# Static OpenSSL for x86_64-w64-mingw32, built once per machine from Debian's own source
# package (the same version as the Linux build) and kept outside the clone.
#   tools/win/build-openssl.sh          prints the install prefix (builds it when missing)
# NIMO_MINGW_CACHE (or NIMO_OPENSSL_MINGW_CACHE) overrides the cache folder (default /var/cache/nimosdk64).
set -eu
. "$(dirname "$0")/debian-source.sh"
reuse_build openssl
fetch_source openssl
./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- no-shared no-tests no-legacy \
  no-module --prefix="$WORK/install" --libdir=lib >&2
make -s -j"${NIMO_JOBS:-2}" build_libs >&2
make -s install_dev >&2
cp LICENSE.txt "$WORK/install/LICENSE.txt"
publish_build
