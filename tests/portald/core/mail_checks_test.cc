// The real daemon binary with e-mail logins against scripted mail servers on loopback: checks
// run on worker threads, several at once, each within its time budget, while the loop goes on
// serving logins, control requests and kernel events.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "auth/requests.h"
#include "core/paths.h"
#include "daemon_process.h"
#include "kernel/kmsg_layout.h"
#include "mail_peer.h"

namespace {

using namespace testing_support;
using Clock = std::chrono::steady_clock;

int64_t ms_since(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::map<std::string, std::string> email_nvram(unsigned port, bool tls, bool imap) {
  return {{"WEBAUTH_SECTYPE", "EMAIL"},
          {"WEBAUTH_POP3SERVER", "127.0.0.1"},
          {"WEBAUTH_POP3SPORT", std::to_string(port)},
          {"WEBAUTH_POP3SSL", tls ? "YES" : "NO"},
          {"WEBAUTH_E_PRO", imap ? "imap" : "pop3"},
          {"EMAIL_ENABLE_WHITE_LIST", "YES"}};
}

bool write_login(int fd, const LoginFields& f) {
  const Bytes req = login_request(f);
  return send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size());
}

// How long a permit-mac control request takes to reach the kernel; -1 when it never does.
int64_t control_ms(DaemonProcess& d) {
  d.kernel().drain();
  Bytes ctl(300, 0);
  ctl[0] = 5;
  std::memcpy(&ctl[164], "00:11:22:33:44:55", 17);
  const auto t = Clock::now();
  if (!d.control(ctl) || d.kernel().drain(5000).empty()) return -1;
  return ms_since(t);
}

// How long a host-down event takes to be handled (it rewrites the registration file).
int64_t host_down_ms(DaemonProcess& d, const TempRoot& root) {
  unlink(root.path(core::kRegistrationFile).c_str());
  const auto t = Clock::now();
  if (!d.send_event(kernel_event(KEV_HOST_DOWN, "10.9.9.9"))) return -1;
  while (!root.exists(core::kRegistrationFile)) {
    if (ms_since(t) > 5000) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return ms_since(t);
}

int64_t median(std::vector<int64_t> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

TEST(MailChecksTest, TwentyLoginsAgainstASlowServerRunFourAtATime) {
  mailtest::PeerScript script;
  script.greeting = "* OK ready\r\n";
  script.answer = mailtest::replies({"C1 OK in\r\n"});
  script.delay_ms = 500;  // one second for each check
  mailtest::MailPeer peer(script);
  TempRoot root;
  root.write(core::kMailWhitelist, "user\n");
  DaemonProcess d(root, email_nvram(peer.port(), false, true));
  ASSERT_TRUE(d.start());
  KernelDrain drain(d);

  const auto t = Clock::now();
  std::vector<std::future<int>> logins;
  for (int i = 0; i < 20; ++i) {
    logins.push_back(std::async(std::launch::async, [&d, i] {
      return d.login(client_at("10.2.0." + std::to_string(i + 1), "m", "user", "pw"), 30000);
    }));
  }
  int ok = 0;
  for (auto& l : logins) ok += l.get() == auth::LOGIN_OK;
  const int64_t took = ms_since(t);
  EXPECT_EQ(ok, 20);
  // One after another they would take 20 seconds; four at a time about 5.
  EXPECT_GE(took, 4000);
  EXPECT_LT(took, 15000);
  EXPECT_EQ(peer.connections(), 20);
  EXPECT_TRUE(d.running());
}

// One bad server per case, each behind a daemon of its own, all at once: each login is
// refused once the 20-second budget is spent (a full listen queue may end at the 3-second
// connect time-out), and meanwhile the daemon answers another login and a control request at
// once.
struct BadServer {
  const char* situation;
  mailtest::PeerScript script;
  bool imap;
  bool fill_queue;
};

std::vector<BadServer> bad_servers() {
  std::vector<BadServer> rows;
  mailtest::PeerScript stall;  // accepts and never speaks
  rows.push_back({"stalls", stall, false, false});
  mailtest::PeerScript greeting;
  // IMAP reads whole lines (a POP3 check decides on the first byte that comes).
  greeting.greeting = "* OK a greeting that comes one byte at a time\r\n";
  greeting.greeting_trickle_ms = 1900;
  rows.push_back({"trickles its greeting", greeting, true, false});
  mailtest::PeerScript reply;
  reply.greeting = "* OK ready\r\n";
  reply.answer = mailtest::replies({"* CAPABILITY IMAP4rev1 a reply one byte at a time\r\nC1 OK\r\n"});
  reply.answer_trickle_ms = 1900;
  rows.push_back({"trickles its reply", reply, true, false});
  mailtest::PeerScript handshake;
  handshake.tls = true;
  handshake.handshake_trickle_ms = 1900;
  rows.push_back({"trickles inside the TLS handshake", handshake, true, false});
  mailtest::PeerScript full;
  full.never_accept = true;
  rows.push_back({"has a full listen queue", full, false, true});
  return rows;
}

struct BadServerResult {
  int reply = 0;
  int64_t took_ms = 0;
  int other_login = 0;
  int64_t other_login_ms = 0;
  int64_t control_ms = 0;
  int64_t host_down_ms = 0;
};

BadServerResult run_bad_server(const BadServer& row) {
  BadServerResult out;
  mailtest::MailPeer peer(row.script);
  // The queue of a listener that never accepts fills with a few connections of ours.
  std::vector<int> fillers;
  if (row.fill_queue) {
    for (int i = 0; i < 8; ++i) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(static_cast<uint16_t>(peer.port()));
      connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
      fillers.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  TempRoot root;
  root.write(core::kMailWhitelist, "user\n");
  DaemonProcess d(root, email_nvram(peer.port(), row.script.tls, row.imap));
  if (!d.start()) return out;
  const auto t = Clock::now();
  auto bad = std::async(std::launch::async, [&] {
    const int r = d.login(client_at("10.3.0.1", "m", "user", "pw"), 60000);
    out.took_ms = ms_since(t);
    return r;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto other = Clock::now();
  out.other_login = d.login(client_at("10.3.0.2", "m", "unlisted", "pw"), 5000);
  out.other_login_ms = ms_since(other);
  out.control_ms = control_ms(d);
  out.host_down_ms = host_down_ms(d, root);
  out.reply = bad.get();
  for (int fd : fillers) close(fd);
  return out;
}

TEST(MailChecksTest, BadServersAreRefusedAtTheBudgetWhileOthersAreServed) {
  const std::vector<BadServer> rows = bad_servers();
  std::vector<std::future<BadServerResult>> runs;
  for (const BadServer& row : rows) {
    runs.push_back(std::async(std::launch::async, [&row] { return run_bad_server(row); }));
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].situation);
    const BadServerResult r = runs[i].get();
    std::printf("server that %s: refused after %lld ms; meanwhile a login took %lld ms, a control "
                "request %lld ms, a host-down %lld ms\n",
                rows[i].situation, static_cast<long long>(r.took_ms),
                static_cast<long long>(r.other_login_ms), static_cast<long long>(r.control_ms),
                static_cast<long long>(r.host_down_ms));
    EXPECT_EQ(r.reply, auth::LOGIN_REJECTED);
    EXPECT_LT(r.took_ms, 30000);
    if (!rows[i].fill_queue) {
      EXPECT_GE(r.took_ms, 15000);
    } else {
      EXPECT_LT(r.took_ms, 10000);  // the connect's own time-out, 3 s
    }
    EXPECT_EQ(r.other_login, auth::LOGIN_NOT_LISTED);
    EXPECT_LT(r.other_login_ms, 1000);
    EXPECT_GE(r.control_ms, 0);
    EXPECT_LT(r.control_ms, 1000);
    EXPECT_GE(r.host_down_ms, 0);
    EXPECT_LT(r.host_down_ms, 1000);
  }
}

TEST(MailChecksTest, WhileACheckIsHeldTheLoopAnswersAtOnceAndTheQueueIsBounded) {
  mailtest::MailPeer silent(mailtest::PeerScript{});
  TempRoot root;
  root.write(core::kMailWhitelist, "user\n");
  DaemonProcess d(root, email_nvram(silent.port(), false, false));
  ASSERT_TRUE(d.start());
  std::vector<int> held;
  auto hold = [&](int n) {
    for (int i = 0; i < n; ++i) {
      held.push_back(d.connect_login());
      ASSERT_TRUE(write_login(held.back(), client_at("10.4.0.1", "m", "user", "pw")));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  };
  hold(1);
  // A control request and a host-down event are each handled at once, again and again.
  std::vector<int64_t> control;
  std::vector<int64_t> down;
  for (int i = 0; i < 5; ++i) {
    control.push_back(control_ms(d));
    down.push_back(host_down_ms(d, root));
  }
  EXPECT_GE(*std::min_element(control.begin(), control.end()), 0);
  EXPECT_GE(*std::min_element(down.begin(), down.end()), 0);
  EXPECT_LT(median(control), 100);
  EXPECT_LT(median(down), 100);

  // Four checks run, 64 wait; the next login is refused at once with the check's line.
  hold(3);
  hold(64);
  const auto t = Clock::now();
  EXPECT_EQ(d.login(client_at("10.4.0.2", "m", "user", "pw"), 5000), auth::LOGIN_REJECTED);
  EXPECT_LT(ms_since(t), 1000);
  const std::vector<std::string> log = d.log();
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "@#@ log_info n - -  - webident - -v ident.emailident  ident.poplogusererr"),
            log.end());
  EXPECT_TRUE(d.running());
  d.stop();
  for (int fd : held) close(fd);
}

}  // namespace
