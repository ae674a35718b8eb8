// C++ helpers over the packet builders: whole IPv4 packets as byte vectors.
#ifndef PCAPWRITER_PACKETS_H
#define PCAPWRITER_PACKETS_H

#include <cstdint>
#include <string>
#include <vector>

#include "pcapwriter.h"

namespace packets {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) {
  return a << 24 | b << 16 | c << 8 | d;
}

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline Bytes Tcp(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport,
                 const Bytes& payload = {}, uint8_t flags = PCAPW_ACK) {
  Bytes b(40 + payload.size());
  b.resize(pcapw_build_tcp(b.data(), b.size(), src, dst, sport, dport, flags, 1, 1,
                           payload.data(), payload.size()));
  return b;
}

inline Bytes Udp(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport,
                 const Bytes& payload = {}) {
  Bytes b(28 + payload.size());
  b.resize(pcapw_build_udp(b.data(), b.size(), src, dst, sport, dport, payload.data(),
                           payload.size()));
  return b;
}

inline Bytes Icmp(uint32_t src, uint32_t dst) {
  Bytes b(28);
  b.resize(pcapw_build_icmp(b.data(), b.size(), src, dst, 8, 0, nullptr, 0));
  return b;
}

}  // namespace packets

#endif
