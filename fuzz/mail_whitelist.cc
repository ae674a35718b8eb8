// The mailbox whitelist on arbitrary contents, through the e-mail login with the whitelist
// in force. The input's first line (at most 63 characters) is the mailbox name, the rest is
// the whitelist file. A name that a plain reading of the file lists goes on to the mail
// server, which refuses (LOGIN_REJECTED); any other gets LOGIN_NOT_LISTED.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "auth/requests.h"
#include "core/paths.h"
#include "core/settings.h"
#include "harness.h"

namespace {

// Listed when a line of the file, cut at its first blank or CR, is the name.
bool listed(const std::string& file, const std::string& user) {
  size_t at = 0;
  while (at < file.size()) {
    size_t end = file.find('\n', at);
    if (end == std::string::npos) end = file.size();
    std::string line = file.substr(at, end - at);
    line = line.substr(0, line.find_first_of(" \r"));
    if (line == user) return true;
    at = end + 1;
  }
  return false;
}

void put_text(unsigned char* request, size_t offset, const char* text) {
  std::memcpy(request + offset, text, std::strlen(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::setup();
  fuzz::begin_input();
  const uint8_t* feed = static_cast<const uint8_t*>(std::memchr(data, '\n', size));
  const size_t name_end = feed != nullptr ? static_cast<size_t>(feed - data) : size;
  std::string user(reinterpret_cast<const char*>(data), std::min(name_end, size_t{63}));
  user = user.substr(0, user.find('\0'));
  const size_t file_at = std::min(size, name_end + 1);
  fuzz::write_fixed(core::kMailWhitelist, data + file_at, size - file_at);
  const std::string file(reinterpret_cast<const char*>(data + file_at), size - file_at);

  core::g_settings.auth_type = core::AUTH_EMAIL;
  core::g_settings.multi_user = 0;
  fuzz::set_nvram("EMAIL_ENABLE_WHITE_LIST", "YES");
  fuzz::set_nvram("WEBAUTH_E_SUFFIX", nullptr);
  fuzz::set_nvram("WEBAUTH_POP3SSL", nullptr);
  fuzz::set_nvram("WEBAUTH_E_PRO", nullptr);

  unsigned char request[auth::kRecordSize] = {};
  request[0] = auth::LOGIN_REQUEST_TYPE;
  std::memcpy(request + auth::kLoginUser.offset, user.data(), user.size());
  put_text(request, auth::kLoginPassword.offset, "secret");
  put_text(request, auth::kLoginClientIp.offset, "10.1.2.3");
  put_text(request, auth::kLoginClientMac.offset, "00:11:22:33:44:55");

  store::UserTable accounts, online;
  const int reply = fuzz::login(request, accounts, online);
  FUZZ_CHECK(reply == (listed(file, user) ? auth::LOGIN_REJECTED : auth::LOGIN_NOT_LISTED));
  FUZZ_CHECK(online.records.empty());
  return 0;
}
