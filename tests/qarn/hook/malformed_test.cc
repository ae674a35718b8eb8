// Packets whose headers do not fit what they hold: the hook and every check it calls must
// stay inside the packet (run under AddressSanitizer, which sees a read past its end).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "qarn_fixture.h"

namespace qarn_test {
namespace {

// An IPv4 header with the given fields, then `rest` (the packet is exactly that long).
Bytes RawIp(uint8_t ihl_words, uint8_t proto, uint16_t tot_len, const Bytes& rest,
            uint32_t src = kLan, uint32_t dst = kWan) {
  Bytes b(20, 0);
  b[0] = static_cast<uint8_t>(0x40 | (ihl_words & 15));
  b[2] = static_cast<uint8_t>(tot_len >> 8);
  b[3] = static_cast<uint8_t>(tot_len);
  b[8] = 64;
  b[9] = proto;
  for (int i = 0; i < 4; i++) {
    b[12 + i] = static_cast<uint8_t>(src >> (24 - 8 * i));
    b[16 + i] = static_cast<uint8_t>(dst >> (24 - 8 * i));
  }
  b.insert(b.end(), rest.begin(), rest.end());
  return b;
}

Bytes TcpHeader(uint16_t sport, uint16_t dport, uint8_t doff_words) {
  Bytes t(20, 0);
  t[0] = static_cast<uint8_t>(sport >> 8);
  t[1] = static_cast<uint8_t>(sport);
  t[2] = static_cast<uint8_t>(dport >> 8);
  t[3] = static_cast<uint8_t>(dport);
  t[12] = static_cast<uint8_t>(doff_words << 4);
  return t;
}

Bytes UdpHeader(uint16_t sport, uint16_t dport, uint16_t len) {
  return {static_cast<uint8_t>(sport >> 8), static_cast<uint8_t>(sport),
          static_cast<uint8_t>(dport >> 8), static_cast<uint8_t>(dport),
          static_cast<uint8_t>(len >> 8),   static_cast<uint8_t>(len), 0, 0};
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class MalformedTest : public QarnTest {};

TEST_F(MalformedTest, TruncatedAndOverlongHeaders) {
  const Bytes sig = Text("facemeetingv2.1#");
  const struct {
    const char* situation;
    Bytes pkt;
    bool signature_held = false;  // the check reads only the 16 bytes it compares
  } rows[] = {
      {"TCP without a TCP header", RawIp(5, 6, 20, {})},
      {"TCP header cut after 10 bytes", RawIp(5, 6, 30, Bytes(10, 0))},
      {"IP header length beyond the packet", RawIp(15, 6, 40, TcpHeader(1, 80, 5))},
      {"IP header length below 20", RawIp(4, 17, 28, UdpHeader(1, 2, 8))},
      {"TCP data offset beyond the packet", RawIp(5, 6, 40, TcpHeader(1, 443, 15))},
      {"TCP data offset below 5", RawIp(5, 6, 56, Cat(TcpHeader(1, 443, 2), sig))},
      {"UDP length beyond the packet", RawIp(5, 17, 60, Cat(UdpHeader(1, 8000, 2000), sig)),
       true},
      {"UDP length below its header", RawIp(5, 17, 44, Cat(UdpHeader(1, 8000, 3), sig))},
      {"total length beyond the packet",
       RawIp(5, 6, 1500, Cat(TcpHeader(1, 443, 5), Text("facemeeting")))},
      {"total length below the header", RawIp(5, 17, 10, Cat(UdpHeader(1, 8000, 24), sig))},
      {"ICMP with header length beyond the packet", RawIp(15, 1, 60, Bytes(4, 0))},
  };
  ASSERT_EQ(kstub_param_set("qarn_debug", 7), 0);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.situation);
    for (uint32_t mark : {0u, 0x30000u}) {
      relayk_result r = Send(row.pkt);
      EXPECT_TRUE(r.ret == 0 || r.ret == -1);
      if (row.signature_held)
        EXPECT_EQ(r.mark >> 16 & 63, 5u) << "the signature is held whole";
      else
        EXPECT_NE(r.mark >> 16 & 63, 5u) << "no conference signature in a malformed packet";
      EXPECT_NE(r.mark, 0x6cc01u) << "no framed message in a malformed packet";
      ASSERT_EQ(relayk_conn_set(r.conn, RELAYK_MARK, mark), 0);
    }
  }
}

TEST_F(MalformedTest, CutSignaturesAreNotRecognised) {
  // the total length claims the whole signature, the packet holds only part of it
  Bytes tcp = Tcp(kLan, kWan, 1000, 443, Text("facemeetingv2.1#"));
  tcp.resize(tcp.size() - 1);
  EXPECT_NE(Send(tcp).mark >> 16 & 63, 5u);
  Bytes udp = Udp(kLan, kWan, 1001, 8000, {0x02, 0x00, 0x00, 0x03});
  udp.resize(udp.size() - 1);
  EXPECT_NE(Send(udp).mark, 0x6cc01u);
  // whole, the same packets are recognised
  EXPECT_EQ(Send(Tcp(kLan, kWan, 1002, 443, Text("facemeetingv2.1#"))).mark >> 16 & 63, 5u);
  EXPECT_EQ(Send(Udp(kLan, kWan, 1003, 8000, {0x02, 0x00, 0x00, 0x03})).mark, 0x6cc01u);
}

TEST_F(MalformedTest, HeaderVerdictsSurviveAWrongUdpLengthOrACut) {
  // UDP lengths that disagree with the IP length, either way: the ports still decide
  EXPECT_EQ(Send(RawIp(5, 17, 40, Cat(UdpHeader(1, 53, 900), Bytes(12, 0)))).mark, 0x23001u);
  EXPECT_EQ(Send(RawIp(5, 17, 40, Cat(UdpHeader(2, 53, 4), Bytes(12, 0)))).mark, 0x23001u);
  // the total length claims 1400 bytes, the packet holds its headers and 6 bytes of payload
  Bytes mail = Tcp(kWan, kLan, 25, 1004, Text("220 mx"));
  mail[2] = 1400 >> 8;
  mail[3] = 1400 & 255;
  EXPECT_EQ(Send(mail).mark, 0xb3400u);
  // a cut inside the TCP options keeps no Flow view: no FTP mark, which its whole header gets
  EXPECT_EQ(Send(RawIp(5, 6, 60, TcpHeader(1005, 21, 10))).mark, 0u);
  EXPECT_EQ(Send(RawIp(5, 6, 60, Cat(TcpHeader(1006, 21, 10), Bytes(20, 1)))).mark, 0x42c05u);
}

TEST_F(MalformedTest, RandomHeadersStayInsideThePacket) {
  std::mt19937 rng(20150722);
  auto pick = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
  ASSERT_EQ(kstub_param_set("qarn_debug", 7), 0);
  ASSERT_EQ(Deliver({16, 1, 32, 0, 0, 0, 0, 1}), 0);
  ASSERT_EQ(Deliver({17, 0, 44, 1, 0, 0, 0, 1, 0, Ip(192, 168, 1, 3), Ip(192, 168, 1, 3)}), 0);
  const uint8_t protos[] = {6, 17, 1, 6, 17};
  const uint16_t ports[] = {21, 53, 80, 443, 1723, 4500, 5100, 8000, 8080, 12100, 22075, 40000};
  for (int i = 0; i < 4000; i++) {
    size_t len = 20 + pick(120);
    Bytes b(len);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    b[0] = static_cast<uint8_t>(0x40 | pick(16));
    uint16_t tot = pick(4) ? static_cast<uint16_t>(len - pick(8)) : static_cast<uint16_t>(rng());
    b[2] = static_cast<uint8_t>(tot >> 8);
    b[3] = static_cast<uint8_t>(tot);
    b[9] = protos[pick(5)];
    b[6] = b[7] = 0;
    uint32_t lan = Ip(192, 168, 1, 1 + pick(4)), wan = Ip(100, 100, 0, 1 + pick(3));
    bool out = pick(2);
    for (int k = 0; k < 4; k++) {
      b[12 + k] = static_cast<uint8_t>((out ? lan : wan) >> (24 - 8 * k));
      b[16 + k] = static_cast<uint8_t>((out ? wan : lan) >> (24 - 8 * k));
    }
    size_t l4 = (b[0] & 15) * 4u;
    if (l4 >= 20 && l4 + 4 <= len) {
      uint16_t sp = ports[pick(12)], dp = ports[pick(12)];
      b[l4] = static_cast<uint8_t>(sp >> 8);
      b[l4 + 1] = static_cast<uint8_t>(sp);
      b[l4 + 2] = static_cast<uint8_t>(dp >> 8);
      b[l4 + 3] = static_cast<uint8_t>(dp);
    }
    relayk_result r = Send(b);
    ASSERT_TRUE(r.ret == 0 || r.ret == -1) << i;
    if (r.conn && pick(8) == 0)
      relayk_conn_set(r.conn, RELAYK_MARK, pick(2) ? 0x30000u : (rng() & 0x3fffffu));
  }
  Log();
}

}  // namespace
}  // namespace qarn_test
