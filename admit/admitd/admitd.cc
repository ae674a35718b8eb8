// admitd: the client-admission component for a stock Linux router. It serves the daemon's
// Kernel channel (AF_UNIX form) with the same tables, timers and events as admitsim, and holds
// LAN clients back with its own nftables table: admitted clients, exempt MAC addresses and
// exempt addresses are forwarded, everyone else reaches only DNS, the whitelist and the login
// page, to which their web requests are redirected. Activity comes from the packet path: every
// forwarded packet of a client renews its set element's time-out, which is the idle time-out.
#include <arpa/inet.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "control.h"
#include "kmsg_layout.h"
#include "names.h"
#include "neighbours.h"
#include "nft.h"
#include "ruleset.h"
#include "server.h"
#include "tables.h"
#include "wire.h"

namespace admit {
namespace {

const char kUsage[] =
    "usage: admitd --socket PATH --lan IFACE [--portal ADDR:PORT] [--table NAME]\n"
    "              [--resolver ADDR[:PORT][,...]] [--journal FILE] [--time-scale N]\n"
    "              [--recheck-interval SECONDS]\n"
    "       admitd status --socket PATH [--json]\n"
    "\n"
    "Without a command, runs the admission component on the datagram socket PATH (and its\n"
    "control socket PATH.ctl) until SIGTERM or SIGINT, holding back the clients on the LAN\n"
    "interface IFACE with the nftables table 'inet NAME' (default portald). The table is made\n"
    "at start (replacing one a crash left behind) and removed at exit. --portal is where the\n"
    "clients' web requests (TCP port 80) go until they are admitted: the login page. Whitelist\n"
    "names are resolved with the system's resolver configuration or the --resolver servers.\n"
    "--journal FILE appends one JSON object a line for every message received, every event sent\n"
    "and every change of the table. --time-scale N runs the clock N times faster than real time\n"
    "(the idle time-out too); --recheck-interval sets the simulated seconds between KEV_RECHECK\n"
    "events (default: the permit's recheck_seconds).\n"
    "\n"
    "status prints the clients with their time online, idle time and allowance left, the exempt\n"
    "hosts and the whitelist names with their current addresses; --json as one JSON object.\n";

const double kSeenPoll = 0.25;  // real seconds between looks at the exempt hosts seen

int usage_error(const std::string& what) {
  std::fprintf(stderr, "admitd: %s\n(admitd --help shows the usage)\n", what.c_str());
  return 2;
}

struct Options {
  RulesetConfig rules;
  std::string resolver;
};

class Admitd : public Server {
 public:
  Admitd(const ServerOptions& o, const Options& a) : Server("admitd", o), cfg_(a) {}

 private:
  bool start(std::string* error) override;
  void finish() override;
  void new_session(double t) override;
  std::vector<Event> kernel_message(KernelMessage* km, double t) override;
  void whitelist_message(const WhitelistMessage& wl, double t) override;
  void before_expire(double t) override;
  void expired(const std::vector<Event>& events) override;
  void watch(std::vector<pollfd>* fds, int* wait_ms) override;
  void ready(const pollfd* fds, size_t n) override;
  bool control(const std::vector<std::string>& words, bool* ok, std::string* answer) override;
  std::string status_body(double t) override;

  // Runs one transaction; a failure goes to the journal and standard error.
  bool change(const std::string& commands, const char* what);
  uint64_t idle_ms_now() const { return idle_ms(tables_.idle_timeout(), opt_.time_scale); }
  // The idle time-out's real milliseconds the packet path renews elements with.
  void set_rule_idle(uint64_t ms);
  // Activity of the clients and up hosts at these addresses, from their elements.
  void look_at(const std::vector<uint32_t>& addrs, double t);
  void look_at_seen(double t);
  void look_at_all_clients(double t);
  // The simulated time of a host's last packet, from what is left of its element's time-out.
  double last_packet(double t, uint32_t idle, double expires) const {
    return expires < 0 ? t : t - idle + expires * opt_.time_scale;
  }
  void remove_client(uint32_t addr, const Mac& mac);

