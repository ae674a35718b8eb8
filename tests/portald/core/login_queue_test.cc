// The real daemon binary: login connections that wait to be read. A request written while a
// slow handler runs is served afterwards; a burst larger than the places for waiting
// connections is answered in full; silent peers cannot crowd out good ones.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "auth/requests.h"
#include "core/paths.h"
#include "daemon_process.h"
#include "mail_peer.h"

namespace {

using namespace testing_support;

bool write_request(int fd, const LoginFields& f) {
  const Bytes req = login_request(f);
  return send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size());
}

std::string client_ip(int net, int i) {
  return "10." + std::to_string(net) + "." + std::to_string(i / 250) + "." +
         std::to_string(i % 250 + 1);
}

TEST(LoginQueueTest, RequestWrittenDuringASlowMailCheckIsAnswered) {
  // A POP3 server that takes 1.75 s before each of its three replies: one check holds the
  // loop for more than five seconds unless it runs elsewhere.
  mailtest::PeerScript script;
  script.greeting = "+OK ready\r\n";
  script.answer = mailtest::replies({"+OK\r\n", "+OK in\r\n"});
  script.delay_ms = 1750;
  mailtest::MailPeer peer(script);
  TempRoot root;
  root.write(core::kMailWhitelist, "slow\n");
  DaemonProcess d(root, {{"WEBAUTH_SECTYPE", "EMAIL"},
                         {"WEBAUTH_POP3SERVER", "127.0.0.1"},
                         {"WEBAUTH_POP3SPORT", std::to_string(peer.port())},
                         {"EMAIL_ENABLE_WHITE_LIST", "YES"}});
  ASSERT_TRUE(d.start());

  const int first = d.connect_login();
  ASSERT_GE(first, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto slow = std::async(std::launch::async, [&] {
    return d.login(client_at("10.0.0.2", "m2", "slow", "pw"), 20000);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  // Not listed: answered as soon as the loop reads it.
  ASSERT_TRUE(write_request(first, client_at("10.0.0.1", "m1", "other", "pw")));
  EXPECT_EQ(await_reply(first, 20000), auth::LOGIN_NOT_LISTED);
  close(first);
  EXPECT_EQ(slow.get(), auth::LOGIN_OK);
  EXPECT_TRUE(d.running());
}

TEST(LoginQueueTest, BurstOfSixtyIsAnsweredInFull) {
  TempRoot root;
  DaemonProcess d(root, {{"WEBAUTH_SECTYPE", "LOCAL"}});
  ASSERT_TRUE(d.start());
  KernelDrain drain(d);
  std::vector<int> clients;
  for (int i = 0; i < 60; ++i) {
    clients.push_back(d.connect_login());
    ASSERT_GE(clients.back(), 0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  for (int i = 0; i < 60; ++i) ASSERT_TRUE(write_request(clients[i], client_at(client_ip(1, i), "m")));
  int answered = 0;
  for (int fd : clients) {
    answered += await_reply(fd, 10000) == auth::LOGIN_OK;
    close(fd);
  }
  EXPECT_EQ(answered, 60);
  EXPECT_TRUE(d.running());
}

TEST(LoginQueueTest, SilentPeersDoNotCrowdOutGoodOnes) {
  TempRoot root;
  DaemonProcess d(root, {{"WEBAUTH_SECTYPE", "LOCAL"}});
  ASSERT_TRUE(d.start());
  KernelDrain drain(d);
  std::vector<int> silent;
  for (int i = 0; i < 200; ++i) {
    silent.push_back(d.connect_login());
    ASSERT_GE(silent.back(), 0);
  }
  std::vector<int> good;
  for (int i = 0; i < 200; ++i) {
    good.push_back(d.connect_login());
    ASSERT_GE(good.back(), 0);
    ASSERT_TRUE(write_request(good.back(), client_at(client_ip(2, i), "m")));
  }
  int answered = 0;
  for (int fd : good) {
    answered += await_reply(fd, 30000) == auth::LOGIN_OK;
    close(fd);
  }
  EXPECT_EQ(answered, 200);
  // Every silent peer was let go: none holds a place for ever.
  int closed = 0;
  for (int fd : silent) {
    closed += await_reply(fd, 15000) == -1;
    close(fd);
  }
  EXPECT_EQ(closed, 200);
  EXPECT_TRUE(d.running());
}

}  // namespace
