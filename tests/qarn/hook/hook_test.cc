// The recognition hook, step by step, through relayk's packet path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qarn_fixture.h"

namespace qarn_test {
namespace {

constexpr uint32_t kKept = 0xffc00000u;  // bits 22-31, owned by others
constexpr uint32_t Mark(uint32_t cls, uint32_t group, uint32_t id) {
  return cls << 16 | group << 10 | id;
}

Words ListCommand(uint32_t cmd, uint32_t arg, std::vector<uint32_t> addrs) {
  Words w = {cmd, arg, 32 + 12 * static_cast<uint32_t>(addrs.size()),
             static_cast<uint32_t>(addrs.size()), 0, 0, 0, 1};
  for (uint32_t a : addrs) {
    w.push_back(0);
    w.push_back(a);
    w.push_back(a);
  }
  return w;
}

class HookTest : public QarnTest {
 protected:
  // Opens a connection with its first packet and returns its number.
  unsigned Open(const Bytes& first) {
    relayk_result r = Send(first);
    EXPECT_NE(r.conn, 0u);
    return r.conn;
  }
  uint64_t Get(unsigned conn, relayk_field f) { return relayk_conn_get(conn, f); }
  void Set(unsigned conn, relayk_field f, uint64_t v) { ASSERT_EQ(relayk_conn_set(conn, f, v), 0); }
  uint32_t Now() { return kstub_jiffies(); }
};

TEST_F(HookTest, IcmpWithNothingToFindReturnsMinusOneWithoutPriority) {
  relayk_result r = Send(Icmp(kLan, kWan));
  EXPECT_TRUE(r.called);
  EXPECT_EQ(r.ret, -1);
  EXPECT_EQ(r.prio_class, 0u);
  EXPECT_EQ(r.mark, 0u);
}

TEST_F(HookTest, GuardsReturnZeroAndChangeNothing) {
  relayk_in_opts no_conn{};
  no_conn.no_conn = 1;
  relayk_result r = Send(Tcp(kLan, kWan, 40000, 80), &no_conn);
  EXPECT_TRUE(r.called);
  EXPECT_EQ(r.ret, 0);
  EXPECT_EQ(r.prio_class, 0u);

  unsigned c = Open(Icmp(kLan, kWan));
  Set(c, RELAYK_MARK, Mark(3, 0, 0));
  Set(c, RELAYK_ACCT_OFFSET, 0);
  r = Send(Icmp(kLan, kWan));
  EXPECT_EQ(r.ret, 0) << "no accounting area";
  EXPECT_EQ(r.prio_class, 0u);
  EXPECT_EQ(r.mark, Mark(3, 0, 0));

  Set(c, RELAYK_HAS_EXT, 0);
  r = Send(Icmp(kLan, kWan));
  EXPECT_EQ(r.ret, 0) << "no extension block";
  EXPECT_EQ(r.mark, Mark(3, 0, 0));
}

TEST_F(HookTest, SettledConnectionReturnsQuietly) {
  unsigned c = Open(Udp(kLan, kWan, 5000, 6000));
  Set(c, RELAYK_MARK, 0x7d001);
  for (int i = 0; i < 5; i++) {
    relayk_result r = Send(i % 2 ? Udp(kWan, kLan, 6000, 5000) : Udp(kLan, kWan, 5000, 6000));
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.prio_class, 0u) << "prio_class keeps what the platform put there";
    EXPECT_EQ(r.mark, 0x7d001u);
  }
}

TEST_F(HookTest, FirstThreePacketsOfAWebConnectionGetClassThree) {
  for (uint16_t port : {80, 8080}) {
    SCOPED_TRACE(port);
    uint16_t sport = static_cast<uint16_t>(30000 + port);
    unsigned c = Open(Tcp(kLan, kWan, sport, port, {}, PCAPW_SYN));
    EXPECT_EQ(Get(c, RELAYK_MARK), Mark(3, 10, 0));
    relayk_result r = Send(Tcp(kWan, kLan, port, sport, {}, PCAPW_SYN | PCAPW_ACK));
    EXPECT_EQ(r.prio_class, 3u);
    r = Send(Tcp(kLan, kWan, sport, port));
    EXPECT_EQ(r.mark, Mark(3, 10, 0));
    EXPECT_EQ(r.prio_class, 3u);
    // the fourth packet, from the WAN side with two reply packets: class 3 is cleared
    r = Send(Tcp(kWan, kLan, port, sport));
    EXPECT_EQ(r.mark, 0u);
    EXPECT_EQ(r.prio_class, 65u);
  }
  unsigned other = Open(Tcp(kLan, kWan, 30001, 81, {}, PCAPW_SYN));
  EXPECT_EQ(Get(other, RELAYK_MARK), 0u) << "only ports 80 and 8080";
}

TEST_F(HookTest, ClassThreeIsClearedByReplyCountOnEachSide) {
  const struct {
    const char* situation;
    unsigned dir_code;
    uint64_t reply_before;  // reply packets when the packet arrives (it is a forward one)
    bool cleared;
  } rows[] = {
      {"WAN side, one reply packet", 1, 1, false},
      {"WAN side, two reply packets", 1, 2, true},
      {"LAN side, three reply packets", 0, 3, false},
      {"LAN side, four reply packets", 0, 4, true},
  };
  uint16_t sport = 20000;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.situation);
    unsigned c = Open(Tcp(kLan, kWan, ++sport, 80));
    Set(c, RELAYK_FWD_PACKETS, 10);  // past the first packets
    Set(c, RELAYK_REPLY_PACKETS, row.reply_before);
    Set(c, RELAYK_MARK, kKept | Mark(3, 10, 7));
    relayk_result r = SendDir(Tcp(kLan, kWan, sport, 80), row.dir_code);
    EXPECT_EQ(r.mark, row.cleared ? 0u : (kKept | Mark(3, 10, 7)));
    EXPECT_EQ(r.prio_class, row.cleared ? 65u : 3u);
  }
  // UDP loses class 3 at once, on either side
  for (unsigned dir : {0u, 1u}) {
    unsigned c = Open(Udp(kLan, kWan, static_cast<uint16_t>(7000 + dir), 7100));
    Set(c, RELAYK_MARK, Mark(3, 10, 0));
    EXPECT_EQ(SendDir(Udp(kLan, kWan, static_cast<uint16_t>(7000 + dir), 7100), dir).mark, 0u);
  }
}

