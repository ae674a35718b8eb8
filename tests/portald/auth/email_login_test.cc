// E-mail login against a scripted POP3 server on loopback: whitelist, suffix rule,
// single-login rule after the check, group file, and an invalid address after a good check.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "auth/requests.h"
#include "core/paths.h"
#include "core/settings.h"
#include "nvram.h"
#include "portald_fixture.h"

namespace {

using namespace testing_support;

// Accepts POP3 logins whose password is "right".
class Pop3Peer {
 public:
  Pop3Peer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    listen(fd_, 8);
    thread_ = std::thread([this] { serve(); });
  }
  ~Pop3Peer() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  unsigned port() const { return port_; }
  int connections() const { return connections_; }

 private:
  static std::string read_line(int c) {
    std::string line;
    char ch;
    while (recv(c, &ch, 1, 0) == 1) {
      line.push_back(ch);
      if (ch == '\n') break;
    }
    return line;
  }
  static void say(int c, const char* text) { send(c, text, std::strlen(text), MSG_NOSIGNAL); }
  void serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      ++connections_;
      say(c, "+OK ready\r\n");
      if (read_line(c).rfind("USER ", 0) == 0) {
        say(c, "+OK\r\n");
        const std::string pass = read_line(c);
        say(c, pass == "PASS right\r\n" ? "+OK in\r\n" : "-ERR no\r\n");
      }
      close(c);
    }
  }
  int fd_ = -1;
  unsigned port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

class EmailLoginTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    setenv("NVRAM_FILE", (root_->dir() + "/nvram.conf").c_str(), 1);
    for (const char* k : kKeys) nvram_unset(k);
    core::g_settings.auth_type = core::AUTH_EMAIL;
    std::snprintf(core::g_settings.mail_server, sizeof(core::g_settings.mail_server),
                  "127.0.0.1");
    core::g_settings.mail_port = static_cast<int32_t>(peer_.port());
  }
  void TearDown() override {
    for (const char* k : kKeys) nvram_unset(k);
    unsetenv("NVRAM_FILE");
    DaemonTest::TearDown();
  }
  int mail_login(const std::string& ip, const std::string& user, const std::string& pw,
                 const std::string& mac = "mm") {
    return login(client_at(ip, mac, user, pw));
  }
  static constexpr const char* kKeys[] = {"EMAIL_ENABLE_WHITE_LIST", "WEBAUTH_E_SUFFIX",
                                          "WEBAUTH_POP3SSL", "WEBAUTH_E_PRO", "GROUPIP_NUM_MAX"};
  Pop3Peer peer_;
};

TEST_F(EmailLoginTest, AcceptedMailboxIsAdmittedRecordedAndGrouped) {
  nvram_set("GROUPIP_NUM_MAX", "4");
  LoginFields f = client_at("10.0.0.1", "aa", "ann@example.org", "right");
  f.extra_word = 9;
  EXPECT_EQ(login(f), auth::LOGIN_OK);
  const auto msgs = sent();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].command, uint32_t{KMSG_PERMIT});
  EXPECT_EQ(msgs[0].kind, uint32_t{KIND_CLIENT_IP});
  ASSERT_EQ(online_.records.size(), 1u);
  EXPECT_EQ(online_.records[0].name, "ann@example.org");
  EXPECT_EQ(online_.records[0].login_extra_word, 9u);
  EXPECT_EQ(root_->read(core::kEmailGroupFile), "group5 Email_Auth 10.0.0.1  \n");
  const auto lines = log();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2],
            "R1 0 R3 syslog.webauth_userti syslog.webauth_onuser ann@example.org IP: 10.0.0.1 MAC: aa");
  EXPECT_EQ(lines.back(),
            "@#@ log_info n  10.0.0.1 aa  - webident - -v ident.emailident  ident.webidentup  "
            "ident.emailidentname + ann@example.org");

  EXPECT_EQ(mail_login("10.0.0.12", "bo@example.org", "right"), auth::LOGIN_OK);
  EXPECT_EQ(root_->read(core::kEmailGroupFile), "group5 Email_Auth 10.0.0.1,10.0.0.12 \n");
  // The same address again: LOGIN_OK without asking the server.
  const int before = peer_.connections();
  EXPECT_EQ(mail_login("10.0.0.1", "ann@example.org", "whatever"), auth::LOGIN_OK);
  EXPECT_EQ(peer_.connections(), before);
  EXPECT_EQ(root_->read(core::kEmailGroupFile), "group5 Email_Auth 10.0.0.1,10.0.0.12 \n");
}

