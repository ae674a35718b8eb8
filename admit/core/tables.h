// What the admission component knows and decides: the admitted clients, the exempt MAC
// addresses and addresses, the hosts let through as exempt, the whitelist and the time-outs,
// and which Kernel events fall due as its simulated clock runs. No input or output here:
// every call takes the simulated time and returns the events to send.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "wire.h"

namespace admit {

struct Event {
  uint32_t code;
  uint32_t addr;  // network order
  uint32_t kind;
  Mac mac;
  std::string reason;  // why it is sent, for the journal
};

// A client admitted by a permit of kind KIND_CLIENT_IP. The limits are those in force when it
// was admitted.
struct Client {
  double admitted_at = 0, last_seen = 0;
  uint32_t idle_limit = 0, total_limit = 0;  // 0: no limit
  uint32_t quota_seconds = 0, recheck_seconds = 0;
  double recheck_interval = 0;  // 0: no re-checks
  double next_recheck = 0;
  Mac mac{};
};

// A host that has been reported up because its MAC address or address is exempt.
struct UpHost {
  uint32_t kind = 0;
  Mac mac{};
  double up_at = 0, last_seen = 0;
  uint32_t idle_limit = 0;
};

// Addresses in network order, listed as their dotted texts read.
struct AddrOrder {
  bool operator()(uint32_t a, uint32_t b) const { return ntohl(a) < ntohl(b); }
};

class Tables {
 public:
  // recheck_interval: simulated seconds between re-checks; 0 takes each permit's own
  // recheck_seconds.
  explicit Tables(double recheck_interval) : recheck_interval_(recheck_interval) {}

  // Applies a received Kernel message (KMSG_HELLO is the caller's business). Returns the
  // events that it causes.
  std::vector<Event> apply(const KernelMessage& m, double now);
  void apply(const WhitelistMessage& m);

  // The events that are due at simulated time now; forgets the hosts taken down.
  std::vector<Event> expire(double now);
  // The earliest simulated time at which expire has something to do; infinity when none.
  double next_due() const;

  // A host seen in traffic. Fills what (a readable account of what happened) and returns
  // the events to send.
  std::vector<Event> seen(uint32_t addr, const Mac& mac, double now, std::string* what);
  // The host is up or down because the operator said so: kept in step with the event sent.
  Event host_up(uint32_t addr, const Mac& mac, uint32_t kind, double now);
  Event host_down(uint32_t addr);

  // A new session of the daemon: every client, exempt host, up host and whitelist entry and
  // the time-outs are forgotten.
  void reset();
  // A client or up host was last active at the simulated time at (the front-end learnt it
  // from the packet path); false when the address is neither.
  bool active(uint32_t addr, double at);
  // Admitted clients and up hosts whose idle time-out is due at now by what the tables know:
  // the front-end looks at the packet path for them before expire takes them down.
  std::vector<uint32_t> idle_due(double now) const;

  uint32_t idle_timeout() const { return idle_; }
  const std::map<uint32_t, Client, AddrOrder>& clients() const { return clients_; }
  const std::map<uint32_t, UpHost, AddrOrder>& up_hosts() const { return up_; }
  const std::set<Mac>& exempt_macs() const { return exempt_macs_; }
  const std::set<uint32_t, AddrOrder>& exempt_addrs() const { return exempt_addrs_; }
  const std::set<std::string>& whitelist_names() const { return wl_names_; }
  const std::set<std::pair<std::string, uint32_t>>& whitelist_addrs() const { return wl_addrs_; }

  // Readable, and as one JSON object: the time-outs, clients with time online, idle time and
  // allowance left, exempt MAC addresses and addresses, hosts up.
  std::string status(double now) const;
  std::string status_json(double now) const;

   private:
  double down_at(const Client& c, const char** reason) const;

  double recheck_interval_;
  bool timeouts_known_ = false;
  uint32_t idle_ = 0, total_ = 0;
  std::map<uint32_t, Client, AddrOrder> clients_;  // by address, network order
  std::map<uint32_t, UpHost, AddrOrder> up_;
  std::set<Mac> exempt_macs_;
  std::set<uint32_t, AddrOrder> exempt_addrs_;
  std::set<std::string> wl_names_;
  std::set<std::pair<std::string, uint32_t>> wl_addrs_;
};

}  // namespace admit
