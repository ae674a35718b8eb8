// Account login: a local account named in the request, with its date or daily limit.
#include "auth/front_ends.h"
#include "core/event_log.h"
#include "kernel/kmsg.h"
#include "store/limits.h"
#include "store/registration.h"

namespace auth {
namespace {

void account_down_line(const store::OnlineUserRecord& old) {
  const std::string ip_mac = store::ip_mac_text(old);
  core::log_token(
      "@#@ log_info n %s  - webident - -v ident.userident  ident.webidentdown "
      "ident.useridentname + %s ",
      ip_mac.c_str(), old.name.c_str());
}

constexpr uint32_t kRecheckSeconds = 600;

// The account's part of a login, after the single-login rule: its limits, the permit, the
// reply and the record. Returns true when the registration file was rewritten.
bool admit_account(int fd, const LoginRequest& req, store::UserTable& accounts,
                   store::UserTable& online) {
  const store::Pos a = store::find_by_name(accounts, req.user);
  if (a == store::end(accounts)) return false;
  store::OnlineUserRecord& acc = accounts.records[a];
  acc.login_extra_word = req.extra_word;

  const int32_t now = store::now_seconds();
  uint32_t quota = 0;
  uint32_t recheck = 0;
  if (acc.limit_mode == store::LIMIT_DAILY) {
    const int32_t left = store::daily_seconds_left(acc, now);
    if (left <= 0) {
      send_reply(fd, LOGIN_LIMIT_REACHED);
      return false;
    }
    quota = static_cast<uint32_t>(left);
  } else if (acc.limit_mode == store::LIMIT_DATE) {
    if (!store::date_limit_holds(acc.limit_value, now)) {
      send_reply(fd, LOGIN_LIMIT_REACHED);
      return false;
    }
    recheck = kRecheckSeconds;
  }

  acc.online = 1;
  acc.login_time = store::now_seconds();
  acc.login_extra_a = req.extra_a;
  acc.ip = req.client_ip;
  acc.mac = req.client_mac;
  acc.login_extra_b = req.extra_b;

  bool recorded = false;
  if (kernel::addr_valid(req.client_ip.c_str())) {
    kernel::permit_client_or_exit(req.client_ip, quota, recheck);
    send_reply(fd, LOGIN_OK);
    record_client(online, acc);
    recorded = true;
  }

  core::log_event("syslog.webauth_userti",
                  store::client_message("syslog.webauth_onuser", acc).c_str());
  const std::string ip_mac = store::ip_mac_text(acc);
  core::log_token(
      "@#@ log_info n %s  - webident - -v ident.userident  ident.webidentup "
      "ident.useridentname +  %s ",
      ip_mac.c_str(), acc.name.c_str());
  return recorded;
}

}  // namespace

void account_login(int fd, const LoginRequest& req, store::UserTable& accounts,
                   store::UserTable& online) {
  if (store::find_by_ip(online, req.client_ip) != store::end(online)) {
    send_reply(fd, LOGIN_OK);
    return;
  }
  // Applied before the account is looked up, so also when the login is refused below.
  const bool removed = single_login_rule(accounts, online, req.user, account_down_line);
  // The list on the web pages must not keep the client just revoked.
  if (!admit_account(fd, req, accounts, online) && removed) {
    store::write_registration_file(online);
  }
}

}  // namespace auth
