#include "tables.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "kmsg_layout.h"

namespace admit {

namespace {

const double kNever = std::numeric_limits<double>::infinity();

std::string secs(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.0f s", s < 0 ? 0.0 : std::floor(s));
  return buf;
}

}  // namespace

std::vector<Event> Tables::apply(const KernelMessage& m, double now) {
  std::vector<Event> out;
  switch (m.command) {
    case KMSG_TIMEOUTS:
      timeouts_known_ = true;
      idle_ = m.addr;
      total_ = m.kind;
      break;
    case KMSG_PERMIT:
      if (m.kind == KIND_MAC) {
        exempt_macs_.insert(m.mac);
      } else if (m.kind == KIND_EXEMPT_IP) {
        exempt_addrs_.insert(m.addr);
      } else if (m.kind == KIND_CLIENT_IP) {
        // A permit for an address already admitted admits it anew.
        Client c;
        c.admitted_at = c.last_seen = now;
        c.idle_limit = idle_;
        c.total_limit = total_;
        c.quota_seconds = m.quota;
        c.recheck_seconds = m.recheck;
        if (m.recheck != 0) c.recheck_interval = recheck_interval_ > 0 ? recheck_interval_ : m.recheck;
        c.next_recheck = now + c.recheck_interval;
        c.mac = m.mac;
        clients_[m.addr] = c;
      }
      break;
    case KMSG_REVOKE:
      // The daemon took the client off itself: no host-down for it.
      clients_.erase(m.addr);
      break;
    case KMSG_MAC_REVOKE: {
      exempt_macs_.erase(m.mac);
      // A host let through by that MAC address no longer passes; the daemon keeps its entry
      // until it hears so.
      for (auto it = up_.begin(); it != up_.end();) {
        if (it->second.kind == KIND_MAC && it->second.mac == m.mac) {
          out.push_back(Event{KEV_HOST_DOWN, it->first, it->second.kind, it->second.mac,
                              "mac revoked"});
          it = up_.erase(it);
        } else {
          ++it;
        }
      }
      break;
    }
    default:
      break;
  }
  return out;
}

void Tables::apply(const WhitelistMessage& m) {
  const bool name = m.type == WL_NAME_TYPE && m.subtype == WL_NAME_SUBTYPE;
  const bool addr = m.type == WL_ADDR_TYPE && m.subtype == WL_ADDR_SUBTYPE;
  if (!m.has_name || !(name || addr)) return;
  wl_names_.insert(m.name);
  if (addr && m.has_addr) wl_addrs_.insert({m.name, m.addr});
}

double Tables::down_at(const Client& c, const char** reason) const {
  double at = kNever;
  *reason = nullptr;
  auto consider = [&](double t, const char* why) {
    if (t < at) {
      at = t;
      *reason = why;
    }
  };
  if (c.idle_limit) consider(c.last_seen + c.idle_limit, "idle time-out");
  if (c.total_limit) consider(c.admitted_at + c.total_limit, "total online time");
  if (c.quota_seconds) consider(c.admitted_at + c.quota_seconds, "quota used up");
  return at;
}

std::vector<Event> Tables::expire(double now) {
  std::vector<Event> out;
  for (auto it = clients_.begin(); it != clients_.end();) {
    Client& c = it->second;
    const char* reason;
    const double down = down_at(c, &reason);
    if (c.recheck_interval > 0 && c.next_recheck <= now && c.next_recheck < down) {
      out.push_back(Event{KEV_RECHECK, it->first, KIND_CLIENT_IP, c.mac, "recheck interval"});
      c.next_recheck += c.recheck_interval;
      // Re-checks missed while the clock jumped are not made up for.
      if (c.next_recheck <= now) c.next_recheck = now + c.recheck_interval;
    }
    if (down <= now) {
      out.push_back(Event{KEV_HOST_DOWN, it->first, KIND_CLIENT_IP, c.mac, reason});
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = up_.begin(); it != up_.end();) {
    const UpHost& h = it->second;
    if (h.idle_limit && h.last_seen + h.idle_limit <= now) {
      out.push_back(Event{KEV_HOST_DOWN, it->first, h.kind, h.mac, "idle time-out"});
      it = up_.erase(it);
    } else {
      ++it;
    }
  }
  return out;
}

double Tables::next_due() const {
  double due = kNever;
  for (const auto& e : clients_) {
    const char* reason;
    due = std::min(due, down_at(e.second, &reason));
    if (e.second.recheck_interval > 0) due = std::min(due, e.second.next_recheck);
  }
  for (const auto& e : up_)
    if (e.second.idle_limit) due = std::min(due, e.second.last_seen + e.second.idle_limit);
  return due;
}

std::vector<Event> Tables::seen(uint32_t addr, const Mac& mac, double now, std::string* what) {
  std::vector<Event> out;
  const std::string who = addr_text(addr);
  auto c = clients_.find(addr);
  if (c != clients_.end()) {
    c->second.last_seen = now;
    *what = who + ": admitted client, idle timer restarted";
    return out;
  }
  auto u = up_.find(addr);
  if (u != up_.end()) {
    u->second.last_seen = now;
    *what = who + ": exempt host already up, idle timer restarted";
    return out;
  }
  uint32_t kind;
  if (exempt_macs_.count(mac)) {
    kind = KIND_MAC;
    *what = who + ": exempt MAC address " + mac_text(mac) + ", KEV_HOST_UP kind 0 sent";
  } else if (exempt_addrs_.count(addr)) {
    kind = KIND_EXEMPT_IP;
    *what = who + ": exempt address, KEV_HOST_UP kind 1 sent";
  } else {
    *what = who + ": neither admitted nor exempt, nothing sent";
    return out;
  }
  out.push_back(host_up(addr, mac, kind, now));
  out.back().reason = "seen";
  return out;
}

Event Tables::host_up(uint32_t addr, const Mac& mac, uint32_t kind, double now) {
  if (kind == KIND_MAC || kind == KIND_EXEMPT_IP) {
    UpHost h;
    h.kind = kind;
    h.mac = mac;
    h.up_at = h.last_seen = now;
    h.idle_limit = idle_;
    up_[addr] = h;
  }
  return Event{KEV_HOST_UP, addr, kind, mac, "operator"};
}

Event Tables::host_down(uint32_t addr) {
  Event e{KEV_HOST_DOWN, addr, 0, Mac{}, "operator"};
  auto c = clients_.find(addr);
  if (c != clients_.end()) {
    e.kind = KIND_CLIENT_IP;
    e.mac = c->second.mac;
    clients_.erase(c);
  }
  auto u = up_.find(addr);
  if (u != up_.end()) {
    e.kind = u->second.kind;
    e.mac = u->second.mac;
    up_.erase(u);
  }
  return e;
}

void Tables::reset() {
  timeouts_known_ = false;
  idle_ = total_ = 0;
  clients_.clear();
  up_.clear();
  exempt_macs_.clear();
  exempt_addrs_.clear();
  wl_names_.clear();
  wl_addrs_.clear();
}

bool Tables::active(uint32_t addr, double at) {
  auto c = clients_.find(addr);
  if (c != clients_.end()) {
    if (at > c->second.last_seen) c->second.last_seen = at;
    return true;
  }
  auto u = up_.find(addr);
  if (u != up_.end()) {
    if (at > u->second.last_seen) u->second.last_seen = at;
    return true;
  }
  return false;
}

std::vector<uint32_t> Tables::idle_due(double now) const {
  std::vector<uint32_t> out;
  for (const auto& e : clients_)
    if (e.second.idle_limit && e.second.last_seen + e.second.idle_limit <= now)
      out.push_back(e.first);
  for (const auto& e : up_)
    if (e.second.idle_limit && e.second.last_seen + e.second.idle_limit <= now)
      out.push_back(e.first);
  return out;
}

std::string Tables::status_json(double now) const {
  auto left = [](double s) { return static_cast<uint64_t>(s < 0 ? 0.0 : std::floor(s)); };
  JsonLine out;
  out.num("idle_timeout", uint64_t{idle_}).num("total_online_time", uint64_t{total_});
  std::string list = "[";
  for (const auto& e : clients_) {
    const Client& c = e.second;
    JsonLine j;
    j.str("addr", addr_text(e.first)).str("mac", mac_text(c.mac))
        .num("online", left(now - c.admitted_at)).num("idle", left(now - c.last_seen));
    if (c.idle_limit) j.num("idle_left", left(c.last_seen + c.idle_limit - now));
    if (c.total_limit) j.num("online_left", left(c.admitted_at + c.total_limit - now));
    if (c.quota_seconds) j.num("quota_left", left(c.admitted_at + c.quota_seconds - now));
    if (c.recheck_interval > 0) j.num("next_recheck", left(c.next_recheck - now));
    list += (list.size() > 1 ? "," : "") + j.text();
  }
  out.raw("clients", list + "]");
  list = "[";
  for (const auto& m : exempt_macs_) list += (list.size() > 1 ? "," : "") + json_quote(mac_text(m));
  out.raw("exempt_macs", list + "]");
  list = "[";
  for (const auto& a : exempt_addrs_) list += (list.size() > 1 ? "," : "") + json_quote(addr_text(a));
  out.raw("exempt_addrs", list + "]");
  list = "[";
  for (const auto& e : up_) {
    JsonLine j;
    j.str("addr", addr_text(e.first)).num("kind", uint64_t{e.second.kind})
        .str("mac", mac_text(e.second.mac)).num("up", left(now - e.second.up_at))
        .num("idle", left(now - e.second.last_seen));
    list += (list.size() > 1 ? "," : "") + j.text();
  }
  out.raw("hosts_up", list + "]");
  return out.text();
}

std::string Tables::status(double now) const {
  std::string s;
  if (timeouts_known_)
    s += "time-outs: idle " + (idle_ ? secs(idle_) : std::string("none")) + ", total online " +
         (total_ ? secs(total_) : std::string("none")) + "\n";
  else
    s += "time-outs: not received (no limits)\n";

  s += "clients: " + std::to_string(clients_.size()) + "\n";
  for (const auto& e : clients_) {
    const Client& c = e.second;
    s += "  " + addr_text(e.first) + "  online " + secs(now - c.admitted_at) + ", idle " +
         secs(now - c.last_seen);
    if (c.idle_limit) s += ", idle left " + secs(c.last_seen + c.idle_limit - now);
    if (c.total_limit) s += ", online left " + secs(c.admitted_at + c.total_limit - now);
    if (c.quota_seconds) s += ", quota left " + secs(c.admitted_at + c.quota_seconds - now);
    if (c.recheck_interval > 0) s += ", next re-check in " + secs(c.next_recheck - now);
    s += "\n";
  }
  s += "exempt MAC addresses: " + std::to_string(exempt_macs_.size()) + "\n";
  for (const auto& m : exempt_macs_) s += "  " + mac_text(m) + "\n";
  s += "exempt addresses: " + std::to_string(exempt_addrs_.size()) + "\n";
  for (const auto& a : exempt_addrs_) s += "  " + addr_text(a) + "\n";
  s += "exempt hosts up: " + std::to_string(up_.size()) + "\n";
  for (const auto& e : up_) {
    const UpHost& h = e.second;
    s += "  " + addr_text(e.first) + "  " + (h.kind == KIND_MAC ? "by MAC " : "by address ") +
         mac_text(h.mac) + ", up " + secs(now - h.up_at) + ", idle " + secs(now - h.last_seen);
    if (h.idle_limit) s += ", idle left " + secs(h.last_seen + h.idle_limit - now);
    s += "\n";
  }
  s += "whitelist: " + std::to_string(wl_names_.size()) + " names, " +
       std::to_string(wl_addrs_.size()) + " addresses\n";
  return s;
}

}  // namespace admit
