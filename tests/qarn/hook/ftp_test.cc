// Passive FTP data connections with qarn_extended=1: the server's 227 or 229 reply on a LAN
// client's control connection makes the data connection expected, in a table of fixed size.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qarn_fixture.h"

extern "C" {
#include "recognise/ftp.h"
}

namespace qarn_test {
namespace {

constexpr uint32_t kFtpData = 0x9d803;
constexpr uint32_t kFtp = 0x42c05;
constexpr uint32_t kOtherLan = Ip(192, 168, 1, 11);
constexpr uint32_t kOtherWan = Ip(198, 51, 100, 20);

class FtpTest : public QarnTest {
 protected:
  void SetUp() override {
    QarnTest::SetUp();
    Extended(1);
  }
  void TearDown() override {
    Extended(0);
    QarnTest::TearDown();
  }

  void Extended(int on) { ASSERT_EQ(kstub_param_set("qarn_extended", on), 0); }

  // Opens a control connection from a new client port; returns that port.
  uint16_t Control(uint32_t client = kLan, uint32_t server = kWan) {
    uint16_t port = next_port_++;
    EXPECT_EQ(Send(Tcp(client, server, port, 21, {}, PCAPW_SYN)).mark, kFtp);
    return port;
  }

  // The server's packet on control connection `port`, holding text.
  relayk_result Reply(uint16_t port, const std::string& text, uint32_t client = kLan,
                      uint32_t server = kWan) {
    return Send(Tcp(server, client, 21, port, Text(text)));
  }

  // The mark after the first packet of a new TCP connection (a SYN unless said otherwise).
  uint32_t Data(uint16_t dport, uint32_t client = kLan, uint32_t server = kWan,
                uint8_t flags = PCAPW_SYN) {
    return Send(Tcp(client, server, next_port_++, dport, {}, flags)).mark;
  }

  void Tick(unsigned n) { kstub_set_jiffies(kstub_jiffies() + n); }

