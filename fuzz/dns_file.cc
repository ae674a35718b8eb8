// The WeChat DNS file on arbitrary contents: every record it reports is one whitelist
// message on the Kernel channel whose netlink length is its size, of message type
// WL_NLMSG_TYPE, a WL_NAME record carrying one name attribute in DNS wire form that stays
// inside the message.
#include <cstdint>
#include <cstring>

#include "core/paths.h"
#include "harness.h"
#include "kernel/kmsg_layout.h"
#include "kernel/host_whitelist.h"

namespace {

uint16_t half_at(const unsigned char* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

// A name in DNS wire form without its closing zero byte: at least two labels of 1 to 63
// characters, each after its length byte, filling the attribute exactly.
bool wire_name_ok(const unsigned char* p, size_t n) {
  size_t at = 0;
  int labels = 0;
  while (at < n) {
    if (p[at] == 0 || p[at] > 63) return false;
    at += 1 + p[at];
    ++labels;
  }
  return at == n && labels >= 2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::setup();
  fuzz::begin_input();
  const std::string path = fuzz::write_fixed(core::kWeixinDnsFile, data, size);
  const int count = kernel::load_dns_file(path.c_str());
  const std::vector<fuzz::Bytes> sent = fuzz::kernel_messages();

  FUZZ_CHECK(count >= 0);
  FUZZ_CHECK(static_cast<size_t>(count) == sent.size());
  constexpr size_t kHeaders = 16 + WL_FAMILY_HDR_LEN;
  for (const fuzz::Bytes& m : sent) {
    FUZZ_CHECK(m.size() >= kHeaders + 4);
    FUZZ_CHECK(fuzz::word_at(m.data(), 0) == m.size());
    FUZZ_CHECK(half_at(m.data() + 4) == WL_NLMSG_TYPE);
    FUZZ_CHECK(fuzz::word_at(m.data(), 16 + WL_FAMILY_OFF_TYPE) == WL_NAME_TYPE);
    FUZZ_CHECK(fuzz::word_at(m.data(), 16 + WL_FAMILY_OFF_SUBTYPE) == WL_NAME_SUBTYPE);
    const unsigned char* attr = m.data() + kHeaders;
    const uint16_t attr_len = half_at(attr);
    FUZZ_CHECK(half_at(attr + 2) == WL_ATTR_NAME);
    FUZZ_CHECK(attr_len >= 4 && kHeaders + attr_len <= m.size());
    FUZZ_CHECK(wire_name_ok(attr + 4, attr_len - 4u));
  }
  return 0;
}
