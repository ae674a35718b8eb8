// The real daemon binary: start-up order and messages, configuration limits, the start-up
// line, and the login connections that wait to be read.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
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
  const std::string spare = std::string(core::kRegistrationFile) + ".spare";
  root.write(spare.c_str(), "stale version before\n");
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
  EXPECT_FALSE(root.exists(spare.c_str()));
  EXPECT_TRUE(d.running());

  // Someone opening the registration file's spare while the daemon holds its lease for a moment
  // makes the kernel send SIGIO, which must not end the daemon.
  ASSERT_EQ(kill(d.pid(), SIGIO), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
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

// The lines of a text, without their line feeds.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    out.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

TEST(DaemonFailLoudlyTest, EveryFatalStartupFailureSaysWhyInOneLine) {
  struct Row {
    const char* situation;
    std::map<std::string, std::string> nvram;
    const char* kernel_socket;  // relative to the root; null: the fake kernel's
    const char* blocked;        // fixed path made a non-empty folder; null: none
    std::vector<std::string> named;  // texts the line must hold
  };
  const std::string long_name = "/" + std::string(120, 'k') + ".sock";
  const Row rows[] = {
      {"64-character mail server", {{"WEBAUTH_SECTYPE", "EMAIL"}, {"WEBAUTH_POP3SERVER", std::string(64, 's')}},
       nullptr, nullptr, {"WEBAUTH_POP3SERVER", "64", "63"}},
      {"7-digit mail port", {{"WEBAUTH_SECTYPE", "EMAIL"}, {"WEBAUTH_POP3SPORT", "1234567"}},
       nullptr, nullptr, {"WEBAUTH_POP3SPORT", "1234567"}},
      // The channel connects to the component before it sends anything.
      {"no admission component", {{"WEBAUTH_SECTYPE", "LOCAL"}}, "/nobody.sock", nullptr,
       {"PORTALD_KERNEL_SOCKET", "/nobody.sock"}},
      {"kernel socket path too long", {{"WEBAUTH_SECTYPE", "LOCAL"}}, long_name.c_str(), nullptr,
       {"PORTALD_KERNEL_SOCKET", long_name}},
      {"login socket path taken by a folder", {{"WEBAUTH_SECTYPE", "LOCAL"}}, nullptr,
       core::kLoginSocketPath, {core::kLoginSocketPath}},
      {"control socket path taken by a folder", {{"WEBAUTH_SECTYPE", "LOCAL"}}, nullptr,
       core::kControlSocketPath, {core::kControlSocketPath}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    TempRoot root;
    std::vector<std::string> env;
    if (row.kernel_socket != nullptr) {
      env.push_back("PORTALD_KERNEL_SOCKET=" + root.dir() + row.kernel_socket);
    }
    if (row.blocked != nullptr) {
      ASSERT_EQ(mkdir(root.path(row.blocked).c_str(), 0755), 0);
      root.write((std::string(row.blocked) + "/keep").c_str(), "x");
    }
    DaemonProcess d(root, row.nvram, env);
    ASSERT_TRUE(d.start({}, false));
    EXPECT_EQ(d.wait_exit(5000), 1);
    const auto lines = lines_of(d.stderr_text());
    ASSERT_EQ(lines.size(), 1u) << d.stderr_text();
    EXPECT_EQ(lines[0].rfind("portald: ", 0), 0u) << lines[0];
    for (const std::string& n : row.named) EXPECT_NE(lines[0].find(n), std::string::npos) << n;
  }
}

TEST(DaemonFailLoudlyTest, SocketPathsHoldingSomethingElseStopStartUpAndStay) {
  struct Row {
    const char* situation;
    const char* path;
    const char* kind;
  };
  const Row rows[] = {
      {"a file at the login socket", core::kLoginSocketPath, "a file"},
      {"a link at the login socket", core::kLoginSocketPath, "a link"},
      {"a FIFO at the control socket", core::kControlSocketPath, "a FIFO"},
      {"a link at the control socket", core::kControlSocketPath, "a link"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    TempRoot root;
    root.write("/etc/victim", "precious\n");
    const std::string at = root.path(row.path);
    if (std::strcmp(row.kind, "a file") == 0) root.write(row.path, "someone's file\n");
    if (std::strcmp(row.kind, "a link") == 0) {
      ASSERT_EQ(symlink(root.path("/etc/victim").c_str(), at.c_str()), 0);
    }
    if (std::strcmp(row.kind, "a FIFO") == 0) {
      ASSERT_EQ(mkfifo(at.c_str(), 0666), 0);
    }
    DaemonProcess d(root, {{"WEBAUTH_SECTYPE", "LOCAL"}});
    ASSERT_TRUE(d.start({}, false));
    EXPECT_EQ(d.wait_exit(5000), 1);
    const auto lines = lines_of(d.stderr_text());
    ASSERT_EQ(lines.size(), 1u) << d.stderr_text();
    EXPECT_EQ(lines[0].rfind("portald: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(at + " is " + row.kind + ", not a socket"), std::string::npos)
        << lines[0];
    struct stat st{};
    EXPECT_EQ(lstat(at.c_str(), &st), 0);  // left where it was
    EXPECT_FALSE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(root.read("/etc/victim"), "precious\n");
  }
  // An old socket at the path, as a daemon that was killed leaves it, is simply replaced.
  TempRoot root;
  DaemonProcess first(root, {{"WEBAUTH_SECTYPE", "LOCAL"}});
  ASSERT_TRUE(first.start());
  first.stop();
  DaemonProcess second(root, {{"WEBAUTH_SECTYPE", "LOCAL"}});
  ASSERT_TRUE(second.start());
  EXPECT_EQ(second.login(testing_support::client_at("10.0.0.7", "m")), 1);
}

TEST(DaemonFailLoudlyTest, UnsetOrUnknownAuthTypeWarnsOnceAndKeepsOneKeyLogin) {
  struct Row {
    const char* situation;
    std::map<std::string, std::string> nvram;
    const char* warning;  // text the one warning holds; null: no warning at all
  };
  const Row rows[] = {
      {"unset", {}, "WEBAUTH_SECTYPE is not set"},
      {"lower case", {{"WEBAUTH_SECTYPE", "users"}}, "\"users\""},
      {"trailing blank", {{"WEBAUTH_SECTYPE", "USERS "}}, "\"USERS \""},
      {"LOCAL itself", {{"WEBAUTH_SECTYPE", "LOCAL"}}, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    TempRoot root;
    DaemonProcess d(root, row.nvram);
    ASSERT_TRUE(d.start());
    // One-key login: no account is needed.
    EXPECT_EQ(d.login(client_at("10.0.0.40", "aa:bb")), 1);
    const auto lines = lines_of(d.stderr_text());
    if (row.warning == nullptr) {
      EXPECT_TRUE(lines.empty()) << d.stderr_text();
      continue;
    }
    ASSERT_EQ(lines.size(), 1u) << d.stderr_text();
    EXPECT_NE(lines[0].find(row.warning), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("LOCAL"), std::string::npos) << lines[0];
  }
}

TEST(DaemonFailLoudlyTest, UnknownOptionsPrintTheUsageOnceAndChangeNothing) {
  TempRoot root;
  DaemonProcess d(root, {{"WEBAUTH_SECTYPE", "ADVERT"}});
  ASSERT_TRUE(d.start({"-x", "-d", "-q", "extra"}));
  EXPECT_TRUE(d.running());
  EXPECT_EQ(d.startup_messages().size(), 2u);
  const std::string err = d.stderr_text();
  size_t usages = 0;
  for (const std::string& l : lines_of(err)) usages += l == "usage: portald [-d]";
  EXPECT_EQ(usages, 1u) << err;
  EXPECT_NE(err.find("'x'"), std::string::npos) << err;
  EXPECT_NE(err.find("'q'"), std::string::npos) << err;
}

TEST(DaemonInstanceTest, SecondDaemonOnTheSameRootRefusesAndTheFirstKeepsItsSockets) {
  TempRoot root;
  DaemonProcess first(root, {{"WEBAUTH_SECTYPE", "LOCAL"}});
  ASSERT_TRUE(first.start());
  struct stat before {};
  ASSERT_EQ(stat(root.path(core::kLoginSocketPath).c_str(), &before), 0);
  ASSERT_EQ(first.login(client_at("10.0.0.50", "aa:01")), 1);
  // The reply goes out before the record is written.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::string reg = root.read(core::kRegistrationFile);
  const size_t log_lines = first.log().size();

  DaemonProcess second(root, {{"WEBAUTH_SECTYPE", "LOCAL"}});
  ASSERT_TRUE(second.start({}, false));
  EXPECT_EQ(second.wait_exit(5000), 1);
  const auto lines = lines_of(second.stderr_text());
  ASSERT_EQ(lines.size(), 1u) << second.stderr_text();
  EXPECT_NE(lines[0].find("process " + std::to_string(first.pid())), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(root.path(core::kLockFile)), std::string::npos) << lines[0];
  // It sent nothing, logged nothing and touched neither sockets nor files.
  EXPECT_TRUE(second.kernel().drain(200).empty());
  EXPECT_EQ(first.log().size(), log_lines);
  struct stat after {};
  ASSERT_EQ(stat(root.path(core::kLoginSocketPath).c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(root.read(core::kRegistrationFile), reg);
  EXPECT_EQ(first.login(client_at("10.0.0.51", "aa:02")), 1);

  // Once the first is gone, however it ended, the next one starts.
  first.stop();
  DaemonProcess third(root, {{"WEBAUTH_SECTYPE", "LOCAL"}});
  ASSERT_TRUE(third.start());
  EXPECT_EQ(third.login(client_at("10.0.0.52", "aa:03")), 1);
  EXPECT_EQ(root.read(core::kLockFile), std::to_string(third.pid()) + "\n");
}

TEST(DaemonInstanceTest, LockFileThatIsALinkIsRefused) {
  TempRoot root;
  const std::string target = root.dir() + "/elsewhere";
  ASSERT_EQ(symlink(target.c_str(), root.path(core::kLockFile).c_str()), 0);
  DaemonProcess d(root, {{"WEBAUTH_SECTYPE", "LOCAL"}});
  ASSERT_TRUE(d.start({}, false));
  EXPECT_EQ(d.wait_exit(5000), 1);
  EXPECT_NE(d.stderr_text().find(root.path(core::kLockFile)), std::string::npos) << d.stderr_text();
  EXPECT_EQ(access(target.c_str(), F_OK), -1);
  EXPECT_FALSE(root.exists(core::kLoginSocketPath));
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
