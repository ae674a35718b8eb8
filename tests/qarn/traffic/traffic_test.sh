#!/usr/bin/env bash
# qarn on real traffic: real servers (lighttpd over HTTP and HTTPS, Python's HTTP server,
# vsftpd, dnsmasq, OpenSSH, chrony) and real clients (curl over HTTP, HTTPS and FTP, dig, ssh,
# chrony; an OpenVPN client, xl2tpd, strongSwan's charon-cmd, wireguard-go with wg and Chromium
# over QUIC, whose handshakes nobody answers), a swarm of three aria2c BitTorrent peers with
# DHT (a seeder on the server, two leechers on the LAN; the tracker is a few lines of Python),
# two Transmission peers sharing a file over uTP (a seeder on the server, a leecher on the LAN,
# through the same tracker; the capture must show uTP data packets carrying it, and no TCP
# between them) and a game of Chocolate Doom (chocolate-server on the server, a headless
# chocolate-doom playing FreeDM on the LAN) talk through a router in network namespaces;
# tcpdump captures on the router's LAN side, and qarn-replay must give every connection the
# mark of the fixed rules by default and the right application with qarn_extended=1.
#   traffic_test.sh BIN_DIR [KEEP_DIR]   (KEEP_DIR receives the capture and both reports)
# Prints SKIPPED with the reason where the machine cannot make network namespaces.
set -uo pipefail
# shellcheck source=../../support/netns.sh
. "$(dirname "$0")/../../support/netns.sh"
netns_require
BIN=$(cd "$1" && pwd)
keep=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
export PATH=$PATH:/usr/sbin:/usr/games
iwad=/usr/share/games/doom/freedm.wad
for tool in lighttpd curl dnsmasq dig sshd ssh ssh-keygen chronyd openvpn tcpdump openssl python3 \
  vsftpd xl2tpd charon-cmd wireguard-go wg aria2c transmission-cli chromium chocolate-server \
  chocolate-doom "$iwad"; do
  command -v $tool >/dev/null || [ -f "$tool" ] ||
    { echo "FAIL: $tool is missing (scripts/deps.sh installs it)"; exit 1; }
done
/usr/bin/python3 -c 'import cryptography' 2>/dev/null ||
  { echo "FAIL: python3-cryptography is missing (scripts/deps.sh installs it)"; exit 1; }

