#!/usr/bin/env bash
# A private dovecot for tests: POP3, POP3S, IMAP and IMAPS on 127.0.0.1, ports chosen free at
# start, users from a passwd-file, a self-signed certificate made at start. Its configuration,
# state, sockets, log and mailboxes all live in DIR; the system's dovecot configuration and
# state folders are not touched. It runs as root or as an ordinary user. Started as root, its
# processes run as nobody: the harness makes DIR searchable and refuses, naming the folder, a
# DIR below a folder that others cannot search.
#
#   dovecot-harness.sh start DIR    DIR must be missing or empty. Starts the server, waits until
#                                   all four ports answer, writes DIR/env and exits 0. On failure
#                                   it prints the reason (and the server's log) on standard
#                                   error, stops whatever it started and exits 1.
#   dovecot-harness.sh stop DIR     Stops the server started in DIR and waits until none of its
#                                   processes is left; exits 0 also when it was not running.
#
# DIR/env holds shell assignments (read it with `. DIR/env` or line by line, KEY=VALUE, values
# never quoted and never holding a line feed):
#   DOVECOT_HOST=127.0.0.1
#   DOVECOT_POP3_PORT, DOVECOT_POP3S_PORT, DOVECOT_IMAP_PORT, DOVECOT_IMAPS_PORT
#   DOVECOT_USER, DOVECOT_PASSWORD                   a plain user: mailuser / secret1
#   DOVECOT_SPACE_USER, DOVECOT_SPACE_PASSWORD_FILE  a user whose password holds a blank, a
#                                                    double quote and a backslash; the file
#                                                    holds that password alone, no line feed
#   DOVECOT_PID                                      the master process
# The server's own log is DIR/dovecot.log. Dovecot's defaults for failed logins stand: it
# delays its answer to an address after a failed login (2 seconds, growing with repeats), as a
# real server does; every client here is the one address 127.0.0.1.
set -euo pipefail

die() { echo "dovecot-harness: $*" >&2; exit 1; }

usage() { sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'; }

find_dovecot() {
  local d
  for d in "$(command -v dovecot 2>/dev/null || true)" /usr/sbin/dovecot; do
    if [ -n "$d" ] && [ -x "$d" ]; then echo "$d"; return 0; fi
  done
  return 1
}

# Four TCP ports that nothing listens on right now (the kernel hands them out).
free_ports() {
  python3 - <<'PY'
import socket
socks = []
for _ in range(4):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    socks.append(s)
print(" ".join(str(s.getsockname()[1]) for s in socks))
for s in socks:
    s.close()
PY
}

# Ready when a client is greeted ("+OK" or "* OK") on every port named: PORT plain|tls ...
# (tls: the port speaks TLS from the first byte; the certificate is not checked).
all_greet() {
  python3 - "$@" <<'PY'
import socket, ssl, sys
args = sys.argv[1:]
ctx = ssl.create_default_context()
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE
for port, kind in zip(args[0::2], args[1::2]):
    try:
        s = socket.create_connection(("127.0.0.1", int(port)), timeout=1)
        if kind == "tls":
            s = ctx.wrap_socket(s)
        line = s.makefile("rb").readline()
        s.close()
    except OSError:
        sys.exit(1)
    if not (line.startswith(b"+OK") or line.startswith(b"* OK")):
        sys.exit(1)
PY
}

master_pid() {
  local f="$1/run/master.pid"
  [ -s "$f" ] && cat "$f"
}

# The processes of the master's process group: start runs the master under setsid, and
# dovecot's children stay in its group.
group_pids() {
  local pgid="$1"
  ps -e -o pid=,pgid= | awk -v g="$pgid" '$2 == g { print $1 }'
}

do_stop() {
  local dir="$1" pid pgid i
  pid=$(master_pid "$dir" || true)
  [ -n "$pid" ] || return 0
  pgid=$(cat "$dir/run/pgid" 2>/dev/null || echo "$pid")
  if kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
  fi
  for i in $(seq 1 100); do
    [ -z "$(group_pids "$pgid")" ] && break
    sleep 0.05
  done
  if [ -n "$(group_pids "$pgid")" ]; then
    kill -KILL $(group_pids "$pgid") 2>/dev/null || true
    sleep 0.1
  fi
  rm -f "$dir/run/master.pid"
  [ -z "$(group_pids "$pgid")" ] || die "processes of the server in $dir are still running"
}

# The account that the server's processes and mailboxes use: the current user, or nobody when
# started as root (dovecot's login processes refuse to run as root).
run_account() {
  if [ "$(id -u)" -eq 0 ]; then
    echo "nobody $(id -gn nobody) $(id -u nobody) $(id -g nobody)"
  else
    echo "$(id -un) $(id -gn) $(id -u) $(id -g)"
  fi
}

write_config() {
  local dir="$1" pop3="$2" pop3s="$3" imap="$4" imaps="$5" user group uid gid
  read -r user group uid gid <<<"$(run_account)"
  cat > "$dir/dovecot.conf" <<CONF
# private test instance; nothing here refers to the system's configuration
base_dir = $dir/run
state_dir = $dir/state
instance_name = test-$$
log_path = $dir/dovecot.log
info_log_path = $dir/dovecot.log
protocols = pop3 imap
listen = 127.0.0.1
shutdown_clients = yes
default_internal_user = $user
default_internal_group = $group
default_login_user = $user
first_valid_uid = $uid
last_valid_uid = $uid
first_valid_gid = $gid
last_valid_gid = $gid
disable_plaintext_auth = no
auth_mechanisms = plain login
ssl = yes
ssl_cert = <$dir/cert.pem
ssl_key = <$dir/key.pem
mail_location = maildir:~/Maildir
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $dir/passwd
}
userdb {
  driver = static
  args = uid=$uid gid=$gid home=$dir/home/%u
}
service anvil {
  chroot =
}
service imap-login {
  chroot =
  inet_listener imap {
    address = 127.0.0.1
    port = $imap
  }
  inet_listener imaps {
    address = 127.0.0.1
    port = $imaps
    ssl = yes
  }
}
service pop3-login {
  chroot =
  inet_listener pop3 {
    address = 127.0.0.1
    port = $pop3
  }
  inet_listener pop3s {
    address = 127.0.0.1
    port = $pop3s
    ssl = yes
  }
}
service stats {
  chroot =
}
service auth {
  unix_listener auth-userdb {
    mode = 0600
    user = $user
  }
}
CONF
}