TEST_F(EmailLoginTest, SingleLoginRuleOnlyAfterTheCheckSucceeds) {
  ASSERT_EQ(mail_login("10.0.0.1", "cy@example.org", "right", "m1"), auth::LOGIN_OK);
  sent();
  EXPECT_EQ(mail_login("10.0.0.2", "cy@example.org", "wrong", "m2"), auth::LOGIN_REJECTED);
  EXPECT_TRUE(sent().empty());
  ASSERT_EQ(online_.records.size(), 1u);
  EXPECT_EQ(online_.records[0].ip, "10.0.0.1");

  testing::internal::CaptureStdout();
  EXPECT_EQ(mail_login("10.0.0.2", "cy@example.org", "right", "m2"), auth::LOGIN_OK);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "is_email_online_msg,2932 ip: 10.0.0.1 m1 cy@example.org \r\n");
  const auto msgs = sent();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].command, uint32_t{KMSG_REVOKE});
  EXPECT_EQ(msgs[0].addr_text, "10.0.0.1");
  EXPECT_EQ(msgs[1].command, uint32_t{KMSG_PERMIT});
  ASSERT_EQ(online_.records.size(), 1u);
  EXPECT_EQ(online_.records[0].ip, "10.0.0.2");
  bool down_line = false;
  for (const std::string& l : log()) {
    down_line |= l == "@#@ log_info n 10.0.0.1 m1 - webident - -v ident.emailident  "
                      "ident.webidentdown  ident.emailidentname + cy@example.org ";
  }
  EXPECT_TRUE(down_line);
}

TEST_F(EmailLoginTest, WhitelistRules) {
  nvram_set("EMAIL_ENABLE_WHITE_LIST", "YES");
  EXPECT_EQ(mail_login("10.0.0.1", "dan@example.org", "right"), auth::LOGIN_NOT_LISTED);  // no file
  const std::string long_name = std::string(51, 'l') + "@example.org";  // 63 characters
  root_->write(core::kMailWhitelist, "dan@example.org and more words\r\n" + long_name + "\n" +
                                         std::string(49, 'x') + "eve@example.org\n");
  EXPECT_EQ(mail_login("10.0.0.1", "dan@example.org", "right"), auth::LOGIN_OK);
  EXPECT_EQ(mail_login("10.0.0.2", long_name, "right"), auth::LOGIN_OK);
  // The tail of a long line is not a listed name of its own.
  EXPECT_EQ(mail_login("10.0.0.3", "eve@example.org", "right"), auth::LOGIN_NOT_LISTED);
  EXPECT_EQ(mail_login("10.0.0.4", "dan", "right"), auth::LOGIN_NOT_LISTED);
  nvram_set("EMAIL_ENABLE_WHITE_LIST", "yes");
  EXPECT_EQ(mail_login("10.0.0.5", "eve@example.org", "right"), auth::LOGIN_OK);
}

TEST_F(EmailLoginTest, SuffixLengthRule) {
  const std::string suffix(30, 's');
  nvram_set("WEBAUTH_E_SUFFIX", suffix.c_str());
  const std::string n60 = std::string(30, 'a') + suffix;
  const std::string n58 = std::string(28, 'a') + suffix;
  EXPECT_EQ(mail_login("10.0.0.1", n60, "right"), auth::LOGIN_REJECTED);
  EXPECT_EQ(peer_.connections(), 0);  // refused before the server is asked
  EXPECT_EQ(mail_login("10.0.0.2", n58, "right"), auth::LOGIN_OK);
  EXPECT_EQ(mail_login("10.0.0.3", std::string(63, 'b'), "right"), auth::LOGIN_OK);  // no suffix in it
  nvram_unset("WEBAUTH_E_SUFFIX");
  EXPECT_EQ(mail_login("10.0.0.4", std::string(63, 'c'), "right"), auth::LOGIN_OK);
}

TEST_F(EmailLoginTest, InvalidAddressAfterAGoodCheckIsRejectedAndTheDaemonGoesOn) {
  EXPECT_EQ(mail_login("999.1.1.1", "fred@example.org", "right"), auth::LOGIN_REJECTED);
  EXPECT_TRUE(sent().empty());
  EXPECT_TRUE(online_.records.empty());
  EXPECT_FALSE(root_->exists(core::kEmailGroupFile));
  EXPECT_EQ(mail_login("10.0.0.7", "fred@example.org", "right"), auth::LOGIN_OK);
}

TEST_F(EmailLoginTest, RefusalAfterTheSingleLoginRuleStillRewritesTheRegistrationFile) {
  ASSERT_EQ(mail_login("10.0.0.8", "hal@example.org", "right", "m8"), auth::LOGIN_OK);
  EXPECT_EQ(root_->read(core::kRegistrationFile), "hal@example.org 10.0.0.8 m8 " +
                                                      std::to_string(online_.records[0].login_time) +
                                                      " 4 \n");
  // The same mailbox from an address the kernel cannot take: the earlier client is revoked
  // and removed, the login refused, and the web pages' list follows the table.
  EXPECT_EQ(mail_login("999.1.1.1", "hal@example.org", "right"), auth::LOGIN_REJECTED);
  EXPECT_TRUE(online_.records.empty());
  EXPECT_EQ(root_->read(core::kRegistrationFile), "");
  EXPECT_TRUE(root_->exists(core::kRegistrationFile));
}

TEST_F(EmailLoginTest, UnreachableServerIsRefused) {
  core::g_settings.mail_port = 1;
  EXPECT_EQ(mail_login("10.0.0.1", "gil@example.org", "right"), auth::LOGIN_REJECTED);
  EXPECT_TRUE(online_.records.empty());
}

}  // namespace
