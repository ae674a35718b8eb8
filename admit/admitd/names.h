// The whitelist's names, resolved with c-ares and kept current by their DNS time-to-live,
// and the walled garden's addresses: each address is there while at least one name holds it
// (a name's WL_ADDR address for the session, a resolved one until its time-to-live has run
// out since the resolver last returned it).
#pragma once

#include <poll.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct ares_channeldata;
struct ares_addrinfo;

namespace admit {

class Names {
 public:
  // An address that enters (add) or leaves the walled garden.
  struct Change {
    uint32_t addr;  // network order
    bool add;
  };

  // grace: seconds an address outlives its time-to-live.
  explicit Names(double grace = 10) : grace_(grace) {}
  ~Names();
  Names(const Names&) = delete;
  Names& operator=(const Names&) = delete;

  // servers: "ADDR[:PORT],..." for c-ares, or empty for the system's resolver configuration.
  bool init(const std::string& servers, std::string* error);

  // A WL_NAME: resolved now and again as its time-to-live runs out.
  void add_name(const std::string& name);
  // A WL_ADDR: the address is the name's for the whole session.
  void add_fixed(const std::string& name, uint32_t addr);
  // A new session: every name and address forgotten (the caller empties the garden).
  void clear();

  // Starts the resolutions that are due, drops addresses whose time has run out and returns
  // what changed in the garden since the last call. now: real seconds.
  std::vector<Change> tick(double now);
  void watch(std::vector<pollfd>* fds, int* wait_ms, double now) const;
  void ready(const pollfd* fds, size_t n);

  std::string status(double now) const;
  std::string status_json(double now) const;

 private:
  struct Name {
    std::map<uint32_t, double> addrs;  // address -> real time it leaves (infinity: fixed)
    double next = 0;                   // real time of the next resolution
    bool busy = false;
    std::string error;                 // of the last resolution, "" when it succeeded
  };
  struct Query;
  static void answered(void* arg, int status, int timeouts, ares_addrinfo* result);
  void take(const std::string& name, double expiry, uint32_t addr);
  void drop(uint32_t addr);

  double grace_;
  ares_channeldata* channel_ = nullptr;
  unsigned session_ = 0;
  std::map<std::string, Name> names_;
  std::map<uint32_t, int> refs_;  // garden address -> names holding it
  std::vector<Change> changes_;
};

}  // namespace admit
