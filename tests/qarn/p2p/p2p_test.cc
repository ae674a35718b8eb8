// P2P detection: the per-connection states and the endpoint evidence behind them, the peer
// list that relayk asks, the ageing sweep, allocation failures and the timer running while
// packets arrive on several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "check_harness.h"

extern "C" {
#include "kstub/kstub.h"
#include "p2p/p2p.h"
}

namespace {

using qarn_test::CheckHarness;
using qarn_test::tcp;
using qarn_test::udp;

// The tracker as the LAN-side check calls it.
const qarn_test::Check track = [](sk_buff* skb, nf_conn* ct, qarn_flow* flow) {
  if (ct && flow && relayk_dir_code(skb) == 0) qarn_check_p2p(skb, ct, flow);
  return 0;
};

constexpr unsigned kSweepTicks = 1800;  // nine timer periods

class P2p : public ::testing::Test {
 protected:
  void SetUp() override {
    live_before = kstub_alloc_live();
    ASSERT_EQ(qarn_p2p_init(), 0);
  }
  void TearDown() override {
    qarn_p2p_exit();
    EXPECT_EQ(relayk_hooks_set() & 8u, 0u);
    EXPECT_EQ(kstub_timers_pending(), 0);
    EXPECT_EQ(kstub_alloc_live(), live_before);
  }

  // One UDP datagram from LAN endpoint 192.168.1.<host>:sport to a remote port, with a
  // payload of len bytes; returns the connection's number.
  unsigned send(uint16_t sport, uint16_t dport, size_t len = 50, int host = 80) {
    std::string src = "192.168.1." + std::to_string(host);
    return h.run(udp(src.c_str(), sport, "198.51.100.20", dport, std::string(len, 'p')), track)
        .relayk.conn;
  }
  unsigned send_n(int n, uint16_t sport, uint16_t dport, size_t len = 50, int host = 80) {
    unsigned conn = 0;
    for (int i = 0; i < n; i++) conn = send(sport, dport, len, host);
    return conn;
  }
  static unsigned state(unsigned conn) {
    return static_cast<unsigned>(relayk_conn_get(conn, RELAYK_P2P_STATE));
  }
  // relayk's peer test (check_p2p_dispatch) for a TCP packet from the endpoint.
  int peer_listed(uint16_t sport, int host = 80) {
    std::string src = "192.168.1." + std::to_string(host);
    return h.run(tcp(src.c_str(), sport, "198.51.100.21", 443), track).relayk.p2p_peer;
  }

  long live_before = 0;
  CheckHarness h;
};

TEST_F(P2p, DnsAndLowPortsTouchNoTable) {
  long live = kstub_alloc_live();
  EXPECT_EQ(state(send(30000, 53)), 3u);
  EXPECT_EQ(state(send(30001, 1024)), 0u);
  EXPECT_EQ(state(h.run(tcp("192.168.1.80", 30002, "198.51.100.20", 5000), track).relayk.conn),
            0u);
  EXPECT_EQ(kstub_alloc_live(), live);
  EXPECT_EQ(state(send(30003, 1025)), 1u);
  EXPECT_EQ(kstub_alloc_live(), live + 1);
}

TEST_F(P2p, CountedConnectionReachesItsVerdictAtTheLimit) {
  struct Row {
    const char* situation;
    uint16_t dport;
    bool replied;
    unsigned verdict;
  } rows[] = {
      {"to port 8000", 8000, true, 9},
      {"to port 5001", 5001, false, 4},
      {"no reply packet", 7000, false, 10},
      {"with reply packets", 7000, true, 4},
  };
  uint16_t sport = 31000;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.situation);
    unsigned conn = send(sport, r.dport);  // creates the endpoint, counts from the next one
    if (r.replied) relayk_conn_set(conn, RELAYK_REPLY_PACKETS, 1);
    send_n(199, sport, r.dport);
    EXPECT_EQ(state(conn), 1u);
    EXPECT_EQ(relayk_conn_get(conn, RELAYK_P2P_COUNT), 199u);
    send(sport, r.dport);
    EXPECT_EQ(state(conn), r.verdict);
    EXPECT_EQ(peer_listed(sport), 0);  // counting verdicts are not published
    sport++;
  }
}