TEST_F(HookTest, HighPrioPerConnectionParameter) {
  ASSERT_EQ(kstub_param_set("high_prio_per_ct", 0), 0);
  // the counters already hold this packet when the hook runs, so 0 never matches here
  EXPECT_EQ(Send(Tcp(kLan, kWan, 40000, 80)).prio_class, 65u);
  unsigned c = Open(Tcp(kLan, kWan, 40001, 80));
  Set(c, RELAYK_FWD_PACKETS, 0);
  Set(c, RELAYK_MARK, 0);
  relayk_result r = SendDir(Tcp(kLan, kWan, 40001, 80), 0);
  EXPECT_EQ(r.mark, 0u) << "one forward packet exceeds 0";
  ASSERT_EQ(kstub_param_set("high_prio_per_ct", -1), 0);
  // sign-extended to 64 bits and compared unsigned: every packet is among the first
  c = Open(Tcp(kLan, kWan, 40002, 80));
  Set(c, RELAYK_FWD_PACKETS, 1000000);
  EXPECT_EQ(Send(Tcp(kLan, kWan, 40002, 80)).mark, Mark(3, 10, 0));
}

TEST_F(HookTest, DirCodesOneHundredToOneHundredThreeSettleTheConnection) {
  const struct {
    unsigned dir_code;
    bool settled;
  } rows[] = {{99, false}, {100, true}, {101, true}, {103, true}, {104, false}};
  uint16_t sport = 41000;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.dir_code);
    relayk_result r = SendDir(Udp(kLan, kWan, ++sport, 9999), row.dir_code);
    EXPECT_EQ(r.mark == Mark(12, 2, 0), row.settled) << std::hex << r.mark;
    if (row.settled) {
      EXPECT_EQ(r.prio_class, 65u);
      // every later packet finishes at once, whatever its direction code
      r = SendDir(Udp(kWan, kLan, 9999, sport), 0);
      EXPECT_EQ(r.mark, Mark(12, 2, 0));
      EXPECT_EQ(r.prio_class, 65u);
    }
  }
  // the id and bits 22-31 are kept
  unsigned c = Open(Udp(kLan, kWan, 42000, 9999));
  Set(c, RELAYK_MARK, kKept | Mark(3, 5, 77));
  EXPECT_EQ(SendDir(Udp(kLan, kWan, 42000, 9999), 102).mark, kKept | Mark(12, 2, 77));
}

