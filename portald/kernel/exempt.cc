#include "kernel/exempt.h"

#include <cstdint>
#include <cstdio>

#include "core/files.h"
#include "core/lines.h"
#include "kernel/kmsg.h"

namespace kernel {
namespace {

constexpr size_t kLineSize = 100;

bool all_octets(const unsigned* v, int n) {
  for (int i = 0; i < n; ++i) {
    if (v[i] > 255) return false;
  }
  return true;
}

uint32_t host_order(const unsigned* v) {
  return (v[0] << 24) | (v[1] << 16) | (v[2] << 8) | v[3];
}

void send_host_order(uint32_t a) {
  const ExemptAddr addr{{static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
                         static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a)}};
  send_exempt_addr(addr);
}

}  // namespace

int load_exempt_macs(const char* path) {
  std::FILE* f = core::open_fixed_stream(path);
  if (f == nullptr) return 0;
  int sent = 0;
  char line[kLineSize];
  while (core::read_line(f, line, sizeof(line))) {
    unsigned char mac[6];
    if (!parse_mac(line, mac)) continue;
    send_mac_msg(mac, MAC_PERMIT);
    ++sent;
  }
  std::fclose(f);
  return sent;
}

int load_exempt_addrs(const char* path) {
  std::FILE* f = core::open_fixed_stream(path);
  if (f == nullptr) return 0;
  int sent = 0;
  char line[kLineSize];
  while (core::read_line(f, line, sizeof(line))) {
    unsigned v[8];
    if (std::sscanf(line, "%u.%u.%u.%u-%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                    &v[6], &v[7]) == 8 &&
        all_octets(v, 8)) {
      uint32_t cur = host_order(v);
      const uint32_t last = host_order(v + 4);
      send_host_order(cur);
      ++sent;
      // Counting up to an end below the start would walk the whole address space.
      while (cur < last) {
        ++cur;
        send_host_order(cur);
        ++sent;
      }
      continue;
    }
    if (std::sscanf(line, "%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3]) == 4 && all_octets(v, 4)) {
      send_host_order(host_order(v));
      ++sent;
    }
  }
  std::fclose(f);
  return sent;
}

}  // namespace kernel
