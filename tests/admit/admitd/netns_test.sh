#!/usr/bin/env bash
# admitd with portald on a router in network namespaces, with real clients (curl and
# python3's socket) and a real web server: before login a client reaches only DNS, the
# whitelist and the login page; a login lets it through, bound to its MAC address; an idle
# time-out, a cut, a restarted daemon hold it back again; an exempt MAC passes and is reported
# up; admitd leaves no table behind, also after a crash.
#   netns_test.sh BIN_DIR
# Prints SKIPPED with the reason where the machine cannot make network namespaces.
set -uo pipefail
BIN=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
support=$here/../../support
# shellcheck source=../../support/netns.sh
. "$support/netns.sh"

if ! reason=$(netns_check); then
  echo "SKIPPED: $reason"
  exit 0
fi
for tool in curl python3 nft; do
  command -v $tool >/dev/null || { echo "FAIL: $tool is missing (scripts/deps.sh installs it)"; exit 1; }
done
# A kernel without nftables cannot run admitd at all; anything beyond that is admitd's to make.
probe=pd-$NETNS_TAG-nft
ip netns add "$probe"
if ! nft_error=$(ip netns exec "$probe" nft add table inet probe 2>&1); then
  ip netns del "$probe"
  echo "SKIPPED: this kernel has no nftables ($nft_error)"
  exit 0
fi
ip netns del "$probe"

work=$(mktemp -d /tmp/admitd-netns.XXXXXX)
failures=0
cleanup() {
  netns_down
  rm -rf "$work"
}
trap cleanup EXIT

