#!/usr/bin/env bash
# The demo: a captive-portal session on this host. admitsim plays the router kernel's
# admission component, portald runs under a temporary root with the sample configuration of
# samples/demo (three local accounts: one limited by date, one by one hour a day, one without
# limit), clients log in with portal-login, and a fast clock (1800 times real time) lets the
# hour of the daily account run out in two seconds. Then the web pages: lighttpd runs
# portal-web on loopback ports and Chromium logs in through them; a screenshot of each page
# is left in out/demo/ (DEMO_OUT to change). Ends by itself and leaves nothing running.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/deps.sh
echo "== building build/ (a first build takes several minutes; each part is named when done)"
BUILD_SHOW_TARGETS=1 bash scripts/build.sh build
bin=$top/build/bin
. scripts/lib/session.sh
root=$(mktemp -d /tmp/portald-demo-XXXXXX)
session_init "$bin" "$root" 1800
trap 'session_stop; rm -rf "$root"' EXIT
FAKETIME_START="@$(date +%Y-%m-%d) 08:00:00"

step() { printf '\n== %s\n' "$*"; }
show() { printf -- '-- %s\n' "$1"; if [ -s "$2" ]; then sed 's/^/   /' "$2"; else echo "   (empty)"; fi; }
journal() { python3 - "$JOURNAL" "$@" <<'PY'
import json, sys
path, skip = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 0
for n, line in enumerate(open(path)):
    if n < skip: continue
    j = json.loads(line)
    if j.get("msg") == "kernel":
        c = j["command"]
        if c == "KMSG_HELLO":
            text = f"from process {j['nl_pid']}"
        elif "idle" in j:
            text = f"idle {j['idle']} s, total {j['total']} s"
        elif j["kind"] == 0:
            text = f"kind {j['kind']} mac {j['mac']}"
        else:
            text = f"kind {j['kind']} addr {j['addr']}"
        for k in ("quota_seconds", "recheck_seconds"):
            if j.get(k): text += f" {k} {j[k]}"
        print(f"   received {c:<16} {text}")
    elif j.get("msg") == "event":
        print(f"   sent     {j['event']:<16} addr {j['addr']} ({j.get('reason', '')})")
PY
}
step "configuration (samples/demo)"
grep -v '^#' samples/demo/nvram.conf | while IFS= read -r kv; do session_nvram "$kv"; done
cp samples/demo/nbuser.cfg "$root/disk/conf/nbuser.cfg"
cp samples/demo/nbmac.cfg "$root/disk/conf/nbmac.cfg"
cp samples/demo/nbip.cfg "$root/etc/nbip.cfg"
show "nvram" "$NVRAM_FILE"
show "account file /disk/conf/nbuser.cfg" "$root/disk/conf/nbuser.cfg"

step "starting admitsim and portald (root $root)"
session_start
sleep 0.3
echo "-- what the admission component received at start-up"
journal
show "event log" "$PORTALD_LOG_FILE"

step "three clients log in"
for c in "192.168.1.20 aa:bb:cc:00:00:20 guest" "192.168.1.21 aa:bb:cc:00:00:21 kid" \
         "192.168.1.22 aa:bb:cc:00:00:22 admin"; do
  set -- $c
  printf '   portal-login --ip %s --mac %s --user %-6s -> %s\n' "$1" "$2" "$3" \
    "$("$bin/portal-login" --ip "$1" --mac "$2" --user "$3" || true)"
done
printf '   portal-login --ip 192.168.1.23 --mac aa:bb:cc:00:00:23 --user nobody -> %s\n' \
  "$("$bin/portal-login" --ip 192.168.1.23 --mac aa:bb:cc:00:00:23 --user nobody || true)"
show "registration file /tmp/web_user_reg_file" "$root/tmp/web_user_reg_file"
show "event log" "$PORTALD_LOG_FILE"
before=$(wc -l <"$JOURNAL")

step "kid's hour of allowance runs out (two seconds at 1800 times real time)"
if ! session_wait '! grep -q "^kid " "$root/tmp/web_user_reg_file"' 20; then
  echo "kid was not taken down" >&2; exit 1
fi
echo "-- what admitsim did meanwhile"
journal "$before"
show "registration file" "$root/tmp/web_user_reg_file"
echo "-- event log, last lines"
tail -n 2 "$PORTALD_LOG_FILE" | sed 's/^/   /'
printf '   kid logs in again the same day -> %s\n' \
  "$("$bin/portal-login" --ip 192.168.1.21 --mac aa:bb:cc:00:00:21 --user kid || true)"

step "the administrator cuts guest off (portalctl cut 192.168.1.20)"
"$bin/portalctl" cut 192.168.1.20
session_wait '! grep -q "^guest " "$root/tmp/web_user_reg_file"' 5
show "registration file" "$root/tmp/web_user_reg_file"
echo "-- event log, last lines"
tail -n 2 "$PORTALD_LOG_FILE" | sed 's/^/   /'
echo "-- admitsim status"
"$bin/admitsim" status --socket "$PORTALD_KERNEL_SOCKET" | sed 's/^/   /'

step "the web pages in a browser (portald again, on the real clock)"
session_stop
: >"$JOURNAL"
session_init "$bin" "$root" 1
grep -v '^#' samples/demo/nvram.conf | while IFS= read -r kv; do session_nvram "$kv"; done
trap 'session_stop; [ -n "${WEB_PID:-}" ] && kill "$WEB_PID" 2>/dev/null; rm -rf "$root"' EXIT
session_start
out=${DEMO_OUT:-$top/out/demo}
. scripts/lib/web.sh
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
admin_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
# The browser is the client at 127.0.0.1; the router's neighbour table gives its MAC address.
web_neighbours "$root/neighbours" 127.0.0.1 aa:bb:cc:00:00:99
web_conf "$root/lighttpd.conf" "$root" "$bin" "$top" 127.0.0.1 "$port" "$admin_port" "$root/neighbours"
lighttpd -D -f "$root/lighttpd.conf" 2>"$root/lighttpd.err" &
WEB_PID=$!
session_wait "curl -s -o /dev/null http://127.0.0.1:$port/" 10
"$bin/portal-login" --ip 192.168.1.22 --mac aa:bb:cc:00:00:22 --user admin >/dev/null || true
echo "-- lighttpd on 127.0.0.1:$port (login pages) and 127.0.0.1:$admin_port (operator, password operator/secret)"
echo "-- screenshots in $out:"
/usr/bin/python3 scripts/lib/demo_pages.py "$top" "$port" "$admin_port" guest "$out" || true
echo "-- what portal-web logged (the web server's error output)"
sed 's/^/   /' "$root/lighttpd.err"
kill "$WEB_PID"; wait "$WEB_PID" 2>/dev/null || true
WEB_PID=

step "stopping"
session_stop
echo "demo finished"
