#!/bin/sh
# cpp-httplib for x86_64-w64-mingw32 (the Windows sandbox), from Debian's own source package
# (the same version as the Linux build's libcpp-httplib-dev), once per machine, kept outside
# the clone. Its whole httplib.h is used header-only with OpenSSL for mingw.
#   tools/win/build-cpp-httplib.sh      prints the install prefix (makes it when missing)
set -eu
. "$(dirname "$0")/debian-source.sh"
reuse_build cpp-httplib
fetch_source cpp-httplib
mkdir -p "$WORK/install/include"
cp httplib.h "$WORK/install/include/"
cp debian/copyright "$WORK/install/copyright"
publish_build
