#!/usr/bin/env bash
# A local user without privileges attacks portald, which runs as root with a root whose tmp/
# is world-writable and sticky like the router's /tmp: links to root's files, a set-user-ID
# group file and FIFOs at the fixed paths, forged Kernel events from a socket of its own,
# and, through the web pages, a login with an empty name. Nothing outside the daemon's own
# files may change, every next login is answered within a second, the forged events change
# nothing and the exempt hosts stay.
set -euo pipefail
BIN_DIR=$1 TOP=$2
if [ "$(id -u)" != 0 ]; then echo "SKIPPED: acting as another user needs root"; exit 77; fi
command -v setpriv >/dev/null || { echo "SKIPPED: setpriv (util-linux) is missing"; exit 77; }
py=/usr/bin/python3
[ -x $py ] || py=python3

. "$TOP/scripts/lib/session.sh"
root=$(mktemp -d /tmp/portald-attack-XXXXXX)
chmod 755 "$root"
cleanup() { session_stop; rm -rf "$root"; }
fail() {
  echo "FAIL: $*" >&2
  echo "--- portald's standard error"; cat "$root/portald.out" 2>/dev/null || true
  echo "--- log"; cat "$root/events.log" 2>/dev/null || true
  exit 1
}
session_init "$BIN_DIR" "$root" 1
trap cleanup EXIT
chmod 1777 "$root/tmp"

# The attacker: a user id and group id that no account on this machine has.
uid=$((61000 + $$ % 3000))
while getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null; do uid=$((uid + 1)); done
attacker() { setpriv --reuid="$uid" --regid="$uid" --clear-groups --no-new-privs "$@"; }
attacker true || { echo "SKIPPED: setpriv cannot switch to user $uid here"; exit 77; }

# Root's files that the attacker points its links at.
mkdir -m 755 "$root/victims"
printf 'root:x:0:0:root:/root:/bin/bash\n' >"$root/victims/passwd"
printf 'root:$6$secret:19000::::::\n' >"$root/victims/shadow"
chmod 644 "$root/victims/passwd"
chmod 600 "$root/victims/shadow"
t=$root/tmp
# What the daemon itself owns, relative to the root; everything else must stay as it is.
own='^(tmp|tmp/web_user_reg_file|tmp/web_user_reg_file\.spare|tmp/portald\.lock|tmp/R3localsocket_login|tmp/R3localsocket|events\.log|nvram\.conf|admit\.journal|admit\.sock|admit\.sock\.ctl|admitsim\.out|portald\.out)$'
snapshot() {
  (cd "$root" && find . -mindepth 1 -printf '%P %y %m %U\n' | sort | awk -v re="$own" '$1 !~ re'
   cd "$root" && find . -type f -printf '%P\n' | sort | grep -Ev "$own" | xargs -r -d '\n' sha256sum)
}

# A login through the login socket as the web pages make it; fails unless it is answered
# LOGIN_OK within a second.
answered() {
  local t0 t1 out
  t0=$(date +%s%N)
  out=$("$BIN_DIR/portal-login" --ip "$1" --mac "$2" --user "$3" || true)
  t1=$(date +%s%N)
  [ "$out" = LOGIN_OK ] || fail "$4: login of $3 answered '$out'"
  [ $(((t1 - t0) / 1000000)) -lt 1000 ] || fail "$4: login of $3 took $(((t1 - t0) / 1000000)) ms"
}
cut() { "$BIN_DIR/portalctl" cut "$1" || fail "portalctl cut $1"; sleep 0.2; }
refusals() { grep -c "^portald: refusing $t/emailgroupip.cfg: $1" "$root/portald.out" || true; }

session_nvram WEBAUTH_SECTYPE=USERS
printf '%s x y * *\n' alice bob carol dave erin frank gina >"$root/disk/conf/nbuser.cfg"
printf '192.168.1.250\n' >"$root/etc/nbip.cfg"
printf 'aa:bb:cc:00:02:51\n' >"$root/disk/conf/nbmac.cfg"

