// The checks of qarn_extended=1, each next to what the default mode makes of the same
// packets (which stays as it always was).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "qarn_fixture.h"

namespace qarn_test {
namespace {

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void Put16(Bytes* b, size_t at, unsigned v) {
  (*b)[at] = static_cast<uint8_t>(v >> 8);
  (*b)[at + 1] = static_cast<uint8_t>(v);
}

// A TLS record holding a client hello with the server name, and a few more extensions.
Bytes ClientHello(const std::string& name) {
  Bytes sni = {0x00, 0x00, 0, 0, 0, 0, 0x00, 0, 0};
  Put16(&sni, 2, static_cast<unsigned>(name.size() + 5));
  Put16(&sni, 4, static_cast<unsigned>(name.size() + 3));
  Put16(&sni, 7, static_cast<unsigned>(name.size()));
  sni = Cat(sni, Text(name));
  Bytes other = {0x00, 0x0b, 0x00, 0x02, 0x01, 0x00};  // ec point formats
  Bytes exts = Cat(other, sni);
  Bytes body = {0x03, 0x03};
  body.resize(2 + 32, 0x5a);  // random
  body.push_back(32);         // session id
  body.resize(body.size() + 32, 0x11);
  body = Cat(body, {0x00, 0x04, 0x13, 0x01, 0x13, 0x02, 0x01, 0x00});  // suites, compression
  body.push_back(static_cast<uint8_t>(exts.size() >> 8));
  body.push_back(static_cast<uint8_t>(exts.size()));
  body = Cat(body, exts);
  Bytes hs = {0x01, 0, static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
  hs = Cat(hs, body);
  Bytes rec = {0x16, 0x03, 0x01, static_cast<uint8_t>(hs.size() >> 8),
               static_cast<uint8_t>(hs.size())};
  return Cat(rec, hs);
}

Bytes Filled(std::initializer_list<uint8_t> head, size_t size, uint8_t fill = 0x44) {
  Bytes b(head);
  b.resize(size, fill);
  return b;
}

struct Row {
  const char* situation;
  std::function<std::vector<Bytes>(uint16_t)> packets;  // from a client port
  uint32_t plain;     // the connection's mark with qarn_extended=0
  uint32_t extended;  // and with 1
};

const uint32_t kPeer = Ip(203, 0, 113, 9);

std::vector<Row> Rows() {
  return {
      {"WireGuard handshake initiation",
       [](uint16_t p) {
         return std::vector<Bytes>{Udp(kLan, kPeer, p, 51820, Filled({1, 0, 0, 0}, 148))};
       },
       0, 0xd0002},
      {"OpenVPN client reset",
       [](uint16_t p) {
         return std::vector<Bytes>{Udp(kLan, kPeer, p, 1194, Filled({0x38}, 14, 0))};
       },
       0, 0xd0001},
      {"L2TP control message",
       [](uint16_t p) {
         return std::vector<Bytes>{Udp(kLan, kPeer, p, 1701, Filled({0xc8, 0x02}, 60))};
       },
       0, 0xd0003},
      {"IKEv2 SA init",
       [](uint16_t p) {
         Bytes ike = Filled({}, 60, 0);
         ike[17] = 0x20;
         ike[18] = 34;
         ike[27] = 60;
         return std::vector<Bytes>{Udp(kLan, kPeer, p, 500, ike)};
       },
       0, 0xd0004},
      {"IKE with a wrong length field",
       [](uint16_t p) {
         Bytes ike = Filled({}, 60, 0);
         ike[17] = 0x20;
         ike[27] = 61;
         return std::vector<Bytes>{Udp(kLan, kPeer, p, 500, ike)};
       },
       0, 0},
      {"TLS to a video service",
       [](uint16_t p) {
         return std::vector<Bytes>{
             Tcp(kLan, kPeer, p, 443, ClientHello("r3.sn-x.GoogleVideo.com"))};
       },
       0, 0x7d002},
      {"TLS to another server",
       [](uint16_t p) {
         return std::vector<Bytes>{Tcp(kLan, kPeer, p, 443, ClientHello("notyoutube.com"))};
       },
       0, 0x42c06},
      {"QUIC initial",
       [](uint16_t p) {
         return std::vector<Bytes>{Udp(kLan, kPeer, p, 443, Filled({0xc3, 0, 0, 0, 1}, 1200))};
       },
       0, 0x42c07},
      {"SSH banner",
       [](uint16_t p) {
         return std::vector<Bytes>{Tcp(kLan, kPeer, p, 22),
                                   Tcp(kPeer, kLan, 22, p, Text("SSH-2.0-OpenSSH_9.2\r\n"))};
       },
       0, 0x42c08},
      {"a DNS query whose id begins like an OpenVPN reset",
       [](uint16_t p) {
         return std::vector<Bytes>{Udp(kLan, kPeer, p, 53, Filled({0x38, 0x12, 1, 0}, 29, 0))};
       },
       0x23001, 0x23001},
      {"NTP client request",
       [](uint16_t p) {
         return std::vector<Bytes>{Udp(kLan, kPeer, p, 123, Filled({0x23}, 48, 0))};
       },
       0, 0x23002},
      {"DNS over TCP", [](uint16_t p) { return std::vector<Bytes>{Tcp(kLan, kPeer, p, 53)}; }, 0,
       0x23001},
      {"FTP data from port 20",
       [](uint16_t p) { return std::vector<Bytes>{Tcp(kPeer, kLan, 20, p)}; }, 0, 0x9d803},
      {"BitTorrent handshake",
       [](uint16_t p) {
         return std::vector<Bytes>{Tcp(kLan, kPeer, p, 51413,
                                       Cat(Text("\x13"
                                                "BitTorrent protocol"),
                                           Bytes(48, 0)))};
       },
       0, 0x8d414},
      {"DHT query",
       [](uint16_t p) {
         return std::vector<Bytes>{
             Udp(kLan, kPeer, p, 6881,
                 Text("d1:ad2:id20:abcdefghij0123456789e1:q4:ping1:t2:aa1:y1:qe"))};
       },
       0, 0x8d415},
      {"uTP SYN",
       [](uint16_t p) {
         return std::vector<Bytes>{
             Udp(kLan, kPeer, p, 6882,
                 Filled({0x41, 0, 0x12, 0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0}, 20, 0))};
       },
       0, 0x8d416},
      {"Transmission's uTP SYN, its header followed by an 8-byte extension-bits extension",
       [](uint16_t p) {
         return std::vector<Bytes>{
             Udp(kLan, kPeer, p, 6911,
                 {0x41, 0x02, 0xef, 0xad, 0xad, 0xae, 0xa9, 0xda, 0x00, 0x00,
                  0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x28, 0xfc, 0x00, 0x00,
                  0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})};
       },
       0, 0x8d416},
      {"a TLS segment that looks framed",
       [](uint16_t p) {
         Bytes seg = Filled({0x17, 0x03, 0x02}, 300);
         seg.back() = 0x03;
         return std::vector<Bytes>{Tcp(kLan, kPeer, p, 443, seg)};
       },
       0x6cc01, 0},
      {"a framed message with its length",
       [](uint16_t p) {
         Bytes m = Filled({0x00, 40, 0x02}, 40);
         m.back() = 0x03;
         return std::vector<Bytes>{Tcp(kLan, kPeer, p, 443, m)};
       },
       0x6cc01, 0x6cc01},
      {"JSON in the eleventh reply, header name in lower case",
       [](uint16_t p) {
         std::vector<Bytes> v;
         for (int i = 0; i < 11; i++) v.push_back(Tcp(kPeer, kLan, 8080, p, Text("xx")));
         v.push_back(Tcp(kPeer, kLan, 8080, p,
                         Text("HTTP/1.1 200 OK\r\ncontent-type:  Application/JSON\r\n\r\n{}")));
         return v;
       },
       0, 0x42c01},
      {"a game's small packets both ways",
       [](uint16_t p) {
         std::vector<Bytes> v;
         for (int i = 0; i < 205; i++) {
           v.push_back(Udp(kLan, kPeer, p, 27015, Bytes(40, 1)));
           v.push_back(Udp(kPeer, kLan, 27015, p, Bytes(60, 2)));
         }
         return v;
       },
       0x5c803, 0x10404},
  };
}

class ExtendedTest : public QarnTest {
 protected:
  uint32_t MarkOf(const Row& r, int extended) {
    EXPECT_EQ(kstub_param_set("qarn_extended", extended), 0);
    relayk_result last{};
    for (const Bytes& b : r.packets(static_cast<uint16_t>(port_++))) last = Send(b);
    return relayk_conn_get(last.conn, RELAYK_MARK);
  }
  unsigned port_ = 30000;
};

TEST_F(ExtendedTest, EachCheckAndTheDefaultBesideIt) {
  for (const Row& r : Rows()) {
    SCOPED_TRACE(r.situation);
    EXPECT_EQ(MarkOf(r, 0), r.plain);
    EXPECT_EQ(MarkOf(r, 1), r.extended);
  }
  ASSERT_EQ(kstub_param_set("qarn_extended", 0), 0);
}

TEST_F(ExtendedTest, CutHandshakesAreReadOnlyAsFarAsHeld) {
  ASSERT_EQ(kstub_param_set("qarn_extended", 1), 0);
  Bytes hello = Tcp(kLan, kPeer, 31000, 443, ClientHello("www.youtube.com"));
  Bytes cut(hello.begin(), hello.end() - 10);  // the name's end is missing
  EXPECT_EQ(Send(cut).mark, 0x42c06u) << "a hello without a readable name is web";
  EXPECT_EQ(Send(Tcp(kLan, kPeer, 31001, 443, ClientHello("www.youtube.com"))).mark, 0x7d002u);
  Bytes wg = Udp(kLan, kPeer, 31002, 51820, Filled({1, 0, 0, 0}, 148));
  wg.resize(60);  // a cut capture: the UDP length still says 148
  EXPECT_EQ(Send(wg).mark, 0xd0002u);
  ASSERT_EQ(kstub_param_set("qarn_extended", 0), 0);
}

}  // namespace
}  // namespace qarn_test
