#!/usr/bin/env bash
# The pages end to end on a router in network namespaces: admitd holds the LAN clients back
# with nftables and sends their web requests to lighttpd running portal-web on the router;
# portald decides the login. Chromium in a client namespace asks for a page on the WAN server,
# lands on the login page, logs in with an access code and is shown the WAN page.
#   netns_e2e.sh BIN_DIR TOP OUT_DIR
# Prints SKIPPED with the reason where the machine cannot make network namespaces.
set -uo pipefail
BIN=$(cd "$1" && pwd) TOP=$(cd "$2" && pwd) OUT=$3
. "$TOP/tests/support/netns.sh"
. "$TOP/scripts/lib/web.sh"

if ! reason=$(netns_check); then
  echo "SKIPPED: $reason"
  exit 0
fi
work=$(mktemp -d /tmp/portal-web-netns.XXXXXX)
chmod 755 "$work"
trap 'netns_down; rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*"
  for f in lighttpd.out admitd.out portald.out events.log; do echo "--- $f"; tail -20 "$work/$f"; done
  exit 1
}

netns_up || fail "the namespaces could not be set up"
R=$NS_ROUTER PORT=8080

# The WAN server's page.
mkdir -p "$work/server"
echo '<!DOCTYPE html><title>WAN page</title><p>a page on the Internet' >"$work/server/welcome.html"
netns_bg "$NS_SERVER" "$work/server.out" python3 -m http.server --bind "$SERVER_ADDR" \
  --directory "$work/server" 80
netns_wait_tcp "$NS_SERVER" "$SERVER_ADDR" 80 || fail "the WAN server did not start"

# portald with local accounts, admitd, and the pages on the router's LAN address.
root=$work/root
mkdir -p "$root/tmp" "$root/disk/conf" "$root/etc" "$root/var/http"
export PORTALD_ROOT=$root PORTALD_KERNEL_SOCKET=$work/admit.sock \
       PORTALD_LOG_FILE=$work/events.log NVRAM_FILE=$work/nvram.conf
: >"$NVRAM_FILE"
"$BIN/nvram" set WEBAUTH_SECTYPE=USERS >/dev/null
echo "guest x y * *" >"$root/disk/conf/nbuser.cfg"
TABLE=portald_$NETNS_TAG
netns_bg "$R" "$work/admitd.out" "$BIN/admitd" --socket "$PORTALD_KERNEL_SOCKET" --lan "$LAN_IF" \
  --portal "$ROUTER_LAN:$PORT" --table "$TABLE" --journal "$work/journal"
for i in $(seq 100); do [ -S "$PORTALD_KERNEL_SOCKET.ctl" ] && break; sleep 0.1; done
[ -S "$PORTALD_KERNEL_SOCKET.ctl" ] || fail "admitd did not start"
netns_bg "$R" "$work/portald.out" "$BIN/portald"
for i in $(seq 100); do [ -S "$root/tmp/R3localsocket_login" ] && break; sleep 0.1; done
[ -S "$root/tmp/R3localsocket_login" ] || fail "portald did not start"
web_conf "$work/lighttpd.conf" "$work" "$BIN" "$TOP" "$ROUTER_LAN" $PORT 8081
netns_bg "$R" "$work/lighttpd.out" lighttpd -D -f "$work/lighttpd.conf"
netns_wait_tcp "$R" "$ROUTER_LAN" $PORT || fail "lighttpd did not start"

echo "-- Chromium in client 1's namespace"
in_ns "$NS_C1" /usr/bin/python3 "$TOP/tests/web/netns_browser.py" \
  "http://$SERVER_ADDR/welcome.html" "http://$ROUTER_LAN:$PORT/" guest "$OUT" ||
  fail "the browser did not get through"
grep -q "login $C1_ADDR $C1_MAC \"guest\": LOGIN_OK, online" "$work/lighttpd.out" ||
  fail "portal-web did not log the login with the client's MAC address from the neighbour table"
grep -q "syslog.webauth_onuser guest IP: $C1_ADDR MAC: $C1_MAC" "$work/events.log" ||
  fail "portald did not log the login"
grep -q '"GET /welcome.html' "$work/server.out" || fail "the WAN server never served the page"
echo "web pages end to end with admitd: passed"
