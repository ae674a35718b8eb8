// Every sample capture, run through qarn-replay, gives each connection the mark that the
// sample is there to show.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tool_run.h"

namespace {

class Samples : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/qarn_samples_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    auto r = tool_run::run(QARN_SAMPLES_BINARY, {dir_ + "/captures"});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  static void TearDownTestSuite() { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  // qarn-replay's connection lines for one capture: "mark 0x... class/group/id app" each.
  static std::vector<std::string> marks(const std::string& file, std::string* log = nullptr) {
    auto r = tool_run::run(QARN_REPLAY_BINARY, {dir_ + "/captures/" + file});
    EXPECT_EQ(r.status, 0) << r.err;
    if (log) *log = r.err;
    std::vector<std::string> out;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
      size_t at = line.find(" mark ");
      if (at != std::string::npos) out.push_back(line.substr(at + 6));
    }
    return out;
  }

  static std::string dir_;
};

std::string Samples::dir_;

TEST_F(Samples, HttpResponsesOfEachFamily) {
  EXPECT_EQ(marks("http.pcap"), (std::vector<std::string>{
                                    "0x00042c01 4/11/1 web-page",
                                    "0x00042c01 4/11/1 web-page",
                                    "0x00042c01 4/11/1 web-page",
                                    "0x0007d001 7/52/1 web-video",
                                    "0x0007d001 7/52/1 web-video",
                                    "0x0009d802 9/54/2 web-download",
                                    "0x0007d001 7/52/1 web-video",
                                    "0x00000000 0/0/0 unclassified",
                                }));
  EXPECT_EQ(marks("ranged.pcap"),
            std::vector<std::string>{"0x000ae404 10/57/4 web-ranged-download"});
}

TEST_F(Samples, DnsVpnAndMail) {
  EXPECT_EQ(marks("dns.pcap"), std::vector<std::string>(3, "0x00023001 2/12/1 dns"));
  std::string log;
  EXPECT_EQ(marks("vpn.pcap", &log), std::vector<std::string>(3, "0x000d0000 13/0/0 vpn"));
  EXPECT_NE(log.find("R1 @#@ log_info n 192.168.1.13 - - vpnuse - -v2 PPTP VPN\n"),
            std::string::npos);
  EXPECT_NE(log.find("R1 @#@ log_info n 192.168.1.13 - - vpnuse - -v2 IPSEC VPN\n"),
            std::string::npos);
  EXPECT_EQ(marks("mail.pcap"), (std::vector<std::string>{
                                    "0x000b3400 11/13/0 email",
                                    "0x000b3400 11/13/0 email",
                                    "0x00000000 0/0/0 unclassified",
                                }));
}

TEST_F(Samples, GamesAndBulkDownload) {
  EXPECT_EQ(marks("game.pcap"), (std::vector<std::string>{
                                    "0x00010403 1/1/3 game-udp",
                                    "0x00010401 1/1/1 game-server",
                                    "0x00010401 1/1/1 game-server",
                                }));
  EXPECT_EQ(marks("bulk.pcap"), std::vector<std::string>{"0x0005c802 5/50/2 high-reply-rate"});
}

TEST_F(Samples, P2pEndpointsReachEachVerdict) {
  auto m = marks("p2p.pcap");
  ASSERT_EQ(m.size(), 30u);
  EXPECT_EQ(m[4], "0x0008d409 8/53/9 p2p-udp");    // 34-byte signatures
  EXPECT_EQ(m[9], "0x0008d40d 8/53/13 p2p-udp");   // 95-byte signatures
  EXPECT_EQ(m[14], "0x0007d03f 7/52/63 p2p-udp");  // 20-byte signatures
  EXPECT_EQ(m[26], "0x000ae401 10/57/1 p2p-udp");  // many hits
  EXPECT_EQ(m[27], "0x0005c803 5/50/3 p2p-udp");   // counted, with replies
  EXPECT_EQ(m[28], "0x000ae401 10/57/1 p2p-udp");  // counted, without replies
  EXPECT_EQ(m[29], "0x00000000 0/0/0 unclassified");  // counted to port 8000
  // the first connection of each endpoint took the verdict on its next packet
  EXPECT_EQ(m[0], m[4]);
  EXPECT_EQ(m[5], m[9]);
  EXPECT_EQ(m[10], m[14]);
  EXPECT_EQ(m[15], m[26]);
  for (int i : {1, 2, 3, 16, 25}) EXPECT_EQ(m[i], "0x00000000 0/0/0 unclassified") << i;
}

}  // namespace