TEST_F(P2p, LimitIs600OnceTheEndpointSentASignatureLength) {
  send(32000, 6000);               // endpoint created
  unsigned conn = send(32000, 6001, 20);  // state 0: a 20-byte payload counts, state 1
  EXPECT_EQ(state(conn), 1u);
  send_n(400, 32000, 6001);
  EXPECT_EQ(state(conn), 1u);  // 401 counted, past 200
  send_n(198, 32000, 6001);
  EXPECT_EQ(state(conn), 1u);
  send(32000, 6001);  // the 600th
  EXPECT_EQ(state(conn), 10u);
}

// Builds sig_count 2 and hits 4 with the given signature lengths, then opens a new
// connection: the verdict follows from the last signature length.
TEST_F(P2p, SignatureEvidenceGivesTheVerdictOfTheLastLength) {
  struct Row {
    const char* situation;
    size_t first, second;
    unsigned verdict;
  } rows[] = {
      {"34-byte payloads", 34, 34, 6},
      {"95-byte payloads", 95, 95, 7},
      {"20-byte payloads", 20, 20, 5},
      {"34 then 95: the later wins", 34, 95, 7},
      {"95 then 20: 20 leaves the kind", 95, 20, 7},
  };
  uint16_t sport = 33000;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.situation);
    unsigned first = send(sport, 2000);          // hits 1
    send(sport, 2001, r.first);                  // hits 2, sig_count 1
    send(sport, 2002, r.second);                 // hits 3, sig_count 2
    unsigned slow = send_n(20, sport, 2003);     // 20 packets of no signature length
    EXPECT_EQ(state(slow), 0u);
    send(sport, 2003);                           // the 21st: hits 4
    EXPECT_EQ(state(slow), 1u);
    EXPECT_EQ(peer_listed(sport), 0);
    unsigned fresh = send(sport, 2004);
    EXPECT_EQ(state(fresh), r.verdict);
    EXPECT_EQ(peer_listed(sport), 1);
    // every other connection of the endpoint takes the verdict on its next packet
    EXPECT_EQ(state(send(sport, 2005)), r.verdict);
    send(sport, 2000);
    EXPECT_EQ(state(first), r.verdict);
    sport++;
  }
}

TEST_F(P2p, ManyHitsWithoutSignaturesGiveVerdict10AndPublishTheEndpoint) {
  send(34000, 3000);
  for (uint16_t d = 3001; d <= 3010; d++) send_n(21, 34000, d);  // hits 2 to 11
  EXPECT_EQ(peer_listed(34000), 0);
  unsigned conn = send(34000, 3011);
  EXPECT_EQ(state(conn), 10u);
  EXPECT_EQ(peer_listed(34000), 1);                 // TCP from the endpoint
  EXPECT_EQ(peer_listed(34001), 0);                 // another port of the host
  EXPECT_EQ(peer_listed(34000, 81), 0);             // the same port of another host
  auto in = h.run(udp("198.51.100.20", 3011, "192.168.1.80", 34000, "x"), track);
  EXPECT_EQ(in.relayk.p2p_peer, 0);                 // towards the endpoint
}

TEST_F(P2p, ConnectionPastItsCountingVerdictFallsBackToCounting) {
  unsigned conn = send(35000, 7000);
  relayk_conn_set(conn, RELAYK_REPLY_PACKETS, 1);
  send_n(200, 35000, 7000);
  ASSERT_EQ(state(conn), 4u);
  send(35000, 7000);  // step 7 again: count 201 > 20
  EXPECT_EQ(state(conn), 1u);
}

TEST_F(P2p, EndpointUntouchedForASweepIntervalAgesOut) {
  long live = kstub_alloc_live();
  send(36000, 4000);
  EXPECT_EQ(kstub_alloc_live(), live + 1);
  kstub_advance_jiffies(2 * kSweepTicks - 1);  // first sweep only clears seen
  EXPECT_EQ(kstub_alloc_live(), live + 1);
  kstub_advance_jiffies(1);
  EXPECT_EQ(kstub_alloc_live(), live);
}

