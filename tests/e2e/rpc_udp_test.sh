#!/bin/bash
# The RPC runtime (UDP workers, registry, dispatch) answers the system's own
# rpcinfo: a served version is ready, an unserved version is a mismatch with
# the served range, an unserved program is unavailable.
#   bash rpc_udp_test.sh BUILD_DIR
set -u
build=${1:?usage: rpc_udp_test.sh BUILD_DIR}
server="$build/rpc_test_server"
[ -x "$server" ] || { echo "missing $server"; exit 1; }
command -v rpcinfo >/dev/null || { echo "rpcinfo not installed"; exit 1; }

# Everything runs in a network namespace of its own: port 111 and the test
# port never meet another test's.
exec unshare --net bash -s "$server" <<'INNER'
set -u
server=$1
ip link set lo up
port=20049
fails=0
out=$(mktemp)
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -f "$out"' EXIT

"$server" $port 4 >"$out" 2>&1 &
pid=$!
for i in $(seq 50); do grep -q "^ready $port" "$out" && break; sleep 0.1; done
grep -q "^ready $port" "$out" || { echo "server did not start:"; cat "$out"; exit 1; }

# expect STATUS TEXT -- rpcinfo ARGS: rpcinfo exits with STATUS and prints TEXT.
expect() {
    local status=$1 want=$2
    shift 3
    local got rc
    got=$(rpcinfo "$@" 2>&1)
    rc=$?
    if [ "$rc" != "$status" ] || [ "$got" != "$want" ]; then
        echo "FAIL: rpcinfo $*"
        echo "  want (exit $status): $want"
        echo "  got  (exit $rc): $got"
        fails=$((fails + 1))
    else
        echo "ok: rpcinfo $*"
    fi
}

expect 0 "program 100003 version 3 ready and waiting" -- -n $port -u 127.0.0.1 100003 3
expect 0 "program 100003 version 2 ready and waiting" -- -n $port -u 127.0.0.1 100003 2
expect 1 "rpcinfo: RPC: Program/version mismatch; low version = 2, high version = 3
program 100003 version 4 is not available" -- -n $port -u 127.0.0.1 100003 4
expect 1 "rpcinfo: RPC: Program unavailable
program 100005 version 3 is not available" -- -n $port -u 127.0.0.1 100005 3
# Without a version rpcinfo learns the range from the mismatch and tries each.
expect 0 "program 100003 version 2 ready and waiting
program 100003 version 3 ready and waiting" -- -n $port -u 127.0.0.1 100003

# The workers end on a signal after the next call; the server exits cleanly.
kill -TERM $pid
for i in $(seq 50); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
if kill -0 $pid 2>/dev/null; then echo "FAIL: server still running after SIGTERM"; fails=$((fails + 1)); fi
wait $pid; rc=$?
[ $rc = 0 ] || { echo "FAIL: server exit status $rc"; cat "$out"; fails=$((fails + 1)); }

[ $fails = 0 ] && echo "all passed"
exit $fails
INNER
