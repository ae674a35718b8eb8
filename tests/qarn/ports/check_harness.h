#ifndef QARN_TEST_CHECK_HARNESS_H
#define QARN_TEST_CHECK_HARNESS_H
// Runs packets through relayk's packet path with one of qarn's checks standing in the place
// of the recognition hook, so the check sees the very packet and connection record that
// relayk builds, counters included. Packets are built as IPv4 bytes by the capture writer.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <linux/skbuff.h>

#include "frame/relayk_if.h"
#include "recognise/flow.h"
}
#include "relayk/relayk.h"

namespace qarn_test {

using Packet = std::vector<uint8_t>;

// Host-order address of a dotted quad.
uint32_t ip(const char* dotted);

Packet tcp(const char* src, uint16_t sport, const char* dst, uint16_t dport,
           const std::string& payload = "");
Packet udp(const char* src, uint16_t sport, const char* dst, uint16_t dport,
           const std::string& payload = "");
// A payload of n bytes, each `fill`.
std::string bytes(size_t n, char fill = 'x');

// The Flow view as the recognition hook builds it; false for a packet that is neither TCP
// nor UDP or does not hold its headers whole.
bool make_flow(sk_buff* skb, qarn_flow* flow);

// What one packet did.
struct Outcome {
  int check = 0;              // the check's answer
  relayk_result relayk{};     // relayk's record of the packet (mark after the check etc.)
};

// One check under test, called in place of sys_app_recognize. The check gets the packet,
// its connection record (NULL for none) and, for TCP and UDP packets that hold their headers,
// the Flow view (else NULL).
using Check = std::function<int(sk_buff*, nf_conn*, qarn_flow*)>;

class CheckHarness {
 public:
  // Resets relayk (connections, clock) and captures printk.
  CheckHarness();
  // Removes the stand-in hook and forgets the connections.
  ~CheckHarness();
  CheckHarness(const CheckHarness&) = delete;
  CheckHarness& operator=(const CheckHarness&) = delete;

  // Runs one packet with `check` in the hook's place; the check must outlive any call of
  // run on another thread that overlaps this one.
  Outcome run(const Packet& pkt, const Check& check, const relayk_in_opts* opts = nullptr);
  // Runs pkt `times` times; returns the last outcome.
  Outcome repeat(const Packet& pkt, int times, const Check& check);
  // The kernel log text printed since the last call.
  std::string log();
};

}  // namespace qarn_test

#endif
