// The router's neighbour table: which MAC address the LAN client with an IPv4 address has.
// Read from /proc/net/arp (PORTAL_WEB_NEIGHBOURS names another file of that form), so the
// MAC address never comes from what the client sends.
#pragma once

#include <string>

namespace web {

// The table's path: PORTAL_WEB_NEIGHBOURS or /proc/net/arp.
std::string neighbour_table_path();

// The lower-case MAC text of ip in a table of the /proc/net/arp form (a header line, then
// "IP HW-type Flags HW-address Mask Device" a line), or "" when the table has no complete
// entry for it (flags without ATF_COM, or the all-zero address of an incomplete entry).
std::string mac_in_table(const std::string& table_text, const std::string& ip);

// mac_in_table over the file at path; "" when it cannot be read.
std::string lookup_mac(const std::string& path, const std::string& ip);

}  // namespace web
