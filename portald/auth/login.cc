#include "auth/login.h"

#include <cstring>

#include "auth/front_ends.h"
#include "core/event_log.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "kernel/kmsg.h"
#include "store/limits.h"
#include "store/registration.h"

namespace auth {

namespace {

// Returns true when the front-end keeps the connection (handle_login).
using FrontEnd = bool (*)(int, const LoginRequest&, store::UserTable&, store::UserTable&);

bool account_front_end(int fd, const LoginRequest& req, store::UserTable& accounts,
                       store::UserTable& online) {
  account_login(fd, req, accounts, online);
  return false;
}
bool onekey_front_end(int fd, const LoginRequest& req, store::UserTable&,
                      store::UserTable& online) {
  onekey_login(fd, req, online);
  return false;
}

struct FrontEndEntry {
  int32_t auth_type;
  FrontEnd login;
};

// Every other auth type ("LOCAL", "ADVERT", "WEIXIN") is a one-key login.
const FrontEndEntry kFrontEnds[] = {
    {core::AUTH_USERS, account_front_end},
    {core::AUTH_EMAIL, email_login},
};

}  // namespace

bool handle_login(int fd, const unsigned char* request, store::UserTable& accounts,
                  store::UserTable& online) {
  const LoginRequest req = parse_login_request(request);
  if (req.msg_type != LOGIN_REQUEST_TYPE) return false;
  FrontEnd login = onekey_front_end;
  for (const FrontEndEntry& e : kFrontEnds) {
    if (e.auth_type == core::g_settings.auth_type) login = e.login;
  }
  return login(fd, req, accounts, online);
}

void send_reply(int fd, int32_t result) {
  unsigned char reply[kRecordSize];
  std::memset(reply, 0, sizeof(reply));
  put_word(reply, 0, static_cast<uint32_t>(result));
  core::sock_send(core::SOCK_LOCAL, fd, reply, sizeof(reply));
}

bool single_login_rule(store::UserTable& accounts, store::UserTable& online,
                       const std::string& user,
                       void (*token_line)(const store::OnlineUserRecord& removed)) {
  // An empty name is no account: it would match every nameless record, the exempt hosts and
  // the one-key clients.
  if (core::g_settings.multi_user != 0 || user.empty()) return false;
  const store::Pos p = store::find_by_name(online, user);
  if (p == store::end(online)) return false;
  const store::OnlineUserRecord old = online.records[p];
  if (kernel::addr_valid(old.ip.c_str())) {
    kernel::revoke_or_exit(old.ip, KIND_CLIENT_IP);
  }
  // Without the charge, a daily allowance would start afresh on every other device.
  store::charge_removed_client(accounts, old, store::now_seconds());
  core::log_event("syslog.webauth_userti",
                  store::client_message("syslog.webauth_downuser", old).c_str());
  token_line(old);
  store::remove(online, p);
  return true;
}

void record_client(store::UserTable& online, const store::OnlineUserRecord& r) {
  store::append(online, r);
  store::write_registration_file(online);
}

}  // namespace auth
