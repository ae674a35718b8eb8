// 32-bit words in the host's byte order at any offset of a byte buffer: the request records,
// the Kernel messages and the whitelist records all carry their integers this way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace core {

inline uint32_t load_word(const unsigned char* buf, size_t offset) {
  uint32_t v;
  std::memcpy(&v, buf + offset, sizeof(v));
  return v;
}

inline void store_word(unsigned char* buf, size_t offset, uint32_t value) {
  std::memcpy(buf + offset, &value, sizeof(value));
}

}  // namespace core
