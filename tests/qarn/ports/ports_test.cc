// The port and signature checks and relayk's two direct entry points, on packets that pass
// relayk's packet path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "check_harness.h"

extern "C" {
#include "recognise/ports.h"
}

namespace {

using qarn_test::CheckHarness;
using qarn_test::Packet;
using qarn_test::tcp;
using qarn_test::udp;

const qarn_test::Check vpn = [](sk_buff* skb, nf_conn*, qarn_flow*) {
  return qarn_vpn_check_port(skb);
};
const qarn_test::Check lol = [](sk_buff* skb, nf_conn*, qarn_flow*) {
  return qarn_check_lol(skb);
};
const qarn_test::Check pps = [](sk_buff* skb, nf_conn*, qarn_flow*) {
  return qarn_check_pps(skb);
};
const qarn_test::Check email = [](sk_buff* skb, nf_conn*, qarn_flow* flow) {
  return flow ? qarn_check_email(skb, flow) : -9;
};
const qarn_test::Check email_port = [](sk_buff* skb, nf_conn*, qarn_flow*) {
  return qarn_dispatch_check_email(skb);
};

relayk_in_opts direction(unsigned dir_code) {
  relayk_in_opts o{};
  o.set_dir_code = 1;
  o.dir_code = dir_code;
  return o;
}

TEST(VpnCheck, LanSideTcpToTunnelPortsPrintTheirEventLine) {
  struct Row {
    uint16_t port;
    int ret;
    const char* line;
  } rows[] = {
      {1701, 0, "R1 @#@ log_info n 192.168.1.20 - - vpnuse - -v2 L2TP VPN\n"},
      {1723, 0, "R1 @#@ log_info n 192.168.1.20 - - vpnuse - -v2 PPTP VPN\n"},
      {500, 0, "R1 @#@ log_info n 192.168.1.20 - - vpnuse - -v2 IPSEC VPN\n"},
      {4500, 0, "R1 @#@ log_info n 192.168.1.20 - - vpnuse - -v2 IPSEC VPN\n"},
      {1724, -1, ""},
      {443, -1, ""},
  };
  CheckHarness h;
  const relayk_in_opts lan = direction(0);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.port);
    EXPECT_EQ(h.run(tcp("192.168.1.20", 50000, "198.51.100.9", r.port), vpn, &lan).check, r.ret);
    EXPECT_EQ(h.log(), r.line);
  }
}

TEST(VpnCheck, WanSideUdpAndBrokenPacketsAreNotVpn) {
  CheckHarness h;
  const relayk_in_opts wan = direction(1), lan = direction(0);
  EXPECT_EQ(h.run(tcp("192.168.1.20", 50000, "198.51.100.9", 1723), vpn, &wan).check, -1);
  EXPECT_EQ(h.run(udp("192.168.1.20", 50000, "198.51.100.9", 1701, "x"), vpn, &lan).check, -1);
  // a TCP header that claims 60 bytes in a 40-byte packet
  Packet cut = tcp("192.168.1.20", 50001, "198.51.100.9", 1723);
  cut[32] = 0xf0;
  EXPECT_EQ(h.run(cut, vpn, &lan).check, -1);
  EXPECT_EQ(h.log(), "");
}

TEST(GameSignature, UdpPortRangeAndSignature) {
  const std::string sig("\x29\xff\x00", 3);
  struct Row {
    const char* situation;
    Packet pkt;
    int ret;
  } rows[] = {
      {"to port 5200", udp("192.168.1.30", 40000, "198.51.100.1", 5200, sig + "data"), 0},
      {"to port 5000", udp("192.168.1.30", 40000, "198.51.100.1", 5000, sig), 0},
      {"from port 5100", udp("198.51.100.1", 5100, "192.168.1.30", 40000, sig), 0},
      {"to port 5201", udp("192.168.1.30", 40000, "198.51.100.1", 5201, sig), -1},
      {"to port 4999", udp("192.168.1.30", 40000, "198.51.100.1", 4999, sig), -1},
      {"other third byte", udp("192.168.1.30", 40000, "198.51.100.1", 5200, "\x29\xff\x01"),
       -1},
      {"UDP length 10", udp("192.168.1.30", 40000, "198.51.100.1", 5200, sig.substr(0, 2)), -1},
      {"TCP", tcp("192.168.1.30", 40000, "198.51.100.1", 5200, sig), -1},
  };
  CheckHarness h;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.situation);
    EXPECT_EQ(h.run(r.pkt, lol).check, r.ret);
  }
  relayk_in_opts no_conn{};
  no_conn.no_conn = 1;
  EXPECT_EQ(h.run(rows[0].pkt, lol, &no_conn).check, -1);
  // the UDP length claims more bytes than the packet holds: the signature is held, and
  // only what a check reads has to be
  Packet cut = rows[0].pkt;
  cut[25] += 8;
  EXPECT_EQ(h.run(cut, lol).check, 0);
}