TEST_F(HookTest, AddressListExemptsHostsWhileTheRuleFlagIsOne) {
  ASSERT_EQ(Deliver(ListCommand(16, 1, {})), 0);
  ASSERT_EQ(Deliver(ListCommand(17, 0, {kLan})), 0);
  // LAN side: lan_host_addr; WAN side: the destination address
  relayk_result r = Send(Udp(kLan, kWan, 5353, 6000));
  EXPECT_EQ(r.ret, 0);
  EXPECT_EQ(r.mark, Mark(63, 0, 0));
  EXPECT_EQ(r.prio_class, 0u) << "no priority is written for an exempt host";
  r = Send(Udp(kWan, kLan, 7000, 7001));
  EXPECT_EQ(r.dir_code, 1u);
  EXPECT_EQ(r.mark, Mark(63, 0, 0));
  // settled: later packets return quietly
  r = Send(Udp(kLan, kWan, 5353, 6000));
  EXPECT_EQ(r.prio_class, 0u);
  // other hosts are classified
  r = Send(Udp(Ip(192, 168, 1, 11), kWan, 5353, 6000));
  EXPECT_EQ(r.mark, 0u);
  EXPECT_EQ(r.prio_class, 65u);
  // class bits are ORed in: group, id and bits 22-31 stay
  unsigned c = Open(Udp(Ip(192, 168, 1, 12), kWan, 1, 2));
  Set(c, RELAYK_MARK, kKept | Mark(3, 10, 5));
  ASSERT_EQ(Deliver(ListCommand(17, 0, {Ip(192, 168, 1, 12)})), 0);
  EXPECT_EQ(Send(Udp(Ip(192, 168, 1, 12), kWan, 1, 2)).mark, kKept | Mark(63, 10, 5));
}

TEST_F(HookTest, AddressListIsIgnoredUnlessTheFlagIsExactlyOne) {
  for (uint32_t flag : {0u, 2u}) {
    SCOPED_TRACE(flag);
    ASSERT_EQ(Deliver(ListCommand(16, flag, {})), 0);
    ASSERT_EQ(Deliver(ListCommand(17, 0, {kLan})), 0);
    relayk_result r = Send(Udp(kLan, kWan, static_cast<uint16_t>(5000 + flag), 6000));
    EXPECT_EQ(r.mark, 0u);
    EXPECT_EQ(r.prio_class, 65u);
  }
}

TEST_F(HookTest, VpnPortSetsClassThirteenAndKeepsTheGroup) {
  // a mark of 0 leaves group 0, whose priority is 65
  relayk_result r = Send(Tcp(kLan, kWan, 40000, 1723));
  EXPECT_EQ(r.mark, Mark(13, 0, 0));
  EXPECT_EQ(r.prio_class, 65u);
  // a class-3 connection to a VPN port: group and id stay, so does the priority of group 10
  unsigned d = Open(Tcp(kLan, kWan, 40003, 1701));
  Set(d, RELAYK_MARK, kKept | Mark(3, 10, 9));
  r = Send(Tcp(kLan, kWan, 40003, 1701));
  EXPECT_EQ(r.mark, kKept | Mark(13, 10, 9));
  EXPECT_EQ(r.prio_class, 3u);
  // the VPN check comes before the conference signature, the address list before both
  EXPECT_EQ(Send(Tcp(kLan, kWan, 40004, 500, Text("facemeetingv2.1#"))).mark, Mark(13, 0, 0));
  ASSERT_EQ(Deliver(ListCommand(16, 1, {})), 0);
  ASSERT_EQ(Deliver(ListCommand(17, 0, {kLan})), 0);
  EXPECT_EQ(Send(Tcp(kLan, kWan, 40005, 1723)).mark, Mark(63, 0, 0));
}

