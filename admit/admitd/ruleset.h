// The nftables text of admitd's table and of every change to it. Pure text, no kernel: each
// function returns the commands of one transaction, whose size does not grow with the number
// of clients.
#pragma once

#include <cstdint>
#include <string>

#include "wire.h"

namespace admit {

struct RulesetConfig {
  std::string family = "inet", table = "portald";
  std::string lan;            // the LAN interface
  uint32_t portal_addr = 0;   // network order; 0: no redirection to a login page
  uint16_t portal_port = 0;
};

// Names nftables accepts for a table and an interface; false with the reason.
bool valid_table_name(const std::string& name, std::string* error);
bool valid_interface_name(const std::string& name, std::string* error);

// Real milliseconds of an idle time-out of idle simulated seconds at the time scale; 0 for
// no time-out.
uint64_t idle_ms(uint32_t idle, double time_scale);

// The whole table, replacing one of the same name (left behind by a crash) in the same
// transaction. idle_ms is the element time-out the packet path renews (0: none).
std::string create_table(const RulesetConfig& c, uint64_t idle_ms);
std::string delete_table(const RulesetConfig& c);
// The rules of the chain lan_out anew, for another idle time-out.
std::string replace_lan_out(const RulesetConfig& c, uint64_t idle_ms);
// Every set emptied: a new session of the daemon.
std::string flush_sets(const RulesetConfig& c);

// The key of a client in the set clients (bound to its MAC address) or clients_unbound.
std::string client_key(uint32_t addr, const Mac* mac);
const char* client_set(const Mac* mac);
// Adds an element, with a time-out when timeout_ms is not 0.
std::string add_element(const RulesetConfig& c, const char* set, const std::string& key,
                        uint64_t timeout_ms);
// Removes an element whether or not it is still there (the packet path's time-out may have
// taken it): it is added and then deleted in the same transaction.
std::string remove_element(const RulesetConfig& c, const char* set, const std::string& key);
std::string list_set(const RulesetConfig& c, const char* set);

}  // namespace admit
