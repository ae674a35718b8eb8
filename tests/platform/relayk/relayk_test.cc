// The relayk stand-in: connection tracking and accounting, what the hook is handed, the
// virtual netlink service, and the tick driver.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame/relayk_if.h"
#include "kstub/kstub.h"
#include "packets.h"
#include "relayk/relayk.h"

namespace {

using packets::Bytes;
using packets::Icmp;
using packets::Ip;

constexpr uint32_t kLan = Ip(192, 168, 3, 4);
constexpr uint32_t kWan = Ip(100, 100, 9, 9);

Bytes Tcp(uint32_t s, uint32_t d, uint16_t sp, uint16_t dp, size_t plen = 0) {
  return packets::Tcp(s, d, sp, dp, Bytes(plen, 'x'));
}

Bytes Udp(uint32_t s, uint32_t d, uint16_t sp, uint16_t dp, size_t plen = 0) {
  return packets::Udp(s, d, sp, dp, Bytes(plen, 'u'));
}

// What a test hook saw of the last packet.
struct Seen {
  int calls = 0;
  uint32_t prio_on_entry, dir_code, lan_host;
  bool has_conn, has_acct;
  uint64_t fwd_packets, fwd_bytes, reply_packets, reply_bytes;
  uint32_t reply_aux;
  uint64_t raw[8];
  uint16_t fwd_dport;
  uint8_t proto;
  unsigned len;
};
Seen seen;

int RecordingHook(struct sk_buff* skb) {
  seen.calls++;
  seen.prio_on_entry = relayk_prio_class(skb);
  seen.dir_code = relayk_dir_code(skb);
  seen.lan_host = relayk_lan_host_addr(skb);
  seen.len = skb->len;
  struct nf_conn* ct = relayk_conn(skb);
  seen.has_conn = ct != nullptr;
  seen.has_acct = false;
  if (ct) {
    seen.fwd_dport = ntohs(relayk_ct_fwd_dport(ct));
    seen.proto = relayk_ct_protocol(ct);
    struct relayk_acct* a = relayk_ct_acct(ct);
    seen.has_acct = a != nullptr;
    if (a) {
      seen.fwd_packets = relayk_acct_packets(a, RELAYK_DIR_FORWARD);
      seen.fwd_bytes = relayk_acct_bytes(a, RELAYK_DIR_FORWARD);
      seen.reply_packets = relayk_acct_packets(a, RELAYK_DIR_REPLY);
      seen.reply_bytes = relayk_acct_bytes(a, RELAYK_DIR_REPLY);
      seen.reply_aux = relayk_acct_reply_aux(a);
      std::memcpy(seen.raw, a, sizeof(seen.raw));
    }
    relayk_set_ct_app_mark(ct, relayk_ct_app_mark(ct) + 1);
  }
  relayk_set_prio_class(skb, 77);
  return 5;
}

class RelaykTest : public ::testing::Test {
 protected:
  void SetUp() override {
    relayk_reset(100);
    seen = Seen();
    relayk_set_sys_app_recognize(RecordingHook);
  }
  void TearDown() override {
    relayk_set_sys_app_recognize(nullptr);
    relayk_reset(100);
  }
  relayk_result In(const Bytes& p, const relayk_in_opts* o = nullptr) {
    relayk_result r;
    EXPECT_EQ(relayk_packet_in(p.data(), static_cast<unsigned>(p.size()), o, &r), 0);
    return r;
  }
};

TEST_F(RelaykTest, FirstPacketSetsTheForwardDirectionAndCountersPrecedeTheHook) {
  relayk_result r = In(Tcp(kWan, kLan, 80, 5000, 10));  // from the WAN: that is forward
  EXPECT_EQ(r.conn, 1u);
  EXPECT_FALSE(r.reply);
  EXPECT_EQ(seen.fwd_packets, 1u);
  EXPECT_EQ(seen.fwd_bytes, 50u) << "bytes are the IP total length";
  EXPECT_EQ(seen.fwd_dport, 5000);
  EXPECT_EQ(seen.proto, 6);

  r = In(Tcp(kLan, kWan, 5000, 80, 100));
  EXPECT_EQ(r.conn, 1u);
  EXPECT_TRUE(r.reply);
  EXPECT_EQ(seen.reply_packets, 1u);
  EXPECT_EQ(seen.reply_bytes, 140u);
  EXPECT_EQ(seen.reply_aux, 1u) << "reply_aux counts reply packets";
  r = In(Tcp(kLan, kWan, 5000, 80));
  EXPECT_EQ(seen.prio_on_entry, 0u) << "prio_class is 0 before every call";
  EXPECT_EQ(r.ret, 5);
  EXPECT_EQ(r.prio_class, 77u);
  EXPECT_EQ(r.mark, 3u) << "the hook's mark is kept with the connection";
  EXPECT_EQ(seen.reply_packets, 2u);
  EXPECT_EQ(seen.fwd_packets, 1u);
  // two blocks of four 64-bit counters: forward packets, bytes, -, -; reply packets, bytes,
  // -, reply_aux
  const uint64_t want[8] = {1, 50, 0, 0, 2, 180, 0, 2};
  EXPECT_EQ(std::memcmp(seen.raw, want, sizeof(want)), 0);
  EXPECT_EQ(relayk_conn_get(1, RELAYK_ACCT_OFFSET), 16u);
}

TEST_F(RelaykTest, ConnectionsAreKeyedByProtocolAddressesAndPorts) {
  EXPECT_EQ(In(Tcp(kLan, kWan, 1, 2)).conn, 1u);
  EXPECT_EQ(In(Udp(kLan, kWan, 1, 2)).conn, 2u);
  EXPECT_EQ(In(Udp(kLan, kWan, 1, 3)).conn, 3u);
  EXPECT_EQ(In(Udp(kWan, kLan, 3, 1)).conn, 3u);
  EXPECT_EQ(In(Icmp(kLan, kWan)).conn, 4u);
  EXPECT_EQ(In(Icmp(kWan, kLan)).conn, 4u) << "ICMP by addresses alone";
  EXPECT_EQ(relayk_conn_count(), 4u);
  EXPECT_EQ(relayk_conn_get(3, RELAYK_FWD_SPORT), 1u);
  EXPECT_EQ(relayk_conn_get(3, RELAYK_FWD_DADDR), kWan);
  EXPECT_EQ(relayk_conn_get(9, RELAYK_MARK), ~0ULL);
  EXPECT_EQ(relayk_conn_set(9, RELAYK_MARK, 1), -1);
}

TEST_F(RelaykTest, DirCodeAndLanHostFollowTheLanNetworks) {
  const struct {
    uint32_t src, dst;
    unsigned dir_code;
    uint32_t lan_host;
  } defaults[] = {
      {Ip(192, 168, 9, 9), kWan, 0, Ip(192, 168, 9, 9)},
      {Ip(10, 200, 0, 1), kWan, 0, Ip(10, 200, 0, 1)},
      {kWan, Ip(10, 0, 0, 7), 1, Ip(10, 0, 0, 7)},
      {Ip(172, 16, 0, 1), kWan, 1, kWan},
      {Ip(11, 0, 0, 1), Ip(192, 169, 0, 1), 1, Ip(192, 169, 0, 1)},
  };
  for (const auto& row : defaults) {
    In(Icmp(row.src, row.dst));
    EXPECT_EQ(seen.dir_code, row.dir_code) << std::hex << row.src;
    EXPECT_EQ(seen.lan_host, row.lan_host) << std::hex << row.src;
  }
  relayk_add_lan(Ip(172, 16, 0, 0), 12);
  In(Icmp(Ip(172, 31, 255, 1), kWan));
  EXPECT_EQ(seen.dir_code, 0u);
  In(Icmp(Ip(192, 168, 0, 1), kWan));
  EXPECT_EQ(seen.dir_code, 1u) << "named networks replace the default ones";

  relayk_in_opts o{};
  o.set_dir_code = 1;
  o.dir_code = 101;
  EXPECT_EQ(In(Icmp(Ip(172, 31, 255, 1), kWan), &o).dir_code, 101u);
}

TEST_F(RelaykTest, MissingConnectionExtensionOrAccounting) {
  relayk_in_opts o{};
  o.no_conn = 1;
  relayk_result r = In(Tcp(kLan, kWan, 1, 2), &o);
  EXPECT_FALSE(seen.has_conn);
  EXPECT_EQ(r.conn, 0u);
  EXPECT_EQ(relayk_conn_count(), 0u);

  In(Tcp(kLan, kWan, 1, 2));
  ASSERT_EQ(relayk_conn_set(1, RELAYK_ACCT_OFFSET, 0), 0);
  In(Tcp(kLan, kWan, 1, 2));
  EXPECT_TRUE(seen.has_conn);
  EXPECT_FALSE(seen.has_acct);
  EXPECT_EQ(relayk_conn_set(1, RELAYK_ACCT_OFFSET, 3), -1) << "only where the area lies";
  ASSERT_EQ(relayk_conn_set(1, RELAYK_ACCT_OFFSET, 16), 0);
  In(Tcp(kLan, kWan, 1, 2));
  EXPECT_EQ(seen.fwd_packets, 2u) << "no counting while the area was absent";
  ASSERT_EQ(relayk_conn_set(1, RELAYK_HAS_EXT, 0), 0);
  In(Tcp(kLan, kWan, 1, 2));
  EXPECT_FALSE(seen.has_acct);
  EXPECT_EQ(relayk_conn_get(1, RELAYK_ACCT_OFFSET), 0u);
}

TEST_F(RelaykTest, PacketsThatHoldNoIpv4HeaderAreRefused) {
  relayk_result r;
  Bytes p = Tcp(kLan, kWan, 1, 2);
  EXPECT_EQ(relayk_packet_in(p.data(), 19, nullptr, &r), -1);
  p[0] = 0x65;
  EXPECT_EQ(relayk_packet_in(p.data(), static_cast<unsigned>(p.size()), nullptr, &r), -1);
  EXPECT_EQ(seen.calls, 0);
  // a header that claims more than the packet holds still reaches the hook, as it is
  Bytes cut = Tcp(kLan, kWan, 1, 2);
  cut.resize(30);
  In(cut);
  EXPECT_EQ(seen.len, 30u);
}

TEST_F(RelaykTest, OtherHooksAreCalledWhenSet) {
  relayk_result r = In(Tcp(kLan, kWan, 1, 25));
  EXPECT_EQ(r.email_port, -1);
  EXPECT_EQ(r.p2p_peer, -1);
  relayk_set_check_email_dispatch([](struct sk_buff*) { return 1; });
  relayk_set_check_p2p_dispatch([](struct sk_buff*) { return 0; });
  relayk_set_app_dispatch_mark([](struct sk_buff* skb, u32 index) {
    relayk_set_route_mark(skb, index * 2);
    return 0;
  });
  EXPECT_EQ(relayk_hooks_set(), 0xfu);
  relayk_in_opts o{};
  o.route_index = 21;
  r = In(Tcp(kLan, kWan, 1, 25), &o);
  EXPECT_EQ(r.email_port, 1);
  EXPECT_EQ(r.p2p_peer, 0);
  EXPECT_EQ(r.route_mark, 42u);
  o.no_queries = 1;  // relayk's own questions left out; the rest as before
  r = In(Tcp(kLan, kWan, 1, 25), &o);
  EXPECT_EQ(r.email_port, -1);
  EXPECT_EQ(r.p2p_peer, -1);
  EXPECT_EQ(r.route_mark, 42u);
  EXPECT_EQ(r.ret, 5);
  relayk_set_check_email_dispatch(nullptr);
  relayk_set_check_p2p_dispatch(nullptr);
  relayk_set_app_dispatch_mark(nullptr);
  EXPECT_EQ(relayk_hooks_set(), 1u);
}

// The buffer the hook is handed: a copy exactly as long as the packet, on the stack up to
// 2048 bytes and on the heap beyond, or with in_place the caller's own bytes.
const unsigned char* handed;
Bytes handed_bytes;
int BufferHook(struct sk_buff* skb) {
  handed = skb->data;
  handed_bytes.assign(skb->data, skb->data + skb->len);
  return 0;
}

TEST_F(RelaykTest, PacketBufferCopiedOrHandedInPlace) {
  relayk_set_sys_app_recognize(BufferHook);
  for (size_t plen : {0, 2048 - 48, 2048 - 47, 9000}) {
    SCOPED_TRACE(plen);
    Bytes p = Udp(kLan, kWan, 7, 8, plen);
    In(p);
    EXPECT_NE(handed, p.data());
    EXPECT_EQ(handed_bytes, p);
    relayk_in_opts o{};
    o.in_place = 1;
    In(p, &o);
    EXPECT_EQ(handed, p.data());
    EXPECT_EQ(handed_bytes, p);
  }
}

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
int OverReadingHook(struct sk_buff* skb) { return skb->data[skb->len]; }

TEST(RelaykDeathTest, ReadingPastTheCopyIsReported) {
  for (size_t plen : {10, 5000}) {  // the stack copy and the heap copy
    Bytes p = Udp(kLan, kWan, 7, 8, plen);
    EXPECT_DEATH(
        {
          relayk_reset(100);
          relayk_set_sys_app_recognize(OverReadingHook);
          relayk_result r;
          relayk_packet_in(p.data(), static_cast<unsigned>(p.size()), nullptr, &r);
        },
        "use-after-poison|heap-buffer-overflow");
  }
}
#endif

std::vector<uint8_t> received;
int Receiver(void* msg) {
  const uint8_t* m = static_cast<const uint8_t*>(msg);
  uint32_t len;
  std::memcpy(&len, m + 8, 4);
  received.assign(m, m + len);
  return 0;
}

TEST_F(RelaykTest, VirtualNetlinkDeliversCopiesAndQueuesReplies) {
  uint32_t msg[10] = {17, 0, 40, 0, 0, 0, 0, 99, 0xdead, 0xbeef};
  EXPECT_EQ(relayk_netlink_deliver(120, msg, sizeof msg), -1) << "no receiver yet";
  ASSERT_EQ(virtual_netlink_regist(120, Receiver), 0);
  EXPECT_TRUE(relayk_netlink_registered(120));
  EXPECT_EQ(relayk_netlink_deliver(120, msg, sizeof msg), 0);
  EXPECT_EQ(received, std::vector<uint8_t>(reinterpret_cast<uint8_t*>(msg),
                                           reinterpret_cast<uint8_t*>(msg) + 40));
  EXPECT_EQ(relayk_netlink_deliver(120, msg, 31), -1) << "shorter than a header";
  msg[2] = 44;
  EXPECT_EQ(relayk_netlink_deliver(120, msg, sizeof msg), -1) << "shorter than it says";
  EXPECT_EQ(relayk_netlink_deliver(121, msg, sizeof msg), -1);

  uint32_t first[8] = {1, 2, 3, 4, 5, 6, 7, 8}, second[8] = {9};
  EXPECT_EQ(virtual_netlink_send(11, first, 32, 32), 32);
  EXPECT_EQ(virtual_netlink_send(12, second, 32, 32), 32);
  first[0] = 100;  // the service has copied it
  uint32_t got[8];
  unsigned pid;
  EXPECT_EQ(relayk_netlink_take_reply(&pid, got, sizeof got), 32);
  EXPECT_EQ(pid, 11u);
  EXPECT_EQ(got[0], 1u);
  EXPECT_EQ(relayk_netlink_take_reply(&pid, got, sizeof got), 32);
  EXPECT_EQ(pid, 12u);
  EXPECT_EQ(relayk_netlink_take_reply(&pid, got, sizeof got), -1);

  ASSERT_EQ(virtual_netlink_unregist(120), 0);
  EXPECT_FALSE(relayk_netlink_registered(120));
  msg[2] = 40;
  EXPECT_EQ(relayk_netlink_deliver(120, msg, sizeof msg), -1);
}

TEST_F(RelaykTest, TicksStartFiveMinutesBeforeWrapAndFollowTheCapture) {
  EXPECT_EQ(kstub_jiffies(), 0u - 30000u);
  relayk_reset(1000);
  EXPECT_EQ(kstub_jiffies(), 0u - 300000u);
  relayk_reset(100);
  uint32_t start = kstub_jiffies();
  relayk_clock_follow(5000000);  // the base
  EXPECT_EQ(kstub_jiffies(), start);
  relayk_clock_follow(6500000);
  EXPECT_EQ(kstub_jiffies(), start + 150);
  relayk_clock_follow(6000000);
  EXPECT_EQ(kstub_jiffies(), start + 150) << "time never runs backwards";
  relayk_clock_follow(5000000 + 301ULL * 1000000);
  EXPECT_EQ(kstub_jiffies(), 100u) << "past the wrap";
}

}  // namespace
