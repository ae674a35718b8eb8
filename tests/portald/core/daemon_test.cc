// The real daemon binary: start-up order and messages, configuration limits, the start-up
// line, and the login connections that wait to be read.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "core/paths.h"
#include "daemon_process.h"
#include "kernel/kmsg_layout.h"

namespace {

using namespace testing_support;

TEST(DaemonStartTest, StartupMessagesInOrder) {
  TempRoot root;
  root.write(core::kExemptMacFile, "00:11:22:33:44:55\nbad line\n66:77:88:99:AA:BB\n");
  root.write(core::kExemptAddrFile, "10.0.0.254-10.0.1.1\n192.168.1.5\n");
  root.write(core::kRegistrationFile, "stale content\n");
  DaemonProcess d(root, {{"WEBAUTH_SECTYPE", "ADVERT"}, {"WEBSEC_TP_TIMEOUT", "3"}});
  ASSERT_TRUE(d.start({"-d"}));
  const auto msgs = d.startup_messages();
  ASSERT_EQ(msgs.size(), 2u + 2u + 5u);
  std::vector<Kmsg> m;
  for (const Bytes& b : msgs) m.push_back(decode_kmsg(b));
  EXPECT_EQ(m[0].command, uint32_t{KMSG_HELLO});
  EXPECT_EQ(m[1].command, uint32_t{KMSG_TIMEOUTS});
  EXPECT_EQ(m[1].addr, 180u);
  EXPECT_EQ(m[1].kind, 7200u);
  EXPECT_EQ(m[2].kind, uint32_t{KIND_MAC});
  EXPECT_EQ(m[2].mac[5], 0x55);
  EXPECT_EQ(m[3].mac[4], 0xaa);
  const char* addrs[] = {"10.0.0.254", "10.0.0.255", "10.0.1.0", "10.0.1.1", "192.168.1.5"};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(m[4 + i].kind, uint32_t{KIND_EXEMPT_IP});
    EXPECT_EQ(m[4 + i].addr_text, addrs[i]);
  }
  for (const Kmsg& k : m) {
    EXPECT_EQ(k.nl_len, 376u);
    EXPECT_EQ(k.length, 360u);
  }
  // The hello comes from the daemon's own process id.
  EXPECT_NE(m[0].nl_pid, 0u);
  EXPECT_EQ(d.log(), std::vector<std::string>{"R1 0 R3 syslog.webauth_enable "});
  EXPECT_FALSE(root.exists(core::kRegistrationFile));
  EXPECT_TRUE(d.running());
}