# Before the daemon starts: links where the temporaries used to be made, a pre-created
# registration file, and a group file of the attacker's, set-user-ID and writable by all.
attacker ln -s "$root/victims/passwd" "$t/web_user_reg_file.tmp"
attacker ln -s "$root/victims/shadow" "$t/web_user_reg_file.spare"
attacker ln -s "$root/victims/shadow" "$t/emailgroupip.cfg.tmp"
attacker sh -c "printf 'forged 192.168.1.99 m 0 3 \n' >'$t/web_user_reg_file'"
attacker sh -c "printf 'group1 Email_Auth 10.9.9.9  \n' >'$t/emailgroupip.cfg' && chmod 6777 '$t/emailgroupip.cfg'"
before=$(snapshot | grep -v '^tmp/web_user_reg_file ')
session_start || fail "session did not start"

# The exempt hosts come up in the daemon's table.
"$BIN_DIR/admitsim" event --socket "$PORTALD_KERNEL_SOCKET" host-up 192.168.1.250 aa:bb:cc:00:02:50 1 >/dev/null
"$BIN_DIR/admitsim" event --socket "$PORTALD_KERNEL_SOCKET" host-up 192.168.1.251 aa:bb:cc:00:02:51 0 >/dev/null
session_wait 'grep -q "syslog.webauth_onmac aa:bb:cc:00:02:51" "$root/events.log"' 5 || fail "no host-up"

answered 192.168.1.20 aa:bb:cc:00:00:20 alice "first login"
reg=$t/web_user_reg_file
# The version before the current one is kept beside it to be written again: a link put there
# while the daemon runs is replaced, never written through.
attacker ln -s "$root/victims/shadow" "$t/web_user_reg_file.spare" || fail "the spare was in place"
[ "$(stat -c '%U %a %F' "$reg")" = "root 644 regular file" ] || fail "registration file: $(stat -c '%U %a %F' "$reg")"
grep -q '^alice 192.168.1.20 ' "$reg" || fail "alice is not listed"
grep -q forged "$reg" && fail "the attacker's line survived"
attacker sh -c "echo forged >>'$reg'" 2>/dev/null && fail "the attacker can write the registration file"

# The group file is read on every cut: the attacker's own file, then a FIFO, then a link.
cut 192.168.1.20
[ "$(refusals "owned by user $uid")" = 1 ] || fail "the attacker's group file was not refused"
answered 192.168.1.21 aa:bb:cc:00:00:21 bob "after the foreign group file"
attacker rm -f "$t/emailgroupip.cfg"
attacker mkfifo -m 666 "$t/emailgroupip.cfg"
cut 192.168.1.21
[ "$(refusals "not a regular file")" = 1 ] || fail "the FIFO was not refused"
answered 192.168.1.22 aa:bb:cc:00:00:22 carol "after a FIFO at the group file"
attacker rm -f "$t/emailgroupip.cfg"
attacker ln -s "$root/victims/shadow" "$t/emailgroupip.cfg"
cut 192.168.1.22
[ "$(refusals "a link")" = 1 ] || fail "the link was not refused"
answered 192.168.1.23 aa:bb:cc:00:00:23 dave "after a link at the group file"

# Forged events from the attacker's own socket to the daemon's Kernel channel, whose address
# anyone can read in /proc/net/unix: a host-down for dave and two thousand host-ups.
channel=
for ino in $(ls -l "/proc/$PORTALD_PID/fd" | sed -n 's/.*socket:\[\([0-9]*\)\].*/\1/p'); do
  channel=$(awk -v i="$ino" '$7 == i && $8 ~ /^@/ { print substr($8, 2) }' /proc/net/unix)
  [ -n "$channel" ] && break
