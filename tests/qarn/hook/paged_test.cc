// Packets kept in two parts, as a kernel keeps a large segment: a linear part and page
// fragments. Every check must read the same bytes wherever the packet is split (the stand-in
// allocates each part exactly, so a read past the linear part is a heap over-read under
// AddressSanitizer and reads other bytes without it).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "qarn_fixture.h"

namespace qarn_test {
namespace {

// The packets of one connection from a client port; the last one decides its mark.
struct Scenario {
  const char* name;
  uint32_t mark;  // the mark whole packets give
  std::function<std::vector<Bytes>(uint16_t)> packets;
};

std::string Http(const std::string& type) {
  return "HTTP/1.1 200 OK\r\nServer: t\r\nContent-Type: " + type + "\r\n\r\n" +
         std::string(200, 'b');
}

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> rows = {
      {"conference over UDP", 0x50400,
       [](uint16_t p) {
         return std::vector<Bytes>{
             Udp(kLan, kWan, p, 9000, Text("facemeetingv2.1#" + std::string(80, 'x')))};
       }},
      {"conference over TCP", 0x50400,
       [](uint16_t p) {
         return std::vector<Bytes>{
             Tcp(kLan, kWan, p, 9001, Text("facemeetingv2.1#" + std::string(80, 'x')))};
       }},
      {"game signature", 0x10403,
       [](uint16_t p) {
         Bytes sig = {0x29, 0xff, 0x00};
         sig.resize(60, 'g');
         return std::vector<Bytes>{Udp(kLan, kWan, p, 5100, sig)};
       }},
      {"framed message over TCP", 0x6cc01,
       [](uint16_t p) {
         std::string m(90, 'f');
         m[2] = 0x02;
         m.back() = 0x03;
         return std::vector<Bytes>{Tcp(kLan, kWan, p, 443, Text(m))};
       }},
      {"mail greeting on 443", 0xb3400,
       [](uint16_t p) {
         return std::vector<Bytes>{
             Tcp(kWan, kLan, 443, p, Text("220 mx ready " + std::string(60, 'm')))};
       }},
      {"video-service signature over UDP", 0xae400,
       [](uint16_t p) {
         Bytes sig = {0x21, 0x04, 0x43, 0x00, 0x00, 0xa2, 0x00, 0x01};
         sig.resize(1100, 'v');
         return std::vector<Bytes>{Udp(kLan, kWan, p, 22331, sig)};
       }},
      {"video-service player over TCP", 0xae400,
       [](uint16_t p) {
         std::string get =
             "GET /x HTTP/1.1\r\nHost: v\r\nAccept: */*\r\nReferer: http://"
             "v.example.net/static/vs/v1.0.0/v/swf/flvplay_s.swf\r\n\r\n";
         return std::vector<Bytes>{Tcp(kLan, kWan, p, 80, Text(get))};
       }},
      {"web video response", 0x7d001,
       [](uint16_t p) {
         return std::vector<Bytes>{Tcp(kLan, kWan, p, 80), Tcp(kWan, kLan, 80, p),
                                   Tcp(kLan, kWan, p, 80, Text("GET / HTTP/1.1\r\n\r\n")),
                                   Tcp(kWan, kLan, 80, p, Text(Http("video/mp4")))};
       }},
  };
  return rows;
}

class PagedTest : public QarnTest {
 protected:
  // Runs the scenario from a fresh client port; the last packet's linear part is `linear`
  // bytes (0: all of it). Returns that packet's result.
  relayk_result Run(const Scenario& s, unsigned linear) {
    std::vector<Bytes> pkts = s.packets(static_cast<uint16_t>(port_++));
    for (size_t i = 0; i + 1 < pkts.size(); i++) Send(pkts[i]);
    relayk_in_opts o{};
    o.linear = linear;
    return Send(pkts.back(), &o);
  }
  unsigned port_ = 20000;
};

TEST_F(PagedTest, EverySplitGivesTheMarkOfTheWholePacket) {
  for (const Scenario& s : Scenarios()) {
    SCOPED_TRACE(s.name);
    relayk_result whole = Run(s, 0);
    ASSERT_EQ(whole.mark, s.mark);
    size_t len = s.packets(1).back().size();
    for (unsigned linear = 1; linear < len; linear++) {
      relayk_result r = Run(s, linear);
      ASSERT_EQ(r.mark, whole.mark) << "linear part of " << linear << " of " << len << " bytes";
      ASSERT_EQ(r.prio_class, whole.prio_class) << "linear part of " << linear;
    }
  }
}

TEST_F(PagedTest, ALongResponseInFragmentsIsSearchedInItsFirstWindow) {
  // whole in the linear part, the search covers the whole payload; in fragments, the first
  // 512 bytes, copied out
  const std::string late = "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(600, 'x') +
                           "\r\nContent-Type: video/mp4\r\n\r\n" + std::string(200, 'b');
  Scenario s = {"late type", 0x7d001, [&](uint16_t p) {
                  return std::vector<Bytes>{Tcp(kLan, kWan, p, 80), Tcp(kWan, kLan, 80, p),
                                            Tcp(kLan, kWan, p, 80, Text("GET / HTTP/1.1\r\n\r\n")),
                                            Tcp(kWan, kLan, 80, p, Text(late))};
                }};
  EXPECT_EQ(Run(s, 0).mark, 0x7d001u);
  EXPECT_EQ(Run(s, 40).mark, 0u);
  EXPECT_EQ(Run(s, 700).mark, 0u);
}

}  // namespace
}  // namespace qarn_test
