// The exempt address file on arbitrary contents: every address it reports is one
// KIND_EXEMPT_IP KMSG_PERMIT of 360 bytes on the Kernel channel.
//
// A range is expanded address by address, as the file's format asks; an input whose ranges
// would send more than kMaxExpanded permits is passed over, so that the fuzzer spends its
// time on the parser and not on sending millions of messages (the daemon's limits note
// covers wide ranges).
#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/paths.h"
#include "harness.h"
#include "kernel/exempt.h"
#include "kernel/kmsg_layout.h"

namespace {

constexpr uint64_t kMaxExpanded = 4096;

// An upper bound of what the file can send: every text that starts a line (at the start or
// after a line feed) is read as the daemon reads a line, at most 99 characters.
uint64_t most_sent(const uint8_t* data, size_t size) {
  uint64_t total = 0;
  for (size_t at = 0; at <= size; ++at) {
    if (at != 0 && data[at - 1] != '\n') continue;
    size_t end = at;
    while (end < size && end - at < 99 && data[end] != '\n') ++end;
    const std::string line(reinterpret_cast<const char*>(data + at), end - at);
    unsigned v[8];
    if (std::sscanf(line.c_str(), "%u.%u.%u.%u-%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3], &v[4],
                    &v[5], &v[6], &v[7]) == 8) {
      const uint64_t first = (uint64_t{v[0] & 255} << 24) | ((v[1] & 255) << 16) |
                             ((v[2] & 255) << 8) | (v[3] & 255);
      const uint64_t last = (uint64_t{v[4] & 255} << 24) | ((v[5] & 255) << 16) |
                            ((v[6] & 255) << 8) | (v[7] & 255);
      total += last > first ? last - first + 1 : 1;
    } else {
      total += 1;
    }
  }
  return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::setup();
  fuzz::begin_input();
  if (most_sent(data, size) > kMaxExpanded) return -1;
  const std::string path = fuzz::write_fixed(core::kExemptAddrFile, data, size);
  const int count = kernel::load_exempt_addrs(path.c_str());
  const std::vector<fuzz::Bytes> sent = fuzz::kernel_messages();

  FUZZ_CHECK(count >= 0);
  FUZZ_CHECK(static_cast<size_t>(count) == sent.size());
  for (const fuzz::Bytes& m : sent) {
    FUZZ_CHECK(m.size() == KMSG_SIZE);
    FUZZ_CHECK(fuzz::word_at(m.data(), KMSG_OFF_COMMAND) == KMSG_PERMIT);
    FUZZ_CHECK(fuzz::word_at(m.data(), KMSG_OFF_KIND) == KIND_EXEMPT_IP);
  }
  return 0;
}