done
[ -n "$channel" ] || fail "the daemon's Kernel channel is not in /proc/net/unix"
reg_before=$(sha256sum <"$reg")
log_before=$(wc -l <"$root/events.log")
rss_before=$(awk '/^VmRSS/ { print $2 }' "/proc/$PORTALD_PID/status")
taken=$(attacker $py - "$channel" <<'PY'
import socket, struct, sys
def event(code, ip, kind=0):
    b = bytearray(360)
    struct.pack_into("=III", b, 20, code, struct.unpack("=I", socket.inet_aton(ip))[0], kind)
    return bytes(b)
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("\0portald-attacker-%d" % __import__("os").getpid())
forged = [event(1, "192.168.1.23")]
forged += [event(0, "10.66.%d.%d" % (i // 250, i % 250 + 1), 1) for i in range(2000)]
taken = 0
for ev in forged:
    try:
        s.sendto(ev, "\0" + sys.argv[1])
        taken += 1
    except PermissionError:
        pass
print(taken)
PY
) || fail "the attacker's sender failed"
[ "$taken" = 0 ] || fail "the Kernel channel took $taken forged events"
sleep 0.3
answered 192.168.1.24 aa:bb:cc:00:00:24 erin "after forged events"
grep -q '^dave 192.168.1.23 ' "$reg" || fail "the forged host-down took dave off"
grep -q '10\.66\.' "$root/events.log" && fail "a forged host-up reached the table"
rss_after=$(awk '/^VmRSS/ { print $2 }' "/proc/$PORTALD_PID/status")
[ "$rss_after" -lt $((rss_before + 2048)) ] || fail "the daemon grew from $rss_before to $rss_after kB"
[ "$reg_before" != "$(sha256sum <"$reg")" ] || fail "erin's login did not reach the registration file"

# A LAN client logs in with an empty name through the web pages: it takes nobody off.
out=$("$BIN_DIR/portal-login" --ip 192.168.1.40 --mac aa:bb:cc:00:00:40 --user "" || true)
[ "$out" = "no reply" ] || fail "empty name answered '$out'"
grep -q '"KMSG_REVOKE".*192\.168\.1\.25[01]' "$root/admit.journal" && fail "an exempt host was revoked"
answered 192.168.1.25 aa:bb:cc:00:00:25 frank "after an empty name"
# Both exempt hosts are still in the table: their host-downs find and log them.
"$BIN_DIR/admitsim" event --socket "$PORTALD_KERNEL_SOCKET" host-down 192.168.1.250 >/dev/null
"$BIN_DIR/admitsim" event --socket "$PORTALD_KERNEL_SOCKET" host-down 192.168.1.251 >/dev/null
session_wait 'grep -q "syslog.webauth_downmac aa:bb:cc:00:02:51" "$root/events.log"' 5 ||
  fail "the exempt MAC host was gone"
grep -q 'syslog.webauth_downuser  IP: 192.168.1.250 MAC: aa:bb:cc:00:02:50' "$root/events.log" ||
  fail "the exempt address host was gone"

[ "$(stat -c '%U %a %F' "$t/web_user_reg_file.spare")" = "root 644 regular file" ] ||
  fail "the link at the spare's name was not replaced"

# The lock file is the daemon's alone: no reader's lock can keep the next portald from
# starting. The attacker's folder entries stay where they are across a restart.
attacker $py -c "open('$t/portald.lock')" 2>/dev/null && fail "the attacker can open the lock file"
st=0
out=$(attacker "$BIN_DIR/portalctl" status 2>&1) || st=$?
[ "$st" = 4 ] && grep -q '^portald: unknown' <<<"$out" || fail "status as another user: $st: $out"
session_stop
: >"$root/admit.journal"  # so that the new portald's hello is the one waited for
session_start || fail "portald did not start again"
answered 192.168.1.26 aa:bb:cc:00:00:26 gina "after a restart"

# Nothing outside the daemon's files changed; no file is set-user-ID root; no temporary of
# the daemon's is left behind.
after=$(snapshot | grep -v '^tmp/web_user_reg_file ')
# The group file the attacker swapped three times is its own business; compare the rest.
strip() { grep -v '^tmp/emailgroupip.cfg \|  tmp/emailgroupip.cfg$'; }
[ "$(strip <<<"$before")" = "$(strip <<<"$after")" ] ||
  fail "files changed: $(diff <(strip <<<"$before") <(strip <<<"$after") || true)"
[ -z "$(find "$root" -user 0 -perm /6000)" ] || fail "set-user-ID files of root: $(find "$root" -user 0 -perm /6000)"
left=$(find "$t" -user 0 \( -name 'web_user_reg_file.*' -o -name 'emailgroupip.cfg.*' \) \
  ! -name web_user_reg_file.spare)
[ -z "$left" ] || fail "temporaries left behind: $left"
kill -0 "$PORTALD_PID" || fail "portald ended"
echo "e2e local attacker: 1 passed, 0 failed"
