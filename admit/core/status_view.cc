#include "status_view.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

namespace admit {
namespace {

// "N s" at the start of text, ended by a comma or the end, or -1 ("none" gives 0).
long long seconds_of(const std::string& text) {
  if (text.rfind("none", 0) == 0) return 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || v < 0 || std::strncmp(end, " s", 2) != 0) return -1;
  return end[2] == '\0' || end[2] == ',' ? v : -1;
}

// The seconds after key in a client's comma-separated parts, or -1.
long long part_seconds(const std::string& parts, const char* key) {
  const std::string k = std::string(", ") + key + " ";
  const size_t at = parts.find(k);
  return at == std::string::npos ? -1 : seconds_of(parts.substr(at + k.size()));
}

enum class Section { none, clients, macs, addrs, up };

}  // namespace

StatusView parse_status(const std::string& status_text) {
  StatusView v;
  std::istringstream in(status_text);
  Section section = Section::none;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("  ", 0) != 0) {
      section = Section::none;
      if (line.rfind("daemon address: ", 0) == 0) v.daemon_known = line.find("not known") == std::string::npos;
      if (line.rfind("time-outs: idle ", 0) == 0) {
        v.idle_timeout = seconds_of(line.substr(16));
        const size_t total = line.find(", total online ");
        if (total != std::string::npos) v.total_online_time = seconds_of(line.substr(total + 15));
      }
      if (line.rfind("clients:", 0) == 0) section = Section::clients;
      if (line.rfind("exempt MAC addresses:", 0) == 0) section = Section::macs;
      if (line.rfind("exempt addresses:", 0) == 0) section = Section::addrs;
      if (line.rfind("exempt hosts up:", 0) == 0) section = Section::up;
      continue;
    }
    const size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos) continue;
    const size_t gap = line.find("  ", start);
    const std::string first = line.substr(start, gap == std::string::npos ? std::string::npos : gap - start);
    switch (section) {
      case Section::clients: {
        if (gap == std::string::npos) break;
        const std::string parts = ", " + line.substr(gap + 2);
        TimeLeft left;
        left.online = part_seconds(parts, "online left");
        left.quota = part_seconds(parts, "quota left");
        left.idle = part_seconds(parts, "idle left");
        v.clients[first] = left;
        break;
      }
      case Section::macs: v.exempt_macs.push_back(first); break;
      case Section::addrs: v.exempt_addrs.push_back(first); break;
      case Section::up: v.hosts_up.push_back(first); break;
      case Section::none: break;
    }
  }
  return v;
}

}  // namespace admit
