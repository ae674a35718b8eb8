#!/usr/bin/env bash
# admitd in network namespaces: a router with two LAN clients and a WAN server, portald on the
# router with admitd holding the clients back through nftables, real clients (curl, python3)
# and real servers (python3's web server, a small DNS server). Prints SKIPPED with the reason
# where the machine cannot make network namespaces. About half a minute.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$top/build
cmake -S "$top" -B "$build" >/dev/null
if ! cmake --build "$build" -j"$(nproc)" --target admitd portald portal-login portalctl nvram_cmd \
     >"$build/admitd-build.log" 2>&1; then
  grep -v '^\[' "$build/admitd-build.log"
  exit 1
fi
bash "$top/tests/admit/admitd/netns_test.sh" "$build/bin"
