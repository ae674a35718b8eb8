// portal-login against a stand-in for the daemon's login socket: what it writes, byte for
// byte, and how it reports each answer.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "client.h"
#include "core/paths.h"
#include "portald_fixture.h"
#include "tool_run.h"

namespace {

using Bytes = std::vector<unsigned char>;
using tool_run::Result;

const std::string kTool = PORTAL_LOGIN_BINARY;

Bytes word_bytes(uint32_t v) {
  Bytes b(4);
  std::memcpy(b.data(), &v, 4);  // host byte order, as both ends run on one machine
  return b;
}

// The request the tool should write, laid out at the record's offsets.
struct Expected {
  Bytes rec = Bytes(300, 0);
  Expected() { at(0, word_bytes(2)); }
  Expected& at(size_t off, const Bytes& b) {
    std::copy(b.begin(), b.end(), rec.begin() + static_cast<long>(off));
    return *this;
  }
  Expected& at(size_t off, const std::string& s) { return at(off, Bytes(s.begin(), s.end())); }
};

// What the stand-in does once it has read the request.
using Answer = std::function<void(int fd)>;

Answer reply_word(int32_t result) {
  return [result](int fd) {
    Bytes r(300, 0);
    std::memcpy(r.data(), &result, 4);
    ASSERT_EQ(send(fd, r.data(), r.size(), MSG_NOSIGNAL), 300);
  };
}

class PortalLogin : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.path(core::kLoginSocketPath);
    listen_fd_ = tool_run::bound_socket(SOCK_STREAM, path_);
    ASSERT_EQ(listen(listen_fd_, 4), 0);
  }
  void TearDown() override { close(listen_fd_); }

  // Runs the tool; serves one connection: reads the request, then answers.
  Result exchange(std::vector<std::string> args, const Answer& answer,
                  std::vector<std::string> env = {}) {
    if (env.empty()) {
      args.insert(args.begin(), {"--socket", path_});
    }
    tool_run::Child child(kTool, args, env);
    pollfd p{listen_fd_, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 10000), 1) << "the tool never connected";
    if (p.revents != 0) {
      const int fd = accept(listen_fd_, nullptr, nullptr);
      request_ = read_request(fd);
      answer(fd);
      close(fd);
    }
    return child.finish();
  }

  static Bytes read_request(int fd) {
    Bytes got(400);
    size_t n = 0;
    while (n < 300) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 5000) != 1) break;
      const ssize_t k = recv(fd, got.data() + n, got.size() - n, 0);
      if (k <= 0) break;
      n += static_cast<size_t>(k);
    }
    got.resize(n);
    return got;
  }

  bool connection_waiting() const {
    pollfd p{listen_fd_, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
  }

  testing_support::TempRoot dir_;
  std::string path_;
  int listen_fd_ = -1;
  Bytes request_;
};

TEST_F(PortalLogin, WritesEveryFieldAtItsOffset) {
  const Result r = exchange({"--ip", "192.168.1.20", "--mac", "00:11:22:33:44:55", "--user",
                             "alice", "--password", "s3cret", "--extra-a", "page-a", "--extra-b",
                             "page b", "--extra-word", "3735928559"},
                            reply_word(1));
  Expected e;
  e.at(4, "alice").at(68, "s3cret").at(84, "page-a").at(148, "192.168.1.20");
  e.at(164, "00:11:22:33:44:55").at(188, "page b").at(252, word_bytes(0xDEADBEEF));
  EXPECT_EQ(request_, e.rec);
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(PortalLogin, OnlyAddressGivenLeavesTheRestZero) {
  exchange({"--ip", "10.0.0.7", "--mac", "m", "--extra-word", "-2"}, reply_word(1));
  Expected e;
  e.at(148, "10.0.0.7").at(164, "m").at(252, word_bytes(0xFFFFFFFEu));
  EXPECT_EQ(request_, e.rec);
}

// A text that fills its field exactly goes without a NUL; the next field starts right after.
TEST_F(PortalLogin, TextsFillingTheirFieldsExactly) {
  const std::string user(64, 'u'), pw(16, 'p'), xa(64, 'a'), ip = "255.255.255.255.",
                    mac(24, 'm'), xb(64, 'b');
  ASSERT_EQ(ip.size(), 16u);
  exchange({"--ip", ip, "--mac", mac, "--user", user, "--password", pw, "--extra-a", xa,
            "--extra-b", xb, "--extra-word", "7"},
           reply_word(1));
  Expected e;
  e.at(4, user).at(68, pw).at(84, xa).at(148, ip).at(164, mac).at(188, xb).at(252, word_bytes(7));
  EXPECT_EQ(request_, e.rec);
}

TEST_F(PortalLogin, DefaultSocketIsUnderPortaldRoot) {
  const Result r = exchange({"--ip", "10.0.0.1", "--mac", "m"}, reply_word(1),
                            {"PORTALD_ROOT=" + dir_.dir()});
  EXPECT_EQ(r.out, "LOGIN_OK\n");
  EXPECT_EQ(r.status, 0);
}

struct AnswerRow {
  const char* situation;
  Answer answer;
  std::string out;
  int status;
};

// Results print on standard output; a broken exchange is an error on standard error.
TEST_F(PortalLogin, PrintsEachAnswerWithItsStatus) {
  const AnswerRow rows[] = {
      {"ok", reply_word(1), "LOGIN_OK\n", 0},
      {"rejected", reply_word(2), "LOGIN_REJECTED\n", 1},
      {"limit reached", reply_word(3), "LOGIN_LIMIT_REACHED\n", 2},
      {"not listed", reply_word(4), "LOGIN_NOT_LISTED\n", 3},
      {"closed without data", [](int) {}, "no reply\n", 4},
      {"unknown result", reply_word(9), "9\n", 5},
      {"negative result", reply_word(-3), "-3\n", 5},
      {"zero result", reply_word(0), "0\n", 5},
      {"reply in two pieces",
       [](int fd) {
         Bytes r(300, 0);
         r[0] = 1;  // LOGIN_OK in little-endian; the word is split across the pieces
         ASSERT_EQ(send(fd, r.data(), 2, MSG_NOSIGNAL), 2);
         std::this_thread::sleep_for(std::chrono::milliseconds(100));
         ASSERT_EQ(send(fd, r.data() + 2, 298, MSG_NOSIGNAL), 298);
       },
       "LOGIN_OK\n", 0},
      {"part of a reply, then closed",
       [](int fd) { ASSERT_EQ(send(fd, "\1\0\0\0\0\0\0\0\0\0", 10, MSG_NOSIGNAL), 10); }, "",
       74},
      {"silent past the time-out",
       [](int) { std::this_thread::sleep_for(std::chrono::milliseconds(1500)); }, "", 75},
  };
  for (const AnswerRow& row : rows) {
    SCOPED_TRACE(row.situation);
    const Result r = exchange({"--ip", "10.0.0.1", "--mac", "m", "--timeout", "0.5"}, row.answer);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.status, row.status) << r.err;
    EXPECT_EQ(r.err.empty(), row.status < 64) << r.err;
    EXPECT_EQ(request_.size(), 300u);
  }
}

