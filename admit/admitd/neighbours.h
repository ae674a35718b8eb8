// The router's neighbour table on the LAN interface: the MAC address the router knows for a
// client's address, asked of the kernel over rtnetlink one address at a time.
#pragma once

#include <cstdint>
#include <string>

#include "wire.h"

namespace admit {

class Neighbours {
 public:
  Neighbours() = default;
  ~Neighbours();
  Neighbours(const Neighbours&) = delete;
  Neighbours& operator=(const Neighbours&) = delete;

  // Opens the rtnetlink socket for the interface; false with the reason.
  bool open(const std::string& iface, std::string* error);
  // The MAC address of a usable entry for the address (network order): reachable, stale,
  // being probed or permanent; false when there is none.
  bool lookup(uint32_t addr, Mac* mac);
  int ifindex() const { return ifindex_; }

 private:
  int fd_ = -1;
  int ifindex_ = 0;
  uint32_t seq_ = 0;
};

}  // namespace admit
