// qarn-replay's report: what it gathers while the packets go through the module, and the
// text or JSON it prints at the end.
#ifndef TOOLS_QARN_REPLAY_REPORT_H
#define TOOLS_QARN_REPLAY_REPORT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" {
#include "relayk/relayk.h"
}

namespace report {

// Frames that did not reach the module, by kind.
struct Skipped {
  uint64_t ipv6 = 0, arp = 0, fragments = 0, other = 0;
};

// What a frame is when it carries no IPv4 packet for the module.
enum class Kind { kIpv4, kIpv6, kArp, kFragment, kOther };

struct Options {
  bool json = false;
  bool explain = false;
  std::string capture;
  std::vector<std::pair<std::string, int>> params;
};

class Report {
 public:
  explicit Report(const Options& o) : opt_(o) {}
  // A packet the module took, with relayk's result and the capture's time stamp.
  void packet(uint64_t ts_usec, const relayk_result& res);
  void skip(Kind kind);
  // Prints the connections, the per-application summary and what was skipped; writes the
  // warning about a capture without LAN-side packets to err.
  void finish(std::FILE* out, std::FILE* err) const;
  uint64_t packets() const { return packets_; }

 private:
  struct Conn {
    uint64_t first_usec = 0, last_usec = 0;
    uint32_t mark = 0;
    uint64_t set_at = 0;       // packet number that gave the mark its final value
    uint64_t set_at_conn = 0;  // ... counted within the connection
    uint64_t packets = 0;
  };
  void print_connections(std::FILE* out) const;
  void print_summary(std::FILE* out) const;
  Options opt_;
  std::vector<Conn> conns_;  // index = relayk's connection number - 1
  uint64_t packets_ = 0, lan_packets_ = 0;
  uint64_t first_usec_ = 0, last_usec_ = 0;
  Skipped skipped_;
};

}  // namespace report

#endif
