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
# This server runs with the settings of example/settings.reg (what a user
# starts from; the package ships the same transfer size), only its drive and
# the portmapper changed. DATASIZE overrides "Datasize"; when it is below the
# largest (1048576), a second configuration times write and read at the
# largest as well. RUNS rounds (default 3) alternate the servers, each
# restarted on its folder, and keep each workload's best time. WORKLOADS picks
# some of "write read list create stat inflight copy compare clients" (default all).
# SOURCE is the tree that copy writes and compare checks (default
# /usr/include). PERF=1 records a profile of this server (perf record -g) to
# BUILD/vs-ganesha.perf.data (the last round's). NFSD names another server
# binary to time (then nothing is built).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" 2>/dev/null && pwd) || { echo "no build folder ${1:-$root/build}"; exit 1; }
[ "$(id -u)" = 0 ] || { echo "run as root (namespaces, port 111)"; exit 1; }
for tool in ganesha.nfsd rpcbind rpcinfo unshare cc; do
    command -v $tool >/dev/null || { echo "missing $tool (apt-get install nfs-ganesha nfs-ganesha-vfs rpcbind libnfs-dev gcc)"; exit 1; }
done

[ -n "${NFSD:-}" ] || cmake --build "$build" --target nfsd -j2 >/dev/null
cc -O2 -o "$build/vs-ganesha-client" "$root/bench/vs-ganesha-client.c" -lnfs

example_size=$(sed -n 's/^"Datasize"="\([0-9]*\)".*/\1/p' "$root/example/settings.reg")
export NFSD=${NFSD:-$build/nfsd} CLIENT="$build/vs-ganesha-client" EXAMPLE="$root/example"
export PERF=${PERF:-0} PERF_OUT="$build/vs-ganesha.perf.data"
export DATASIZE=${DATASIZE:-${example_size:-8192}} RUNS=${RUNS:-3}
export WORKLOADS=${WORKLOADS:-"write read list create stat inflight copy compare clients"}
export SOURCE=${SOURCE:-/usr/include}
case " $WORKLOADS " in *" compare "*) case " $WORKLOADS " in *" copy "*) ;; *)
    echo "compare checks what copy wrote: list copy before it"; exit 1 ;; esac ;; esac
case " $WORKLOADS " in *" read "*) case " $WORKLOADS " in *" write "*) ;; *)
    echo "read reads what write wrote: list write before it"; exit 1 ;; esac ;; esac
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
# and a tree of 100 folders of 100 files. What the workloads make (the big
# file, the tree copy, the clients' folders) goes before each round.
make_data() {
    mkdir -p "$1/list" "$1/small" "$1/tree"
    (cd "$1/list" && seq -f "name%04g" 0 1999 | xargs touch)
    for d in $(seq -f "d%02g" 0 99); do
        mkdir "$1/tree/$d"
        (cd "$1/tree/$d" && seq -f "f%02g" 0 99 | xargs touch)
    done
}
fresh() { rm -rf "$1/copy" "$1"/m[0-9] "$1/big"; }

nfs_registered() { rpcinfo -p 127.0.0.1 2>/dev/null | grep -qE '100003 +3 +tcp'; }
wait_nfs() {
    for i in $(seq 100); do nfs_registered && return 0; sleep 0.1; done
    echo "the $1 server did not start"; return 1
}
wait_gone() {
    for i in $(seq 100); do nfs_registered || return 0; sleep 0.1; done
}

declare -A times
measure() {  # measure TAG EXPORT WORKLOADS...: keeps each one's best time
    local tag=$1 exp=$2 w t old
    shift 2
    for w in "$@"; do
        t=$("$CLIENT" 127.0.0.1 "$exp" "$w" 2>>"$work/client.log") ||
            { echo "$tag: $w failed"; tail -3 "$work/client.log"; exit 1; }
        old=${times[$tag,$w]:-}
        if [ -z "$old" ] || awk "BEGIN { exit !($t < $old) }"; then times[$tag,$w]=$t; fi
    done
}

# This server: the example's settings, drive C: its folder, registered with
# the rpcbind above.
home="$work/nimbora"
mkdir -p "$home/c"
make_data "$home/c"
echo 'c:\ -maproot:0:0' >"$home/exports"
settings() {  # settings DATASIZE
    awk -v dir="$home/c" -v size="$1" '
        /^"Datasize"=/ { next }
        { gsub("@EXAMPLE@/demo", dir); print }
        $0 == "[HKEY_LOCAL_MACHINE\\Software\\Nimbora\\nfsd]" {
            print "\"PortMapper\"=\"0\""; print "\"Datasize\"=\"" size "\""
        }' "$EXAMPLE/settings.reg" >"$home/settings.reg"
    grep -q '"PortMapper"="0"' "$home/settings.reg" || { echo "example/settings.reg: no nfsd key"; exit 1; }
}
nimbora() {  # nimbora TAG DATASIZE WORKLOADS...
    local tag=$1
    settings "$2"
    shift 2
    fresh "$home/c"
    if [ "$PERF" = 1 ]; then
        perf record -q -g -o "$PERF_OUT" -- "$NFSD" --home "$home" >/dev/null 2>&1 & nfsd=$!
    else
        "$NFSD" --home "$home" >/dev/null & nfsd=$!
    fi
    pids+=($nfsd)  # a failed workload must not leave it running
    wait_nfs nimbora
    measure "$tag" /c "$@"
    kill -TERM $nfsd; wait $nfsd || true
    wait_gone
}

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
ganesha() {  # ganesha WORKLOADS...
    fresh "$gdir"
    ganesha.nfsd -F -f "$work/ganesha.conf" -L "$work/ganesha.log" -p "$work/ganesha.pid" & ganesha=$!
    pids+=($ganesha)
    wait_nfs ganesha
    measure ganesha "$gdir" "$@"
    kill -TERM $ganesha; wait $ganesha || true
    wait_gone
}

largest=1048576
big=""
if [ "$DATASIZE" -lt $largest ]; then
    for w in $WORKLOADS; do case $w in write|read) big="$big $w" ;; esac; done
fi
for r in $(seq "$RUNS"); do
    nimbora nimbora "$DATASIZE" $WORKLOADS
    [ -z "$big" ] || nimbora largest $largest $big
    ganesha $WORKLOADS
done

describe() {
    case $1 in
        write) echo "sequential write, 256 MiB" ;;
        read) echo "sequential read, 256 MiB" ;;
        list) echo "listing 2,000 names" ;;
        create) echo "create and remove 2,000 small files" ;;
        stat) echo "stat of each file in a 10,000-file tree" ;;
        inflight) echo "the same, 64 in flight on one connection" ;;
        copy) echo "tree copy, $(find "$SOURCE" | wc -l) entries" ;;
        compare) echo "tree compare" ;;
        clients) echo "8 clients at once, 150 rounds each" ;;
    esac
}
row() {  # row TAG WORKLOAD LABEL
    local n=${times[$1,$2]} g=${times[ganesha,$2]}
    printf '%-44s %9s %9s %6s\n' "$3" "$n" "$g" "$(awk "BEGIN { printf \"%.2f\", $n / $g }")"
}
printf '%-44s %9s %9s %6s\n' "workload (best of $RUNS, seconds)" nimbora ganesha ratio
for w in $WORKLOADS; do row nimbora $w "$(describe $w)"; done
for w in $big; do row largest $w "$(describe $w), Datasize $largest"; done
echo "(ratio = nimbora / ganesha; below 1 means this server was faster; Datasize $DATASIZE)"
INNER