TEST_F(HookTest, GameSignatureAndEmailTakeTheirPlaces) {
  relayk_result r = Send(Udp(kLan, kWan, 6000, 5100, {0x29, 0xff, 0x00, 1, 2, 3}));
  EXPECT_EQ(r.mark, 0x10403u);
  EXPECT_EQ(r.prio_class, 1u);
  // e-mail is looked for on the WAN side only
  r = Send(Tcp(kWan, kLan, 110, 40010, Text("+OK ready\r\n")));
  EXPECT_EQ(r.dir_code, 1u);
  EXPECT_EQ(r.mark, Mark(11, 13, 0));
  EXPECT_EQ(r.prio_class, 65u);
  r = Send(Tcp(kLan, kWan, 40011, 110, Text("USER me\r\n")));
  EXPECT_EQ(r.mark, 0u);
}

TEST_F(HookTest, ConferenceSignature) {
  const Bytes sig = Text("facemeetingv2.1#");
  Bytes longer = Text("facemeetingv2.1#and more");
  Bytes short_sig = Text("facemeetingv2.1");
  Bytes wrong = Text("facemeetingv2.2#");
  const struct {
    const char* situation;
    Bytes pkt;
    bool match;
    std::string trace;
  } rows[] = {
      {"TCP, exactly the signature", Tcp(kLan, kWan, 1000, 443, sig), true,
       "qarn_check_facemeeting,1172,checked facemeetingv2.1#, ct is TCP\n"},
      {"UDP, signature and more", Udp(kLan, kWan, 1001, 9000, longer), true,
       "qarn_check_facemeeting,1185,checked facemeetingv2.1#, ct is UDP\n"},
      {"TCP, fifteen bytes", Tcp(kLan, kWan, 1002, 443, short_sig), false, ""},
      {"UDP, one byte differs", Udp(kLan, kWan, 1003, 9000, wrong), false, ""},
  };
  ASSERT_EQ(kstub_param_set("qarn_debug", 1), 0);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.situation);
    Log();
    relayk_result r = Send(row.pkt);
    if (row.match) {
      EXPECT_EQ(r.mark, Mark(5, 1, 0));
      EXPECT_EQ(r.prio_class, 1u);
    } else {
      EXPECT_NE(r.mark >> 16 & 63, 5u);
    }
    EXPECT_EQ(Log(), row.trace);
  }
  ASSERT_EQ(kstub_param_set("qarn_debug", 4), 0);
  Send(Tcp(kLan, kWan, 1004, 443, sig));
  EXPECT_EQ(Log(), "") << "the trace needs bit value 1";
  unsigned c = Open(Udp(kLan, kWan, 1005, 9000));
  Set(c, RELAYK_MARK, kKept | Mark(3, 10, 9));
  EXPECT_EQ(Send(Udp(kLan, kWan, 1005, 9000, sig)).mark, kKept | Mark(5, 1, 9)) << "id kept";
}

TEST_F(HookTest, FramedMessages) {
  Bytes udp_msg = {0x02, 0x10, 0x20, 0x03};
  Bytes tcp_msg = {0x00, 0x11, 0x02, 0x55, 0x03};
  const struct {
    const char* situation;
    Bytes pkt;
    bool match;
  } rows[] = {
      {"UDP to port 8000", Udp(kLan, kWan, 4000, 8000, udp_msg), true},
      {"UDP from port 8000", Udp(kWan, kLan, 8000, 4001, udp_msg), true},
      {"UDP, three bytes", Udp(kLan, kWan, 4002, 8000, {0x02, 0x00, 0x03}), false},
      {"UDP, no end byte", Udp(kLan, kWan, 4003, 8000, {0x02, 0, 0, 0x04}), false},
      {"UDP, port 8001", Udp(kLan, kWan, 4004, 8001, udp_msg), false},
      {"TCP to port 443", Tcp(kLan, kWan, 4005, 443, tcp_msg), true},
      {"TCP from port 80", Tcp(kWan, kLan, 80, 4006, tcp_msg), true},
      {"TCP, start byte first", Tcp(kLan, kWan, 4007, 443, udp_msg), false},
      {"TCP, port 8080", Tcp(kLan, kWan, 4008, 8080, tcp_msg), false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.situation);
    relayk_result r = Send(row.pkt);
    unsigned c = r.conn;
    if (!row.match) {
      EXPECT_NE(r.mark, 0x6cc01u);
      continue;
    }
    EXPECT_EQ(r.mark, 0x6cc01u);
    EXPECT_EQ(r.prio_class, 6u);
    // the whole word is replaced: bits 22-31 go too
    Set(c, RELAYK_MARK, kKept | Mark(3, 10, 0));
    Set(c, RELAYK_FWD_PACKETS, 50);  // past the first packets of a web connection
    EXPECT_EQ(Send(row.pkt).mark, 0x6cc01u);
  }
}