TEST_F(PortalLogin, BadArgumentsAreRefusedBeforeConnecting) {
  struct Row {
    const char* situation;
    std::vector<std::string> args;
  };
  const Row rows[] = {
      {"no ip", {"--mac", "m"}},
      {"no mac", {"--ip", "10.0.0.1"}},
      {"empty ip", {"--ip", "", "--mac", "m"}},
      {"unknown option", {"--ip", "10.0.0.1", "--mac", "m", "--colour", "red"}},
      {"unknown short option", {"-q", "--ip", "10.0.0.1", "--mac", "m"}},
      {"option without value", {"--mac", "m", "--ip"}},
      {"stray argument", {"--ip", "10.0.0.1", "--mac", "m", "alice"}},
      {"ip one too long", {"--ip", "192.168.100.200.1", "--mac", "m"}},
      {"mac one too long", {"--ip", "10.0.0.1", "--mac", std::string(25, 'm')}},
      {"user one too long", {"--ip", "10.0.0.1", "--mac", "m", "--user", std::string(65, 'u')}},
      {"password one too long",
       {"--ip", "10.0.0.1", "--mac", "m", "--password", std::string(17, 'p')}},
      {"extra-a one too long",
       {"--ip", "10.0.0.1", "--mac", "m", "--extra-a", std::string(65, 'a')}},
      {"extra-b one too long",
       {"--ip", "10.0.0.1", "--mac", "m", "--extra-b", std::string(65, 'b')}},
      {"extra-word not a number", {"--ip", "10.0.0.1", "--mac", "m", "--extra-word", "12x"}},
      {"extra-word beyond 32 bits",
       {"--ip", "10.0.0.1", "--mac", "m", "--extra-word", "4294967296"}},
      {"extra-word below 32 bits",
       {"--ip", "10.0.0.1", "--mac", "m", "--extra-word", "-2147483649"}},
      {"timeout zero", {"--ip", "10.0.0.1", "--mac", "m", "--timeout", "0"}},
      {"timeout negative", {"--ip", "10.0.0.1", "--mac", "m", "--timeout", "-1"}},
      {"timeout not a number", {"--ip", "10.0.0.1", "--mac", "m", "--timeout", "soon"}},
      {"socket path too long",
       {"--ip", "10.0.0.1", "--mac", "m", "--socket", "/tmp/" + std::string(120, 's')}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    std::vector<std::string> args = {"--socket", path_};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const Result r = tool_run::run(kTool, args);
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("portal-login: ", 0), 0u) << r.err;
    EXPECT_FALSE(connection_waiting());
  }
}

// A daemon stuck in a long check stops accepting; once its queue is full, connecting waits.
TEST_F(PortalLogin, FullConnectionQueueEndsWithTheTimeOut) {
  const std::string busy = dir_.dir() + "/busy";
  const int fd = tool_run::bound_socket(SOCK_STREAM, busy);
  ASSERT_EQ(listen(fd, 0), 0);
  const int queued = socket(AF_UNIX, SOCK_STREAM, 0);
  const client::UnixAddress a = client::unix_address(busy);
  ASSERT_EQ(connect(queued, reinterpret_cast<const sockaddr*>(&a.addr), a.len), 0);

  const Result r = tool_run::run(
      kTool, {"--socket", busy, "--ip", "10.0.0.1", "--mac", "m", "--timeout", "0.3"});
  EXPECT_EQ(r.status, 75) << r.err;
  close(queued);
  close(fd);
}

TEST_F(PortalLogin, UnreachableSocketIsItsOwnError) {
  const Result missing =
      tool_run::run(kTool, {"--socket", dir_.dir() + "/none", "--ip", "10.0.0.1", "--mac", "m"});
  EXPECT_EQ(missing.status, 69);
  EXPECT_NE(missing.err.find(dir_.dir() + "/none"), std::string::npos) << missing.err;

  // A socket file whose daemon has gone: the name is there, nobody listens.
  close(listen_fd_);
  listen_fd_ = -1;
  const Result stale = tool_run::run(kTool, {"--socket", path_, "--ip", "10.0.0.1", "--mac", "m"});
  EXPECT_EQ(stale.status, 69);
  EXPECT_EQ(stale.out, "");
}

}  // namespace
