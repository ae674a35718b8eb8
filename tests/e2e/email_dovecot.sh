#!/usr/bin/env bash
# E-mail logins through the real portald login socket against a private dovecot: a correct
# password is admitted and a wrong one refused over POP3, POP3 over TLS, IMAP and IMAP over
# TLS, each with the check's own event lines.
set -euo pipefail
BIN_DIR=$1 TOP=$2
. "$TOP/scripts/lib/session.sh"
harness=$TOP/tests/support/dovecot/dovecot-harness.sh
work=$(mktemp -d /tmp/portald-mail-XXXXXX)
chmod 755 "$work"  # dovecot's unprivileged processes read the user database below it
cleanup() { session_stop; bash "$harness" stop "$work/dovecot" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$PORTALD_LOG_FILE" ] && { echo "--- log"; cat "$PORTALD_LOG_FILE"; }; exit 1; }

bash "$harness" start "$work/dovecot" || fail "the private dovecot did not start"
. "$work/dovecot/env"

ok_pop3='@#@ log_info n - -  - webident - -v ident.emailident  ident.webidentup  ident.emailhostname + 127.0.0.1'
ok_imap='@#@ log_info n - -  - webident - -v ident.emailident ident.webidentup ident.emailhostname  + 127.0.0.1'
# The daemon answers before it writes its event lines: wait for a line to appear.
has_line() { local line=$1; session_wait 'grep -qxF -- "$line" "$PORTALD_LOG_FILE"' 5; }
passed=0
# protocol  port  WEBAUTH_POP3SSL  WEBAUTH_E_PRO  success line  refusal line
while IFS='|' read -r proto port ssl pro good bad; do
  root=$work/$proto
  session_init "$BIN_DIR" "$root" 1
  trap cleanup EXIT
  session_nvram WEBAUTH_SECTYPE=EMAIL WEBAUTH_POP3SERVER="$DOVECOT_HOST" WEBAUTH_POP3SPORT="$port" \
    WEBAUTH_POP3SSL="$ssl" WEBAUTH_E_PRO="$pro" GROUPIP_NUM_MAX=0
  session_start || fail "$proto: portald did not start"

  r=$("$BIN_DIR/portal-login" --ip 10.1.0.2 --mac 02:00:00:00:00:02 --user "$DOVECOT_USER" \
        --password wrong-password || true)
  [ "$r" = LOGIN_REJECTED ] || fail "$proto: a wrong password gave $r"
  [ -z "$bad" ] || has_line "$bad" || fail "$proto: no refusal line"
  ! grep -q webauth_onuser "$PORTALD_LOG_FILE" || fail "$proto: refused login logged as on line"

  r=$("$BIN_DIR/portal-login" --ip 10.1.0.3 --mac 02:00:00:00:00:03 --user "$DOVECOT_USER" \
        --password "$DOVECOT_PASSWORD" || true)
  [ "$r" = LOGIN_OK ] || fail "$proto: the right password gave $r"
  [ -z "$good" ] || has_line "$good" || fail "$proto: no success line"
  has_line "R1 0 R3 syslog.webauth_userti syslog.webauth_onuser $DOVECOT_USER IP: 10.1.0.3 MAC: 02:00:00:00:00:03" \
    || fail "$proto: no on-line line"
  grep -q "^$DOVECOT_USER 10.1.0.3 02:00:00:00:00:03 [0-9]* 4 \$" "$root/tmp/web_user_reg_file" \
    || fail "$proto: registration file"
  [ "$(cat "$root/tmp/emailgroupip.cfg")" = "group1 Email_Auth 10.1.0.3  " ] || fail "$proto: group file"
  grep -q '"KMSG_PERMIT".*"addr":"10.1.0.3"' "$JOURNAL" || fail "$proto: no permit"

  # A password with a blank, a quote and a backslash: IMAP sends it as a quoted string.
  if [ "$pro" = imap ]; then
    r=$("$BIN_DIR/portal-login" --ip 10.1.0.4 --mac 02:00:00:00:00:04 --user "$DOVECOT_SPACE_USER" \
          --password "$(cat "$DOVECOT_SPACE_PASSWORD_FILE")" || true)
    [ "$r" = LOGIN_OK ] || fail "$proto: a password with a blank gave $r"
  fi
  session_stop
  echo "$proto: admitted with the right password, refused with a wrong one"
  passed=$((passed + 1))
done <<ROWS
pop3|$DOVECOT_POP3_PORT|NO|pop3|$ok_pop3|@#@ log_info n - -  - webident - -v ident.emailident ident.poplogpwderr
pop3s|$DOVECOT_POP3S_PORT|YES|pop3|||
imap|$DOVECOT_IMAP_PORT|NO|imap|$ok_imap|@#@ log_info n - -  - webident - -v ident.emailident ident.imapuserpwderr
imaps|$DOVECOT_IMAPS_PORT|YES|imap|$ok_pop3|@#@ log_info n - -  - webident - -v ident.emailident ident.imapsslusererr
ROWS
echo "e2e e-mail logins: $passed passed, 0 failed"
