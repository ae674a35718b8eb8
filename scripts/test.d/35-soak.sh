#!/usr/bin/env bash
# Soak stage, in the ordinary build: 100 000 one-key logins and as many host-down events
# through the real sockets with admitsim, then the same with account logins, checking that
# the daemon's resident memory stays level; then a short run of both under valgrind, which
# must report no invalid access and no leak.
#   SOAK_COUNT           logins per run (default 100000)
#   SOAK_VALGRIND_COUNT  logins per run under valgrind (default 2000)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$top/build
cmake -S "$top" -B "$build" >/dev/null
if ! cmake --build "$build" -j"$(nproc)" --target soak_test >"$build/soak-build.log" 2>&1; then
  grep -v '^\[' "$build/soak-build.log"
  exit 1
fi
echo "-- soak: ${SOAK_COUNT:-100000} logins and host-down events per run"
SOAK_COUNT=${SOAK_COUNT:-100000} "$build/bin/soak_test"
echo "-- soak under valgrind: ${SOAK_VALGRIND_COUNT:-2000} per run"
SOAK_COUNT=${SOAK_VALGRIND_COUNT:-2000} SOAK_VALGRIND=1 "$build/bin/soak_test" \
  >"$build/soak-valgrind.log" 2>&1 || { cat "$build/soak-valgrind.log"; exit 1; }
grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|All heap|\[  (PASSED|FAILED)' \
  "$build/soak-valgrind.log"
