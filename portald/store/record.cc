#include "store/record.h"

#include <cstdio>
#include <cstring>

namespace store {

std::string ip_text(uint32_t addr) {
  unsigned char b[4];
  std::memcpy(b, &addr, 4);
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

std::string client_message(const char* key, const OnlineUserRecord& r) {
  return std::string(key) + " " + r.name + " IP: " + r.ip + " MAC: " + r.mac;
}

std::string ip_mac_text(const OnlineUserRecord& r) { return r.ip + " " + r.mac; }

std::string mac_text(const unsigned char mac[6]) {
  char text[18];
  std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                mac[3], mac[4], mac[5]);
  return text;
}

}  // namespace store