TEST_F(HookTest, ReplyRateReplacesTheWholeMark) {
  unsigned c = Open(Udp(kLan, kWan, 3000, 3001));
  Set(c, RELAYK_MARK, kKept | Mark(3, 10, 0));
  Set(c, RELAYK_REPLY_PACKETS, 1999);
  Set(c, RELAYK_REPLY_AUX, 1999);
  Set(c, RELAYK_RATE_STAMP, Now() - 300);
  // 2000 reply packets, 2000 / 3 > 100
  relayk_result r = Send(Udp(kWan, kLan, 3001, 3000));
  EXPECT_EQ(r.mark, 0x5c802u);
  EXPECT_EQ(r.prio_class, 5u);
  EXPECT_EQ(Get(c, RELAYK_RATE_STAMP), Now());
}

TEST_F(HookTest, ReplyRateNeedsThresholdIntervalAndRate) {
  const struct {
    const char* situation;
    uint64_t reply;
    uint32_t aux, base, since;
    int check_pkt;
    bool replaced;
    bool measured;  // rate_stamp moved to now
  } rows[] = {
      {"below the reply threshold", 1998, 1998, 0, 300, 100, false, false},
      {"299 ticks since the last measurement", 1999, 1999, 0, 299, 100, false, false},
      {"rate at the limit", 1999, 1000, 697, 300, 101, false, true},  // (1000-697)/3 = 101
      {"rate above the limit", 1999, 1000, 694, 300, 101, true, true},  // 102
      {"rate limit raised", 1999, 1999, 0, 300, 1000, false, true},
  };
  uint16_t port = 3100;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.situation);
    ASSERT_EQ(kstub_param_set("check_pkt", row.check_pkt), 0);
    unsigned c = Open(Udp(kLan, kWan, ++port, 3001));
    Set(c, RELAYK_MARK, Mark(3, 10, 0));
    Set(c, RELAYK_REPLY_PACKETS, row.reply);
    Set(c, RELAYK_REPLY_AUX, row.aux);
    Set(c, RELAYK_RATE_BASE, row.base);
    Set(c, RELAYK_RATE_STAMP, Now() - row.since);
    uint32_t before = static_cast<uint32_t>(Get(c, RELAYK_RATE_STAMP));
    relayk_result r = Send(Udp(kWan, kLan, 3001, port));
    EXPECT_EQ(r.mark == 0x5c802u, row.replaced);
    EXPECT_EQ(static_cast<uint32_t>(Get(c, RELAYK_RATE_STAMP)), row.measured ? Now() : before);
  }
}

TEST_F(HookTest, ReplyRateTakesItsBaseWhenAForwardCounterIsZero) {
  ASSERT_EQ(kstub_param_set("check_pkt_st_num", 1), 0);
  unsigned c = Open(Udp(kWan, kLan, 3001, 3000));  // reply direction unknown yet: this is forward
  Set(c, RELAYK_MARK, Mark(3, 10, 0));
  Set(c, RELAYK_FWD_PACKETS, 0);
  Set(c, RELAYK_REPLY_PACKETS, 4999);
  Set(c, RELAYK_REPLY_AUX, 4999);
  Set(c, RELAYK_RATE_BASE, 0);
  Set(c, RELAYK_RATE_STAMP, Now() - 1000);
  relayk_result r = Send(Udp(kLan, kWan, 3000, 3001));  // a reply packet: 5000
  EXPECT_EQ(Get(c, RELAYK_RATE_BASE), 5000u) << "base taken from reply_aux";
  EXPECT_EQ(Get(c, RELAYK_RATE_STAMP), Now());
  EXPECT_NE(r.mark, 0x5c802u) << "no time has passed since the base was taken";
}

