# lighttpd serving portal-web on a development host, for the demo and the tests. Sourced.
#
#   web_conf CONF DIR BIN_DIR TOP ADDR PORT ADMIN_PORT [NEIGHBOURS]
#       writes CONF: the pages on ADDR:PORT, the operator's page on ADDR:ADMIN_PORT behind the
#       password file DIR/htpasswd (operator / secret), the server's log and an empty document
#       root in DIR. The CGI program gets the host-run variables PORTALD_ROOT, NVRAM_FILE and
#       PORTALD_KERNEL_SOCKET as they are set now, and PORTAL_WEB_NEIGHBOURS=NEIGHBOURS when
#       given (a file in /proc/net/arp's form standing for the router's neighbour table).
#   web_neighbours FILE IP MAC   writes such a file with one complete entry
# Run the server with `lighttpd -D -f CONF`; in the foreground its standard error holds the
# CGI program's lines.

web_conf() {
  local conf=$1 dir=$2 bin=$3 top=$4 addr=$5 port=$6 admin_port=$7 neighbours=${8:-}
  mkdir -p "$dir/www"
  echo "operator:$(openssl passwd -apr1 secret)" >"$dir/htpasswd"
  local env="\"PORTALD_ROOT\" => \"${PORTALD_ROOT:-}\", \"NVRAM_FILE\" => \"${NVRAM_FILE:-}\""
  env+=", \"PORTALD_KERNEL_SOCKET\" => \"${PORTALD_KERNEL_SOCKET:-}\""
  [ -n "$neighbours" ] && env+=", \"PORTAL_WEB_NEIGHBOURS\" => \"$neighbours\""
  cat >"$conf" <<CONF
server.document-root = "$dir/www"
server.bind = "$addr"
server.port = $port
server.errorlog = "$dir/lighttpd.log"
var.portal_web_bin = "$bin/portal-web"
var.portal_web_admin = "$addr:$admin_port"
var.portal_web_htpasswd = "$dir/htpasswd"
setenv.add-environment = ( $env )
include "$top/web/lighttpd/portal-web.conf"
CONF
}

web_neighbours() {
  printf 'IP address       HW type     Flags       HW address            Mask     Device\n%s 0x1 0x2 %s * lo\n' \
    "$2" "$3" >"$1"
}
