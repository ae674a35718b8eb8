// The reply readers on a socket pair: what the server's bytes decide, and what of them is
// left for the next read.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "mail/mail_check.h"

namespace {

// The client end reads with the checks' receive time-out; the server end writes.
class SocketPair {
 public:
  SocketPair() {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds_) != 0) ADD_FAILURE() << "socketpair";
    const timeval timeout = {mail::kReceiveTimeout, 0};
    setsockopt(client(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const int big = 1 << 20;
    setsockopt(server(), SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  }
  ~SocketPair() {
    close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }
  int client() const { return fds_[0]; }
  int server() const { return fds_[1]; }
  void write(const std::string& text) {
    ASSERT_EQ(::write(server(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void close_server() {
    close(fds_[1]);
    fds_[1] = -1;
  }
  // What is still queued for the client, without waiting.
  std::string left() {
    std::string out;
    char buffer[4096];
    for (;;) {
      const ssize_t n = recv(client(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (n <= 0) return out;
      out.append(buffer, static_cast<std::size_t>(n));
    }
  }

 private:
  int fds_[2] = {-1, -1};
};

struct ReplyCase {
  const char* situation;
  std::string bytes;
  bool then_close;
  int expected;
};

class Pop3ReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(Pop3ReplyTest, FirstPieceDecides) {
  const ReplyCase& c = GetParam();
  SocketPair pair;
  pair.write(c.bytes);
  if (c.then_close) pair.close_server();
  EXPECT_EQ(mail::pop3_reply_ok(pair.client()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, Pop3ReplyTest,
    ::testing::Values(ReplyCase{"ok_blank", "+OK ready\r\n", false, 1},
                      ReplyCase{"ok_crlf", "+OK\r\n", false, 1},
                      ReplyCase{"ok_lf", "+OK\n", false, 1},
                      ReplyCase{"ok_alone", "+OK", false, 1},
                      ReplyCase{"ok_run_on", "+OKAY\r\n", false, 0},
                      ReplyCase{"ok_lower_case", "+ok\r\n", false, 0},
                      ReplyCase{"ok_cut_short", "+O", false, 0},
                      ReplyCase{"err", "-ERR no\r\n", false, 0},
                      ReplyCase{"nothing_then_end", "", true, 0},
                      ReplyCase{"piece_of_255_bytes", "+OK " + std::string(251, 'x'), false, 1},
                      ReplyCase{"piece_of_256_bytes", "+OK " + std::string(252, 'x'), true, 0}),
    [](const auto& row) { return std::string(row.param.situation); });

TEST(Pop3Drain, FullFirstPieceIsDrainedToTheEnd) {
  SocketPair pair;
  pair.write("+OK " + std::string(252, 'x') + std::string(1000, 'y'));
  pair.close_server();
  EXPECT_EQ(mail::pop3_reply_ok(pair.client()), 0);
  EXPECT_EQ(pair.left(), "");
}

TEST(Pop3Drain, ShortReplyLeavesTheNextOne) {
  SocketPair pair;
  pair.write("+OK\r\n");
  EXPECT_EQ(mail::pop3_reply_ok(pair.client()), 1);
  pair.write("-ERR\r\n");
  EXPECT_EQ(mail::pop3_reply_ok(pair.client()), 0);
  EXPECT_EQ(pair.left(), "");
}

TEST(Pop3Drain, EndlessReplyIsDrainedOnlyUpToTheBudget) {
  SocketPair pair;
  const std::size_t total = mail::kReplyBudget + 40 * 1024;
  pair.write("+OK " + std::string(total - 4, 'z'));
  // The server keeps the connection open: without the budget this would wait for the time-out
  // after reading everything.
  EXPECT_EQ(mail::pop3_reply_ok(pair.client()), 0);
  const std::string left = pair.left();
  EXPECT_GT(left.size(), 0u);
  EXPECT_LE(left.size(), total - mail::kReplyBudget);
}

class ImapReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ImapReplyTest, TaggedLineDecides) {
  const ReplyCase& c = GetParam();
  SocketPair pair;
  pair.write(c.bytes);
  if (c.then_close) pair.close_server();
  EXPECT_EQ(mail::imap_reply_ok(pair.client()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ImapReplyTest,
    ::testing::Values(
        ReplyCase{"tagged_ok_without_text", "C1 OK\r\n", false, 1},
        ReplyCase{"tagged_bad", "C1 BAD OK\r\n", false, 0},
        ReplyCase{"ok_in_untagged_only_then_end", "* OK x\r\n", true, 0},
        ReplyCase{"tagged_line_without_its_feed", "C1 OK", true, 0},
        ReplyCase{"untagged_within_the_budget",
                  "* " + std::string(mail::kReplyBudget - 20, 'u') + "\r\nC1 OK\r\n", false, 1},
        ReplyCase{"untagged_beyond_the_budget",
                  "* " + std::string(mail::kReplyBudget, 'u') + "\r\nC1 OK\r\n", false, 0}),
    [](const auto& row) { return std::string(row.param.situation); });

TEST(ImapReply, NothingAfterTheTaggedLineIsRead) {
  SocketPair pair;
  pair.write("* a\r\nC1 OK b\r\nAFTER");
  EXPECT_EQ(mail::imap_reply_ok(pair.client()), 1);
  EXPECT_EQ(pair.left(), "AFTER");
}

}  // namespace
