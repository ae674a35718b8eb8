// E-mail login: a mailbox whose password the configured mail server accepts.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "auth/front_ends.h"
#include "auth/group_file.h"
#include "auth/mailbox_list.h"
#include "core/event_log.h"
#include "core/paths.h"
#include "core/settings.h"
#include "kernel/kmsg.h"
#include "mail/check_budget.h"
#include "mail/check_pool.h"
#include "mail/mail_check.h"
#include "store/limits.h"
#include "store/registration.h"

namespace auth {
namespace {

constexpr size_t kMaxNameAndSuffix = 88;

// One of the four checks, and the line it writes when the server refuses the login (none for
// POP3 over TLS), which also goes to the log when no worker can take the check.
struct MailCheck {
  int (*run)(const char* host, unsigned int port, const char* user, const char* password);
  const char* refused_line;
};

MailCheck mail_check_for_settings() {
  const bool tls = core::nvram_text("WEBAUTH_POP3SSL") == "YES";
  const bool imap = core::nvram_text("WEBAUTH_E_PRO") == "imap";
  if (tls && imap) {
    return {mail::imaps_check,
            "@#@ log_info n - -  - webident - -v ident.emailident ident.imapsslusererr"};
  }
  if (tls) return {mail::pop3s_check, nullptr};
  if (imap) {
    return {mail::imap_check,
            "@#@ log_info n - -  - webident - -v ident.emailident ident.imapuserpwderr"};
  }
  return {mail::pop3_check,
          "@#@ log_info n - -  - webident - -v ident.emailident  ident.poplogusererr"};
}

// A login whose mail check runs on a worker: its connection and its request.
struct WaitingLogin {
  int fd;
  LoginRequest req;
};

// The pool is made at the first e-mail login and lives as long as the process.
mail::CheckPool* g_pool = nullptr;
std::map<uint64_t, WaitingLogin> g_waiting;  // by check id; the loop's alone
uint64_t g_next_id = 0;

void email_down_line(const store::OnlineUserRecord& old) {
  const std::string ip_mac = store::ip_mac_text(old);
  core::log_token(
      "@#@ log_info n %s - webident - -v ident.emailident  ident.webidentdown  "
      "ident.emailidentname + %s ",
      ip_mac.c_str(), old.name.c_str());
  // fixed text: the words and the number are what the router's tools look for
  std::printf("%s,%d ip: %s %s \r\n", "is_email_online_msg", 2932, ip_mac.c_str(),
              old.name.c_str());
  std::fflush(stdout);
}

// The steps of an e-mail login after its mail check, on the loop: result is what the check
// returned.
void finish_email_login(int fd, const LoginRequest& req, int result, store::UserTable& accounts,
                        store::UserTable& online) {
  if (result < 1) {
    send_reply(fd, LOGIN_REJECTED);
    return;
  }
  // The address may have come on line while the check ran.
  if (store::find_client_by_ip(online, req.client_ip) != store::end(online)) {
    send_reply(fd, LOGIN_OK);
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
  const std::string ip_mac = store::ip_mac_text(r);
  core::log_token(
      "@#@ log_info n  %s  - webident - -v ident.emailident  ident.webidentup  "
      "ident.emailidentname + %s",
      ip_mac.c_str(), r.name.c_str());
}

}  // namespace

bool email_login(int fd, const LoginRequest& req, store::UserTable&, store::UserTable& online) {
  if (store::find_client_by_ip(online, req.client_ip) != store::end(online)) {
    send_reply(fd, LOGIN_OK);
    return false;
  }
  if (core::nvram_text("EMAIL_ENABLE_WHITE_LIST") == "YES" &&
      find_mailbox(core::fixed_path(core::kMailWhitelist).c_str(), req.user) != MAILBOX_LISTED) {
    send_reply(fd, LOGIN_NOT_LISTED);
    return false;
  }
  const std::string suffix = core::nvram_text("WEBAUTH_E_SUFFIX");
  if (req.user.find(suffix) != std::string::npos &&
      req.user.size() + suffix.size() > kMaxNameAndSuffix) {
    send_reply(fd, LOGIN_REJECTED);
    return false;
  }
  const MailCheck check = mail_check_for_settings();
  if (g_pool == nullptr) {
    g_pool = new mail::CheckPool(mail::check_limits().workers, mail::kMaxWaitingChecks);
  }
  const uint64_t id = g_next_id++;
  const std::string host = core::g_settings.mail_server;
  const unsigned port = static_cast<unsigned>(core::g_settings.mail_port);
  const bool queued = g_pool->submit(id, [check, host, port, user = req.user, pw = req.password] {
    return check.run(host.c_str(), port, user.c_str(), pw.c_str());
  });
  if (!queued) {
    // Every worker busy and the queue full: refused now rather than queued without end.
    if (check.refused_line != nullptr) core::log_token("%s", check.refused_line);
    send_reply(fd, LOGIN_REJECTED);
    return false;
  }
  g_waiting.emplace(id, WaitingLogin{fd, req});
  return true;
}

int mail_ready_fd() { return g_pool == nullptr ? -1 : g_pool->ready_fd(); }

void finish_mail_logins(store::UserTable& accounts, store::UserTable& online) {
  if (g_pool == nullptr) return;
  for (const mail::CheckOutcome& outcome : g_pool->take_finished()) {
    const auto w = g_waiting.find(outcome.id);
    if (w == g_waiting.end()) continue;
    const WaitingLogin login = std::move(w->second);
    g_waiting.erase(w);
    // The check's own lines come first, as they were written.
    for (const std::string& line : outcome.lines) core::log_token("%s", line.c_str());
    finish_email_login(login.fd, login.req, outcome.result, accounts, online);
    close(login.fd);
  }
}

void await_mail_logins(store::UserTable& accounts, store::UserTable& online) {
  while (g_pool != nullptr && g_pool->in_flight() > 0) {
    pollfd p{g_pool->ready_fd(), POLLIN, 0};
    poll(&p, 1, 100);
    finish_mail_logins(accounts, online);
  }
}

}  // namespace auth
