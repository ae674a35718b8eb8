// The clients online, as portald publishes them for the web pages and tools in the registration file: one line each,
// "name ip mac login_time auth_type " and a line feed. The name may be empty (one-key
// logins) or hold blanks, so a line is read from its end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace client {

struct OnlineClient {
  std::string name;
  std::string ip;
  std::string mac;
  int64_t login_time = 0;
  int64_t auth_type = 0;  // the daemon's, 0 to 4
};

// The clients of a registration file's text; lines that do not have the form are skipped.
std::vector<OnlineClient> parse_online_list(const std::string& text);

// The registration file under PORTALD_ROOT; empty when it is missing.
std::vector<OnlineClient> read_online_list();

// True when ip is listed.
bool is_online(const std::vector<OnlineClient>& list, const std::string& ip);

}  // namespace client