TEST(DaemonStartTest, TimeoutsThroughTheBinary) {
  struct Row {
    const char* situation;
    std::map<std::string, std::string> nvram;
    uint32_t idle, total;
  };
  const Row rows[] = {
      {"unset sectype", {{"WEBSEC_YJ_TIMEOUT", "5"}}, 1800, 7200},
      {"WEIXIN zero idle", {{"WEBAUTH_SECTYPE", "WEIXIN"}, {"WEBSEC_WX_TIMEOUT", "0"}}, 0, 7200},
      {"USERS zero idle", {{"WEBAUTH_SECTYPE", "USERS"}, {"WEBSEC_TIMEOUT", "0"}}, 600, 7200},
      {"EMAIL zero total", {{"WEBAUTH_SECTYPE", "EMAIL"}, {"WEBAUTH_ALLTIME", "0"}}, 1800, 2592000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    TempRoot root;
    DaemonProcess d(root, row.nvram);
    ASSERT_TRUE(d.start());
    ASSERT_GE(d.startup_messages().size(), 2u);
    const Kmsg t = decode_kmsg(d.startup_messages()[1]);
    EXPECT_EQ(t.command, uint32_t{KMSG_TIMEOUTS});
    EXPECT_EQ(t.addr, row.idle);
    EXPECT_EQ(t.kind, row.total);
  }
}

TEST(DaemonStartTest, LengthLimitsEndTheProcessBeforeAnySocket) {
  struct Row {
    const char* situation;
    std::string server, port;
    bool starts;
  };
  const Row rows[] = {
      {"63-character server", std::string(63, 's'), "110", true},
      {"64-character server", std::string(64, 's'), "110", false},
      {"6-digit port", "mail", "123456", true},
      {"7-digit port", "mail", "1234567", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    TempRoot root;
    DaemonProcess d(root, {{"WEBAUTH_SECTYPE", "EMAIL"},
                           {"WEBAUTH_POP3SERVER", row.server},
                           {"WEBAUTH_POP3SPORT", row.port}});
    ASSERT_TRUE(d.start({}, false));
    if (row.starts) {
      EXPECT_EQ(d.wait_exit(1000), -1);
      EXPECT_TRUE(root.exists(core::kLoginSocketPath));
    } else {
      EXPECT_EQ(d.wait_exit(5000), 1);
      EXPECT_FALSE(root.exists(core::kLoginSocketPath));
      EXPECT_TRUE(d.kernel().drain().empty());
    }
  }
}

TEST(DaemonStartTest, NoKernelEndpointEndsTheProcess) {
  TempRoot root;
  DaemonProcess d(root, {}, {"PORTALD_KERNEL_SOCKET=" + root.dir() + "/nobody.sock"});
  ASSERT_TRUE(d.start({}, false));
  EXPECT_EQ(d.wait_exit(5000), 1);
}

TEST(DaemonStartTest, MultiUserFlagDecidesWhetherDailyAccountsLoad) {
  for (const char* flag : {"YESPLEASE", "yes"}) {
    SCOPED_TRACE(flag);
    TempRoot root;
    root.write(core::kAccountFile, "kid x y 2\nboss x y *\n");
    DaemonProcess d(root, {{"WEBAUTH_SECTYPE", "USERS"}, {"WEBAUTH_MULTIUSER", flag}});
    ASSERT_TRUE(d.start());
    const bool multi = std::strcmp(flag, "YESPLEASE") == 0;
    // With the flag set the daily account is skipped: no account, no reply.
    EXPECT_EQ(d.login(client_at("10.0.0.2", "m", "kid")), multi ? -1 : 1);
    EXPECT_EQ(d.login(client_at("10.0.0.3", "m", "boss")), 1);
  }
}

TEST(DaemonLoopTest, SilentConnectionDoesNotBlockTheNextLogin) {
  TempRoot root;
  DaemonProcess d(root, {{"WEBAUTH_SECTYPE", "LOCAL"}});
  ASSERT_TRUE(d.start());
  const int silent = d.connect_login();
  ASSERT_GE(silent, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(d.login(client_at("10.0.0.9", "aa:bb")), 1);
  // The silent one is closed after five seconds of silence.
  pollfd p{silent, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 8000), 1);
  char c;
  EXPECT_EQ(recv(silent, &c, 1, 0), 0);
  close(silent);
  EXPECT_TRUE(d.running());
}

TEST(DaemonLoopTest, AtMostSixteenConnectionsWaitAndTheOldestGoesFirst) {
  TempRoot root;
  DaemonProcess d(root, {{"WEBAUTH_SECTYPE", "LOCAL"}});
  ASSERT_TRUE(d.start());
  std::vector<int> waiting;
  for (int i = 0; i < 17; ++i) {
    waiting.push_back(d.connect_login());
    ASSERT_GE(waiting.back(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  // The first connection was closed to make room for the seventeenth.
  pollfd p{waiting[0], POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 3000), 1);
  char c;
  EXPECT_EQ(recv(waiting[0], &c, 1, 0), 0);
  // The newest still gets its request served.
  const Bytes req = login_request(client_at("10.0.0.20", "m"));
  ASSERT_EQ(send(waiting[16], req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
  unsigned char reply[300];
  p = {waiting[16], POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 3000), 1);
  EXPECT_EQ(recv(waiting[16], reply, sizeof(reply), MSG_WAITALL), 300);
  EXPECT_EQ(reply[0], 1);
  for (int fd : waiting) close(fd);
  EXPECT_TRUE(d.running());
}

TEST(DaemonLoopTest, RequestsFromEverySocketAndAVanishedPeer) {
  TempRoot root;
  DaemonProcess d(root, {{"WEBAUTH_SECTYPE", "LOCAL"}});
  ASSERT_TRUE(d.start());
  d.kernel().drain();
  // A peer that writes and goes away before the reply: the daemon carries on.
  const int fd = d.connect_login();
  const Bytes req = login_request(client_at("10.0.0.30", "m"));
  ASSERT_EQ(send(fd, req.data(), req.size(), 0), 300);
  close(fd);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(d.running());
  EXPECT_EQ(d.login(client_at("10.0.0.31", "m")), 1);
  // A control request permits a MAC; a kernel host-down takes a client off.
  Bytes ctl(300, 0);
  ctl[0] = 5;
  std::memcpy(&ctl[164], "00:11:22:33:44:55", 17);
  ASSERT_TRUE(d.control(ctl));
  ASSERT_TRUE(d.send_event(kernel_event(KEV_HOST_DOWN, "10.0.0.31")));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<uint32_t> commands;
  for (const Bytes& b : d.kernel().drain(200)) commands.push_back(decode_kmsg(b).command);
  EXPECT_EQ(commands, (std::vector<uint32_t>{KMSG_PERMIT, KMSG_PERMIT, KMSG_PERMIT}));
  const std::string reg = root.read(core::kRegistrationFile);
  EXPECT_NE(reg.find("10.0.0.30"), std::string::npos);
  EXPECT_EQ(reg.find("10.0.0.31"), std::string::npos);
}

}  // namespace