class RecheckTest : public HookTest {
 protected:
  // A connection with the given mark and reply packets whose re-check is due on the next
  // (reply) packet; returns the mark after that packet.
  uint32_t Recheck(uint32_t mark, uint64_t reply_after, uint64_t fwd_bytes = 0,
                   uint64_t reply_bytes = 0, relayk_result* out = nullptr) {
    unsigned c = Open(Udp(kLan, kWan, ++port_, 9000));
    Set(c, RELAYK_MARK, mark);
    Set(c, RELAYK_RECHECK_STAMP, Now() - 101);
    Set(c, RELAYK_REPLY_PACKETS, reply_after - 1);
    Set(c, RELAYK_FWD_BYTES, fwd_bytes);
    Set(c, RELAYK_REPLY_BYTES, reply_bytes ? reply_bytes - 28 : 0);
    relayk_result r = Send(Udp(kWan, kLan, 9000, port_));
    if (out) *out = r;
    EXPECT_EQ(Get(c, RELAYK_RECHECK_STAMP), Now()) << "the re-check ran";
    return r.mark;
  }
  uint16_t port_ = 12000;
};

TEST_F(RecheckTest, ClassFourWebPageBecomesDownloadAfterFiveHundredReplies) {
  relayk_result r;
  EXPECT_EQ(Recheck(0x42c01, 500, 0, 0, &r), 0x42c01u);
  EXPECT_EQ(r.prio_class, 0u) << "the re-check returns quietly";
  EXPECT_EQ(Recheck(0x42c01, 501, 0, 0, &r), 0x9d802u);
  EXPECT_EQ(r.prio_class, 0u);
  EXPECT_EQ(Recheck(kKept | 0x42c01, 501), kKept | 0x9d802u) << "bits 22-31 kept";
}

TEST_F(RecheckTest, ClassFourIdThree) {
  EXPECT_EQ(Recheck(Mark(4, 11, 3), 21), 0x9d802u);
  EXPECT_EQ(Recheck(Mark(4, 11, 3), 20), Mark(4, 11, 3));
  // at most 19 reply packets: back to full classification, which writes a priority
  relayk_result r;
  EXPECT_EQ(Recheck(Mark(4, 11, 3), 19, 0, 0, &r), Mark(4, 11, 3));
  EXPECT_EQ(r.prio_class, 4u);
  Recheck(Mark(4, 11, 3), 20, 0, 0, &r);
  EXPECT_EQ(r.prio_class, 0u);
}

TEST_F(RecheckTest, ClassesFiveAndEightBecomeUploadWhenForwardPacketsAreBigger) {
  // one forward packet of 28 bytes (the UDP packet sent to open) plus fwd_bytes set
  const struct {
    const char* situation;
    uint32_t mark;
    uint64_t fwd_bytes;  // per forward packet, as there is one
    uint64_t reply_bytes;
    uint64_t reply;
    uint32_t expect;
  } rows[] = {
      {"class 8, forward average above twice the reply", Mark(8, 53, 9), 1000, 4 * 499, 4,
       Mark(10, 57, 3)},
      {"class 5, exactly twice", Mark(5, 50, 3), 1000, 4 * 500, 4, Mark(5, 50, 3)},
      {"class 5, above twice", Mark(5, 1, 0), 1001, 4 * 500, 4, Mark(10, 57, 3)},
      {"class 7 is not re-checked this way", Mark(7, 52, 1), 1000, 4, 4, Mark(7, 52, 1)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.situation);
    EXPECT_EQ(Recheck(row.mark, row.reply, row.fwd_bytes, row.reply_bytes), row.expect);
  }
}

TEST_F(RecheckTest, ZeroLowWordOfAPacketCounterIsNoDivisor) {
  unsigned c = Open(Udp(kLan, kWan, 12999, 9000));
  Set(c, RELAYK_MARK, Mark(8, 53, 9));
  Set(c, RELAYK_RECHECK_STAMP, Now() - 101);
  Set(c, RELAYK_FWD_PACKETS, 1ULL << 32);  // the next packet is a reply
  Set(c, RELAYK_REPLY_PACKETS, 7);
  EXPECT_EQ(Send(Udp(kWan, kLan, 9000, 12999)).mark, Mark(8, 53, 9));
}

