// A login request of arbitrary bytes under each auth type. The first input byte picks the
// configuration (auth type, multi-user flag, the e-mail login's whitelist, TLS and protocol
// switches); the next 300 bytes are the request, zero-filled when shorter, as the main loop
// hands it over. The tables live on across inputs, so the fuzzer grows them.
#include <cstdint>
#include <cstring>

#include "auth/requests.h"
#include "core/paths.h"
#include "core/settings.h"
#include "harness.h"
#include "kernel/kmsg_layout.h"

namespace {

store::UserTable g_accounts;
store::UserTable g_online;

// The e-mail login's switches, from bits 4 to 7 of the configuration byte.
void configure_mail(uint8_t c) {
  fuzz::set_nvram("EMAIL_ENABLE_WHITE_LIST", (c & 0x10) != 0 ? "YES" : nullptr);
  fuzz::set_nvram("WEBAUTH_POP3SSL", (c & 0x20) != 0 ? "YES" : nullptr);
  fuzz::set_nvram("WEBAUTH_E_PRO", (c & 0x40) != 0 ? "imap" : nullptr);
  fuzz::set_nvram("WEBAUTH_E_SUFFIX", (c & 0x80) != 0 ? "@example.com" : nullptr);
}

// The replies each front-end may send (-1: none).
bool reply_allowed(int32_t auth_type, int reply) {
  if (reply == -1 || reply == auth::LOGIN_OK) return true;
  if (auth_type == core::AUTH_USERS) return reply == auth::LOGIN_LIMIT_REACHED;
  if (auth_type == core::AUTH_EMAIL)
    return reply == auth::LOGIN_REJECTED || reply == auth::LOGIN_NOT_LISTED;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  unsigned char request[auth::kRecordSize];
  if (!fuzz::start_record_input(data, size, request, sizeof(request))) return 0;
  configure_mail(data[0]);
  static const char kListed[] = "alice\nbob@example.com extra words\r\n";
  fuzz::write_fixed(core::kMailWhitelist, reinterpret_cast<const uint8_t*>(kListed),
                    sizeof(kListed) - 1);
  fuzz::keep_accounts_bounded(g_accounts, 2000);
  fuzz::keep_online_bounded(g_online, 500);

  const size_t online_before = g_online.records.size();
  const size_t accounts_before = g_accounts.records.size();
  const int reply = fuzz::login(request, g_accounts, g_online);
  const std::vector<fuzz::Bytes> sent = fuzz::kernel_messages();

  FUZZ_CHECK(reply_allowed(core::g_settings.auth_type, reply));
  FUZZ_CHECK(g_accounts.records.size() == accounts_before);
  if (fuzz::word_at(request, 0) != auth::LOGIN_REQUEST_TYPE) {
    FUZZ_CHECK(reply == -1);
    FUZZ_CHECK(sent.empty());
    FUZZ_CHECK(g_online.records.size() == online_before);
  }
  // At most one client removed by the single-login rule and one added.
  FUZZ_CHECK(g_online.records.size() + 1 >= online_before);
  FUZZ_CHECK(g_online.records.size() <= online_before + 1);
  for (const fuzz::Bytes& m : sent) {
    FUZZ_CHECK(m.size() == KMSG_SIZE);
    const uint32_t command = fuzz::word_at(m.data(), KMSG_OFF_COMMAND);
    FUZZ_CHECK(command == KMSG_PERMIT || command == KMSG_REVOKE);
    FUZZ_CHECK(fuzz::word_at(m.data(), KMSG_OFF_KIND) == KIND_CLIENT_IP);
  }
  // A client is let through only with a valid address: what was admitted is what the
  // request named.
  if (reply == auth::LOGIN_OK && !sent.empty() &&
      fuzz::word_at(sent.back().data(), KMSG_OFF_COMMAND) == KMSG_PERMIT) {
    FUZZ_CHECK(fuzz::word_at(sent.back().data(), KMSG_OFF_ADDR) != 0xffffffffu);
  }
  return 0;
}
