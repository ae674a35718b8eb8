#include "overview.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <vector>

#include "client.h"
#include "control.h"
#include "core/instance_lock.h"
#include "core/paths.h"
#include "core/settings.h"
#include "kernel/kmsg.h"
#include "nvram.h"
#include "registration_list.h"
#include "status_view.h"
#include "wire.h"

namespace portalctl {
namespace {

constexpr int kExitNotRunning = 3;
constexpr int kExitCannotTell = 4;

struct Admission {
  bool reachable = false;
  std::string why;  // when not reachable
  admit::StatusView view;
};

Admission ask_admission(const std::string& socket) {
  Admission a;
  if (socket.empty()) {
    a.why = "no admission component socket is known";
    return a;
  }
  std::string text;
  if (admit::control_call("admission component", socket, "status", &text) != 0) {
    a.why = text;
    return a;
  }
  a.reachable = true;
  a.view = admit::parse_status(text);
  return a;
}

std::string local_time(int64_t t) {
  const time_t tt = static_cast<time_t>(t);
  tm parts{};
  char buf[32] = "?";
  if (localtime_r(&tt, &parts) != nullptr) std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &parts);
  return buf;
}

// "2d 3h", "1h 59m", "29m 58s", "45s"; "-" for no limit.
std::string duration(long long s) {
  if (s < 0) return "-";
  const long long d = s / 86400, h = s % 86400 / 3600, m = s % 3600 / 60, sec = s % 60;
  char buf[48];
  if (d > 0) std::snprintf(buf, sizeof buf, "%lldd %lldh", d, h);
  else if (h > 0) std::snprintf(buf, sizeof buf, "%lldh %lldm", h, m);
  else if (m > 0) std::snprintf(buf, sizeof buf, "%lldm %llds", m, sec);
  else std::snprintf(buf, sizeof buf, "%llds", sec);
  return buf;
}

std::string auth_text(int64_t type) {
  const char* name = core::auth_type_name(type);
  return name != nullptr ? name : std::to_string(type);
}

void print_row(const std::vector<std::string>& cells, const std::vector<size_t>& widths) {
  std::string line;
  for (size_t i = 0; i < cells.size(); ++i) {
    line += cells[i];
    if (i + 1 < cells.size()) line += std::string(widths[i] - cells[i].size() + 2, ' ');
  }
  std::puts(line.c_str());
}

std::string json_list(const std::vector<std::string>& items) {
  std::string s = "[";
  for (const std::string& i : items) s += (s.size() > 1 ? "," : "") + admit::json_quote(i);
  return s + "]";
}

std::string admission_json(const std::string& socket, const Admission& a) {
  admit::JsonLine j;
  j.str("socket", socket).boolean("reachable", a.reachable);
  if (!a.reachable) return j.str("why", a.why).text();
  const admit::StatusView& v = a.view;
  if (v.idle_timeout >= 0) j.num("idle_timeout", static_cast<uint64_t>(v.idle_timeout));
  if (v.total_online_time >= 0) j.num("total_online_time", static_cast<uint64_t>(v.total_online_time));
  j.num("clients", uint64_t{v.clients.size()})
      .raw("exempt_macs", json_list(v.exempt_macs))
      .raw("exempt_addrs", json_list(v.exempt_addrs))
      .raw("hosts_up", json_list(v.hosts_up));
  return j.text();
}

// The account names of the account file: the first field of each line.
bool in_account_file(const std::string& name) {
  std::ifstream f(core::fixed_path(core::kAccountFile));
  for (std::string line; std::getline(f, line);) {
    if (line.substr(0, line.find(' ')) == name) return true;
  }
  return false;
}

// The exempt MAC file's addresses, compared as six numbers the way the daemon reads them.
bool same_mac(const std::string& a, const std::string& b) {
  unsigned char x[6], y[6];
  return kernel::parse_mac(a.c_str(), x) && kernel::parse_mac(b.c_str(), y) &&
         std::memcmp(x, y, sizeof x) == 0;
}

}  // namespace

int list_command(const std::string& admit_socket, bool json) {
  const std::vector<client::OnlineClient> online = client::read_online_list();
  const Admission a = online.empty() ? Admission{} : ask_admission(admit_socket);
  if (json) {
    std::string list = "[";
    for (const client::OnlineClient& c : online) {
      admit::JsonLine j;
      j.str("name", c.name).str("ip", c.ip).str("mac", c.mac)
          .num("login_time", static_cast<uint64_t>(c.login_time))
          .str("login_local", local_time(c.login_time)).str("auth_type", auth_text(c.auth_type));
      const auto left = a.view.clients.find(c.ip);
      if (a.reachable) j.boolean("admitted", left != a.view.clients.end());
      if (left != a.view.clients.end()) {
        if (left->second.online >= 0) j.num("online_left", static_cast<uint64_t>(left->second.online));
        if (left->second.quota >= 0) j.num("quota_left", static_cast<uint64_t>(left->second.quota));
        if (left->second.idle >= 0) j.num("idle_left", static_cast<uint64_t>(left->second.idle));
      }
      list += (list.size() > 1 ? "," : "") + j.text();
    }
    admit::JsonLine out;
    out.str("registration_file", core::fixed_path(core::kRegistrationFile)).raw("clients", list + "]");
    if (!online.empty()) out.raw("admission", admission_json(admit_socket, a));
    std::puts(out.text().c_str());
    return 0;
  }
  if (online.empty()) {
    std::puts("no client is online");
    return 0;
  }
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"NAME", "ADDRESS", "MAC", "LOGGED IN", "AUTH"});
  if (a.reachable) rows[0].insert(rows[0].end(), {"ONLINE LEFT", "TODAY LEFT", "IDLE LEFT"});
  for (const client::OnlineClient& c : online) {
    std::vector<std::string> row = {c.name.empty() ? "-" : c.name, c.ip, c.mac,
                                    local_time(c.login_time), auth_text(c.auth_type)};
    if (a.reachable) {
      const auto left = a.view.clients.find(c.ip);
      if (left == a.view.clients.end()) {
        row.insert(row.end(), {"not admitted", "", ""});
      } else {
        row.insert(row.end(), {duration(left->second.online), duration(left->second.quota),
                               duration(left->second.idle)});
      }
    }
    rows.push_back(row);
  }
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const auto& r : rows) {
    for (size_t i = 0; i < r.size(); ++i) widths[i] = std::max(widths[i], r[i].size());
  }
  for (const auto& r : rows) print_row(r, widths);
  if (!a.reachable) std::printf("(time left unknown: %s)\n", a.why.c_str());
  return 0;
}