  uint16_t next_port_ = 20000;
};

// 175 * 256 + 201
constexpr uint16_t kPort = 45001;

TEST_F(FtpTest, RepliesThatMakeTheDataConnectionExpected) {
  const struct {
    const char* reply;
    uint16_t port;  // 0: none is expected
  } rows[] = {
      {"227 Entering Passive Mode (100,100,7,7,175,201).\r\n", kPort},
      {"229 Entering Extended Passive Mode (|||45001|)\r\n", kPort},
      {"229 Entering Extended Passive Mode (!!!45001!)\r\n", kPort},
      {"227 =100,100,7,7,175,201\r\n", kPort},  // no parentheses, as some servers write it
      {"200 Switching to Binary mode.\r\n227 Entering Passive Mode (100,100,7,7,0,99).\r\n", 99},
      // a server behind NAT naming its inner address: clients take the control address
      {"227 Entering Passive Mode (10,0,0,5,175,201).\r\n", kPort},
      {"227 Entering Passive Mode (192,168,9,9,175,201).\r\n", kPort},
      // another public host: nothing, here or there
      {"227 Entering Passive Mode (198,51,100,20,175,201).\r\n", 0},
      {"227 Entering Passive Mode (100,100,7,7,175,256).\r\n", 0},
      {"227 Entering Passive Mode (100,100,7,7,175,2011).\r\n", 0},
      {"227 Entering Passive Mode (100,100,7,7,175).\r\n", 0},
      {"227 Entering Passive Mode (100,100,7,7,0,0).\r\n", 0},
      {"227 Entering Passive Mode\r\n(100,100,7,7,175,201)\r\n", 0},  // numbers on another line
      {"229 Entering Extended Passive Mode (|||45001!)\r\n", 0},
      {"229 Entering Extended Passive Mode (|||65536|)\r\n", 0},
      {"229 Entering Extended Passive Mode (111450011)\r\n", 0},
      {"229 Entering Extended Passive Mode (|1|100.100.7.7|45001|)\r\n", 0},
      {"2270 Entering Passive Mode (100,100,7,7,175,201).\r\n", 0},
      {"150 Here comes (100,100,7,7,175,201) the directory listing.\r\n", 0},
      // cut at the packet's end: the number may go on in the next packet
      {"227 Entering Passive Mode (100,100,7,7,175,20", 0},
      {"229 Entering Extended Passive Mode (|||4400", 0},
      {"229 Entering Extended Passive Mode (|||45001|", 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.reply);
    // a fresh table for each row
    Unload();
    Load();
    uint16_t control = Control();
    EXPECT_EQ(Reply(control, r.reply).mark, kFtp);
    for (uint16_t port : {kPort, uint16_t(99), uint16_t(4400), uint16_t(44820)})
      EXPECT_EQ(Data(port), port == r.port ? kFtpData : 0u) << "to port " << port;
    EXPECT_EQ(Data(kPort, kLan, kOtherWan), 0u) << "to the host the reply named";
  }
}

TEST_F(FtpTest, OnlyTheClientsFirstPacketToTheServerAndPort) {
  uint16_t control = Control();
  Reply(control, "227 Entering Passive Mode (100,100,7,7,175,201).\r\n");
  EXPECT_EQ(Data(kPort + 1), 0u) << "another port";
  EXPECT_EQ(Data(kPort, kOtherLan), 0u) << "another client";
  EXPECT_EQ(Data(kPort, kLan, kOtherWan), 0u) << "another server";
  EXPECT_EQ(Data(kPort, kLan, kWan, PCAPW_ACK), 0u) << "no SYN: not a new connection";
  EXPECT_EQ(Send(Tcp(kWan, kLan, 40000, kPort, {}, PCAPW_SYN)).mark, 0u)
      << "from the server's side";
  relayk_result data = Send(Tcp(kLan, kWan, 40001, kPort, {}, PCAPW_SYN));
  EXPECT_EQ(data.mark, kFtpData);
  EXPECT_EQ(data.prio_class, Send(Tcp(kWan, kLan, 20, 40002)).prio_class)
      << "as active FTP data";
  EXPECT_EQ(Data(kPort), 0u) << "the expectation is used up";

  // two clients of one server, each with its own reply
  uint16_t other = Control(kOtherLan);
  Reply(control, "229 Entering Extended Passive Mode (|||45002|)\r\n");
  Reply(other, "229 Entering Extended Passive Mode (|||45002|)\r\n", kOtherLan);
  EXPECT_EQ(Data(45002, kOtherLan), kFtpData);
  EXPECT_EQ(Data(45002), kFtpData);
  // the client's own packet on the control connection is not read
  Send(Tcp(kLan, kWan, control, 21, Text("227 Entering Passive Mode (100,100,7,7,175,203)\r\n")));
  EXPECT_EQ(Data(45003), 0u);
}

TEST_F(FtpTest, ExpectationsRunOut) {
  uint16_t control = Control();
  Reply(control, "229 Entering Extended Passive Mode (|||45001|)\r\n");
  Tick(QARN_FTP_EXPECT_TICKS - 1);
  EXPECT_EQ(Data(kPort), kFtpData) << "the last tick it lives";
  Reply(control, "229 Entering Extended Passive Mode (|||45001|)\r\n");
  Tick(QARN_FTP_EXPECT_TICKS);
  EXPECT_EQ(Data(kPort), 0u) << "the first tick it is gone";

  // across the tick counter's wrap-around
  kstub_set_jiffies(0xffffff00u);
  Reply(control, "229 Entering Extended Passive Mode (|||45001|)\r\n");
  Tick(0x200);
  EXPECT_EQ(Data(kPort), kFtpData);

  // a repeated reply lives on from the repeat
  Reply(control, "229 Entering Extended Passive Mode (|||45001|)\r\n");
  Tick(QARN_FTP_EXPECT_TICKS - 10);
  Reply(control, "229 Entering Extended Passive Mode (|||45001|)\r\n");
  Tick(20);
  EXPECT_EQ(Data(kPort), kFtpData);
  EXPECT_EQ(Data(kPort), 0u) << "one entry, used up";
}

TEST_F(FtpTest, AFullTableGivesUpItsOldestEntry) {
  uint16_t control = Control();
  auto reply = [&](unsigned port) {
    Reply(control, "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)\r\n");
    Tick(1);
  };
  for (unsigned i = 0; i < QARN_FTP_EXPECT_SLOTS; i++) reply(50000 + i);
  reply(50000);                          // renewed: 50001 is the oldest now
  reply(50000 + QARN_FTP_EXPECT_SLOTS);  // the first one more than fits
  EXPECT_EQ(Data(50001), 0u) << "the oldest gave way";
  for (unsigned i = 0; i <= QARN_FTP_EXPECT_SLOTS; i++)
    if (i != 1) {
      EXPECT_EQ(Data(static_cast<uint16_t>(50000 + i)), kFtpData) << 50000 + i;
    }

  // expired entries give way before live ones
  for (unsigned i = 0; i < QARN_FTP_EXPECT_SLOTS; i++) reply(51000 + i);
  Tick(QARN_FTP_EXPECT_TICKS);
  reply(52000);
  reply(52001);
  EXPECT_EQ(Data(52000), kFtpData);
  EXPECT_EQ(Data(52001), kFtpData);
}

TEST_F(FtpTest, RepliesAreReadOnlyAsFarAsThePacketHoldsThem) {
  uint16_t control = Control();
  Bytes full = Tcp(kWan, kLan, 21, control,
                   Text("227 Entering Passive Mode (100,100,7,7,175,201).\r\n"));
  // a short capture: the IP length says more than the packet holds
  Bytes cut(full.begin(), full.end() - 6);
  EXPECT_EQ(Send(cut).mark, kFtp);
  EXPECT_EQ(Data(kPort), 0u);
  EXPECT_EQ(Data(44820), 0u) << "175,20 is not the port";
  // a reply split across two packets is missed
  Reply(control, "227 Entering Passive Mode (100,100,7,7,1");
  Reply(control, "75,201).\r\n");
  EXPECT_EQ(Data(kPort), 0u);
  EXPECT_EQ(Data(1), 0u);
  // the reply beyond the packet's linear part is copied and read
  relayk_in_opts o{};
  o.linear = 50;
  Send(full, &o);
  EXPECT_EQ(Data(kPort), kFtpData);
}

TEST_F(FtpTest, TheDefaultModeReadsNoReply) {
  Extended(0);
  uint16_t control = Control();
  EXPECT_EQ(Reply(control, "227 Entering Passive Mode (100,100,7,7,175,201).\r\n").mark, kFtp);
  EXPECT_EQ(Data(kPort), 0u);
  Extended(1);
  EXPECT_EQ(Data(kPort), 0u) << "nothing was remembered while the mode was off";
  Reply(control, "229 Entering Extended Passive Mode (|||45001|)\r\n");
  Extended(0);
  relayk_result r = Send(Tcp(kLan, kWan, 40100, kPort, {}, PCAPW_SYN));
  EXPECT_EQ(r.mark, 0u) << "an expectation is not used in the default mode";
  EXPECT_EQ(r.prio_class, Send(Tcp(kLan, kWan, 40101, kPort + 7, {}, PCAPW_SYN)).prio_class);
}

}  // namespace
}  // namespace qarn_test
