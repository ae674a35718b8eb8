#!/usr/bin/env bash
# admitd at scale, in network namespaces (root only; not a test): CLIENTS clients admitted
# (default 10 000, each with a neighbour entry, so bound to its MAC address), then ROUNDS
# permit and cut cycles of one real client sending a UDP stream to the WAN server: the time
# from a permit to its first forwarded packet, from a cut to its first dropped one, and the
# CPU time admitd spends on a permit, early and late in the filling; then the cost of one
# idle look-up (one element read from the kernel) among them.
#   bash bench/admit/bench_admitd.sh [BUILD_DIR]      CLIENTS=N ROUNDS=N to change the sizes
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
. "$top/tests/support/netns.sh"
reason=$(netns_check) || { echo "bench_admitd: $reason" >&2; exit 1; }
cmake --build "$build" --target admitd bench_element_get >/dev/null
work=$(mktemp -d /tmp/bench-admitd.XXXXXX)
trap 'netns_down; rm -rf "$work"' EXIT
netns_up
clients=${CLIENTS:-10000}
# The filled clients' neighbour entries: 10.80.0.0/16, MAC addresses 02:80:00:..
python3 - "$clients" >"$work/neigh" <<'PY'
import sys
for i in range(int(sys.argv[1])):
    a, b = divmod(i + 1, 256)
    print(f"neigh replace 10.80.{a}.{b} lladdr 02:80:00:00:{a:02x}:{b:02x} dev br0 nud permanent")
PY
ip -n "$NS_ROUTER" -batch "$work/neigh"
netns_bg "$NS_ROUTER" "$work/admitd.out" "$build/bin/admitd" --socket "$work/admit.sock" \
  --lan "$LAN_IF" --table "bench_$NETNS_TAG"
for i in $(seq 100); do [ -S "$work/admit.sock.ctl" ] && break; sleep 0.05; done
[ -S "$work/admit.sock.ctl" ] || { cat "$work/admitd.out"; exit 1; }
python3 "$top/bench/admit/bench_admitd.py" --router "$NS_ROUTER" --client "$NS_C1" \
  --server "$NS_SERVER" --socket "$work/admit.sock" --admitd-pid "$(pgrep -n -f "admitd --socket $work/admit.sock")" \
  --client-addr "$C1_ADDR" --server-addr "$SERVER_ADDR" --clients "$clients" --rounds "${ROUNDS:-20}" \
  --table "bench_$NETNS_TAG"
ip netns exec "$NS_ROUTER" "$build/bin/bench_element_get" "bench_$NETNS_TAG" "$clients"
start=$(date +%s%N)
ip netns exec "$NS_ROUTER" "$build/bin/admitd" status --socket "$work/admit.sock" --json >"$work/status.json"
took=$(( ($(date +%s%N) - start) / 1000000 ))
python3 -c "import json,sys; d=json.load(open(sys.argv[1])); print(f'status --json of {len(d[\"clients\"])} clients: {sys.argv[2]} ms, {sys.argv[3]} bytes')" \
  "$work/status.json" "$took" "$(stat -c %s "$work/status.json")"
