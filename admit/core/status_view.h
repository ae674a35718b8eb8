// What a running admitsim or admitd says in its status text, read back by the programs that
// show it beside portald's own list (the web pages' operator page, portalctl).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace admit {

// The seconds left of one admitted client; -1 where it has no such limit.
struct TimeLeft {
  long long online = -1, quota = -1, idle = -1;
};

struct StatusView {
  bool daemon_known = false;             // a KMSG_HELLO has come
  long long idle_timeout = -1;           // seconds; 0 none, -1 not received
  long long total_online_time = -1;      // seconds; 0 none, -1 not received
  std::map<std::string, TimeLeft> clients;  // by address
  std::vector<std::string> exempt_macs;     // as "aa:bb:cc:dd:ee:ff"
  std::vector<std::string> exempt_addrs;
  std::vector<std::string> hosts_up;        // addresses of exempt hosts seen
};

// Reads the status text (the answer to "status"); lines it does not know are passed over.
StatusView parse_status(const std::string& status_text);

}  // namespace admit
