#!/bin/sh
# Installs every Debian package that the build and the tests need; with
# --run, only what building and running the server needs (no test tools,
# no browser, no dissector).
set -e
SUDO=
[ "$(id -u)" = 0 ] || SUDO=sudo

if [ "${1:-}" = --run ]; then
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends \
        g++ cmake make pkg-config libcpp-httplib-dev rpcbind
    exit 0
fi
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends \
    g++ cmake make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev \
    iproute2 util-linux python3 \
    rpcbind nfs-common libnfs-utils libnfs-dev tshark \
    chromium chromium-driver python3-selenium \
    clang libclang-rt-dev
# The Debian package and its test (tests/package/): dependencies of the
# program, lintian, the checks of the unit and of the manual pages.
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends \
    dpkg-dev lintian systemd man-db adduser
