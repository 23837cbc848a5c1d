#!/bin/bash
# Times this server against nfs-ganesha (Debian: nfs-ganesha, nfs-ganesha-vfs)
# as an unrelated yardstick: the same libnfs client (vs-ganesha-client.c) runs
# the same workloads over NFS version 3 on TCP against one server and then the
# other, each serving an identical folder, and one table prints both times
# and their ratio. Everything runs in a private network and mount namespace
# with an rpcbind of its own, which both servers register with.
#
#   bench/vs-ganesha.sh [BUILD]      (as root; BUILD defaults to build/)
#
# DATASIZE sets this server's "Datasize" (default 65535, the largest the
# settings offer; the shipped default is 8192). RUNS repeats each workload
# and keeps the best time (default 3). WORKLOADS picks some of "write read list
# create stat" (default all).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" 2>/dev/null && pwd) || { echo "no build folder ${1:-$root/build}"; exit 1; }
[ "$(id -u)" = 0 ] || { echo "run as root (namespaces, port 111)"; exit 1; }
for tool in ganesha.nfsd rpcbind rpcinfo unshare cc; do
    command -v $tool >/dev/null || { echo "missing $tool (apt-get install nfs-ganesha nfs-ganesha-vfs rpcbind libnfs-dev gcc)"; exit 1; }
done

cmake --build "$build" --target nfsd -j2 >/dev/null
cc -O2 -o "$build/vs-ganesha-client" "$root/bench/vs-ganesha-client.c" -lnfs

export NFSD="$build/nfsd" CLIENT="$build/vs-ganesha-client"
export DATASIZE=${DATASIZE:-65535} RUNS=${RUNS:-3} WORKLOADS=${WORKLOADS:-"write read list create stat"}
exec unshare --net --mount bash -s <<'INNER'
set -euo pipefail
ip link set lo up
# rpcbind and ganesha keep sockets and locks in /run: a tmpfs of their own.
mount -t tmpfs tmpfs /run
work=$(mktemp -d /tmp/vs-ganesha.XXXXXX)
pids=()
trap 'for p in "${pids[@]}"; do kill $p 2>/dev/null || true; done; rm -rf "$work"' EXIT
rpcbind -f & pids+=($!)
for i in $(seq 50); do rpcinfo -p 127.0.0.1 >/dev/null 2>&1 && break; sleep 0.1; done

# The served folder: 2,000 names to list, an empty folder for the creates,
# and a tree of 100 folders of 100 files.
make_data() {
    mkdir -p "$1/list" "$1/small" "$1/tree"
    (cd "$1/list" && seq -f "name%04g" 0 1999 | xargs touch)
    for d in $(seq -f "d%02g" 0 99); do
        mkdir "$1/tree/$d"
        (cd "$1/tree/$d" && seq -f "f%02g" 0 99 | xargs touch)
    done
}

wait_nfs() {  # until NFS version 3 over TCP is registered
    for i in $(seq 100); do
        rpcinfo -p 127.0.0.1 2>/dev/null | grep -qE '100003 +3 +tcp' && return 0
        sleep 0.1
    done
    echo "the $1 server did not start"; return 1
}

declare -A times
workloads=${WORKLOADS:-"write read list create stat"}
measure() {  # measure NAME EXPORT: best of RUNS for every workload
    for w in $workloads; do
        best=""
        for r in $(seq "$RUNS"); do
            t=$("$CLIENT" 127.0.0.1 "$2" "$w")
            if [ -z "$best" ] || awk "BEGIN { exit !($t < $best) }"; then best=$t; fi
        done
        times[$1,$w]=$best
    done
}

# This server: drive C: is its folder, registered with the rpcbind above.
home="$work/nimbora"
mkdir -p "$home/c"
make_data "$home/c"
cat >"$home/settings.reg" <<EOF
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd]
"PortMapper"="0"
"Datasize"="$DATASIZE"

[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd\\Drives]
"C"="$home/c"
EOF
echo 'c:\ -maproot:0:0' >"$home/exports"
"$NFSD" --home "$home" & nfsd=$!
wait_nfs nimbora
measure nimbora /c
kill -TERM $nfsd; wait $nfsd

# ganesha: the same folder content through its VFS back end.
gdir="$work/ganesha/g"
mkdir -p "$gdir"
make_data "$gdir"
cat >"$work/ganesha.conf" <<EOF
NFS_CORE_PARAM {
    Protocols = 3;
    Enable_NLM = false;
    Enable_RQUOTA = false;
}
EXPORT {
    Export_Id = 1;
    Path = $gdir;
    Pseudo = /g;
    Access_Type = RW;
    Squash = No_Root_Squash;
    Protocols = 3;
    Transports = TCP;
    FSAL { Name = VFS; }
}
LOG { Default_Log_Level = WARN; }
EOF
ganesha.nfsd -F -f "$work/ganesha.conf" -L "$work/ganesha.log" -p "$work/ganesha.pid" & ganesha=$!
pids+=($ganesha)
wait_nfs ganesha
measure ganesha "$gdir"
kill -TERM $ganesha; wait $ganesha || true

printf '%-40s %10s %10s %8s\n' "workload (best of $RUNS, seconds)" nimbora ganesha ratio
describe() {
    case $1 in
        write) echo "sequential write, 256 MiB" ;;
        read) echo "sequential read, 256 MiB" ;;
        list) echo "listing 2,000 names" ;;
        create) echo "create and remove 2,000 small files" ;;
        stat) echo "stat of each file in a 10,000-file tree" ;;
    esac
}
for w in $workloads; do
    n=${times[nimbora,$w]} g=${times[ganesha,$w]}
    printf '%-40s %10s %10s %8s\n' "$(describe $w)" "$n" "$g" "$(awk "BEGIN { printf \"%.2f\", $n / $g }")"
done
echo "(ratio = nimbora / ganesha; below 1 means this server was faster; Datasize $DATASIZE)"
INNER
