// A control request of arbitrary bytes. The first input byte picks the auth type and the
// multi-user flag; the next 300 bytes are the datagram, zero-filled when shorter. The tables
// live on across inputs: added accounts stay, clients are seeded again when all are gone.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "auth/control.h"
#include "auth/requests.h"
#include "core/settings.h"
#include "harness.h"
#include "kernel/kmsg_layout.h"

namespace {

store::UserTable g_accounts;
store::UserTable g_online;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  unsigned char request[auth::kRecordSize];
  if (!fuzz::start_record_input(data, size, request, sizeof(request))) return 0;
  fuzz::keep_accounts_bounded(g_accounts, 2000);
  fuzz::keep_online_bounded(g_online, 200);

  const size_t online_before = g_online.records.size();
  const size_t accounts_before = g_accounts.records.size();
  auth::handle_control(request, g_accounts, g_online);
  const std::vector<fuzz::Bytes> sent = fuzz::kernel_messages();

  const uint32_t cmd = fuzz::word_at(request, 0);
  const size_t removed = online_before - std::min(online_before, g_online.records.size());
  FUZZ_CHECK(g_online.records.size() <= online_before);
  for (const fuzz::Bytes& m : sent) FUZZ_CHECK(m.size() == KMSG_SIZE);
  switch (cmd) {
    case auth::CTRL_ADD_ACCOUNT:
      FUZZ_CHECK(g_accounts.records.size() == accounts_before + 1);
      FUZZ_CHECK(sent.empty() && removed == 0);
      break;
    case auth::CTRL_REMOVE_ACCOUNT:
      // One revoke per client taken off line, at most one account gone.
      FUZZ_CHECK(sent.size() == removed);
      FUZZ_CHECK(g_accounts.records.size() + 1 >= accounts_before);
      break;
    case auth::CTRL_CUT_CLIENT:
      FUZZ_CHECK(removed <= 1 && sent.size() <= removed);
      FUZZ_CHECK(g_accounts.records.size() == accounts_before);
      break;
    case auth::CTRL_PERMIT_MAC:
    case auth::CTRL_REVOKE_MAC:
      FUZZ_CHECK(sent.size() <= 1 && removed == 0);
      for (const fuzz::Bytes& m : sent) {
        const uint32_t command = fuzz::word_at(m.data(), KMSG_OFF_COMMAND);
        FUZZ_CHECK(command == (cmd == auth::CTRL_PERMIT_MAC ? KMSG_PERMIT : KMSG_MAC_REVOKE));
      }
      break;
    default:
      FUZZ_CHECK(sent.empty() && removed == 0);
      FUZZ_CHECK(g_accounts.records.size() == accounts_before);
      break;
  }
  return 0;
}