TEST_F(P2p, CountingConnectionsDoNotKeepTheirEndpointAlive) {
  long live = kstub_alloc_live();
  unsigned counted = send(37000, 4000);   // endpoint A, connection in state 1
  send(37001, 4000);                      // endpoint B
  kstub_advance_jiffies(kSweepTicks);     // both seen flags cleared
  send_n(5, 37000, 4000);                 // A: counting only
  send(37001, 4001);                      // B: a state-0 connection refreshes seen
  EXPECT_EQ(relayk_conn_get(counted, RELAYK_P2P_COUNT), 5u);
  kstub_advance_jiffies(kSweepTicks);
  EXPECT_EQ(kstub_alloc_live(), live + 1);  // A is gone, B stays
  send(37000, 4000);                        // A starts over
  EXPECT_EQ(kstub_alloc_live(), live + 2);
  EXPECT_EQ(state(counted), 1u);
}

TEST_F(P2p, PublishedEndpointLeavesThePeerListWhenItAgesOut) {
  send(38000, 3000);
  for (uint16_t d = 3001; d <= 3010; d++) send_n(21, 38000, d);
  send(38000, 3011);
  ASSERT_EQ(peer_listed(38000), 1);
  kstub_advance_jiffies(2 * kSweepTicks);
  EXPECT_EQ(peer_listed(38000), 0);
}

TEST_F(P2p, FailedAllocationsDropOnlyTheRecordBeingMade) {
  // the endpoint's record
  kstub_alloc_fail(KSTUB_ALLOC_SLAB, 0, 1);
  unsigned conn = send(39000, 5000);
  kstub_alloc_fail_reset();
  EXPECT_EQ(state(conn), 0u);
  send(39000, 5000);
  EXPECT_EQ(state(conn), 1u);

  // the peer-list entry at the verdict: the verdict stands, the endpoint is not published
  for (uint16_t d = 5001; d <= 5010; d++) send_n(21, 39000, d);
  kstub_alloc_fail(KSTUB_ALLOC_SLAB, 0, 1);
  unsigned promoted = send(39000, 5011);
  kstub_alloc_fail_reset();
  EXPECT_EQ(state(promoted), 10u);
  EXPECT_EQ(peer_listed(39000), 0);
  EXPECT_EQ(state(send(39000, 5012)), 10u);

  // a second endpoint still gets through
  send(39001, 5000);
  for (uint16_t d = 5001; d <= 5010; d++) send_n(21, 39001, d);
  send(39001, 5011);
  EXPECT_EQ(peer_listed(39001), 1);
}

TEST_F(P2p, TimerAndPacketPathOnSeveralThreads) {
  // three LAN hosts send from many endpoints while a fourth thread moves the clock through
  // many sweeps; relayk asks the peer list for every packet
  std::atomic<bool> stop{false};
  std::thread clock([&] {
    while (!stop.load()) {
      kstub_advance_jiffies(97);
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> senders;
  for (int t = 0; t < 3; t++) {
    senders.emplace_back([this, t] {
      for (int round = 0; round < 6; round++) {
        for (uint16_t e = 0; e < 8; e++) {
          uint16_t sport = static_cast<uint16_t>(40000 + e);
          send(sport, 3000, 50, 90 + t);
          for (uint16_t d = 3001; d <= 3011; d++) send_n(e % 2 ? 21 : 2, sport, d, 34, 90 + t);
          peer_listed(sport, 90 + t);
        }
      }
    });
  }
  for (auto& s : senders) s.join();
  stop = true;
  clock.join();
  // the tables are whole: a fresh endpoint still goes through every stage
  send(41000, 3000);
  send(41000, 3001, 34);
  send(41000, 3002, 34);
  send_n(21, 41000, 3003);
  EXPECT_EQ(state(send(41000, 3004)), 6u);
  EXPECT_EQ(peer_listed(41000), 1);
}

}  // namespace
