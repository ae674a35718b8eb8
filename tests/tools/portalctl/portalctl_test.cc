// portalctl against a stand-in for the daemon's control socket: the datagram of each
// command, byte for byte, the refusal of bad arguments, and what it tells when a request
// matches nothing; list and status against the real daemon and admitsim.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <memory>
#include <cstring>
#include <string>
#include <vector>

#include "client.h"
#include "core/paths.h"
#include "daemon_process.h"
#include "portald_fixture.h"
#include "tool_run.h"

namespace {

using Bytes = std::vector<unsigned char>;
using tool_run::Result;

const std::string kTool = PORTALCTL_BINARY;

// A 300-byte request with the command word and texts at the given offsets.
Bytes request(uint32_t cmd, std::vector<std::pair<size_t, std::string>> texts) {
  Bytes b(300, 0);
  std::memcpy(b.data(), &cmd, 4);
  for (const auto& [off, text] : texts) std::copy(text.begin(), text.end(), b.begin() + off);
  return b;
}

class Portalctl : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.path(core::kControlSocketPath);
    fd_ = tool_run::bound_socket(SOCK_DGRAM, path_);
    // What the requests below name is there to be found.
    dir_.write(core::kRegistrationFile,
               "alice 192.168.1.20 aa:bb:cc:dd:ee:01 1796715698 3 \n"
               " 255.255.255.255 aa:bb:cc:dd:ee:02 1796715699 3 \n");
    dir_.write(core::kExemptMacFile, "00:01:02:0a:0b:0c\n");
  }
  void TearDown() override { close(fd_); }

  Result run(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--socket", path_, "--admit", dir_.dir() + "/no-admit.sock"};
    all.insert(all.end(), args.begin(), args.end());
    return tool_run::run(kTool, all, {"PORTALD_ROOT=" + dir_.dir()});
  }

  // Every datagram waiting on the socket.
  std::vector<Bytes> received() {
    std::vector<Bytes> all;
    for (;;) {
      Bytes b(1000);
      const ssize_t n = recv(fd_, b.data(), b.size(), MSG_DONTWAIT);
      if (n < 0) return all;
      b.resize(static_cast<size_t>(n));
      all.push_back(b);
    }
  }

  testing_support::TempRoot dir_;
  std::string path_;
  int fd_ = -1;
};

TEST_F(Portalctl, EachCommandSendsOneRecordWithItsOffsets) {
  struct Row {
    const char* situation;
    std::vector<std::string> args;
    Bytes expected;
  };
  const std::string name64(64, 'n'), note64(64, 'o');
  const Row rows[] = {
      {"add with hours and note",
       {"add-account", "alice", "2", "front desk"},
       request(0, {{4, "alice"}, {84, "2"}, {100, "front desk"}})},
      {"add without note", {"add-account", "bob", "*"}, request(0, {{4, "bob"}, {84, "*"}})},
      {"add with a date", {"add-account", "carol", "2027-1-31."},
       request(0, {{4, "carol"}, {84, "2027-1-31."}})},
      {"add with a date without dot", {"add-account", "carol", "2027-01-31"},
       request(0, {{4, "carol"}, {84, "2027-01-31"}})},
      {"name and note filling their fields",
       {"add-account", name64, "10", note64},
       request(0, {{4, name64}, {84, "10"}, {100, note64}})},
      {"name beginning with a dash", {"add-account", "-x", "1"},
       request(0, {{4, "-x"}, {84, "1"}})},
      {"remove", {"remove-account", "alice"}, request(1, {{4, "alice"}})},
      {"cut", {"cut", "192.168.1.20"}, request(3, {{68, "192.168.1.20"}})},
      {"cut with the longest address", {"cut", "255.255.255.255"},
       request(3, {{68, "255.255.255.255"}})},
      {"permit at 164", {"permit-mac", "00:11:22:aa:bb:cc"},
       request(5, {{164, "00:11:22:aa:bb:cc"}})},
      {"revoke at 84", {"revoke-mac", "0:1:2:A:B:C"}, request(6, {{84, "0:1:2:A:B:C"}})},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    const Result r = run(row.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const std::vector<Bytes> got = received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], row.expected);
  }
}