const char kPlayer[] = "v.example.net/static/vs/v1.0.0/v/swf/flvplay_s.swf";

std::string get(const std::string& fourth_line, const std::string& fifth_line = "") {
  return "GET /video/1 HTTP/1.1\r\nHost: cdn.example.net\r\nAccept: */*\r\n" + fourth_line +
         "\r\n" + fifth_line + "\r\n";
}

TEST(VideoService, RefererOfThePlayerOnTheFourthLine) {
  const std::string referer = std::string("Referer: http://") + kPlayer;
  struct Row {
    const char* situation;
    std::string payload;
    uint16_t port;
    int ret;
  } rows[] = {
      {"player's referer", get(referer), 80, 0},
      {"player's referer with a query", get(referer + "?v=2"), 80, -1},
      {"another player", get("Referer: http://w.example.net/static/vs/v1.0.0/v/swf/flvplay_s.swf"),
       80, -1},
      {"referer on the fifth line", get("Cookie: a=b", referer), 80, -1},
      {"not a Referer line", get(std::string("Origin: http://xx") + kPlayer), 80, -1},
      {"referer ends the payload without a line feed",
       "GET /video/1 HTTP/1.1\r\nHost: c\r\nAccept: */*\r\n" + referer + "\r", 80, -1},
      {"zero byte before the fourth line feed",
       get(std::string("Referer: http://\0", 17) + kPlayer), 80, -1},
      {"to port 8080", get(referer), 8080, -1},
  };
  CheckHarness h;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.situation);
    EXPECT_EQ(h.run(tcp("192.168.1.40", 40000, "198.51.100.2", r.port, r.payload), pps).check,
              r.ret);
  }
}

TEST(VideoService, UdpSignatureOnItsPorts) {
  const std::string sig("\x21\x04\x43\x00\x00\xa2\x00\x01", 8);
  const std::string big = sig + std::string(993, 'v');  // UDP length 1009
  struct Row {
    const char* situation;
    Packet pkt;
    int ret;
  } rows[] = {
      {"from 22075", udp("198.51.100.3", 22075, "192.168.1.41", 40000, big), 0},
      {"to 22075", udp("192.168.1.41", 40000, "198.51.100.3", 22075, big), 0},
      {"to 22331", udp("192.168.1.41", 40000, "198.51.100.3", 22331, big), 0},
      {"from 22331", udp("198.51.100.3", 22331, "192.168.1.41", 40001, big), -1},
      {"UDP length 1000", udp("192.168.1.41", 40002, "198.51.100.3", 22075, sig + std::string(984, 'v')), -1},
      {"UDP length 1001", udp("192.168.1.41", 40003, "198.51.100.3", 22075, sig + std::string(985, 'v')), 0},
      {"other signature", udp("192.168.1.41", 40004, "198.51.100.3", 22075, std::string(1001, 'v')), -1},
  };
  CheckHarness h;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.situation);
    EXPECT_EQ(h.run(r.pkt, pps).check, r.ret);
  }
}

TEST(EmailCheck, PortsAndGreetings) {
  struct Row {
    const char* situation;
    uint16_t sport, dport;
    std::string payload;
    int ret;
  } rows[] = {
      {"25 to 443 with a greeting", 25, 443, "220 mail.example.net ESMTP\r\n", 0},
      {"25 to 443 with another reply", 25, 443, "250 OK\r\n", 1},
      {"443 with a greeting", 443, 40000, "220 ready\r\n", 0},
      {"443 with web traffic", 40000, 443, "\x16\x03\x01\x02\x00", 1},
      {"443 with only two bytes", 443, 40000, "22", 1},
      {"POP3 whatever the payload", 40000, 110, "x", 0},
      {"submission port", 40000, 587, "EHLO a\r\n", 0},
      {"IMAPS from the server", 993, 40000, "* OK\r\n", 0},
      {"no e-mail port", 40000, 8080, "220 ready\r\n", 1},
      {"empty payload", 40000, 110, "", 1},
  };
  CheckHarness h;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.situation);
    EXPECT_EQ(h.run(tcp("192.168.1.50", r.sport, "198.51.100.4", r.dport, r.payload), email)
                  .check,
              r.ret);
  }
  EXPECT_EQ(h.run(udp("192.168.1.50", 40000, "198.51.100.4", 25, "220 x"), email).check, 1);
}

