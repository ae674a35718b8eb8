# A small router in network namespaces, for tests of admitd and the web pages with real
# clients and a real server. Sourced; every namespace it makes has a name unique to the run,
# and netns_down stops what was started in them and removes them (netns_up makes it the EXIT
# trap unless the caller has one, which must then call it).
#
#   netns_check            0 when namespaces can be made here; otherwise prints the reason
#   netns_require          prints "SKIPPED: reason" and exits 0 where netns_check fails
#   netns_up               makes four namespaces:
#                            $NS_ROUTER  LAN bridge $LAN_IF ($ROUTER_LAN) with the two clients'
#                                        ports, WAN link to the server ($ROUTER_WAN), forwarding on
#                            $NS_C1 $NS_C2  LAN clients $C1_ADDR / $C2_ADDR with MAC addresses
#                                        $C1_MAC / $C2_MAC, default route via the router
#                            $NS_SERVER  WAN server $SERVER_ADDR, route to the LAN via the router
#   in_ns NS CMD...        runs CMD in namespace NS
#   netns_bg NS LOG CMD... starts CMD in the background in NS, output to LOG; its pid is
#                          remembered (and stopped by netns_down) and left in $NETNS_PID
#   netns_stop PID         stops one process started with netns_bg (TERM, then KILL after 5 s)
#   netns_reaches NS ADDR  0 when NS reaches ADDR (a TCP connection is answered, if refused)
#   netns_wait_tcp NS ADDR PORT [SECONDS]  waits until something listens there (default 10 s)
#   netns_down             stops the remembered processes and removes the namespaces
# Addresses exist only inside the namespaces.

NETNS_TAG=${NETNS_TAG:-t$$}
NS_ROUTER=pd-$NETNS_TAG-r NS_C1=pd-$NETNS_TAG-c1 NS_C2=pd-$NETNS_TAG-c2 NS_SERVER=pd-$NETNS_TAG-s
LAN_IF=br0 WAN_IF=wan0
ROUTER_LAN=10.77.0.1 C1_ADDR=10.77.0.11 C2_ADDR=10.77.0.12 LAN_NET=10.77.0.0/24
ROUTER_WAN=10.78.0.1 SERVER_ADDR=10.78.0.2
C1_MAC=02:00:0a:4d:00:0b C2_MAC=02:00:0a:4d:00:0c
NETNS_PIDS=()
NETNS_MADE=()

netns_check() {
  if [ "$(id -u)" -ne 0 ]; then echo "network namespaces need root"; return 1; fi
  if ! command -v ip >/dev/null; then echo "no ip command (Debian package iproute2)"; return 1; fi
  local probe=pd-$NETNS_TAG-probe
  if ! ip netns add "$probe" 2>/dev/null; then
    echo "this machine cannot make network namespaces (ip netns add failed)"; return 1
  fi
  if ! ip -n "$probe" link add p0 type veth peer name p1 2>/dev/null; then
    ip netns del "$probe"; echo "this machine cannot make veth pairs in a namespace"; return 1
  fi
  ip netns del "$probe"
  return 0
}

# Where namespaces cannot be made: prints "SKIPPED: <reason>" and ends the script with 0.
netns_require() {
  local reason
  if ! reason=$(netns_check); then
    echo "SKIPPED: $reason"
    exit 0
  fi
}

in_ns() { local ns=$1; shift; ip netns exec "$ns" "$@"; }

netns_up() {
  # A caller's own EXIT trap must call netns_down; without one, netns_down is the trap.
  [ -n "$(trap -p EXIT)" ] || trap netns_down EXIT
  local ns
  for ns in "$NS_ROUTER" "$NS_C1" "$NS_C2" "$NS_SERVER"; do
    ip netns add "$ns" || return 1
    NETNS_MADE+=("$ns")
    ip -n "$ns" link set lo up
  done
  local r=$NS_ROUTER
  ip -n "$r" link add "$LAN_IF" type bridge
  ip -n "$r" link set "$LAN_IF" up
  ip -n "$r" addr add "$ROUTER_LAN/24" dev "$LAN_IF"
  ip -n "$r" link add p1 type veth peer name eth0 netns "$NS_C1"
  ip -n "$r" link add p2 type veth peer name eth0 netns "$NS_C2"
  ip -n "$r" link add "$WAN_IF" type veth peer name eth0 netns "$NS_SERVER"
  local p
  for p in p1 p2; do ip -n "$r" link set "$p" master "$LAN_IF" up; done
  ip -n "$r" link set "$WAN_IF" up
  ip -n "$r" addr add "$ROUTER_WAN/24" dev "$WAN_IF"
  in_ns "$r" sysctl -qw net.ipv4.ip_forward=1
  ip -n "$NS_C1" link set eth0 address "$C1_MAC" up
  ip -n "$NS_C1" addr add "$C1_ADDR/24" dev eth0
  ip -n "$NS_C1" route add default via "$ROUTER_LAN"
  ip -n "$NS_C2" link set eth0 address "$C2_MAC" up
  ip -n "$NS_C2" addr add "$C2_ADDR/24" dev eth0
  ip -n "$NS_C2" route add default via "$ROUTER_LAN"
  ip -n "$NS_SERVER" link set eth0 up
  ip -n "$NS_SERVER" addr add "$SERVER_ADDR/24" dev eth0
  ip -n "$NS_SERVER" route add "$LAN_NET" via "$ROUTER_WAN"
  # The bridge's ports need a moment before they forward.
  local i
  for i in $(seq 50); do
    netns_reaches "$NS_C1" "$ROUTER_LAN" && netns_reaches "$NS_C2" "$ROUTER_LAN" &&
      netns_reaches "$NS_SERVER" "$ROUTER_WAN" && return 0
    sleep 0.1
  done
  echo "netns: the clients cannot reach the router" >&2
  return 1
}

netns_bg() {
  local ns=$1 log=$2; shift 2
  ip netns exec "$ns" "$@" >"$log" 2>&1 &
  NETNS_PID=$!
  NETNS_PIDS+=("$NETNS_PID")
}

netns_stop() {
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# 0 when NS reaches ADDR: a TCP connection to port 9 is answered, even if refused.
netns_reaches() {
  in_ns "$1" python3 - "$2" <<'PY' 2>/dev/null
import socket, sys
s = socket.socket()
s.settimeout(0.5)
try:
    s.connect((sys.argv[1], 9))
except ConnectionRefusedError:
    pass
except OSError:
    sys.exit(1)
PY
}

netns_wait_tcp() {
  local ns=$1 addr=$2 port=$3 secs=${4:-10} i
  for i in $(seq $((secs * 10))); do
    in_ns "$ns" python3 -c "import socket,sys; socket.create_connection(('$addr',$port),0.5).close()" \
      2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

netns_down() {
  local pid ns
  for pid in "${NETNS_PIDS[@]}"; do netns_stop "$pid"; done
  NETNS_PIDS=()
  for ns in "${NETNS_MADE[@]}"; do ip netns del "$ns" 2>/dev/null || true; done
  NETNS_MADE=()
}