do_start() {
  local dir="$1" dovecot try ports pop3 pop3s imap imaps pid i up user group
  dovecot=$(find_dovecot) \
    || die "dovecot is not installed (Debian packages dovecot-pop3d and dovecot-imapd)"
  command -v openssl >/dev/null || die "the openssl command is not installed"
  command -v python3 >/dev/null || die "python3 is needed to choose free ports"
  mkdir -p "$dir"
  [ -z "$(ls -A "$dir")" ] || die "$dir is not empty"
  dir=$(cd "$dir" && pwd)
  # Started as root its processes run as another account, which must pass every folder above
  # DIR (DIR itself is made searchable below).
  if [ "$(id -u)" = 0 ]; then
    local up_dir=$dir
    while up_dir=$(dirname "$up_dir"); [ "$up_dir" != / ]; do
      [ "$(( 0$(stat -c %a "$up_dir") & 1 ))" = 1 ] ||
        die "$up_dir is not searchable by others (mode $(stat -c %a "$up_dir")); dovecot's processes could not reach $dir: chmod o+x $up_dir or choose DIR elsewhere"
    done
  fi
  mkdir -p "$dir/run" "$dir/state" "$dir/home/mailuser/Maildir" "$dir/home/spaceuser/Maildir"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
      -subj /CN=localhost -keyout "$dir/key.pem" -out "$dir/cert.pem" >/dev/null 2>&1 \
    || die "could not make the test certificate"
  local space_password='two words "q" \b'
  printf '%s' "$space_password" > "$dir/space_password"
  {
    echo "mailuser:{PLAIN}secret1::::::"
    echo "spaceuser:{PLAIN}$space_password::::::"
  } > "$dir/passwd"
  # The server's processes run as the account of run_account and must reach these files.
  read -r user group _ _ <<<"$(run_account)"
  chmod 0755 "$dir"
  chown -R "$user:$group" "$dir/home"
  chmod 0644 "$dir/passwd" "$dir/cert.pem"
  for try in 1 2 3; do
    ports=$(free_ports) || die "could not choose free ports"
    read -r pop3 pop3s imap imaps <<<"$ports"
    write_config "$dir" "$pop3" "$pop3s" "$imap" "$imaps"
    : > "$dir/dovecot.log"
    # Its own process group, so that stop finds every process it forked.
    setsid "$dovecot" -c "$dir/dovecot.conf" </dev/null >>"$dir/dovecot.log" 2>&1 || true
    up=0
    for i in $(seq 1 100); do
      pid=$(master_pid "$dir" || true)
      if [ -n "$pid" ] && all_greet "$pop3" plain "$imap" plain "$pop3s" tls "$imaps" tls; then
        up=1; break
      fi
      sleep 0.05
    done
    if [ "$up" = 1 ]; then
      ps -o pgid= -p "$pid" | tr -d ' ' > "$dir/run/pgid"
      cat > "$dir/env" <<ENV
DOVECOT_HOST=127.0.0.1
DOVECOT_POP3_PORT=$pop3
DOVECOT_POP3S_PORT=$pop3s
DOVECOT_IMAP_PORT=$imap
DOVECOT_IMAPS_PORT=$imaps
DOVECOT_USER=mailuser
DOVECOT_PASSWORD=secret1
DOVECOT_SPACE_USER=spaceuser
DOVECOT_SPACE_PASSWORD_FILE=$dir/space_password
DOVECOT_PID=$pid
ENV
      return 0
    fi
    do_stop "$dir" || true
  done
  echo "dovecot-harness: dovecot did not come up; its log:" >&2
  cat "$dir/dovecot.log" >&2 || true
  exit 1
}

case "${1:-}" in
  start) [ $# -eq 2 ] || die "usage: $0 start DIR"; do_start "$2" ;;
  stop) [ $# -eq 2 ] || die "usage: $0 stop DIR"; do_stop "$2" ;;
  -h|--help) usage ;;
  *) usage >&2; exit 2 ;;
esac
