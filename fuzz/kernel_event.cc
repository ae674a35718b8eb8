// A Kernel event of arbitrary bytes: the first input byte picks the auth type, the next 360
// bytes are the datagram, zero-filled when shorter, as the main loop hands it over. The
// tables live on across inputs; host-up events grow the online-user table.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/settings.h"
#include "harness.h"
#include "kernel/kmsg_layout.h"
#include "store/kernel_events.h"

namespace {

store::UserTable g_accounts;
store::UserTable g_online;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  unsigned char event[KMSG_SIZE];
  if (!fuzz::start_record_input(data, size, event, sizeof(event))) return 0;
  fuzz::keep_accounts_bounded(g_accounts, 100);
  fuzz::keep_online_bounded(g_online, 200);

  const size_t before = g_online.records.size();
  const size_t online_before = static_cast<size_t>(
      std::count_if(g_online.records.begin(), g_online.records.end(),
                    [](const store::OnlineUserRecord& r) { return r.online == 1; }));
  store::handle_kernel_event(event, g_accounts, g_online);
  const std::vector<fuzz::Bytes> sent = fuzz::kernel_messages();
  const size_t after = g_online.records.size();
  const size_t online_after = static_cast<size_t>(
      std::count_if(g_online.records.begin(), g_online.records.end(),
                    [](const store::OnlineUserRecord& r) { return r.online == 1; }));

  switch (fuzz::word_at(event, KMSG_OFF_COMMAND)) {
    case KEV_HOST_UP:
      FUZZ_CHECK(after == before || after == before + 1);
      FUZZ_CHECK(sent.empty());
      break;
    case KEV_HOST_DOWN:
      FUZZ_CHECK(after == before || after + 1 == before);
      FUZZ_CHECK(sent.empty());
      break;
    case KEV_RECHECK:
      // At most one client goes off line, and it alone is revoked.
      FUZZ_CHECK(after == before);
      FUZZ_CHECK(online_after == online_before || online_after + 1 == online_before);
      FUZZ_CHECK(sent.size() == online_before - online_after);
      for (const fuzz::Bytes& m : sent) {
        FUZZ_CHECK(m.size() == KMSG_SIZE);
        FUZZ_CHECK(fuzz::word_at(m.data(), KMSG_OFF_COMMAND) == KMSG_REVOKE);
        FUZZ_CHECK(fuzz::word_at(m.data(), KMSG_OFF_KIND) == KIND_CLIENT_IP);
      }
      break;
    default:
      FUZZ_CHECK(after == before && online_after == online_before && sent.empty());
      break;
  }
  return 0;
}