TEST(EmailPortDispatch, AnyOfTheElevenPortsOnEitherSide) {
  CheckHarness h;
  const uint16_t ports[] = {25, 109, 110, 143, 209, 443, 465, 587, 993, 994, 995};
  for (uint16_t p : ports) {
    SCOPED_TRACE(p);
    EXPECT_EQ(h.run(tcp("192.168.1.51", 40000, "198.51.100.5", p), email_port).check, 1);
    EXPECT_EQ(h.run(tcp("198.51.100.5", p, "192.168.1.51", 40001), email_port).check, 1);
  }
  EXPECT_EQ(h.run(tcp("192.168.1.51", 40000, "198.51.100.5", 26), email_port).check, 0);
  EXPECT_EQ(h.run(udp("192.168.1.51", 40000, "198.51.100.5", 25, "x"), email_port).check, 0);
  // relayk's own call through check_email_dispatch
  relayk_set_check_email_dispatch(qarn_dispatch_check_email);
  auto out = h.run(tcp("192.168.1.51", 40002, "198.51.100.5", 995), email_port);
  EXPECT_EQ(out.relayk.email_port, 1);
  relayk_set_check_email_dispatch(nullptr);
}

// Headers that claim more bytes than the packet holds: no check reads past the end, and none
// recognises the packet from bytes it does not hold.
TEST(TruncatedPackets, NoCheckRecognisesThem) {
  const std::string sig("\x21\x04\x43\x00\x00\xa2\x00\x01", 8);
  Packet referer = tcp("192.168.1.70", 40000, "198.51.100.2", 80,
                       get(std::string("Referer: http://") + kPlayer));
  referer[32] = 0xf0;  // TCP data offset of 60 bytes
  Packet mail = tcp("192.168.1.70", 40001, "198.51.100.4", 25);
  mail[32] = 0xf0;     // 60-byte header in a 40-byte packet
  Packet video = udp("192.168.1.70", 40002, "198.51.100.3", 22075, sig + std::string(993, 'v'));
  video[24] = 0x05;    // UDP length 0x05f1, past the datagram
  Packet game = udp("192.168.1.70", 40003, "198.51.100.1", 5200, "\x29\xff\x00\x01");
  game.resize(game.size() - 1);
  game[3] -= 1;        // the IP total length follows the cut, the UDP length does not
  CheckHarness h;
  EXPECT_EQ(h.run(referer, pps).check, -1);
  EXPECT_EQ(h.run(mail, email_port).check, 0);
  EXPECT_EQ(h.run(mail, email).check, -9);  // no Flow view is built for it either
  EXPECT_EQ(h.run(video, pps).check, 0);  // its signature's 8 bytes are held
  EXPECT_EQ(h.run(game, lol).check, -1);
  // the same packets whole are recognised
  referer[32] = 0x50;
  EXPECT_EQ(h.run(referer, pps).check, 0);
  mail[32] = 0x50;
  EXPECT_EQ(h.run(mail, email_port).check, 1);
}

TEST(PolicyRouteMark, Table) {
  struct Row {
    const char* situation;
    unsigned dir_code;
    uint32_t index;
    uint32_t before, after;
  } rows[] = {
      {"index 4 replaces bits 8 to 15", 0, 4, 0x12345678, 0x12340378},
      {"index 1", 0, 1, 0, 0x100},
      {"index 16", 0, 16, 0xffffffff, 0xffff05ff},
      {"index 32", 0, 32, 0, 0x600},
      {"index 64", 0, 64, 0, 0x700},
      {"index 128", 0, 128, 0x12345678, 0x12340878},
      {"index 11 also sets bit 12", 0, 11, 0x12345678, 0x12341078},
      {"index 15 also sets bit 14", 0, 15, 0x12345678, 0x12344078},
      {"index 0", 0, 0, 0x12345678, 0xffffffff},
      {"index 17 has no entry", 0, 17, 0x12345678, 0xffffffff},
      {"index 127 has no entry", 0, 127, 0, 0xffffffff},
      {"index 129", 0, 129, 0x12345678, 0xffffffff},
      {"WAN side is left alone", 1, 4, 0x12345678, 0x12345678},
      {"WAN side with an index out of range", 1, 129, 0x12345678, 0x12345678},
  };
  CheckHarness h;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.situation);
    const qarn_test::Check mark = [&r](sk_buff* skb, nf_conn*, qarn_flow*) {
      relayk_set_route_mark(skb, r.before);
      int ret = app_policy_route_mark(skb, r.index);
      return ret == 0 && relayk_route_mark(skb) == r.after ? 0 : 1;
    };
    const relayk_in_opts dir = direction(r.dir_code);
    EXPECT_EQ(h.run(tcp("192.168.1.60", 40000, "198.51.100.6", 80), mark, &dir).check, 0);
  }
}

}  // namespace
