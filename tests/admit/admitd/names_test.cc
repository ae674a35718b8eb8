// The whitelist's names against a real DNS server on loopback (tests/support/dns_server.py):
// addresses enter the walled garden as the resolver returns them and leave once their
// time-to-live has run out since it last did.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "names.h"
#include "server.h"

extern char** environ;

namespace admit {
namespace {

// A free UDP port on loopback.
int free_port() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

class NamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/names_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    zone_ = dir_ + "/zone";
    write_zone("garden.test 1 192.0.2.1\n");
    port_ = free_port();
    std::vector<std::string> args = {"/usr/bin/python3", DNS_SERVER, "127.0.0.1",
                                     std::to_string(port_), zone_};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    ASSERT_EQ(posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    ASSERT_TRUE(server_answers()) << "the DNS server did not start";
  }
  // Asks the server for a name until it answers, for at most 5 seconds.
  bool server_answers() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port_));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const unsigned char query[] = {0, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 'x', 0, 0, 1, 0, 1};
    bool ok = false;
    for (int i = 0; i < 50 && !ok; ++i) {
      sendto(fd, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      pollfd p{fd, POLLIN, 0};
      ok = poll(&p, 1, 100) == 1 && recv(fd, nullptr, 0, MSG_TRUNC) > 0;
    }
    close(fd);
    return ok;
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    unlink(zone_.c_str());
    rmdir(dir_.c_str());
  }
  void write_zone(const std::string& text) {
    std::ofstream(zone_ + ".new") << text;
    rename((zone_ + ".new").c_str(), zone_.c_str());
  }
  // Runs the names' loop for the seconds given; returns the changes, "+A" or "-A" each.
  std::vector<std::string> run(Names* names, double seconds) {
    std::vector<std::string> out;
    const double until = mono_seconds() + seconds;
    while (mono_seconds() < until) {
      for (const auto& c : names->tick(mono_seconds()))
        out.push_back((c.add ? "+" : "-") + addr_text(c.addr));
      std::vector<pollfd> fds;
      int wait_ms = 50;
      names->watch(&fds, &wait_ms, mono_seconds());
      if (wait_ms > 50 || wait_ms < 0) wait_ms = 50;
      poll(fds.data(), fds.size(), wait_ms);
      names->ready(fds.data(), fds.size());
    }
    return out;
  }

  std::string dir_, zone_;
  int port_ = 0;
  pid_t pid_ = -1;
};

TEST_F(NamesTest, ANameWhoseAddressChangesKeepsWorkingAndTheOldAddressLeaves) {
  Names names(0.5);
  std::string error;
  ASSERT_TRUE(names.init("127.0.0.1:" + std::to_string(port_), &error)) << error;
  names.add_name("garden.test");
  names.add_fixed("fixed.test", inet_addr("198.51.100.7"));
  std::vector<std::string> changes = run(&names, 1.0);
  ASSERT_EQ(changes, (std::vector<std::string>{"+198.51.100.7", "+192.0.2.1"}));
  EXPECT_NE(names.status(mono_seconds()).find("garden.test  192.0.2.1"), std::string::npos);

  write_zone("garden.test 1 192.0.2.2\n");
  // Asked again when its time-to-live (1 s) has run out: the new address comes at once, the
  // old one stays its time-to-live and the grace longer than the answer that last held it.
  changes = run(&names, 3.0);
  EXPECT_EQ(changes, (std::vector<std::string>{"+192.0.2.2", "-192.0.2.1"}));
  EXPECT_NE(names.status_json(mono_seconds()).find("{\"addr\":\"198.51.100.7\"}"),
            std::string::npos);

  names.clear();
  EXPECT_TRUE(run(&names, 0.2).empty());  // the caller empties the garden itself
}

TEST_F(NamesTest, AnUnknownNameHasNoAddressAndSaysWhy) {
  Names names;
  std::string error;
  ASSERT_TRUE(names.init("127.0.0.1:" + std::to_string(port_), &error)) << error;
  names.add_name("nowhere.test");
  EXPECT_TRUE(run(&names, 1.0).empty());
  EXPECT_NE(names.status(mono_seconds()).find("nowhere.test  (no address: "), std::string::npos)
      << names.status(mono_seconds());
}

}  // namespace
}  // namespace admit