  Options cfg_;
  Nft nft_;
  ElementReader reader_;
  Neighbours neighbours_;
  Names names_;
  bool table_made_ = false;
  uint64_t rule_idle_ms_ = 0;
  double next_seen_poll_ = 0;
};

bool is_zero(const Mac& m) {
  for (uint8_t b : m)
    if (b) return false;
  return true;
}

bool Admitd::change(const std::string& commands, const char* what) {
  std::string error;
  const bool ok = nft_.run(commands, &error);
  JsonLine line;
  line.str("msg", "nft").str("what", what).str("commands", commands).boolean("ok", ok);
  if (!ok) {
    line.str("error", error);
    std::fprintf(stderr, "admitd: nft: %s: %s\n", what, error.c_str());
  }
  journal(line, "note");
  return ok;
}

bool Admitd::start(std::string* error) {
  if (!neighbours_.open(cfg_.rules.lan, error) || !reader_.open(error)) return false;
  if (!names_.init(cfg_.resolver, error)) return false;
  std::string nft_error;
  if (!nft_.run(create_table(cfg_.rules, 0), &nft_error)) {
    *error = "cannot make the nftables table " + cfg_.rules.family + " " + cfg_.rules.table +
             ": " + nft_error;
    return false;
  }
  table_made_ = true;
  return true;
}

void Admitd::finish() {
  if (!table_made_) return;
  std::string error;
  if (!nft_.run(delete_table(cfg_.rules), &error))
    std::fprintf(stderr, "admitd: cannot remove the nftables table: %s\n", error.c_str());
  table_made_ = false;
}

void Admitd::set_rule_idle(uint64_t ms) {
  if (ms == rule_idle_ms_) return;
  if (change(replace_lan_out(cfg_.rules, ms), "idle time-out")) rule_idle_ms_ = ms;
}

void Admitd::new_session(double t) {
  (void)t;
  names_.clear();
  change(flush_sets(cfg_.rules), "new session");
  set_rule_idle(0);
}

void Admitd::remove_client(uint32_t addr, const Mac& mac) {
  const Mac* m = is_zero(mac) ? nullptr : &mac;
  change(remove_element(cfg_.rules, client_set(m), client_key(addr, m)), "client held back");
}

std::vector<Event> Admitd::kernel_message(KernelMessage* km, double t) {
  if (km->command == KMSG_PERMIT && km->kind == KIND_CLIENT_IP) {
    // A client is bound to the MAC address the router knows for it now, as it logs in.
    Mac mac{};
    if (!neighbours_.lookup(km->addr, &mac)) mac = Mac{};
    std::string commands, removal;
    auto old = tables_.clients().find(km->addr);
    if (old != tables_.clients().end()) {
      const Mac* m = is_zero(old->second.mac) ? nullptr : &old->second.mac;
      removal = remove_element(cfg_.rules, client_set(m), client_key(km->addr, m));
      commands += removal;
    }
    km->mac = mac;
    std::vector<Event> out = tables_.apply(*km, t);
    const Client& c = tables_.clients().at(km->addr);
    const Mac* m = is_zero(mac) ? nullptr : &mac;
    commands += add_element(cfg_.rules, client_set(m), client_key(km->addr, m),
                            idle_ms(c.idle_limit, opt_.time_scale));
    if (!change(commands, "client admitted")) {
      // Not let through after all: the daemon must not count it online, and an earlier
      // admission of the address must not go on passing.
      if (!removal.empty()) change(removal, "client held back");
      out.push_back(tables_.host_down(km->addr));
      out.back().reason = "the table could not be changed";
    }
    return out;
  }
  if (km->command == KMSG_REVOKE) {
    auto c = tables_.clients().find(km->addr);
    if (c != tables_.clients().end()) remove_client(km->addr, c->second.mac);
    return tables_.apply(*km, t);
  }
  std::vector<Event> out = tables_.apply(*km, t);
  if (km->command == KMSG_TIMEOUTS) {
    set_rule_idle(idle_ms_now());
  } else if (km->command == KMSG_PERMIT && km->kind == KIND_MAC) {
    change(add_element(cfg_.rules, "exempt_macs", mac_text(km->mac), 0), "exempt MAC address");
  } else if (km->command == KMSG_PERMIT && km->kind == KIND_EXEMPT_IP) {
    change(add_element(cfg_.rules, "exempt_addrs", addr_text(km->addr), 0), "exempt address");
  } else if (km->command == KMSG_MAC_REVOKE) {
    std::string commands = remove_element(cfg_.rules, "exempt_macs", mac_text(km->mac));
    for (const Event& e : out)  // the hosts up by that MAC address go down
      commands += remove_element(cfg_.rules, "macs_seen", client_key(e.addr, &e.mac));
    change(commands, "exempt MAC address revoked");
  }
  return out;
}

void Admitd::whitelist_message(const WhitelistMessage& wl, double t) {
  (void)t;
  tables_.apply(wl);
  if (!wl.has_name) return;
  if (wl.type == WL_NAME_TYPE && wl.subtype == WL_NAME_SUBTYPE) names_.add_name(wl.name);
  if (wl.type == WL_ADDR_TYPE && wl.subtype == WL_ADDR_SUBTYPE && wl.has_addr)
    names_.add_fixed(wl.name, wl.addr);
}

void Admitd::look_at(const std::vector<uint32_t>& addrs, double t) {
  for (uint32_t addr : addrs) {
    const char* set;
    std::string key;
    uint32_t idle;
    auto c = tables_.clients().find(addr);
    auto u = tables_.up_hosts().find(addr);
    if (c != tables_.clients().end()) {
      const Mac* m = is_zero(c->second.mac) ? nullptr : &c->second.mac;
      set = client_set(m);
      key = element_key(addr, m);
      idle = c->second.idle_limit;
    } else if (u != tables_.up_hosts().end()) {
      set = u->second.kind == KIND_MAC ? "macs_seen" : "addrs_seen";
      key = element_key(addr, &u->second.mac);
      idle = u->second.idle_limit;
    } else {
      continue;
    }
    // Gone (its time-out ran out in the packet path) or not: expire decides from here.
    double expires;
    if (reader_.get(cfg_.rules.table, set, key, &expires) == 1)
      tables_.active(addr, last_packet(t, idle, expires));
  }
}

void Admitd::look_at_seen(double t) {
  const double real = mono_seconds();
  if (real < next_seen_poll_) return;
  next_seen_poll_ = real + kSeenPoll;
  if (tables_.exempt_macs().empty() && tables_.exempt_addrs().empty()) return;
  for (const char* set : {"macs_seen", "addrs_seen"}) {
    std::string out, error;
    if (!nft_.query(list_set(cfg_.rules, set), &out, &error)) continue;
    for (const SetElement& e : parse_elements(out)) {
      auto u = tables_.up_hosts().find(e.addr);
      if (u != tables_.up_hosts().end()) {
        tables_.active(e.addr, last_packet(t, u->second.idle_limit, e.expires));
        continue;
      }
      if (tables_.clients().count(e.addr)) continue;
      std::string what;
      const std::vector<Event> up = tables_.seen(e.addr, e.mac, t, &what);
      JsonLine note;
      note.str("msg", "seen").str("set", set).str("addr", addr_text(e.addr))
          .str("mac", mac_text(e.mac)).str("result", what);
      journal(note, "note", t);
      send_all(up);
    }
  }
}

void Admitd::look_at_all_clients(double t) {
  for (const char* set : {"clients", "clients_unbound"}) {
    std::string out, error;
    if (!nft_.query(list_set(cfg_.rules, set), &out, &error)) continue;
    for (const SetElement& e : parse_elements(out)) {
      auto c = tables_.clients().find(e.addr);
      if (c != tables_.clients().end())
        tables_.active(e.addr, last_packet(t, c->second.idle_limit, e.expires));
    }
  }
}

void Admitd::before_expire(double t) {
  for (const Names::Change& ch : names_.tick(mono_seconds())) {
    const std::string a = addr_text(ch.addr);
    change(ch.add ? add_element(cfg_.rules, "garden", a, 0)
                  : remove_element(cfg_.rules, "garden", a),
           ch.add ? "whitelist address" : "whitelist address expired");
  }
  look_at_seen(t);
  look_at(tables_.idle_due(t), t);
}

void Admitd::expired(const std::vector<Event>& events) {
  for (const Event& e : events)
    if (e.code == KEV_HOST_DOWN && e.kind == KIND_CLIENT_IP) remove_client(e.addr, e.mac);
}

void Admitd::watch(std::vector<pollfd>* fds, int* wait_ms) {
  names_.watch(fds, wait_ms, mono_seconds());
  if (!tables_.exempt_macs().empty() || !tables_.exempt_addrs().empty()) {
    const int ms = static_cast<int>(std::ceil((next_seen_poll_ - mono_seconds()) * 1000));
    if (*wait_ms < 0 || ms < *wait_ms) *wait_ms = ms < 0 ? 0 : ms;
  }
}

void Admitd::ready(const pollfd* fds, size_t n) { names_.ready(fds, n); }

std::string Admitd::status_body(double t) {
  look_at_all_clients(t);
  return "table: " + cfg_.rules.family + " " + cfg_.rules.table + ", LAN " + cfg_.rules.lan +
         "\n" + tables_.status(t) + names_.status(mono_seconds());
}

bool Admitd::control(const std::vector<std::string>& words, bool* ok, std::string* answer) {
  if (words.size() != 2 || words[0] != "status" || words[1] != "--json") return false;
  const double t = now();
  look_at_all_clients(t);
  std::string body = tables_.status_json(t);
  body.pop_back();  // '}'
  JsonLine head;
  head.str("table", cfg_.rules.family + " " + cfg_.rules.table).str("lan", cfg_.rules.lan)
      .boolean("daemon_known", daemon_known()).num("clock", t).num("time_scale", opt_.time_scale);
  std::string h = head.text();
  h.pop_back();
  *answer = h + "," + body.substr(1) + ",\"whitelist\":" + names_.status_json(mono_seconds()) +
            "}\n";
  *ok = answer->size() <= kAnswerMax;
  if (!*ok)  // never JSON cut in the middle
    *answer = "the status (" + std::to_string(answer->size()) + " bytes) is longer than an answer can be";
  return true;
}

bool parse_portal(const std::string& text, RulesetConfig* c) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  uint32_t port;
  if (!parse_addr(text.substr(0, colon), &c->portal_addr) || c->portal_addr == 0 ||
      !parse_u32(text.substr(colon + 1), &port) || port == 0 || port > 65535)
    return false;
  c->portal_port = static_cast<uint16_t>(port);
  return true;
}

int status_main(int argc, char** argv) {
  std::vector<std::pair<std::string, std::string>> opts;
  std::vector<std::string> words;
  std::string error, socket;
  bool help = false, json = false;
  if (!split_args(argc, argv, 2, {"--socket"}, {"--json"}, &opts, &words, &error, &help))
    return usage_error(error);
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  for (const auto& o : opts) {
    if (o.first == "--socket") socket = o.second;
    else json = true;
  }
  if (socket.empty()) return usage_error("status needs --socket PATH");
  if (!words.empty()) return usage_error("status takes no further arguments");
  return control_command("admitd", socket, json ? "status\n--json" : "status");
}

int server_main(int argc, char** argv) {
  std::vector<std::pair<std::string, std::string>> opts;
  std::vector<std::string> words;
  std::string error;
  bool help = false;
  std::vector<std::string> names = server_option_names();
  names.insert(names.end(), {"--lan", "--portal", "--table", "--resolver"});
  if (!split_args(argc, argv, 1, names, {}, &opts, &words, &error, &help))
    return usage_error(error);
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!words.empty()) return usage_error("unknown command '" + words[0] + "'");
  ServerOptions o;
  Options a;
  for (const auto& kv : opts) {
    const std::string& v = kv.second;
    const int taken = take_server_option(kv.first, v, &o, &error);
    if (taken < 0) return usage_error(error);
    if (taken > 0) continue;
    if (kv.first == "--lan") {
      if (!valid_interface_name(v, &error)) return usage_error(error);
      a.rules.lan = v;
    } else if (kv.first == "--portal") {
      if (!parse_portal(v, &a.rules))
        return usage_error("--portal needs ADDR:PORT (an IPv4 address and a port), not '" + v + "'");
    } else if (kv.first == "--table") {
      if (!valid_table_name(v, &error)) return usage_error(error);
      a.rules.table = v;
    } else {
      a.resolver = v;
    }
  }
  if (o.socket.empty()) return usage_error("--socket PATH is required");
  if (a.rules.lan.empty()) return usage_error("--lan IFACE is required");
  Admitd server(o, a);
  return server.run();
}

}  // namespace
}  // namespace admit

int main(int argc, char** argv) {
  if (argc >= 2 && !std::strcmp(argv[1], "status")) return admit::status_main(argc, argv);
  return admit::server_main(argc, argv);
}
