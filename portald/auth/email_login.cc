// E-mail login: a mailbox whose password the configured mail server accepts.
#include <cstdio>
#include <cstring>
#include <string>

#include "auth/front_ends.h"
#include "auth/group_file.h"
#include "auth/mailbox_list.h"
#include "core/event_log.h"
#include "core/paths.h"
#include "core/settings.h"
#include "kernel/kmsg.h"
#include "mail/mail_check.h"
#include "nvram.h"
#include "store/limits.h"
#include "store/registration.h"

namespace auth {
namespace {

constexpr size_t kMaxNameAndSuffix = 88;

std::string nvram_text(const char* key) {
  const char* v = nvram_get(key);
  return v == nullptr ? std::string() : std::string(v);
}

int run_mail_check(const LoginRequest& req) {
  const bool tls = nvram_text("WEBAUTH_POP3SSL") == "YES";
  const bool imap = nvram_text("WEBAUTH_E_PRO") == "imap";
  const char* host = core::g_settings.mail_server;
  const unsigned port = static_cast<unsigned>(core::g_settings.mail_port);
  const char* user = req.user.c_str();
  const char* password = req.password.c_str();
  if (tls && imap) return mail::imaps_check(host, port, user, password);
  if (tls) return mail::pop3s_check(host, port, user, password);
  if (imap) return mail::imap_check(host, port, user, password);
  return mail::pop3_check(host, port, user, password);
}

void email_down_line(const store::OnlineUserRecord& old) {
  const std::string ip_mac = old.ip + " " + old.mac;
  core::log_token(
      "@#@ log_info n %s - webident - -v ident.emailident  ident.webidentdown  "
      "ident.emailidentname + %s ",
      ip_mac.c_str(), old.name.c_str());
  std::printf("%s,%d ip: %s %s \r\n", "is_email_online_msg", 2932, ip_mac.c_str(),
              old.name.c_str());
  std::fflush(stdout);
}

}  // namespace

void email_login(int fd, const LoginRequest& req, store::UserTable& accounts,
                 store::UserTable& online) {
  if (store::find_client_by_ip(online, req.client_ip) != store::end(online)) {
    send_reply(fd, LOGIN_OK);
    return;
  }
  if (nvram_text("EMAIL_ENABLE_WHITE_LIST") == "YES" &&
      find_mailbox(core::fixed_path(core::kMailWhitelist).c_str(), req.user) != MAILBOX_LISTED) {
    send_reply(fd, LOGIN_NOT_LISTED);
    return;
  }
  const std::string suffix = nvram_text("WEBAUTH_E_SUFFIX");
  if (req.user.find(suffix) != std::string::npos &&
      req.user.size() + suffix.size() > kMaxNameAndSuffix) {
    send_reply(fd, LOGIN_REJECTED);
    return;
  }
  if (run_mail_check(req) < 1) {
    send_reply(fd, LOGIN_REJECTED);
    return;
  }
  const bool removed = single_login_rule(accounts, online, req.user, email_down_line);

  // An address the kernel cannot take admits nothing; the daemon goes on.
  if (!kernel::addr_valid(req.client_ip.c_str())) {
    send_reply(fd, LOGIN_REJECTED);
    if (removed) store::write_registration_file(online);
    return;
  }
  kernel::permit_client_or_exit(req.client_ip, 0, 0);
  send_reply(fd, LOGIN_OK);

  store::OnlineUserRecord r = store::new_record();
  r.online = 1;
  r.login_time = store::now_seconds();
  r.name = req.user;
  r.login_extra_word = req.extra_word;
  r.ip = req.client_ip;
  r.mac = req.client_mac;
  record_client(online, r);
  group_file_update(GROUP_ADD, kernel::addr_of(r.ip.c_str()));

  core::log_event("syslog.webauth_userti",
                  store::client_message("syslog.webauth_onuser", r).c_str());
  const std::string ip_mac = r.ip + " " + r.mac;
  core::log_token(
      "@#@ log_info n  %s  - webident - -v ident.emailident  ident.webidentup  "
      "ident.emailidentname + %s",
      ip_mac.c_str(), r.name.c_str());
}

}  // namespace auth
