# A portald session on a development host: admitsim as the kernel's admission component and
# portald under a temporary root, both on one fast clock. Sourced by the demo and the
# end-to-end tests; every process it starts is stopped by session_stop (also on exit).
#
#   session_init BIN_DIR ROOT SCALE   prepares the root's folders and the environment
#                                      (FAKETIME_START, e.g. "@2026-12-08 06:00:00", sets
#                                      where portald's fast clock starts; FAKETIME_FILE=PATH
#                                      instead stops portald's calendar clock at the time that
#                                      PATH holds, "YYYY-MM-DD hh:mm:ss", re-read at every use)
#   session_nvram KEY=VALUE...         writes the nvram file
#   session_start                      starts admitsim, then portald; waits for the hello
#   session_stop                       stops both

session_init() {
  BIN=$1 ROOT=$2 SCALE=$3
  mkdir -p "$ROOT/tmp" "$ROOT/disk/conf" "$ROOT/etc" "$ROOT/var/http"
  export PORTALD_ROOT=$ROOT
  export PORTALD_KERNEL_SOCKET=$ROOT/admit.sock
  export PORTALD_LOG_FILE=$ROOT/events.log
  export NVRAM_FILE=$ROOT/nvram.conf
  JOURNAL=$ROOT/admit.journal
  : >"$NVRAM_FILE"
  : >"$PORTALD_LOG_FILE"
  ADMIT_PID= PORTALD_PID=
  trap session_stop EXIT
}

session_nvram() {
  local kv
  for kv in "$@"; do "$BIN/nvram" set "$kv" >/dev/null; done
}

# The library that runs portald's clock SCALE times faster than real time, like admitsim's.
session_faketime_lib() {
  local f
  for f in /usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1 \
           /usr/lib/*/faketime/libfaketime.so.1 /usr/lib/faketime/libfaketime.so.1; do
    [ -e "$f" ] && { echo "$f"; return 0; }
  done
  return 1
}

session_start() {
  "$BIN/admitsim" --socket "$PORTALD_KERNEL_SOCKET" --journal "$JOURNAL" --time-scale "$SCALE" \
    >"$ROOT/admitsim.out" 2>&1 &
  ADMIT_PID=$!
  local i
  for i in $(seq 100); do [ -S "$PORTALD_KERNEL_SOCKET" ] && break; sleep 0.05; done
  [ -S "$PORTALD_KERNEL_SOCKET" ] || { echo "admitsim did not start" >&2; return 1; }

  if [ -n "${FAKETIME_FILE:-}" ]; then
    local lib
    lib=$(session_faketime_lib) || { echo "libfaketime is missing (Debian package libfaketime)" >&2; return 1; }
    LD_PRELOAD=$lib FAKETIME_TIMESTAMP_FILE=$FAKETIME_FILE FAKETIME_NO_CACHE=1 \
      FAKETIME_DONT_FAKE_MONOTONIC=1 ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 \
      "$BIN/portald" >"$ROOT/portald.out" 2>&1 &
  elif [ "$SCALE" != 1 ]; then
    local lib
    lib=$(session_faketime_lib) || { echo "libfaketime is missing (Debian package libfaketime)" >&2; return 1; }
    # Only the calendar clock runs fast: the loop's one-second wait and the monotonic clock
    # of the waiting login connections keep real time.
    LD_PRELOAD=$lib FAKETIME="${FAKETIME_START:-+0} x$SCALE" FAKETIME_DONT_FAKE_MONOTONIC=1 \
      FAKETIME_DONT_RESET=1 ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 \
      "$BIN/portald" >"$ROOT/portald.out" 2>&1 &
  else
    "$BIN/portald" >"$ROOT/portald.out" 2>&1 &
  fi
  PORTALD_PID=$!
  for i in $(seq 100); do
    grep -q '"KMSG_HELLO"' "$JOURNAL" 2>/dev/null && [ -S "$ROOT/tmp/R3localsocket_login" ] && return 0
    kill -0 "$PORTALD_PID" 2>/dev/null || break
    sleep 0.05
  done
  echo "portald did not start; its output:" >&2
  cat "$ROOT/portald.out" >&2
  return 1
}

session_stop() {
  if [ -n "${PORTALD_PID:-}" ]; then kill "$PORTALD_PID" 2>/dev/null; wait "$PORTALD_PID" 2>/dev/null || true; fi
  if [ -n "${ADMIT_PID:-}" ]; then kill "$ADMIT_PID" 2>/dev/null; wait "$ADMIT_PID" 2>/dev/null || true; fi
  PORTALD_PID= ADMIT_PID=
  return 0
}

# Waits up to $2 seconds for the shell condition $1 to hold.
session_wait() {
  local cond=$1 limit=$2 i
  for i in $(seq $((limit * 10))); do eval "$cond" && return 0; sleep 0.1; done
  return 1
}
