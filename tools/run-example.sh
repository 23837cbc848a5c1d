#!/bin/bash
# Builds the server and runs it in the foreground on a copy of example/, so
# that nothing is ever written into the checkout. Stop it with Ctrl-C.
#
#   tools/run-example.sh [HOME]
#
# HOME is the program directory to use (default: a new folder under /tmp);
# an existing HOME is reused as it is, so a second run keeps its inode
# table, mount table and logs. BUILD names the build folder (default build/).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build}

cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" --target nfsd -j2 >/dev/null
nfsd="$build/nfsd"

home=${1:-}
if [ -z "$home" ]; then
    home=$(mktemp -d /tmp/nimbora-example.XXXXXX)
fi
mkdir -p "$home"
home=$(cd "$home" && pwd)
if [ ! -e "$home/exports" ]; then
    cp -r "$root/example/." "$home/"
    # The example's settings leave drive C: unmapped (a placeholder, which
    # the server refuses); in this copy it becomes the copy's demo folder.
    sed -i "s|@EXAMPLE@|$home|" "$home/settings.reg"
fi

setting() {  # setting NAME VALUE: sets a value of the server's key in the copy
    local key='[HKEY_LOCAL_MACHINE\Software\Nimbora\nfsd]'
    sed -i "/^\"$1\"=/d" "$home/settings.reg"
    # Through the environment: awk -v would eat the key's backslashes.
    key="$key" line="\"$1\"=\"$2\"" \
        awk '{ print } $0 == ENVIRON["key"] { print ENVIRON["line"] }' \
        "$home/settings.reg" >"$home/settings.reg.new"
    mv "$home/settings.reg.new" "$home/settings.reg"
}

# Port 111 belongs to one portmapper. When the host already runs one
# (Debian starts rpcbind with its package), the server registers with it
# instead of starting its own.
if rpcinfo -p 127.0.0.1 >/dev/null 2>&1; then
    setting PortMapper 0
    echo "Port 111 already answers as a portmapper: the server registers with it (\"PortMapper\"=\"0\")."
    privileged=""
else
    setting PortMapper 1
    privileged="111 (the built-in portmapper)"
fi

# 1058 (MOUNT) and 2049 (NFS) need no privilege; 111 does.
if [ -n "$privileged" ] && [ "$(id -u)" != 0 ] &&
    ! { command -v getcap >/dev/null && getcap "$nfsd" | grep -q cap_net_bind_service; }; then
    echo "Port $privileged is below 1024 and needs root or CAP_NET_BIND_SERVICE. Either run"
    echo "    sudo $0 $home"
    echo "or grant the capability to the program once and run this again:"
    echo "    sudo setcap cap_net_bind_service=+ep $nfsd"
    echo "or start rpcbind (sudo systemctl start rpcbind) so that the server can use it."
    exit 1
fi

echo "Serving $home/demo as /demo (program directory $home; log in $home/nfsd*.log)."
echo "Look at it:  rpcinfo -p 127.0.0.1;  showmount -e 127.0.0.1;  nfs-ls nfs://127.0.0.1/demo/"
echo "Mount it:    sudo mount -t nfs -o vers=3,proto=tcp,port=2049,mountport=1058,nolock 127.0.0.1:/demo /mnt"
echo "Stop it:     Ctrl-C"
exec "$nfsd" --home "$home"