TEST_F(Portalctl, BadArgumentsSendNothing) {
  struct Row {
    const char* situation;
    std::vector<std::string> args;
  };
  const Row rows[] = {
      {"no command", {}},
      {"unknown command", {"add-user", "alice", "2"}},
      {"unknown option", {"--force", "cut", "10.0.0.1"}},
      {"socket option without value", {"--socket"}},
      {"timeout of nothing", {"--timeout", "0", "cut", "10.0.0.1"}},
      {"add without validity", {"add-account", "alice"}},
      {"add with too many arguments", {"add-account", "alice", "2", "note", "more"}},
      {"empty name", {"add-account", "", "2"}},
      {"name one too long", {"add-account", std::string(65, 'n'), "2"}},
      {"note one too long", {"add-account", "alice", "2", std::string(65, 'o')}},
      {"three-digit hours", {"add-account", "alice", "100"}},
      {"validity of words", {"add-account", "alice", "forever"}},
      {"empty validity", {"add-account", "alice", ""}},
      {"month 13", {"add-account", "alice", "2027-13-01"}},
      {"day 0", {"add-account", "alice", "2027-12-0"}},
      {"date with a tail", {"add-account", "alice", "2027-12-31x"}},
      {"remove without name", {"remove-account"}},
      {"remove with empty name", {"remove-account", ""}},
      {"cut without address", {"cut"}},
      {"cut with three parts", {"cut", "10.0.1"}},
      {"cut with a part above 255", {"cut", "10.0.0.256"}},
      {"cut with a name", {"cut", "router"}},
      {"mac of five groups", {"permit-mac", "00:11:22:33:44"}},
      {"mac of seven groups", {"permit-mac", "00:11:22:33:44:55:66"}},
      {"mac group above ff", {"permit-mac", "100:11:22:33:44:55"}},
      {"mac with dashes", {"revoke-mac", "00-11-22-33-44-55"}},
      {"mac with an empty group", {"revoke-mac", "00::22:33:44:55"}},
      {"mac not hex", {"revoke-mac", "gg:11:22:33:44:55"}},
      {"socket path too long", {"--socket", "/tmp/" + std::string(120, 's'), "cut", "10.0.0.1"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    const Result r = run(row.args);
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.err.rfind("portalctl: ", 0), 0u) << r.err;
    EXPECT_TRUE(received().empty());
  }
}

TEST_F(Portalctl, DefaultSocketIsUnderPortaldRoot) {
  const Result r = tool_run::run(kTool, {"cut", "10.0.0.9"}, {"PORTALD_ROOT=" + dir_.dir()});
  EXPECT_EQ(r.status, 1) << r.err;  // sent, but 10.0.0.9 is not online
  const std::vector<Bytes> got = received();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], request(3, {{68, "10.0.0.9"}}));
}

TEST_F(Portalctl, RequestsThatMatchNothingAreSentAndSaySo) {
  struct Row {
    const char* situation;
    std::vector<std::string> args;
    const char* named;  // what the message must name
    Bytes expected;
  };
  const Row rows[] = {
      {"cut of an address not online", {"cut", "192.168.1.99"}, core::kRegistrationFile,
       request(3, {{68, "192.168.1.99"}})},
      {"remove of a name neither online nor in the account file",
       {"remove-account", "bob"}, core::kAccountFile, request(1, {{4, "bob"}})},
      {"revoke of a MAC not exempt", {"revoke-mac", "00:01:02:0a:0b:0d"}, core::kExemptMacFile,
       request(6, {{84, "00:01:02:0a:0b:0d"}})},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    const Result r = run(row.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("portalctl: " + row.args[0] + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(dir_.path(row.named)), std::string::npos) << r.err;
    const std::vector<Bytes> got = received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], row.expected);
  }
  // An account of the account file matches without a client online.
  dir_.write(core::kAccountFile, "bob x y *\n");
  EXPECT_EQ(run({"remove-account", "bob"}).status, 0);
}

// While the daemon is busy its queue fills; a request that cannot go in gives up in time.
TEST_F(Portalctl, FullQueueEndsWithTheTimeOut) {
  const int filler = socket(AF_UNIX, SOCK_DGRAM, 0);
  const client::UnixAddress a = client::unix_address(path_);
  const Bytes b(300, 0);
  while (sendto(filler, b.data(), b.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&a.addr),
                a.len) == 300) {
  }
  const Result r = run({"--timeout", "0.3", "cut", "10.0.0.1"});
  EXPECT_EQ(r.status, 75) << r.err;
  close(filler);
}