TEST_F(RecheckTest, RunsOnlyWhenMoreThanOneHundredTicksHavePassed) {
  unsigned c = Open(Udp(kLan, kWan, 13000, 9000));
  Set(c, RELAYK_MARK, 0x42c01);
  Set(c, RELAYK_REPLY_PACKETS, 1000);
  Set(c, RELAYK_RECHECK_STAMP, Now() - 100);
  EXPECT_EQ(Send(Udp(kWan, kLan, 9000, 13000)).mark, 0x42c01u);
  EXPECT_EQ(Get(c, RELAYK_RECHECK_STAMP), static_cast<uint32_t>(Now() - 100));
  kstub_advance_jiffies(1);
  EXPECT_EQ(Send(Udp(kWan, kLan, 9000, 13000)).mark, 0x9d802u);
}

TEST_F(HookTest, TickWrapAroundBetweenTwoPackets) {
  // The same gaps measured across the wrap of jiffies and away from it.
  for (uint32_t start : {0x00001000u, 0xffffffc0u}) {
    SCOPED_TRACE(start);
    kstub_set_jiffies(start);
    uint16_t port = static_cast<uint16_t>(start & 0xfff);
    unsigned c = Open(Udp(kLan, kWan, static_cast<uint16_t>(14000 + port), 9000));
    Set(c, RELAYK_MARK, 0x42c01);
    Set(c, RELAYK_REPLY_PACKETS, 1000);
    Set(c, RELAYK_RECHECK_STAMP, start);
    kstub_advance_jiffies(100);
    EXPECT_EQ(Send(Udp(kWan, kLan, 9000, static_cast<uint16_t>(14000 + port))).mark, 0x42c01u);
    kstub_advance_jiffies(1);
    EXPECT_EQ(Send(Udp(kWan, kLan, 9000, static_cast<uint16_t>(14000 + port))).mark, 0x9d802u);

    kstub_set_jiffies(start);
    unsigned d = Open(Udp(kLan, kWan, static_cast<uint16_t>(15000 + port), 9000));
    Set(d, RELAYK_MARK, Mark(3, 10, 0));
    Set(d, RELAYK_REPLY_PACKETS, 2500);
    Set(d, RELAYK_REPLY_AUX, 2500);
    Set(d, RELAYK_RATE_STAMP, start);
    kstub_advance_jiffies(299);
    EXPECT_NE(Send(Udp(kWan, kLan, 9000, static_cast<uint16_t>(15000 + port))).mark, 0x5c802u);
    kstub_advance_jiffies(1);
    EXPECT_EQ(Send(Udp(kWan, kLan, 9000, static_cast<uint16_t>(15000 + port))).mark, 0x5c802u);
  }
}

TEST_F(HookTest, LanSideFtpPortAndP2pStates) {
  relayk_result r = Send(Tcp(kLan, kWan, 2000, 21));
  EXPECT_EQ(r.mark, 0x42c05u);
  EXPECT_EQ(r.prio_class, 4u);
  r = Send(Tcp(kWan, kLan, 2001, 21));
  EXPECT_NE(r.mark, 0x42c05u) << "the FTP port counts on the LAN side only";

  const struct {
    uint32_t state;
    uint32_t mark;
    unsigned prio;
  } rows[] = {{3, 0x23001, 2},  {4, 0x5c803, 5},  {5, 0x7d03f, 65}, {6, 0x8d409, 8},
              {7, 0x8d40d, 8},  {8, 0x8d40c, 8},  {10, 0xae401, 9}, {0, 0, 65},
              {1, 0, 65},       {9, 0, 65}};
  uint16_t port = 2100;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.state);
    unsigned c = Open(Udp(kLan, kWan, ++port, 53000));
    Set(c, RELAYK_MARK, 0);
    Set(c, RELAYK_P2P_STATE, row.state);
    r = Send(Udp(kLan, kWan, port, 53000));
    EXPECT_EQ(r.mark, row.mark);
    EXPECT_EQ(r.prio_class, row.prio);
  }
}

}  // namespace
}  // namespace qarn_test
