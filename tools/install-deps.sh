#!/bin/sh
# Installs every Debian package that the build and the tests need.
set -e
SUDO=
[ "$(id -u)" = 0 ] || SUDO=sudo
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends \
    g++ cmake make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev \
    iproute2 util-linux python3 \
    rpcbind nfs-common libnfs-utils libnfs-dev tshark \
    chromium chromium-driver python3-selenium