work=$(mktemp -d /tmp/qarn-traffic.XXXXXX)
failures=0
cleanup() {
  netns_down
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
step() { "$@" >>"$work/clients.log" 2>&1; }

netns_up || { echo "FAIL: the namespaces could not be set up"; exit 1; }
S=$SERVER_ADDR C=$NS_C1

# --- the server's content and programs
mkdir -p "$work/www" "$work/ssh"
head -c 3000 /dev/zero | tr '\0' 'p' | sed '1s/^/<html>/' >"$work/www/page.html"
head -c 40000 /dev/zero | tr '\0' 'v' >"$work/www/clip.mp4"
head -c 40000 /dev/zero | tr '\0' 'z' >"$work/www/file.zip"
head -c 3000 /dev/zero | tr '\0' '1' | sed 's/^/[/; s/$/]/' >"$work/www/data.json"
head -c 2000000 /dev/zero | tr '\0' 'f' >"$work/www/font.woff2"   # spans many reply packets
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=qarn-test -keyout "$work/key.pem" \
  -out "$work/cert.pem" >/dev/null 2>&1 || { echo "FAIL: openssl cannot make a certificate"; exit 1; }
cat >"$work/lighttpd.conf" <<CONF
server.document-root = "$work/www"
server.bind = "$S"
server.port = 80
server.modules = ("mod_openssl")
server.pid-file = "$work/lighttpd.pid"
server.errorlog = "$work/lighttpd.err"
mimetype.assign = (".html" => "text/html", ".mp4" => "video/mp4", ".zip" => "application/zip",
                   ".json" => "application/json", ".woff2" => "font/woff2")
\$SERVER["socket"] == "$S:443" {
  ssl.engine = "enable"
  ssl.pemfile = "$work/cert.pem"
  ssl.privkey = "$work/key.pem"
}
CONF
netns_bg "$NS_SERVER" "$work/lighttpd.log" lighttpd -D -f "$work/lighttpd.conf"
# Python's HTTP server spells its header "Content-type"
mkdir -p "$work/py"
{ printf '%%PDF-1.4\n'; head -c 12000 /dev/zero | tr '\0' 'd'; printf '\n%%%%EOF\n'; } \
  >"$work/py/doc.pdf"
cp "$work/www/data.json" "$work/py/data.json"
netns_bg "$NS_SERVER" "$work/http-server.log" /usr/bin/python3 -m http.server 8080 --bind "$S" \
  --directory "$work/py"
echo "address=/example.com/$S" >"$work/dnsmasq.conf"
netns_bg "$NS_SERVER" "$work/dnsmasq.log" dnsmasq -k -C "$work/dnsmasq.conf" -i eth0 \
  --bind-interfaces -x "$work/dnsmasq.pid" --no-resolv --no-hosts
ssh-keygen -q -t ed25519 -N '' -f "$work/ssh/host" || exit 1
[ -d /run/sshd ] || install -d -m 755 /run/sshd   # sshd's privilege separation folder
netns_bg "$NS_SERVER" "$work/sshd.log" "$(command -v sshd)" -D -e -f /dev/null \
  -o HostKey="$work/ssh/host" -o ListenAddress="$S" -o PidFile="$work/sshd.pid" \
  -o StrictModes=no -o PasswordAuthentication=no
# an NTP server that leaves the system clock alone
printf 'allow all\nlocal stratum 8\nbindaddress %s\npidfile %s\ncmdport 0\n' "$S" \
  "$work/chronyd.pid" >"$work/chrony-server.conf"
netns_bg "$NS_SERVER" "$work/chronyd.log" chronyd -x -d -u root -f "$work/chrony-server.conf"
# an anonymous FTP server: active data from its port 20, passive data on one fixed port
mkdir -p "$work/ftp" "$work/ftp-empty"
chmod 755 "$work/ftp"
head -c 60000 /dev/zero | tr '\0' 'x' >"$work/ftp/file.bin"
cat >"$work/vsftpd.conf" <<CONF
listen=YES
listen_address=$S
background=NO
anonymous_enable=YES
local_enable=NO
write_enable=NO
anon_root=$work/ftp
no_anon_password=YES
connect_from_port_20=YES
pasv_min_port=45001
pasv_max_port=45001
secure_chroot_dir=$work/ftp-empty
seccomp_sandbox=NO
xferlog_enable=NO
CONF
netns_bg "$NS_SERVER" "$work/vsftpd.log" vsftpd "$work/vsftpd.conf"
# a BitTorrent tracker (harness, not a peer; each torrent's peers learn only of each other) and
# the torrents of two small files
mkdir -p "$work/bt-seed" "$work/bt-c1" "$work/bt-c2"
head -c 393216 /dev/urandom >"$work/bt-seed/share.bin"
python3 "$here/bittorrent.py" torrent "$work/bt-seed/share.bin" "http://$S:6969/announce" \
  "$work/share.torrent" || { echo "FAIL: the torrent could not be made"; exit 1; }
netns_bg "$NS_SERVER" "$work/tracker.log" python3 "$here/bittorrent.py" tracker "$S" 6969
# uTP: a Transmission seeder on the server, started now as it unchokes a peer only at a rechoke,
# ten seconds after its torrent starts and every ten seconds on; the leecher on the LAN joins once
# the capture runs. They find each other only through the tracker (no DHT, no peer exchange, no
# local discovery) and try uTP first for every connection.
mkdir -p "$work/tr-seed" "$work/tr-c2"
head -c 131072 /dev/urandom >"$work/tr-seed/share.bin"   # too few packets for the UDP count
python3 "$here/bittorrent.py" torrent "$work/tr-seed/share.bin" "http://$S:6969/announce" \
  "$work/utp.torrent" || { echo "FAIL: the torrent could not be made"; exit 1; }
transmission() {  # transmission NS NAME PORT
  local ns=$1 name=$2 port=$3
  mkdir -p "$work/tr-conf-$name"
  cat >"$work/tr-conf-$name/settings.json" <<JSON
{ "dht-enabled": false, "lpd-enabled": false, "pex-enabled": false, "utp-enabled": true,
  "port-forwarding-enabled": false, "rpc-enabled": false, "blocklist-enabled": false,
  "speed-limit-up-enabled": false, "speed-limit-down-enabled": false, "message-level": 1 }
JSON
  netns_bg "$ns" "$work/transmission-$name.log" transmission-cli \
    --config-dir "$work/tr-conf-$name" --download-dir "$work/tr-$name" --port "$port" \
    --no-portmap --encryption-tolerated "$work/utp.torrent"
}
netns_wait_tcp "$NS_SERVER" "$S" 6969 10 || { echo "FAIL: the tracker does not listen"; exit 1; }
transmission "$NS_SERVER" seed 6911
utp_seed_pid=$NETNS_PID
# a dedicated Doom server on its UDP 2342 (private: it tells no master server about itself)
netns_bg "$NS_SERVER" "$work/chocolate-server.log" chocolate-server -privateserver
game_server_pid=$NETNS_PID
for port in 80 443 53 22 8080 21 6969 6911; do
  netns_wait_tcp "$NS_SERVER" "$S" $port 10 ||
    { echo "FAIL: nothing listens on $S:$port"; tail -n 5 "$work"/*.log; exit 1; }
done
for i in $(seq 50); do
  [ -n "$(in_ns "$NS_SERVER" ss -Hlun 'sport = :2342')" ] && break
  sleep 0.1
done

# --- the capture on the router's LAN side
netns_bg "$NS_ROUTER" "$work/tcpdump.log" tcpdump -i "$LAN_IF" -B 65536 -U -n -s 0 \
  -w "$work/traffic.pcap" ip and not arp
cap_pid=$NETNS_PID
for i in $(seq 50); do [ -s "$work/traffic.pcap" ] && break; sleep 0.1; done
sleep 0.5

# --- the clients, each connection from its own source port
# Doom: a player joins the server and, being the only one awaited, starts the game at once; it
# plays (standing still: its moves still go out every tic) while the other clients run, with no
# screen and no sound
mkdir -p "$work/doom"
HOME=$work/doom SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy netns_bg "$C" "$work/chocolate-doom.log" \
  chocolate-doom -iwad "$iwad" -connect "$S" -nodes 1 -nosound -nomusic -nogui
game_pid=$NETNS_PID
# the uTP leecher: its SYN is the first packet of its flow; it waits for the rechokes while the
# other clients run
transmission "$NS_C2" c2 6921
utp_c2_pid=$NETNS_PID utp_start=$SECONDS
get() {  # get PORT URL...
  local port=$1; shift
  step in_ns "$C" curl -s -m 5 --local-port "$port" -o /dev/null -o /dev/null "$@"
}
get 41001 "http://$S/page.html"
get 41002 "http://$S/clip.mp4"
get 41003 "http://$S/file.zip"
get 41004 "http://$S/data.json"
get 41005 "http://$S/font.woff2" "http://$S/clip.mp4"          # kept alive: two responses
get 41006 -k --resolve "www.youtube.com:443:$S" "https://www.youtube.com/page.html"
get 41007 -k --resolve "portal.example:443:$S" "https://portal.example/page.html"
get 41008 "http://$S:8080/doc.pdf"
get 41009 "http://$S:8080/data.json"
# FTP: the control connection from a fixed port, the data connection active (from the
# server's port 20 to the client's 46001) or passive (to the server's 45001, named in the
# server's reply to EPSV, or to PASV where curl is told not to try EPSV)
get 41010 -P "$C1_ADDR:46001" "ftp://$S/file.bin"
get 41011-41012 --ftp-pasv "ftp://$S/file.bin"       # the data connection takes 41012
get 41013-41014 --ftp-pasv --disable-epsv "ftp://$S/file.bin"
step in_ns "$C" dig +short +tries=1 +time=2 -b "$C1_ADDR#42001" @"$S" www.example.com
step in_ns "$C" dig +short +tries=1 +time=2 +tcp -b "$C1_ADDR#42002" @"$S" www.example.com
step in_ns "$C" timeout 5 ssh -F /dev/null -o BatchMode=yes -o StrictHostKeyChecking=no \
  -o UserKnownHostsFile=/dev/null -o ConnectTimeout=3 -b "$C1_ADDR" nobody@"$S" true
# an NTP query that only measures the offset (-Q sets no clock)
printf 'server %s iburst maxsamples 1\nacquisitionport 44001\npidfile %s\ncmdport 0\n' "$S" \
  "$work/chrony-client.pid" >"$work/chrony-client.conf"
step in_ns "$C" timeout 10 chronyd -Q -u root -f "$work/chrony-client.conf"
# an OpenVPN client whose server never answers: its handshake resets are what it sends
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=client -keyout "$work/ovpn.key" \
  -out "$work/ovpn.pem" >/dev/null 2>&1
netns_bg "$C" "$work/openvpn.log" openvpn --client --dev null --proto udp --remote "$S" 1194 \
  --lport 43001 --ca "$work/ovpn.pem" --cert "$work/ovpn.pem" --key "$work/ovpn.key" \
  --verb 1 --connect-retry-max 1
vpn_pid=$NETNS_PID vpn_start=$SECONDS
# an L2TP access concentrator dialling the server: its control messages are what it sends
cat >"$work/xl2tpd.conf" <<CONF
[global]
listen-addr = $C1_ADDR
port = 1701
[lac qarn]
lns = $S
autodial = yes
redial = no
CONF
: >"$work/l2tp-secrets"
netns_bg "$C" "$work/xl2tpd.log" xl2tpd -D -c "$work/xl2tpd.conf" -s "$work/l2tp-secrets" \
  -p "$work/xl2tpd.pid" -C "$work/l2tp-control"
l2tp_pid=$NETNS_PID
# an IKEv2 initiator on IKE's own ports (charon-cmd takes random ones unless told): its first
# request, sent again until it gives up
cat >"$work/strongswan.conf" <<CONF
charon {
  load_modular = yes
  plugins {
    include /etc/strongswan.d/charon/*.conf
  }
}
charon-cmd {
  port = 500
  port_nat_t = 4500
}
CONF
STRONGSWAN_CONF=$work/strongswan.conf netns_bg "$C" "$work/charon.log" charon-cmd --host "$S" \
  --identity client --profile ikev2-pub --cert "$work/ovpn.pem" --rsa "$work/ovpn.key"
ike_pid=$NETNS_PID
# a WireGuard tunnel (wireguard-go, as this kernel may lack the module) to a peer at the
# server's address; one packet into the tunnel makes it send its handshake initiation
wg_if=qwg$$
(umask 077 && wg genkey >"$work/wg.key" && wg genkey | wg pubkey >"$work/wg-peer.pub") ||
  { echo "FAIL: wg cannot make keys"; exit 1; }
netns_bg "$C" "$work/wireguard-go.log" wireguard-go -f "$wg_if"
wg_pid=$NETNS_PID
for i in $(seq 50); do [ -S "/var/run/wireguard/$wg_if.sock" ] && break; sleep 0.1; done
step in_ns "$C" wg set "$wg_if" private-key "$work/wg.key" listen-port 47001 \
  peer "$(cat "$work/wg-peer.pub")" endpoint "$S:51820" allowed-ips 10.79.0.2/32
step ip -n "$C" addr add 10.79.0.1/24 dev "$wg_if"
step ip -n "$C" link set "$wg_if" up
step in_ns "$C" python3 -c \
  "import socket; socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(b'x', ('10.79.0.2', 9))"
# QUIC: Chromium told to reach the video site over QUIC sends its initial packets to the
# server's UDP 443, where nothing answers but the port-unreachable message that ends it
netns_bg "$C" "$work/chromium.log" chromium --headless=new --no-sandbox --disable-gpu \
  --user-data-dir="$work/chromium" --enable-quic --origin-to-force-quic-on=www.youtube.com:443 \
  --host-resolver-rules="MAP www.youtube.com $S" --dump-dom https://www.youtube.com/page.html
quic_pid=$NETNS_PID
for i in $(seq 100); do kill -0 "$quic_pid" 2>/dev/null || break; sleep 0.1; done
netns_stop "$quic_pid"
# the game goes on until its player has sent more packets than a UDP flow is counted to (200),
# with a few to spare, before the swarm starts: the capture then ends soon after the swarm's
# download, before a peer opens a new connection that the capture's end would cut short
game_sent() {
  tcpdump -r "$work/traffic.pcap" -n "udp and src $C1_ADDR and dst $S and dst port 2342" \
    2>/dev/null | wc -l
}
for _ in $(seq 120); do [ "$(game_sent)" -gt 210 ] && break; sleep 0.1; done
[ "$(game_sent)" -gt 210 ] || fail "the Doom player sent only $(game_sent) packets"
# the uTP leecher asks for pieces at its own first rechoke, ten seconds after it started, and has
# them by then where the seeder's rechoke unchoked it before (else by the seeder's next); the
# swarm waits for it, and for the capture to hold the data (tcpdump may lag behind)
utp_data() {  # the bytes after the 20-byte headers of the seeder's data packets (first byte 0x01)
  tcpdump -r "$work/traffic.pcap" -n \
    "udp and src $S and src port 6911 and dst port 6921 and udp[8] = 0x01" 2>/dev/null |
    awk '{ n += $NF - 20 } END { print n + 0 }'
}
while [ $((SECONDS - utp_start)) -le 25 ]; do
  cmp -s "$work/tr-seed/share.bin" "$work/tr-c2/share.bin" && break
  sleep 0.1
done
cmp -s "$work/tr-seed/share.bin" "$work/tr-c2/share.bin" ||
  fail "the Transmission leecher did not get the whole file"
for _ in $(seq 50); do [ "$(utp_data)" -ge 131072 ] && break; sleep 0.1; done
# BitTorrent: a seeder on the server, whose upload is held back so the two leechers on the
# LAN also trade pieces with each other; each peer's DHT pings the seeder's
aria() {  # aria NS NAME PORT ARGS...
  local ns=$1 name=$2 port=$3; shift 3
  netns_bg "$ns" "$work/aria-$name.log" aria2c --no-conf --disable-ipv6 --quiet \
    --summary-interval=0 --file-allocation=none --dir "$work/bt-$name" --listen-port "$port" \
    --enable-dht=true --dht-listen-port $((port + 1)) --dht-file-path "$work/dht-$name.dat" \
    --seed-ratio=0.0 "$@" "$work/share.torrent"
}
aria "$NS_SERVER" seed 6881 --bt-seed-unverified=true --max-upload-limit=256K
seed_pid=$NETNS_PID
netns_wait_tcp "$NS_SERVER" "$S" 6881 10 || fail "the seeder does not listen"
aria "$C" c1 6891 --dht-entry-point="$S:6882"
c1_pid=$NETNS_PID
sleep 0.3
aria "$NS_C2" c2 6901 --dht-entry-point="$S:6882"
c2_pid=$NETNS_PID
for i in $(seq 150); do
  cmp -s "$work/bt-seed/share.bin" "$work/bt-c1/share.bin" &&
    cmp -s "$work/bt-seed/share.bin" "$work/bt-c2/share.bin" && break
  sleep 0.1
done
for name in c1 c2; do
  cmp -s "$work/bt-seed/share.bin" "$work/bt-$name/share.bin" ||
    fail "aria2c $name did not get the whole file"
done
# the VPN clients have had two seconds (one for xl2tpd's first resend) while the swarm ran
while [ $((SECONDS - vpn_start)) -le 2 ]; do sleep 0.2; done
sleep 0.5
# the capture ends first: what the peers do as they are stopped (connections refused by a peer
# already gone, or closed before a handshake) is no traffic of the swarm
netns_stop "$cap_pid"
peers=("$c2_pid" "$c1_pid" "$seed_pid" "$utp_c2_pid" "$utp_seed_pid" "$vpn_pid" "$wg_pid"
  "$l2tp_pid" "$ike_pid" "$game_pid" "$game_server_pid")
kill -TERM "${peers[@]}" 2>/dev/null   # all at once: aria2c takes a second to say goodbye
for pid in "${peers[@]}"; do netns_stop "$pid"; done

# --- the verdicts: client port or server port, then the application in each mode
expected=(
  "41001 web-page web-page"
  "41002 web-video web-video"
  "41003 web-download web-download"
  "41004 unclassified web-page"
  "41005 unclassified web-video"
  "41006 unclassified tls-video"
  "41007 unclassified tls"
  "41008 unclassified web-page"
  "41009 unclassified web-page"
  "41010 ftp ftp"
  ":46001 unclassified ftp-data"
  "41011 ftp ftp"
  "41012 unclassified ftp-data"            # passive data, its port in the 229 reply to EPSV
  "41013 ftp ftp"
  "41014 unclassified ftp-data"            # and in the 227 reply to PASV
  "42001 dns dns"
  "42002 unclassified dns"
  ":22 unclassified ssh"
  "43001 unclassified openvpn"
  "44001 unclassified ntp"
  ":1701 unclassified l2tp"
  ":500 unclassified ike"
  "47001 unclassified wireguard"
  ":6881 unclassified bittorrent"          # every connection to the seeder,
  ":6891 unclassified bittorrent"          # every one to the first leecher (from the second too)
  "6892 unclassified bittorrent-dht"
  "6902 unclassified bittorrent-dht"
  "6921 unclassified utp"                  # the uTP leecher: fewer than 200 packets of its own
  "U:2342 p2p-udp game-flow"               # Doom: small packets each tic, both ways
)
report() {  # report OUT [ARGS...]
  local out=$1; shift
  "$BIN/qarn-replay" --lan "$LAN_NET" "$@" "$work/traffic.pcap" >"$work/$out" 2>"$work/$out.err" ||
    fail "qarn-replay $* exited with $?: $(cat "$work/$out.err")"
}
report default.txt
report extended.txt --param qarn_extended=1
# the applications of the connections whose client port (or, with ':', server port; with 'U:',
# UDP server port) is given, each once
# A TCP connection that carried no data (every packet a bare header of at most 60 bytes, as
# one a peer closes before its handshake), or too few packets for a whole exchange (fewer than
# six: as one a peer cuts off after an encrypted handshake, which is random bytes), has no
# application to find and is passed over.
app_of() {  # app_of REPORT KEY
  awk -v key="$2" '
    $2 == "TCP" && $6 == "fwd" && ($11 + 0 <= 60 * ($7 + $9) || $7 + $9 < 6) { next }
    $2 == "TCP" || $2 == "UDP" {
      split($3, src, ":"); split($5, dst, ":")
      if ((substr(key, 1, 1) == ":" && ":" dst[2] == key) || src[2] == key ||
          (substr(key, 1, 2) == "U:" && $2 == "UDP" && "U:" dst[2] == key)) print $NF
    }' "$work/$1" | sort -u | paste -sd ' '
}
for row in "${expected[@]}"; do
  read -r key want_default want_extended <<<"$row"
  got=$(app_of default.txt "$key")
  [ "$got" = "$want_default" ] || fail "default mode: connection $key is '$got', expected $want_default"
  got=$(app_of extended.txt "$key")
  [ "$got" = "$want_extended" ] ||
    fail "qarn_extended=1: connection $key is '$got', expected $want_extended"
done
# uTP carried the file: the seeder's data packets hold at least its bytes, and no TCP connection
# joined the two peers
sent=$(utp_data)
[ "$sent" -ge 131072 ] || fail "uTP data packets carried only $sent bytes of the file"
utp_tcp=$(tcpdump -r "$work/traffic.pcap" -n "tcp and (port 6911 or port 6921)" 2>/dev/null | wc -l)
[ "$utp_tcp" -eq 0 ] || fail "the Transmission peers also spoke TCP ($utp_tcp packets)"
# QUIC: Chromium's Initials, a flow from a new port for each attempt. Chromium cuts its client
# hello into CRYPTO frames at random places, spread over two Initials, and the port-unreachable
# may end an attempt before its second Initial is sent: where the name lies is read from the
# capture. A flow whose Initials hold the server_name extension whole in one frame is
# quic-video; any other is quic, or unclassified when its only Initial leaves the name to one
# never sent. The default mode marks none of them.
quic_flows=$(/usr/bin/python3 "$here/quic_names.py" "$work/traffic.pcap" \
  www.youtube.com 2>"$work/quic_names.err") ||
  fail "quic_names.py: $(cat "$work/quic_names.err")"
[ -n "$quic_flows" ] || fail "Chromium sent no QUIC Initial"
quic_app() {  # quic_app REPORT CLIENT_PORT
  awk -v port="$2" '$2 == "UDP" { split($3, src, ":"); split($5, dst, ":")
    if (src[2] == port && dst[2] == 443) print $NF }' "$work/$1"
}
while read -r port where; do
  got=$(quic_app default.txt "$port")
  [ "$got" = unclassified ] || fail "default mode: QUIC flow $port is '$got', expected unclassified"
  got=$(quic_app extended.txt "$port")
  case $where:$got in
    found:quic-video | split:quic | split:unclassified | absent:quic | absent:unclassified) ;;
    *) fail "qarn_extended=1: QUIC flow $port (name $where) is '$got'" ;;
  esac
done <<<"$quic_flows"
echo "QUIC flows by where their name lies:" $(awk '{ print $2 }' <<<"$quic_flows" | sort | uniq -c)
if [ -n "$keep" ]; then
  mkdir -p "$keep" && cp "$work/traffic.pcap" "$work/default.txt" "$work/extended.txt" "$keep/"
fi
if [ "$failures" -ne 0 ]; then
  echo "--- default"; cat "$work/default.txt"
  echo "--- extended"; cat "$work/extended.txt"
  echo "--- clients"; tail -20 "$work/clients.log"
  echo "--- tcpdump"; cat "$work/tcpdump.log"
  echo "qarn traffic: $failures failed"
  exit 1
fi
echo "qarn traffic: ${#expected[@]} connections and $(wc -l <<<"$quic_flows") QUIC flows right in both modes"
