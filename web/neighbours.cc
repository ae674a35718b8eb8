#include "neighbours.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace web {
namespace {

constexpr unsigned long kAtfCom = 0x2;  // the entry is complete

}  // namespace

std::string neighbour_table_path() {
  const char* p = std::getenv("PORTAL_WEB_NEIGHBOURS");
  return p && *p ? p : "/proc/net/arp";
}

std::string mac_in_table(const std::string& table_text, const std::string& ip) {
  std::istringstream in(table_text);
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string addr, type, flags, mac;
    if (!(fields >> addr >> type >> flags >> mac) || addr != ip) continue;
    char* end = nullptr;
    const unsigned long f = std::strtoul(flags.c_str(), &end, 16);
    if (*end != '\0' || (f & kAtfCom) == 0 || mac == "00:00:00:00:00:00") continue;
    for (char& c : mac) {
      if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    }
    return mac;
  }
  return "";
}

std::string lookup_mac(const std::string& path, const std::string& ip) {
  std::ifstream f(path);
  if (!f) return "";
  std::stringstream text;
  text << f.rdbuf();
  return mac_in_table(text.str(), ip);
}

}  // namespace web
