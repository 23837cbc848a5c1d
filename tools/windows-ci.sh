#!/bin/bash
# The Windows program: installs the cross toolchain, Wine, NSIS and Xvfb
# from Debian, fetches cpp-httplib's single header from Debian's source
# package, cross-builds nfsd.exe, its tests and its installer, and runs every
# test labelled "windows" under Wine.
#
#   tools/windows-ci.sh [BUILD_DIR]      (default: build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-windows}
SUDO=
[ "$(id -u)" = 0 ] || SUDO=sudo

# Source packages come from their own list, so the binary lists stay as they are.
SRC_LIST=/etc/apt/sources.list.d/nimbora-deb-src.sources
if ! grep -rqs "^Types:.*deb-src" /etc/apt/sources.list.d/ && ! grep -qs "^deb-src" /etc/apt/sources.list; then
    $SUDO tee "$SRC_LIST" > /dev/null <<'LIST'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
LIST
fi
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends \
    g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64 nsis xvfb xauth dpkg-dev \
    libgtest-dev python3 rpcbind nfs-common libnfs-utils util-linux iproute2

mkdir -p "$BUILD/httplib"
if [ ! -s "$BUILD/httplib/httplib.h" ]; then
    rm -rf "$BUILD/httplib-src" && mkdir -p "$BUILD/httplib-src"
    (cd "$BUILD/httplib-src" && apt-get source cpp-httplib > /dev/null)
    cp "$BUILD"/httplib-src/cpp-httplib-*/httplib.h "$BUILD/httplib/httplib.h"
fi

cmake --preset windows -B "$BUILD" -DNIMBORA_HTTPLIB_DIR="$PWD/$BUILD/httplib"
cmake --build "$BUILD" -j2
(cd "$BUILD" && cpack > /dev/null)
ctest --test-dir "$BUILD" -L windows --output-on-failure -j2
