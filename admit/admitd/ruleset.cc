#include "ruleset.h"

#include <cmath>

namespace admit {

namespace {

std::string where(const RulesetConfig& c) { return c.family + " " + c.table; }

std::string duration(uint64_t ms) { return std::to_string(ms) + "ms"; }

// What the packet path does with a set element it renews: with the idle time-out, or none.
std::string renew(const char* set, const char* key, uint64_t idle) {
  std::string s = std::string("update @") + set + " { " + key;
  if (idle) s += " timeout " + duration(idle);
  return s + " }";
}

// The rules of lan_out: what a packet from the LAN may do. Admitted clients (by address and
// MAC address, or by address alone where the router knew no MAC address) and exempt hosts
// pass and renew their element, so that its time-out is the idle time-out; everyone else
// reaches only DNS, the whitelist and the login page.
std::string lan_out_rules(const RulesetConfig& c, uint64_t idle) {
  std::string s;
  s += "meta nfproto ipv4 ip saddr . ether saddr @clients " +
       renew("clients", "ip saddr . ether saddr", idle) + " accept\n";
  s += "meta nfproto ipv4 ip saddr @clients_unbound " + renew("clients_unbound", "ip saddr", idle) +
       " accept\n";
  s += "meta nfproto ipv4 ether saddr @exempt_macs " +
       renew("macs_seen", "ip saddr . ether saddr", idle) + " accept\n";
  s += "ether saddr @exempt_macs accept\n";
  s += "meta nfproto ipv4 ip saddr @exempt_addrs " +
       renew("addrs_seen", "ip saddr . ether saddr", idle) + " accept\n";
  s += "udp dport 53 accept\n";
  s += "tcp dport 53 accept\n";
  s += "meta nfproto ipv4 ip daddr @garden accept\n";
  if (c.portal_addr)
    s += "meta nfproto ipv4 ip daddr " + addr_text(c.portal_addr) + " tcp dport " +
         std::to_string(c.portal_port) + " accept\n";
  s += "counter drop\n";
  return s;
}

std::string indent(const std::string& rules, const char* pad) {
  std::string out;
  size_t pos = 0;
  while (pos < rules.size()) {
    size_t nl = rules.find('\n', pos);
    out += pad + rules.substr(pos, nl - pos) + "\n";
    pos = nl + 1;
  }
  return out;
}

bool name_chars(const std::string& name) {
  for (char ch : name) {
    const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                    (ch >= '0' && ch <= '9') || ch == '_' || ch == '-' || ch == '.';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

bool valid_table_name(const std::string& name, std::string* error) {
  if (name.empty() || name.size() > 64 || !name_chars(name) ||
      !((name[0] >= 'a' && name[0] <= 'z') || (name[0] >= 'A' && name[0] <= 'Z'))) {
    *error = "table name '" + name + "': a letter, then letters, digits, '_', '-' or '.' (at most 64)";
    return false;
  }
  return true;
}

bool valid_interface_name(const std::string& name, std::string* error) {
  if (name.empty() || name.size() > 15 || !name_chars(name)) {
    *error = "interface name '" + name + "': 1 to 15 letters, digits, '_', '-' or '.'";
    return false;
  }
  return true;
}

uint64_t idle_ms(uint32_t idle, double time_scale) {
  if (idle == 0) return 0;
  const double ms = std::ceil(idle * 1000.0 / time_scale);
  return ms < 1 ? 1 : static_cast<uint64_t>(ms);
}

std::string create_table(const RulesetConfig& c, uint64_t idle) {
  const std::string w = where(c);
  std::string s = "add table " + w + "\ndelete table " + w + "\n";
  s += "table " + w + " {\n";
  s += "  set clients { type ipv4_addr . ether_addr; flags timeout; size 262144; }\n";
  s += "  set clients_unbound { type ipv4_addr; flags timeout; size 262144; }\n";
  s += "  set exempt_macs { type ether_addr; size 65536; }\n";
  s += "  set exempt_addrs { type ipv4_addr; size 262144; }\n";
  s += "  set macs_seen { type ipv4_addr . ether_addr; flags timeout; size 65536; }\n";
  s += "  set addrs_seen { type ipv4_addr . ether_addr; flags timeout; size 262144; }\n";
  s += "  set garden { type ipv4_addr; size 65536; }\n";
  s += "  chain prerouting {\n";
  s += "    type nat hook prerouting priority dstnat - 5; policy accept;\n";
  s += "    iifname \"" + c.lan + "\" meta nfproto ipv4 jump portal_redirect\n";
  s += "  }\n";
  s += "  chain portal_redirect {\n";
  s += "    fib daddr type local return\n";
  s += "    fib daddr oif \"" + c.lan + "\" return\n";
  s += "    ip saddr . ether saddr @clients return\n";
  s += "    ip saddr @clients_unbound return\n";
  s += "    ether saddr @exempt_macs return\n";
  s += "    ip saddr @exempt_addrs return\n";
  s += "    ip daddr @garden return\n";
  if (c.portal_addr)
    s += "    tcp dport 80 dnat ip to " + addr_text(c.portal_addr) + ":" +
         std::to_string(c.portal_port) + "\n";
  s += "  }\n";
  s += "  chain forward {\n";
  s += "    type filter hook forward priority filter - 5; policy accept;\n";
  s += "    iifname \"" + c.lan + "\" oifname != \"" + c.lan + "\" jump lan_out\n";
  s += "  }\n";
  s += "  chain lan_out {\n" + indent(lan_out_rules(c, idle), "    ") + "  }\n";
  s += "}\n";
  return s;
}

std::string delete_table(const RulesetConfig& c) { return "delete table " + where(c) + "\n"; }

std::string replace_lan_out(const RulesetConfig& c, uint64_t idle) {
  const std::string w = where(c);
  std::string s = "flush chain " + w + " lan_out\n";
  const std::string rules = lan_out_rules(c, idle);
  size_t pos = 0;
  while (pos < rules.size()) {
    size_t nl = rules.find('\n', pos);
    s += "add rule " + w + " lan_out " + rules.substr(pos, nl - pos) + "\n";
    pos = nl + 1;
  }
  return s;
}

std::string flush_sets(const RulesetConfig& c) {
  std::string s;
  for (const char* set : {"clients", "clients_unbound", "exempt_macs", "exempt_addrs",
                          "macs_seen", "addrs_seen", "garden"})
    s += "flush set " + where(c) + " " + set + "\n";
  return s;
}

std::string client_key(uint32_t addr, const Mac* mac) {
  return mac ? addr_text(addr) + " . " + mac_text(*mac) : addr_text(addr);
}

const char* client_set(const Mac* mac) { return mac ? "clients" : "clients_unbound"; }

std::string add_element(const RulesetConfig& c, const char* set, const std::string& key,
                        uint64_t timeout_ms) {
  std::string s = "add element " + where(c) + " " + set + " { " + key;
  if (timeout_ms) s += " timeout " + duration(timeout_ms);
  return s + " }\n";
}

std::string remove_element(const RulesetConfig& c, const char* set, const std::string& key) {
  return "add element " + where(c) + " " + set + " { " + key + " }\ndelete element " + where(c) +
         " " + set + " { " + key + " }\n";
}

std::string list_set(const RulesetConfig& c, const char* set) {
  return "list set " + where(c) + " " + set + "\n";
}

}  // namespace admit
