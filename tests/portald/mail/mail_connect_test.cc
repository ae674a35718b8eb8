// Reaching the mail server: which host texts are addresses, name look-up, and what a failed
// connection gives each check.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "mail/mail_check.h"
#include "mail_fixture.h"
#include "mail_peer.h"

namespace mailtest {
namespace {

TEST(IsDotted, DigitsAndDotsOnly) {
  struct Row {
    const char* text;
    int expected;
  } rows[] = {
      {"", 1},          {"127.0.0.1", 1},  {"...", 1},  {"1234", 1},
      {"10.0.0.1a", 0}, {"mail.test", 0},  {" 1.2", 0}, {"1.2.3.4\n", 0},
      {"-1.2.3.4", 0},
  };
  for (const Row& row : rows) EXPECT_EQ(mail::is_dotted(row.text), row.expected) << row.text;
}

TEST(ResolveHost, LocalhostGivesItsFirstIpv4Address) {
  char out[mail::kDottedSize];
  ASSERT_EQ(mail::resolve_host("localhost", out), 1);
  EXPECT_EQ(std::string(out), "127.0.0.1");
}

// A port on which nothing listens.
unsigned closed_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  close(fd);
  return ntohs(a.sin_port);
}

using ConnectTest = MailTest;

TEST_F(ConnectTest, DottedHostOfTwentyTwoCharactersIsTakenAsTheAddress) {
  // Leading zeros keep the address 127.0.0.1 while the text grows.
  MailPeer peer({false, "", nullptr, false});
  const int fd = mail::mail_connect("127.0.0.00000000000001", peer.port());
  ASSERT_GT(fd, 0);
  close(fd);
  peer.finish();
  EXPECT_EQ(peer.connections(), 1);
}

TEST_F(ConnectTest, DottedHostOfTwentyThreeCharactersFailsEveryCheck) {
  const char* host = "127.0.0.000000000000001";
  ASSERT_EQ(std::strlen(host), 23u);
  MailPeer peer({false, "+OK\r\n", nullptr, false});
  EXPECT_EQ(mail::mail_connect(host, peer.port()), 0);
  EXPECT_EQ(mail::pop3_check(host, peer.port(), "alice", "secret"), 0);
  EXPECT_EQ(mail::pop3s_check(host, peer.port(), "alice", "secret"), -1);
  EXPECT_EQ(mail::imap_check(host, peer.port(), "alice", "secret"), -1);
  EXPECT_EQ(mail::imaps_check(host, peer.port(), "alice", "secret"), -1);
  peer.finish();
  EXPECT_EQ(peer.connections(), 0);
  EXPECT_EQ(events().size(), 0u);
}

TEST_F(ConnectTest, HostNameIsLookedUp) {
  MailPeer peer({false, "+OK\r\n", replies({"+OK\r\n", "+OK\r\n"}), false});
  EXPECT_EQ(mail::pop3_check("localhost", peer.port(), "alice", "secret"), 1);
  peer.finish();
  // The Event line names the host as configured, not its address.
  EXPECT_EQ(events(), std::vector<std::string>{
                          "@#@ log_info n - -  - webident - -v ident.emailident  "
                          "ident.webidentup  ident.emailhostname + localhost"});
}

TEST_F(ConnectTest, PortAboveSixteenBitsUsesTheLowBits) {
  MailPeer peer({false, "", nullptr, false});
  const int fd = mail::mail_connect("127.0.0.1", peer.port() + 0x10000u);
  ASSERT_GT(fd, 0);
  close(fd);
}

TEST_F(ConnectTest, RefusedConnectionFailsEveryCheckWithoutEventLines) {
  const unsigned port = closed_port();
  EXPECT_EQ(mail::mail_connect("127.0.0.1", port), 0);
  EXPECT_EQ(mail::pop3_check("127.0.0.1", port, "alice", "secret"), 0);
  EXPECT_EQ(mail::pop3s_check("127.0.0.1", port, "alice", "secret"), -1);
  EXPECT_EQ(mail::imap_check("127.0.0.1", port, "alice", "secret"), -1);
  EXPECT_EQ(mail::imaps_check("127.0.0.1", port, "alice", "secret"), -1);
  EXPECT_EQ(events().size(), 0u);
}

TEST_F(ConnectTest, ClosedStandardInputIsNotMistakenForFailure) {
  // Descriptor 0 must be taken while the listener opens, whatever the test runner left there.
  const bool stdin_was_open = fcntl(0, F_GETFD) != -1;
  if (!stdin_was_open) {
    ASSERT_EQ(open("/dev/null", O_RDONLY), 0);
  }
  // No other thread may open descriptors while 0 is free: the server is a bare listening socket.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length), 0);

  const int saved = fcntl(0, F_DUPFD_CLOEXEC, 3);
  ASSERT_GE(saved, 0);
  close(0);
  const int fd = mail::mail_connect("127.0.0.1", ntohs(a.sin_port));
  const int reopened = dup2(saved, 0);
  close(saved);
  ASSERT_EQ(reopened, 0);

  ASSERT_GT(fd, 0);
  const int served = accept(listener, nullptr, nullptr);
  ASSERT_GE(served, 0);
  ASSERT_EQ(send(fd, "x", 1, MSG_NOSIGNAL), 1);
  char c = 0;
  EXPECT_EQ(recv(served, &c, 1, 0), 1);
  EXPECT_EQ(c, 'x');
  close(served);
  close(fd);
  close(listener);
  if (!stdin_was_open) close(0);
}

}  // namespace
}  // namespace mailtest
