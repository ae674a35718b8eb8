// One-key and WeChat login: nothing but the client's address is checked.
#include "auth/front_ends.h"
#include "core/event_log.h"
#include "core/settings.h"
#include "kernel/kmsg.h"
#include "store/limits.h"

namespace auth {

void onekey_login(int fd, const LoginRequest& req, store::UserTable& online) {
  const int32_t now = store::now_seconds();
  const store::Pos known = store::find_by_ip(online, req.client_ip);
  if (known != store::end(online)) {
    // A known address is only refreshed: no reply, no permit, no new registration file.
    store::OnlineUserRecord r = online.records[known];
    r.online = 1;
    r.login_time = now;
    r.ip = req.client_ip;
    r.mac = req.client_mac;
    store::replace(online, known, r);
    core::log_event("syslog.webauth_userti", ("syslog.webauth_onuser " + r.name).c_str());
    core::log_token(
        "@#@ log_info n - -   - webident - -v ident.userident ident.webidentup  "
        "ident.useridentname + %s ",
        r.name.c_str());
    return;
  }

  store::OnlineUserRecord r = store::new_record();
  r.online = 1;
  r.login_time = now;
  r.ip = req.client_ip;
  r.mac = req.client_mac;
  if (kernel::addr_valid(req.client_ip.c_str())) {
    kernel::permit_client(req.client_ip, 0, 0);  // a failed send is not noticed
    const int32_t type = core::g_settings.auth_type;
    if (type == core::AUTH_LOCAL || type == core::AUTH_WEIXIN) send_reply(fd, LOGIN_OK);
    record_client(online, r);
  }
  core::log_event("syslog.webauth_userti", ("syslog.webauth_onuser " + r.name).c_str());
  const std::string ip_mac = store::ip_mac_text(r);
  core::log_token("@#@ log_info n %s  - webident - -v ident.onekeyident ident.webidentup",
                  ip_mac.c_str());
}

}  // namespace auth