pass() { echo "ok: $*"; }
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
check() {  # check TEXT COMMAND...: passes when COMMAND succeeds
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# A TCP connection from a namespace, within one second: 0 when it is made.
connects() {  # connects NS ADDR PORT [SOURCE]
  in_ns "$1" python3 - "$2" "$3" "${4:-}" <<'PY' 2>/dev/null
import socket, sys
s = socket.socket()
s.settimeout(1)
if sys.argv[3]:
    s.bind((sys.argv[3], 0))
try:
    s.connect((sys.argv[1], int(sys.argv[2])))
except OSError:
    sys.exit(1)
PY
}
cannot_connect() { ! connects "$@"; }
# The body of a web page fetched from a namespace within two seconds.
page() { in_ns "$1" curl -s -m 2 "http://$2/" 2>/dev/null; }
page_is() { [ "$(page "$1" "$2")" = "$3" ]; }
# Waits up to SECONDS for COMMAND to succeed.
within() {  # within SECONDS COMMAND...
  local until=$(( $(date +%s%N) + $1 * 1000000000 )); shift
  while :; do
    "$@" && return 0
    [ "$(date +%s%N)" -lt "$until" ] || return 1
    sleep 0.1
  done
}

netns_up || { echo "FAIL: the namespaces could not be set up"; exit 1; }
R=$NS_ROUTER
GARDEN_A=10.78.0.3 GARDEN_B=10.78.0.4
ip -n "$NS_SERVER" addr add "$GARDEN_A/24" dev eth0
ip -n "$NS_SERVER" addr add "$GARDEN_B/24" dev eth0

# The WAN server: a web page on ports 80 and 8000, and DNS for the whitelisted name.
mkdir -p "$work/server" "$work/portal"
echo "server page" >"$work/server/index.html"
echo "login page" >"$work/portal/index.html"
netns_bg "$NS_SERVER" "$work/web80.out" python3 -m http.server --directory "$work/server" 80
netns_bg "$NS_SERVER" "$work/web8000.out" python3 -m http.server --directory "$work/server" 8000
echo "garden.test 1 $GARDEN_A" >"$work/zone"
netns_bg "$NS_SERVER" "$work/dns.out" python3 "$support/dns_server.py" "$SERVER_ADDR" 53 "$work/zone"
# The login page on the router.
netns_bg "$R" "$work/portal.out" python3 -m http.server --bind "$ROUTER_LAN" \
  --directory "$work/portal" 8080
netns_wait_tcp "$NS_SERVER" "$SERVER_ADDR" 8000 && netns_wait_tcp "$NS_SERVER" "$SERVER_ADDR" 80 &&
  netns_wait_tcp "$R" "$ROUTER_LAN" 8080 || { echo "FAIL: the web servers did not start"; exit 1; }

# portald's root, with the WeChat login: one-key logins, and the whitelist file.
root=$work/root
mkdir -p "$root/tmp" "$root/disk/conf" "$root/etc" "$root/var/http"
export PORTALD_ROOT=$root PORTALD_KERNEL_SOCKET=$work/admit.sock \
       PORTALD_LOG_FILE=$work/events.log NVRAM_FILE=$work/nvram.conf
: >"$NVRAM_FILE"
"$BIN/nvram" set WEBAUTH_SECTYPE=WEIXIN >/dev/null
"$BIN/nvram" set WEBSEC_WX_TIMEOUT=1 >/dev/null   # idle time-out 60 s, 6 s at the time scale
"$BIN/nvram" set WEBSEC_WX_ALLTIME=3 >/dev/null    # total online time 180 s, 18 s
echo "garden.test" >"$root/etc/weixin_dns_file.conf"
EXEMPT_ADDR=10.77.0.13   # client 2's second address, exempt from login
echo "$EXEMPT_ADDR" >"$root/etc/nbip.cfg"
ip -n "$NS_C2" addr add "$EXEMPT_ADDR/24" dev eth0
SCALE=10
TABLE=portald_$NETNS_TAG

start_admitd() {
  netns_bg "$R" "$work/admitd.out" "$BIN/admitd" --socket "$PORTALD_KERNEL_SOCKET" --lan "$LAN_IF" \
    --portal "$ROUTER_LAN:8080" --table "$TABLE" --resolver "$SERVER_ADDR" \
    --journal "$work/journal" --time-scale $SCALE
  ADMITD_PID=$NETNS_PID
  within 10 test -S "$PORTALD_KERNEL_SOCKET.ctl"
}
start_portald() {
  netns_bg "$R" "$work/portald.out" "$BIN/portald"
  PORTALD_PID=$NETNS_PID
  within 10 test -S "$root/tmp/R3localsocket_login"
}
login() { in_ns "$R" "$BIN/portal-login" --ip "$1" --mac "$2" >/dev/null; }
registered() { grep -q "$1" "$root/tmp/web_user_reg_file" 2>/dev/null; }
table_exists() { in_ns "$R" nft list table inet "$TABLE" >/dev/null 2>&1; }

start_admitd || { cat "$work/admitd.out"; echo "FAIL: admitd did not start"; exit 1; }
check "admitd made its table" table_exists
start_portald || { cat "$work/portald.out"; echo "FAIL: portald did not start"; exit 1; }

echo "-- before login"
check "client 1 cannot connect to the WAN server" cannot_connect "$NS_C1" "$SERVER_ADDR" 8000
check "client 1's web request to the server's address is answered by the login page" \
  page_is "$NS_C1" "$SERVER_ADDR" "login page"
check "the whitelisted name's address is reachable before login" \
  within 10 connects "$NS_C1" "$GARDEN_A" 8000
check "other WAN addresses are not" cannot_connect "$NS_C1" "$GARDEN_B" 8000
echo "garden.test 1 $GARDEN_B" >"$work/zone"
check "a whitelisted name's new address is reachable once its TTL has run out" \
  within 10 connects "$NS_C1" "$GARDEN_B" 8000

echo "-- login"
check "client 1 logs in" login "$C1_ADDR" "$C1_MAC"
check "client 1 reaches the WAN server" connects "$NS_C1" "$SERVER_ADDR" 8000
check "client 1's web request reaches the server itself" page_is "$NS_C1" "$SERVER_ADDR" "server page"
check "client 2 still cannot" cannot_connect "$NS_C2" "$SERVER_ADDR" 8000
ip -n "$NS_C2" addr add "$C1_ADDR/32" dev eth0
check "client 2 with client 1's address cannot" cannot_connect "$NS_C2" "$SERVER_ADDR" 8000 "$C1_ADDR"
ip -n "$NS_C2" addr del "$C1_ADDR/32" dev eth0
ip -n "$R" neigh replace "$C1_ADDR" lladdr "$C1_MAC" dev "$LAN_IF" nud stale
check "client 1 still passes" connects "$NS_C1" "$SERVER_ADDR" 8000
check "admitd status lists client 1 with its MAC address" \
  bash -c "ip netns exec $R '$BIN/admitd' status --socket '$PORTALD_KERNEL_SOCKET' --json | grep -q '\"addr\":\"$C1_ADDR\",\"mac\":\"$C1_MAC\"'"

echo "-- a restarted portald starts a fresh session"
netns_stop "$PORTALD_PID"
start_portald || fail "portald did not start again"
check "client 1 is held back again" within 5 cannot_connect "$NS_C1" "$SERVER_ADDR" 8000
check "client 1 logs in again" login "$C1_ADDR" "$C1_MAC"
check "client 1 passes" connects "$NS_C1" "$SERVER_ADDR" 8000

echo "-- activity from the packet path, total online time (180 s at time scale $SCALE: 18 s)"
busy_until() {  # busy_until SECONDS: client 1 connects every half second; 0 while all pass
  local until=$(( $(date +%s%N) + $1 * 1000000000 ))
  while [ "$(date +%s%N)" -lt "$until" ]; do
    connects "$NS_C1" "$SERVER_ADDR" 8000 || return 1
    sleep 0.5
  done
}
busy_start=$(date +%s)
check "client 1 busy for 9 s, longer than the idle time-out, passes all along" busy_until 9
check "and is still listed online" registered "$C1_ADDR"
check "still busy, client 1 is held back when its total online time is up" \
  within 15 cannot_connect "$NS_C1" "$SERVER_ADDR" 8000
echo "   (held back $(( $(date +%s) - busy_start )) s after its login's activity began)"
check "admitd sent KEV_HOST_DOWN for the total online time" \
  grep -q "\"event\":\"KEV_HOST_DOWN\".*\"addr\":\"$C1_ADDR\".*total online time" "$work/journal"
check "portald's online list no longer holds client 1" within 2 bash -c "! grep -q '$C1_ADDR' '$root/tmp/web_user_reg_file'"

echo "-- idle time-out (60 s at time scale $SCALE: 6 s)"
check "client 1 logs in" login "$C1_ADDR" "$C1_MAC"
check "client 1 is listed online" registered "$C1_ADDR"
check "after 6 s without a packet, portald's online list no longer holds client 1" \
  within 15 bash -c "! grep -q '$C1_ADDR' '$root/tmp/web_user_reg_file'"
check "admitd sent KEV_HOST_DOWN for the idle time-out" \
  grep -q "\"event\":\"KEV_HOST_DOWN\".*\"addr\":\"$C1_ADDR\".*idle time-out" "$work/journal"
check "client 1 is held back again" cannot_connect "$NS_C1" "$SERVER_ADDR" 8000

echo "-- cut"
check "client 1 logs in" login "$C1_ADDR" "$C1_MAC"
check "client 1 passes" connects "$NS_C1" "$SERVER_ADDR" 8000
in_ns "$R" "$BIN/portalctl" cut "$C1_ADDR" >/dev/null
check "a cut holds client 1 back within a second" within 1 cannot_connect "$NS_C1" "$SERVER_ADDR" 8000

echo "-- a client the router knows no MAC address for"
ip -n "$R" neigh flush dev "$LAN_IF" to "$C2_ADDR"
check "client 2 logs in" login "$C2_ADDR" "$C2_MAC"
check "admitd binds it by its address alone" \
  bash -c "ip netns exec $R '$BIN/admitd' status --socket '$PORTALD_KERNEL_SOCKET' --json | grep -q '\"addr\":\"$C2_ADDR\",\"mac\":\"00:00:00:00:00:00\"'"
check "and it passes" connects "$NS_C2" "$SERVER_ADDR" 8000
in_ns "$R" "$BIN/portalctl" cut "$C2_ADDR" >/dev/null
check "until it is cut" within 1 cannot_connect "$NS_C2" "$SERVER_ADDR" 8000

echo "-- exempt MAC address"
in_ns "$R" "$BIN/portalctl" permit-mac "$C2_MAC" >/dev/null
check "client 2 passes without login" within 2 connects "$NS_C2" "$SERVER_ADDR" 8000
check "and is reported up with its kind and MAC address" \
  within 3 grep -q "\"event\":\"KEV_HOST_UP\".*\"addr\":\"$C2_ADDR\",\"kind\":0,\"mac\":\"$C2_MAC\"" "$work/journal"
check "portald logged it on" within 3 grep -q "syslog.webauth_onmac $C2_MAC" "$PORTALD_LOG_FILE"
in_ns "$R" "$BIN/portalctl" revoke-mac "$C2_MAC" >/dev/null
check "revoked, client 2 is held back" within 2 cannot_connect "$NS_C2" "$SERVER_ADDR" 8000

echo "-- exempt address"
check "client 2 passes from its exempt address" connects "$NS_C2" "$SERVER_ADDR" 8000 "$EXEMPT_ADDR"
check "and is reported up with kind 1 and its MAC address" \
  within 3 grep -q "\"event\":\"KEV_HOST_UP\".*\"addr\":\"$EXEMPT_ADDR\",\"kind\":1,\"mac\":\"$C2_MAC\"" "$work/journal"
check "portald logged it on" within 3 grep -q "syslog.webauth_onip $EXEMPT_ADDR" "$PORTALD_LOG_FILE"
check "its other address still cannot" cannot_connect "$NS_C2" "$SERVER_ADDR" 8000 "$C2_ADDR"

echo "-- a permit the table cannot take"
in_ns "$R" nft delete table inet "$TABLE"
check "client 1's login is answered" login "$C1_ADDR" "$C1_MAC"
check "but admitd reports it down at once, and portald does not count it online" \
  within 3 bash -c "grep -q '\"event\":\"KEV_HOST_DOWN\".*\"addr\":\"$C1_ADDR\".*the table could not be changed' '$work/journal' &&
                    ! grep -q '$C1_ADDR' '$root/tmp/web_user_reg_file'"

echo "-- stop"
netns_stop "$PORTALD_PID"
netns_stop "$ADMITD_PID"
check "admitd's table is gone when it stops" bash -c "! ip netns exec $R nft list table inet $TABLE >/dev/null 2>&1"
start_admitd || fail "admitd did not start again"
kill -KILL "$ADMITD_PID"; wait "$ADMITD_PID" 2>/dev/null
check "a crashed admitd leaves its table" table_exists
rm -f "$PORTALD_KERNEL_SOCKET" "$PORTALD_KERNEL_SOCKET.ctl"
start_admitd || fail "admitd did not start after the crash"
check "a new admitd replaces it and holds clients back" cannot_connect "$NS_C1" "$SERVER_ADDR" 8000
netns_stop "$ADMITD_PID"
check "and removes it when it stops" bash -c "! ip netns exec $R nft list table inet $TABLE >/dev/null 2>&1"

if [ "$failures" -ne 0 ]; then
  echo "--- admitd output"; cat "$work/admitd.out"
  echo "--- journal (last 40 lines)"; tail -40 "$work/journal"
  echo "--- portald events"; cat "$PORTALD_LOG_FILE"
  echo "$failures checks failed"
  exit 1
fi
echo "all admitd namespace checks passed"
