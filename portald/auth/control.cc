#include "auth/control.h"

#include "auth/accounts_file.h"
#include "auth/group_file.h"
#include "auth/requests.h"
#include "core/event_log.h"
#include "core/settings.h"
#include "kernel/kmsg.h"
#include "store/limits.h"
#include "store/registration.h"

namespace auth {
namespace {

using store::UserTable;

void add_account(const unsigned char* req, UserTable& accounts, UserTable&) {
  store::OnlineUserRecord r = store::new_record();
  r.note = field_text(req, kCtrlNote);
  r.name = field_text(req, kCtrlUser);
  r.created_at = store::now_seconds();
  apply_limit_text(r, field_text(req, kCtrlValidity));
  store::append(accounts, r);
  core::log_event("syslog.webauth_userti", ("syslog.webauth_user " + r.name).c_str());
  core::log_token(
      "@#@ log_info n - - - webident - -v ident.userident ident.webidentup  "
      "ident.useridentname + %s",
      r.name.c_str());
}

void remove_account(const unsigned char* req, UserTable& accounts, UserTable& online) {
  const std::string user = field_text(req, kCtrlUser);
  for (;;) {
    const store::Pos p = store::find_by_name(online, user);
    if (p == store::end(online)) break;
    // The kind word stays 0 here, and the revoke goes out even for an invalid address.
    kernel::revoke_or_exit(online.records[p].ip, 0);
    store::remove(online, p);
    if (core::g_settings.multi_user == 0) break;
  }
  store::write_registration_file(online);

  const store::Pos a = store::find_by_name(accounts, user);
  if (a == store::end(accounts)) return;
  const std::string name = accounts.records[a].name;
  core::log_event("syslog.webauth_userti", ("syslog.webauth_logoutuser " + name).c_str());
  core::log_token("@#@ log_info n - - - webident - -v ident.userident ident.webidentdown  %s",
                  name.c_str());
  store::remove(accounts, a);
}

void cut_client(const unsigned char* req, UserTable& accounts, UserTable& online) {
  const std::string cut_ip = field_text(req, kCtrlCutIp);
  const store::Pos p = store::find_by_ip(online, cut_ip);
  if (p == store::end(online)) return;
  const store::OnlineUserRecord r = online.records[p];
  if (r.limit_mode == store::LIMIT_DAILY) {
    store::charge_daily_usage(accounts, r.name, store::now_seconds());
  }
  if (kernel::addr_valid(r.ip.c_str())) {
    kernel::revoke_or_exit(r.ip, KIND_CLIENT_IP);
  }
  core::log_event("syslog.webauth_userti",
                  store::client_message("syslog.webauth_downuser", r).c_str());
  const std::string ip_mac = store::ip_mac_text(r);
  core::log_token(
      "@#@ log_info n %s - webident - -v ident.webidentdown ident.identcuted ident.cutname + %s ",
      ip_mac.c_str(), r.name.c_str());
  store::remove(online, p);
  store::write_registration_file(online);
  group_file_update(GROUP_REMOVE, kernel::addr_of(cut_ip.c_str()));
}

void permit_mac(const unsigned char* req, UserTable&, UserTable&) {
  unsigned char mac[6];
  if (kernel::parse_mac(field_text(req, kCtrlPermitMac).c_str(), mac)) kernel::send_mac_msg(mac, kernel::MAC_PERMIT);
}

void revoke_mac(const unsigned char* req, UserTable&, UserTable&) {
  unsigned char mac[6];
  if (kernel::parse_mac(field_text(req, kCtrlRevokeMac).c_str(), mac)) kernel::send_mac_msg(mac, kernel::MAC_REVOKE);
}

struct Command {
  uint32_t code;
  void (*handle)(const unsigned char*, UserTable&, UserTable&);
};

const Command kCommands[] = {
    {CTRL_ADD_ACCOUNT, add_account}, {CTRL_REMOVE_ACCOUNT, remove_account},
    {CTRL_CUT_CLIENT, cut_client},   {CTRL_PERMIT_MAC, permit_mac},
    {CTRL_REVOKE_MAC, revoke_mac},
};

}  // namespace

void handle_control(const unsigned char* request, UserTable& accounts, UserTable& online) {
  const uint32_t cmd = record_word(request, kCtrlOffCmd);
  for (const Command& c : kCommands) {
    if (c.code == cmd) {
      c.handle(request, accounts, online);
      return;
    }
  }
}

}  // namespace auth
