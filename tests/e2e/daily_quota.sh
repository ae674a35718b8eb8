#!/usr/bin/env bash
# A daily-limited account logs in, its allowance runs out under a fast clock, the admission
# component takes it down, the registration file drops it, and its next login that day is
# refused; a control request cuts another client.
set -euo pipefail
BIN_DIR=$1 TOP=$2
. "$TOP/scripts/lib/session.sh"
root=$(mktemp -d /tmp/portald-e2e-XXXXXX)
trap 'session_stop; rm -rf "$root"' EXIT
fail() { echo "FAIL: $*" >&2; echo "--- log"; cat "$root/events.log"; echo "--- journal"; cat "$root/admit.journal"; exit 1; }

session_init "$BIN_DIR" "$root" 1800
trap 'session_stop; rm -rf "$root"' EXIT
FAKETIME_START="@2026-12-08 06:00:00"
session_nvram WEBAUTH_SECTYPE=USERS WEBSEC_TIMEOUT=600 WEBAUTH_ALLTIME=1440
cat >"$root/disk/conf/nbuser.cfg" <<'ACCOUNTS'
daily x y 1 one-hour-a-day
always x y * *
ACCOUNTS
session_start || fail "session did not start"

login() { "$BIN_DIR/portal-login" --ip "$1" --mac "$2" --user "$3" || true; }

[ "$(login 192.168.1.20 aa:bb:cc:00:00:20 daily)" = LOGIN_OK ] || fail "daily login"
[ "$(login 192.168.1.21 aa:bb:cc:00:00:21 always)" = LOGIN_OK ] || fail "unlimited login"
grep -q '^daily 192.168.1.20 aa:bb:cc:00:00:20 [0-9]* 3 $' "$root/tmp/web_user_reg_file" || fail "registration file"
grep -q '"quota_seconds":3600' "$root/admit.journal" || fail "permit without the day's allowance"

# One hour of allowance is two seconds at this clock; admitsim then takes the client down.
session_wait '! grep -q "^daily " "$root/tmp/web_user_reg_file"' 20 || fail "allowance did not run out"
grep -q '"KEV_HOST_DOWN"' "$root/admit.journal" || fail "no host-down in the journal"
grep -q 'syslog.webauth_downuser daily IP: 192.168.1.20' "$root/events.log" || fail "no logout line"
grep -q '^always 192.168.1.21 ' "$root/tmp/web_user_reg_file" || fail "the other client went too"

[ "$(login 192.168.1.20 aa:bb:cc:00:00:20 daily)" = LOGIN_LIMIT_REACHED ] || fail "second login the same day"

"$BIN_DIR/portalctl" cut 192.168.1.21 || fail "portalctl cut"
session_wait '! grep -q "^always " "$root/tmp/web_user_reg_file"' 5 || fail "cut"
grep -q 'ident.identcuted ident.cutname + always' "$root/events.log" || fail "no cut line"
kill -0 "$PORTALD_PID" || fail "portald ended"
echo "e2e daily quota: 1 passed, 0 failed"
