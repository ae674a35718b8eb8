#include "core/startup.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "auth/accounts_file.h"
#include "core/event_log.h"
#include "core/main_loop.h"
#include "core/fatal.h"
#include "core/files.h"
#include "core/instance_lock.h"
#include "core/paths.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "kernel/exempt.h"
#include "kernel/kmsg.h"
#include "kernel/host_whitelist.h"
#include "mail/mail_check.h"
#include "nvram.h"
#include "store/user_table.h"

namespace core {
namespace {

constexpr size_t kMaxServerName = 63;
constexpr size_t kMaxPortText = 6;

// nvram minutes to seconds, in 32-bit signed arithmetic as the kernel receives it.
int32_t minutes(const char* v) {
  return static_cast<int32_t>(static_cast<uint32_t>(std::atoi(v)) * 60u);
}

struct TimeKeys {
  const char* sectype;
  const char* idle_key;
  const char* total_key;
};

const TimeKeys kTypeKeys[] = {
    {"LOCAL", "WEBSEC_YJ_TIMEOUT", "WEBSEC_YJ_ALLTIME"},
    {"ADVERT", "WEBSEC_TP_TIMEOUT", "WEBSEC_TP_ALLTIME"},
    {"WEIXIN", "WEBSEC_WX_TIMEOUT", "WEBSEC_WX_ALLTIME"},
};

// An unset or unknown auth type gives one-key login for every client; say so once, since a
// misspelt value would otherwise let every client in without a word.
void warn_about_sectype(bool set, const std::string& value) {
  if (!set) {
    warn("WEBAUTH_SECTYPE is not set; every client logs in with one key (LOCAL)");
  } else if (auth_type_of(value.c_str()) == AUTH_LOCAL && value != "LOCAL") {
    warn("WEBAUTH_SECTYPE \"%s\" is none of LOCAL, ADVERT, WEIXIN, USERS, EMAIL; "
         "every client logs in with one key (LOCAL)",
         value.c_str());
  }
}

}  // namespace

Timeouts compute_timeouts(const char* sectype) {
  if (sectype != nullptr) {
    for (const TimeKeys& k : kTypeKeys) {
      if (std::strcmp(sectype, k.sectype) != 0) continue;
      const std::string idle = nvram_text(k.idle_key);
      const std::string total = nvram_text(k.total_key);
      return {idle.empty() ? 1800 : minutes(idle.c_str()),
              total.empty() ? 7200 : minutes(total.c_str())};
    }
  }
  const std::string idle = nvram_text("WEBSEC_TIMEOUT");
  const std::string total = nvram_text("WEBAUTH_ALLTIME");
  Timeouts t{};
  if (idle.empty()) {
    t.idle = 1800;
  } else {
    t.idle = std::atoi(idle.c_str()) == 0 ? 600 : minutes(idle.c_str());
  }
  if (total.empty()) {
    t.total = 7200;
  } else {
    t.total = std::atoi(total.c_str()) == 0 ? 2592000 : minutes(total.c_str());
  }
  return t;
}

void start_up(int argc, char** argv) {
  // A reply to a login peer that has gone away must not end the daemon.
  std::signal(SIGPIPE, SIG_IGN);
  // Nor may the signal of a lease broken by someone opening the registration file's spare in
  // the moment the daemon holds one (see rewrite_file).
  std::signal(SIGIO, SIG_IGN);

  // Before anything is written or removed: a refused second daemon leaves no trace.
  hold_instance_lock();

  log_event("syslog.webauth_enable", "");

  int opt;
  bool unknown = false;
  while ((opt = getopt(argc, argv, "d")) != -1) {
    // "-d" changes nothing; getopt itself reports any other option, which changes nothing
    // either.
    if (opt == '?') unknown = true;
  }
  if (unknown) std::fputs("usage: portald [-d]\n", stderr);

  unlink(fixed_path(kRegistrationFile).c_str());
  unlink(spare_beside(fixed_path(kRegistrationFile)).c_str());

  g_settings.multi_user = multi_user_of(nvram_get("WEBAUTH_MULTIUSER"));
  const std::string sectype = nvram_text("WEBAUTH_SECTYPE");
  const bool sectype_set = nvram_get("WEBAUTH_SECTYPE") != nullptr;
  g_settings.auth_type = auth_type_of(sectype_set ? sectype.c_str() : nullptr);
  warn_about_sectype(sectype_set, sectype);

  if (g_settings.auth_type == AUTH_EMAIL) {
    const std::string server = nvram_text("WEBAUTH_POP3SERVER");
    if (server.size() > kMaxServerName) {
      fatal("WEBAUTH_POP3SERVER is %zu characters long; at most %zu are allowed", server.size(),
            kMaxServerName);
    }
    std::memcpy(g_settings.mail_server, server.c_str(), server.size() + 1);
    const std::string port = nvram_text("WEBAUTH_POP3SPORT");
    if (port.size() > kMaxPortText) {
      fatal("WEBAUTH_POP3SPORT \"%s\" is %zu characters long; at most %zu are allowed",
            port.c_str(), port.size(), kMaxPortText);
    }
    g_settings.mail_port = std::atoi(port.c_str());
  }

  if (g_settings.auth_type == AUTH_USERS) {
    auth::load_accounts(fixed_path(kAccountFile).c_str(), store::g_accounts);
  }

  // A socket that cannot be made ends start-up: the daemon is useless without any of them.
  g_settings.login_fd = create_login_socket();
  std::string why;
  g_settings.login_fd = create_login_socket(&why);
  if (g_settings.login_fd == -1) fatal("%s", why.c_str());
  if (listen(g_settings.login_fd, kLoginBacklog) != 0) {
    fatal("cannot listen on the login socket %s: %s", fixed_path(kLoginSocketPath).c_str(),
          std::strerror(errno));
  }
  g_settings.control_fd = create_control_socket(&why);
  if (g_settings.control_fd == -1) fatal("%s", why.c_str());
  g_settings.kernel_fd = create_kernel_channel(&why);
  if (g_settings.kernel_fd == -1) fatal("%s", why.c_str());

  kernel::send_hello();

  if (g_settings.auth_type == AUTH_EMAIL) mail::tls_init();

  const Timeouts t = compute_timeouts(sectype_set ? sectype.c_str() : nullptr);
  kernel::send_timeouts(t.idle, t.total);

  kernel::load_exempt_macs(fixed_path(kExemptMacFile).c_str());
  kernel::load_exempt_addrs(fixed_path(kExemptAddrFile).c_str());

  if (sectype_set && sectype == "WEIXIN") kernel::load_weixin_whitelist();
}

}  // namespace core