TEST_F(Portalctl, UnreachableSocketIsItsOwnError) {
  const Result missing = tool_run::run(kTool, {"--socket", dir_.dir() + "/none", "cut", "10.0.0.1"});
  EXPECT_EQ(missing.status, 69);
  EXPECT_NE(missing.err.find(dir_.dir() + "/none"), std::string::npos) << missing.err;

  close(fd_);  // the file stays, nobody reads it
  fd_ = -1;
  EXPECT_EQ(run({"cut", "10.0.0.1"}).status, 69);
}

TEST(PortalctlOverview, ListAndStatusWithTheDaemonAndAdmitsim) {
  testing_support::TempRoot root;
  root.write(core::kAccountFile, "alice x y 2\n");
  const std::string admit = root.dir() + "/admit.sock";
  tool_run::Child admitsim(ADMITSIM_BINARY, {"--socket", admit});
  for (int i = 0; i < 100 && access((admit + ".ctl").c_str(), F_OK) != 0; ++i) usleep(20000);
  auto d = std::make_unique<testing_support::DaemonProcess>(
      root, std::map<std::string, std::string>{{"WEBAUTH_SECTYPE", "USERS"}},
      std::vector<std::string>{"PORTALD_KERNEL_SOCKET=" + admit});
  ASSERT_TRUE(d->start({}, false));
  int result = -2;
  for (int i = 0; i < 100 && result != 1; ++i) {
    result = d->login(testing_support::client_at("192.168.1.20", "aa:bb:cc:dd:ee:01", "alice"));
    if (result != 1) usleep(20000);
  }
  ASSERT_EQ(result, 1);
  usleep(200000);
  const std::vector<std::string> env = {"PORTALD_ROOT=" + root.dir(),
                                        "NVRAM_FILE=" + d->nvram_file()};
  const std::vector<std::string> opts = {"--admit", admit};
  auto ctl = [&](std::vector<std::string> args) {
    args.insert(args.begin(), opts.begin(), opts.end());
    return tool_run::run(kTool, args, env);
  };

  const Result list = ctl({"list"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("TODAY LEFT"), std::string::npos) << list.out;
  const std::string row = list.out.substr(list.out.find('\n') + 1);
  EXPECT_EQ(row.rfind("alice  192.168.1.20  aa:bb:cc:dd:ee:01  ", 0), 0u) << row;
  EXPECT_NE(row.find("  USERS  "), std::string::npos) << row;
  EXPECT_TRUE(row.find("1h 59m") != std::string::npos || row.find("2h 0m") != std::string::npos)
      << row;

  const Result json = ctl({"list", "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_NE(json.out.find("{\"name\":\"alice\",\"ip\":\"192.168.1.20\",\"mac\":\"aa:bb:cc:dd:ee:01\""),
            std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"auth_type\":\"USERS\",\"admitted\":true"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"quota_left\":7"), std::string::npos) << json.out;

  const Result status = ctl({"status", "--json"});
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_EQ(status.out.rfind("{\"running\":true,\"pid\":" + std::to_string(d->pid()) + ",", 0), 0u)
      << status.out;
  EXPECT_NE(status.out.find("\"auth_type\":\"USERS\",\"auth_type_from\":\"registration file\""),
            std::string::npos) << status.out;
  EXPECT_NE(status.out.find("\"clients_online\":1"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("\"reachable\":true,\"idle_timeout\":1800,\"total_online_time\":7200,\"clients\":1"),
            std::string::npos) << status.out;

  // A cut that matches, then the same cut again.
  EXPECT_EQ(ctl({"cut", "192.168.1.20"}).status, 0);
  usleep(300000);
  EXPECT_EQ(ctl({"list"}).out, "no client is online\n");
  const Result again = ctl({"cut", "192.168.1.20"});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("not online"), std::string::npos) << again.err;

  d.reset();
  const Result stopped = ctl({"status"});
  EXPECT_EQ(stopped.status, 3);
  EXPECT_EQ(stopped.out.rfind("portald: not running", 0), 0u) << stopped.out;
}

}  // namespace
