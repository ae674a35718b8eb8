#!/usr/bin/env bash
# The daily allowance cannot be renewed by switching devices: with one login per account, a
# second device's login takes the first one off and charges its time, as its going down would.
# portald's calendar clock is stopped and moved by the test: 40 minutes on device A, then
# device B gets the 20 minutes left, and once the hour is used a third device is refused;
# the web pages' list drops the client that the refused login took off.
set -euo pipefail
BIN_DIR=$1 TOP=$2
. "$TOP/scripts/lib/session.sh"
root=$(mktemp -d /tmp/portald-e2e-XXXXXX)
fail() { echo "FAIL: $*" >&2; echo "--- log"; cat "$root/events.log"; echo "--- journal"; cat "$root/admit.journal"; exit 1; }

session_init "$BIN_DIR" "$root" 1
trap 'session_stop; rm -rf "$root"' EXIT
export TZ=UTC
FAKETIME_FILE=$root/clock
at() { echo "2026-12-08 $1" >"$FAKETIME_FILE"; }
at 10:00:00
session_nvram WEBAUTH_SECTYPE=USERS WEBAUTH_MULTIUSER=NO
printf 'daily x y 1 one-hour-a-day\n' >"$root/disk/conf/nbuser.cfg"
session_start || fail "session did not start"

login() { "$BIN_DIR/portal-login" --ip "$1" --mac "$2" --user daily || true; }
quotas() { grep '"command":"KMSG_PERMIT"' "$root/admit.journal" | grep -o '"quota_seconds":[0-9]*' | cut -d: -f2 | tr '\n' ' '; }
reg() { cat "$root/tmp/web_user_reg_file"; }

[ "$(login 192.168.1.30 aa:00:00:00:00:30)" = LOGIN_OK ] || fail "device A"
at 10:40:00
[ "$(login 192.168.1.31 aa:00:00:00:00:31)" = LOGIN_OK ] || fail "device B"
session_wait '[ "$(quotas)" = "3600 1200 " ]' 5 || fail "allowances granted: $(quotas)"
# The daemon replies before it rewrites the registration file: wait for the file.
line_b="daily 192.168.1.31 aa:00:00:00:00:31 $(date -u -d '2026-12-08 10:40:00' +%s) 3 "
session_wait '[ "$(reg)" = "$line_b" ]' 5 || fail "registration file after B: $(reg)"

at 11:00:00
[ "$(login 192.168.1.32 aa:00:00:00:00:32)" = LOGIN_LIMIT_REACHED ] || fail "device C after the hour"
session_wait '[ -z "$(reg)" ]' 5 || fail "the revoked device B is still listed: $(reg)"
grep -q 'syslog.webauth_downuser daily IP: 192.168.1.31' "$root/events.log" || fail "no logout line for B"
[ "$(quotas)" = "3600 1200 " ] || fail "a permit after the hour: $(quotas)"

# The next day the whole hour is there again.
echo "2026-12-09 08:00:00" >"$FAKETIME_FILE"
[ "$(login 192.168.1.32 aa:00:00:00:00:32)" = LOGIN_OK ] || fail "next day"
session_wait '[ "$(quotas)" = "3600 1200 3600 " ]' 5 || fail "next day's allowance: $(quotas)"
kill -0 "$PORTALD_PID" || fail "portald ended"
echo "e2e device switch: 1 passed, 0 failed"
