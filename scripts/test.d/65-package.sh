#!/usr/bin/env bash
# Package stage: builds the Debian package from the ordinary build, checks its contents, its
# systemd units (systemd-analyze verify) and its man pages (no warnings), unpacks it into a
# scratch root and runs portald, admitd, portal-login, portalctl status --json and portal-log
# from their installed paths there: admitd in a network namespace of its own, with a table
# whose name is this run's.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
build=${PACKAGE_BUILD:-build}
[ -f "$build/CMakeCache.txt" ] || bash scripts/build.sh "$build"

work=$(mktemp -d /tmp/portald-package.XXXXXX)
ns=portald-pkg-$$
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "-- Debian package"
cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/portald_*.deb)
dpkg-deb -I "$deb" >"$work/info"
grep -q '^ Package: portald$' "$work/info"
grep -q '^ Depends: .*libnftables' "$work/info" || { echo "no libnftables in Depends:"; cat "$work/info"; exit 1; }
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | diff - packaging/debian/conffiles
root=$work/root
dpkg-deb -x "$deb" "$root"
for f in usr/sbin/portald usr/sbin/admitd usr/bin/portalctl usr/bin/portal-login usr/bin/portal-log \
         usr/bin/nvram usr/bin/qarn-replay usr/lib/portald/portal-web \
         usr/share/portald/lighttpd/portal-web.conf etc/portald/lighttpd.conf etc/default/portald \
         usr/lib/systemd/system/portald.service usr/lib/systemd/system/admitd.service \
         usr/lib/systemd/system/portal-web.service usr/share/man/man8/portald.8 \
         usr/share/man/man1/portal-log.1 usr/share/man/man5/nbuser.cfg.5 \
         usr/share/man/man7/portald-protocol.7 usr/share/doc/portald/examples/nbuser.cfg; do
  [ -e "$root/$f" ] || { echo "missing from the package: /$f"; exit 1; }
done
echo "   $(basename "$deb"): $(dpkg-deb -c "$deb" | wc -l) entries"

echo "-- systemd units"
# Verified on this machine (its systemd, its /bin/sh and lighttpd), with the packaged programs
# at their places in the scratch root.
mkdir -p "$work/units"
for u in "$root"/usr/lib/systemd/system/*.service; do
  sed -e "s#/usr/sbin/portald#$root/usr/sbin/portald#" -e "s#/usr/sbin/admitd#$root/usr/sbin/admitd#" \
    "$u" >"$work/units/$(basename "$u")"
done
systemd-analyze verify --man=no "$work"/units/*.service 2>&1 | tee "$work/verify"
[ ! -s "$work/verify" ]

echo "-- man pages"
for page in "$root"/usr/share/man/man*/*; do
  out=$(groff -t -man -Tutf8 -ww -z "$page" 2>&1; MANWIDTH=80 man -l "$page" 2>&1 >/dev/null)
  [ -z "$out" ] || { echo "$page: $out"; exit 1; }
done

echo "-- lighttpd configuration"
sed "s#\"/usr/#\"$root/usr/#g" "$root/etc/portald/lighttpd.conf" >"$work/lighttpd.conf"
PORTAL_ADDRESS=127.0.0.1 PORTAL_PORT=80 lighttpd -tt -f "$work/lighttpd.conf"

echo "-- the installed programs"
if ! ip netns add "$ns" 2>"$work/netns.err"; then
  echo "SKIPPED: admitd, portald, portalctl and portal-log from the package: cannot make a network namespace ($(cat "$work/netns.err"))"
  exit 0
fi
ip -n "$ns" link add lan0 type veth peer name lan1
ip -n "$ns" link set lan0 up
ip -n "$ns" link set lan1 up
ip -n "$ns" link set lo up
# Programs left running are started by ip netns exec itself (it becomes them), so that their
# process ids are the ones to stop.
in_ns() { ip netns exec "$ns" "$@"; }
r=$work/run
mkdir -p "$r/tmp" "$r/disk/conf" "$r/etc" "$r/var/http"
export PORTALD_ROOT=$r PORTALD_KERNEL_SOCKET=$r/admit.sock PORTALD_LOG_FILE=$r/events.log \
       NVRAM_FILE=$r/nvram.conf
echo 'guest x x *' >"$r/disk/conf/nbuser.cfg"
"$root/usr/bin/nvram" set WEBAUTH_SECTYPE=USERS
ip netns exec "$ns" "$root/usr/sbin/admitd" --socket "$r/admit.sock" --lan lan0 --table "pkg$$" 2>"$r/admitd.err" &
pids+=($!)
for _ in $(seq 100); do [ -S "$r/admit.sock" ] && break; sleep 0.05; done
ip netns exec "$ns" "$root/usr/sbin/portald" 2>"$r/portald.err" &
pids+=($!)
for _ in $(seq 100); do [ -S "$r/tmp/R3localsocket_login" ] && break; sleep 0.05; done
# Outputs are taken whole before grep -q reads them: grep may stop early, and under pipefail the
# writer's broken pipe would fail the stage.
login=$(in_ns "$root/usr/bin/portal-login" --ip 192.168.1.20 --mac aa:bb:cc:dd:ee:01 --user guest)
[ "$login" = LOGIN_OK ] || { echo "login from the package: $login"; exit 1; }
status=$(in_ns "$root/usr/bin/portalctl" status --json)
echo "   portalctl status --json: $status"
for want in '"running":true' '"auth_type":"USERS"' '"clients_online":1' '"reachable":true' \
            '"clients":1'; do
  grep -qF "$want" <<<"$status" || { echo "not in portalctl's status: $want"; exit 1; }
done
ruleset=$(in_ns nft list table inet "pkg$$")
grep -q 'set clients' <<<"$ruleset" || { echo "admitd's table has no set clients"; exit 1; }
sentences=$("$root/usr/bin/portal-log" "$r/events.log")
echo "$sentences" | sed 's/^/   portal-log: /'
grep -qx 'guest came online from 192.168.1.20 (aa:bb:cc:dd:ee:01) by account login' <<<"$sentences"
# A second portald on the same root refuses and names the first.
set +e
in_ns "$root/usr/sbin/portald" 2>"$r/second.err"
rc=$?
set -e
[ "$rc" = 1 ] && grep -q "another portald (process ${pids[1]})" "$r/second.err" ||
  { echo "second portald: status $rc, $(cat "$r/second.err")"; exit 1; }
kill "${pids[1]}" "${pids[0]}"
wait "${pids[0]}" || true
if in_ns nft list table inet "pkg$$" >/dev/null 2>&1; then echo "admitd left its table"; exit 1; fi
echo "package stage passed"