int status_command(const std::string& admit_socket, bool json) {
  const std::string lock = core::fixed_path(core::kLockFile);
  const long pid = core::lock_holder(lock);
  const std::vector<client::OnlineClient> online = client::read_online_list();
  // The auth type in force is on every line of the registration file; without one, the
  // value the daemon reads at its next start.
  const char* sectype = nvram_get("WEBAUTH_SECTYPE");
  const std::string nvram_type = auth_text(core::auth_type_of(sectype));
  const bool from_file = !online.empty();
  const std::string in_force = from_file ? auth_text(online[0].auth_type) : nvram_type;
  const Admission a = ask_admission(admit_socket);
  if (json) {
    admit::JsonLine j;
    if (pid < 0) {
      j.raw("running", "null");
    } else {
      j.boolean("running", pid > 0);
    }
    if (pid > 0) j.num("pid", static_cast<uint64_t>(pid));
    j.str("lock_file", lock).str("auth_type", in_force)
        .str("auth_type_from", from_file ? "registration file" : "nvram")
        .str("nvram_sectype", sectype != nullptr ? sectype : "")
        .num("clients_online", uint64_t{online.size()})
        .str("registration_file", core::fixed_path(core::kRegistrationFile))
        .raw("admission", admission_json(admit_socket, a));
    std::puts(j.text().c_str());
    return pid > 0 ? 0 : pid < 0 ? kExitCannotTell : kExitNotRunning;
  }
  if (pid > 0) std::printf("portald: running (process %ld)\n", pid);
  else if (pid < 0) std::printf("portald: unknown (only portald's user may read %s)\n", lock.c_str());
  else std::printf("portald: not running (no process holds %s)\n", lock.c_str());
  std::printf("auth type: %s", in_force.c_str());
  if (from_file && nvram_type != in_force) {
    std::printf(" (nvram now gives %s, from the next start)", nvram_type.c_str());
  } else if (!from_file) {
    std::printf(sectype == nullptr ? " (WEBAUTH_SECTYPE is not set)" : " (from nvram)");
  }
  std::printf("\nclients online: %zu\n", online.size());
  if (!a.reachable) {
    std::printf("admission component: not reachable (%s)\n", a.why.c_str());
  } else {
    const admit::StatusView& v = a.view;
    std::printf("admission component at %s: clients admitted %zu, exempt MAC addresses %zu, "
                "exempt addresses %zu, exempt hosts up %zu\n",
                admit_socket.c_str(), v.clients.size(), v.exempt_macs.size(), v.exempt_addrs.size(),
                v.hosts_up.size());
    if (v.idle_timeout >= 0) {
      std::printf("time-outs: idle %s, total online %s\n",
                  v.idle_timeout ? duration(v.idle_timeout).c_str() : "none",
                  v.total_online_time ? duration(v.total_online_time).c_str() : "none");
    }
  }
  return pid > 0 ? 0 : pid < 0 ? kExitCannotTell : kExitNotRunning;
}

std::string cut_unmatched(const std::string& ip, const std::string& admit_socket) {
  if (client::is_online(client::read_online_list(), ip)) return "";
  const Admission a = ask_admission(admit_socket);
  for (const std::string& up : a.view.hosts_up) {
    if (up == ip) return "";
  }
  return ip + " is not online (not in " + core::fixed_path(core::kRegistrationFile) +
         (a.reachable ? " nor among the exempt hosts up" : "") + "); nothing was cut";
}

std::string remove_unmatched(const std::string& name) {
  for (const client::OnlineClient& c : client::read_online_list()) {
    if (c.name == name) return "";
  }
  if (in_account_file(name)) return "";
  return "no client of '" + name + "' is online and " + core::fixed_path(core::kAccountFile) +
         " has no such account (one added with add-account is not listed there)";
}

std::string revoke_unmatched(const std::string& mac, const std::string& admit_socket) {
  std::ifstream f(core::fixed_path(core::kExemptMacFile));
  for (std::string line; std::getline(f, line);) {
    if (same_mac(line, mac)) return "";
  }
  const Admission a = ask_admission(admit_socket);
  for (const std::string& m : a.view.exempt_macs) {
    if (same_mac(m, mac)) return "";
  }
  return mac + " is not in " + core::fixed_path(core::kExemptMacFile) +
         (a.reachable ? " nor among the admission component's exempt MAC addresses"
                      : " and the admission component cannot be asked (" + a.why + ")");
}

}  // namespace portalctl
