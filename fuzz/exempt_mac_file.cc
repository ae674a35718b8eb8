// The exempt MAC file on arbitrary contents: every permit it reports is one KIND_MAC
// KMSG_PERMIT of 360 bytes on the Kernel channel, and no line yields more than one.
#include <cstdint>

#include "core/paths.h"
#include "harness.h"
#include "kernel/exempt.h"
#include "kernel/kmsg_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::setup();
  fuzz::begin_input();
  const std::string path = fuzz::write_fixed(core::kExemptMacFile, data, size);
  const int count = kernel::load_exempt_macs(path.c_str());
  const std::vector<fuzz::Bytes> sent = fuzz::kernel_messages();

  size_t lines = 0;
  for (size_t i = 0; i < size; ++i) lines += data[i] == '\n';
  FUZZ_CHECK(count >= 0);
  FUZZ_CHECK(static_cast<size_t>(count) == sent.size());
  FUZZ_CHECK(sent.size() <= lines + 1);
  for (const fuzz::Bytes& m : sent) {
    FUZZ_CHECK(m.size() == KMSG_SIZE);
    FUZZ_CHECK(fuzz::word_at(m.data(), KMSG_OFF_COMMAND) == KMSG_PERMIT);
    FUZZ_CHECK(fuzz::word_at(m.data(), KMSG_OFF_KIND) == KIND_MAC);
  }
  return 0;
}
