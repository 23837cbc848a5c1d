#!/bin/bash
# The Debian package as an administrator meets it: builds it from BUILD
# (default build/, already built), checks it with lintian, installs it with
# apt, checks the unit and the manual pages, runs the installed program as
# its unit does (user, capability, packaged settings beside an rpcbind) in a
# private network and mount namespace, copies a file in and out with the
# libnfs tools, checks --check on the packaged files (what a reload keeps is
# the end-to-end tests' business), then purges the package and looks for
# anything left. Needs root, apt and the packages of
# tools/install-deps.sh; it replaces whatever nimbora-nfsd the machine had.
#
#   tests/package/package_test.sh [BUILD]
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
unit=/lib/systemd/system/nimbora-nfsd.service
state=/var/lib/nimbora-nfsd
drive=/srv/nimbora-nfsd

fail() { echo "package test: $*" >&2; exit 1; }
step() { echo "== $*"; }

step "package"
rm -f "$build"/nimbora-nfsd_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/nimbora-nfsd_*_*.deb)
[[ $(basename "$deb") =~ ^nimbora-nfsd_[0-9.]+_[a-z0-9]+\.deb$ ]] || fail "package name $deb"

step "lintian"
lint_ok=1
report=$(lintian --fail-on error --tag-display-limit 0 "$deb" 2>&1) || lint_ok=0
grep -v "root privileges" <<<"$report" || true
[ $lint_ok = 1 ] || fail "lintian found errors"

step "install"
dpkg -s nimbora-nfsd >/dev/null 2>&1 && apt-get purge -y nimbora-nfsd >/dev/null
(cd "$(dirname "$deb")" && DEBIAN_FRONTEND=noninteractive apt-get install -y "./$(basename "$deb")" >/dev/null)
getent passwd nimbora-nfsd >/dev/null || fail "no user nimbora-nfsd"
[ "$(stat -c %U "$state")" = nimbora-nfsd ] || fail "$state is not the service's"
[ "$(readlink "$state/exports")" = /etc/nimbora-nfsd/exports ] || fail "exports link"
grep -qx '"PortMapper"="0"' /etc/nimbora-nfsd/settings.reg || fail "packaged settings"
[ -L /etc/systemd/system/multi-user.target.wants/nimbora-nfsd.service ] || fail "unit not enabled"
dpkg-query -W -f='${Conffiles}\n' nimbora-nfsd | grep -q /etc/nimbora-nfsd/exports || fail "conffiles"

step "manual pages"
for page in /usr/share/man/man8/nimbora-nfsd.8.gz /usr/share/man/man5/nimbora-exports.5.gz; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page: $warnings"
done

if command -v systemd-analyze >/dev/null; then
    step "unit"
    systemd-analyze verify "$unit"
    exposure=$(systemd-analyze security --offline=true "$unit" 2>/dev/null |
        sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    echo "exposure $exposure"
    awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 3.0) }' || fail "exposure $exposure"
fi

step "check"
rm -rf "$drive/keep" "$drive/gone"  # the test's own, from an earlier run
mkdir -p "$drive/keep" "$drive/gone"
chown -R nimbora-nfsd:nimbora-nfsd "$drive"
printf 'c:\\keep -name:keep\nc:\\gone -name:gone\n' >/etc/nimbora-nfsd/exports
out=$(nimbora-nfsd --check) || fail "check of a good file: $out"
grep -q '^/keep .* c:\\keep ' <<<"$out" || fail "check output: $out"
grep -q '^2 exports, 0 problems$' <<<"$out" || fail "check output: $out"

step "run"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
user=$(sed -n 's/^User=//p' "$unit")
caps=$(sed -n 's/^AmbientCapabilities=CAP_//p' "$unit" | tr 'A-Z' 'a-z')
export exec_start user caps state drive
unshare --net --mount --propagation private bash -euo pipefail -c '
    fail() { echo "package test: $*" >&2; exit 1; }
    ip link set lo up
    # A portmapper of this namespace only: its socket file lies in /run.
    mount -t tmpfs tmpfs /run
    rpcbind -f -w & rpcbind=$!
    server=""
    cleanup() { kill $server $rpcbind 2>/dev/null || true; }
    trap cleanup EXIT
    for _ in $(seq 50); do rpcinfo -p 127.0.0.1 >/dev/null 2>&1 && break; sleep 0.1; done
    setpriv --reuid="$user" --regid="$user" --init-groups --no-new-privs \
        --inh-caps=+"$caps" --ambient-caps=+"$caps" --bounding-set=-all,+"$caps" \
        $exec_start >/tmp/nimbora-package.out 2>&1 & server=$!
    for _ in $(seq 100); do rpcinfo -p 127.0.0.1 2>/dev/null | grep -q "100003.*tcp" && break; sleep 0.1; done
    rpcinfo -p 127.0.0.1 | grep -q "100005 *3 *udp *1058" || fail "not registered: $(cat /tmp/nimbora-package.out)"
    [ "$(stat -c %U /proc/$server)" = "$user" ] || fail "not run as $user"

    rm -f /tmp/nimbora-out.bin
    head -c 300000 /dev/urandom >/tmp/nimbora-in.bin
    nfs-cp /tmp/nimbora-in.bin nfs://127.0.0.1/keep/in.bin
    nfs-cp nfs://127.0.0.1/keep/in.bin /tmp/nimbora-out.bin
    cmp /tmp/nimbora-in.bin /tmp/nimbora-out.bin || fail "copy differs"
    [ "$(stat -c %U "$drive/keep/in.bin")" = "$user" ] || fail "file not the service user'"'"'s"

    kill -TERM $server
    wait $server || fail "stop status $?"
    server=""
'

step "purge"
rm -rf "$drive/keep" "$drive/gone"
apt-get purge -y nimbora-nfsd >/dev/null
left=""
for path in /usr/sbin/nimbora-nfsd "$unit" /etc/nimbora-nfsd "$state" "$drive" \
    /usr/share/nimbora-nfsd /usr/share/doc/nimbora-nfsd \
    /etc/systemd/system/multi-user.target.wants/nimbora-nfsd.service; do
    if [ -e "$path" ] || [ -L "$path" ]; then left="$left $path"; fi
done
if getent passwd nimbora-nfsd >/dev/null; then left="$left user:nimbora-nfsd"; fi
if getent group nimbora-nfsd >/dev/null; then left="$left group:nimbora-nfsd"; fi
[ -z "$left" ] || fail "left after purge:$left"
rm -f /tmp/nimbora-in.bin /tmp/nimbora-out.bin /tmp/nimbora-package.out
echo "package test: passed"
