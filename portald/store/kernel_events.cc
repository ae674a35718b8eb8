#include "store/kernel_events.h"

#include <cstring>
#include <string>

#include "core/event_log.h"
#include "core/settings.h"
#include "core/words.h"
#include "kernel/kmsg.h"
#include "store/limits.h"
#include "store/registration.h"

namespace store {
namespace {

struct Event {
  uint32_t addr;  // network byte order
  uint32_t kind;
  unsigned char mac[6];
};

Event decode(const unsigned char* buf) {
  Event e{};
  e.addr = core::load_word(buf, KMSG_OFF_ADDR);
  e.kind = core::load_word(buf, KMSG_OFF_KIND);
  std::memcpy(e.mac, buf + KMSG_OFF_MAC, 6);
  return e;
}

void host_up(const Event& e, UserTable& /*accounts*/, UserTable& online) {
  const int32_t now = now_seconds();
  OnlineUserRecord r = new_record();
  r.kind = static_cast<int32_t>(e.kind);
  r.ip = ip_text(e.addr);
  r.mac = mac_text(e.mac);
  r.created_at = now;
  r.login_time = now;
  r.online = 1;

  const Pos found = find_online_host_by_ip(online, r.ip, r.kind);
  if (found != end(online)) {
    replace(online, found, r);
  } else {
    append(online, r);
  }
  if (e.kind == KIND_MAC) {
    core::log_event("syslog.webauth_macti", ("syslog.webauth_onmac " + r.mac).c_str());
  } else {
    core::log_event("syslog.webauth_ipti", ("syslog.webauth_onip " + r.ip).c_str());
  }
}

void host_down(const Event& e, UserTable& accounts, UserTable& online) {
  const Pos p = find_online_by_ip(online, ip_text(e.addr));
  if (p != end(online)) {
    const OnlineUserRecord r = online.records[p];
    const bool users = core::g_settings.auth_type == core::AUTH_USERS;
    charge_removed_client(accounts, r, now_seconds());

    const std::string ip_mac = ip_mac_text(r);
    if (r.kind == KIND_MAC) {
      core::log_event("syslog.webauth_macti", ("syslog.webauth_downmac " + r.mac).c_str());
      if (users) {
        core::log_token("@#@ log_info n - %s - webident - -v ident.macident  ident.webidentdown",
                        r.mac.c_str());
      } else {
        core::log_token("@#@ log_info n - %s - webident - -v ident.macident ident.webidentdown",
                        r.mac.c_str());
      }
    } else {
      core::log_event("syslog.webauth_ipti",
                      client_message("syslog.webauth_downuser", r).c_str());
      if (users) {
        core::log_token(
            "@#@ log_info n %s  - webident - -v ident.userident  ident.webidentdown "
            "ident.useridentname + %s ",
            ip_mac.c_str(), r.name.c_str());
      } else {
        core::log_token("@#@ log_info n  %s  - webident - -v ident.onekeyident  ident.webidentdown",
                        ip_mac.c_str());
      }
    }
    remove(online, p);
  }
  write_registration_file(online);
}

void recheck(const Event& e, UserTable& /*accounts*/, UserTable& online) {
  const std::string ip = ip_text(e.addr);
  for (Pos i = 0; i < online.records.size(); ++i) {
    const OnlineUserRecord& o = online.records[i];
    if (o.online != 1 || o.ip != ip || o.limit_mode != LIMIT_DATE) continue;
    const int32_t now = now_seconds();
    if (date_limit_holds(o.limit_value, now)) return;
    OnlineUserRecord r = o;
    r.online = 0;
    r.down_time = now;
    replace(online, i, r);
    kernel::revoke(r.ip, KIND_CLIENT_IP);  // a failed send leaves the entry off line all the same
    write_registration_file(online);
    return;
  }
}

struct Handler {
  uint32_t command;
  void (*handle)(const Event&, UserTable&, UserTable&);
};

const Handler kHandlers[] = {
    {KEV_HOST_UP, host_up},
    {KEV_HOST_DOWN, host_down},
    {KEV_RECHECK, recheck},
};

}  // namespace

void handle_kernel_event(const unsigned char* buf, UserTable& accounts, UserTable& online) {
  const uint32_t command = core::load_word(buf, KMSG_OFF_COMMAND);
  for (const Handler& h : kHandlers) {
    if (h.command == command) {
      h.handle(decode(buf), accounts, online);
      return;
    }
  }
}

}  // namespace store
