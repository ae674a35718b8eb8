// The four checks against a real mail server: a private dovecot on loopback.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "dovecot_harness.h"
#include "mail/check_budget.h"
#include "mail/mail_check.h"
#include "mail_fixture.h"

namespace mailtest {
namespace {

struct Protocol {
  const char* name;
  int (*check)(const char*, unsigned, const char*, const char*);
  unsigned (dovecot::Server::*port)() const;
  int refused;  // what a wrong password gives
  const char* accepted_line;  // up to the host
};

const Protocol kProtocols[] = {
    {"pop3", mail::pop3_check, &dovecot::Server::pop3_port, -1,
     "@#@ log_info n - -  - webident - -v ident.emailident  ident.webidentup  "
     "ident.emailhostname + "},
    {"pop3s", mail::pop3s_check, &dovecot::Server::pop3s_port, -1, nullptr},
    {"imap", mail::imap_check, &dovecot::Server::imap_port, -1,
     "@#@ log_info n - -  - webident - -v ident.emailident ident.webidentup "
     "ident.emailhostname  + "},
    {"imaps", mail::imaps_check, &dovecot::Server::imaps_port, -1,
     "@#@ log_info n - -  - webident - -v ident.emailident  ident.webidentup  "
     "ident.emailhostname + "},
};

class DovecotTest : public MailTest, public ::testing::WithParamInterface<Protocol> {
 protected:
  static void SetUpTestSuite() {
    MailTest::SetUpTestSuite();
    // The daemon's own limits: the server delays its answers after each failed login.
    mail::set_check_limits(mail::CheckLimits{});
    server_ = std::make_unique<dovecot::Server>();
  }
  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override {
    // The server's own descriptors were opened before the fixture counts.
    MailTest::SetUp();
    ASSERT_TRUE(server_->running()) << server_->error();
  }

  int check(const std::string& user, const std::string& password) const {
    const Protocol& p = GetParam();
    return p.check(server_->host().c_str(), (server_.get()->*p.port)(), user.c_str(),
                   password.c_str());
  }

  static std::unique_ptr<dovecot::Server> server_;
};

std::unique_ptr<dovecot::Server> DovecotTest::server_;

TEST_P(DovecotTest, RightPasswordIsAccepted) {
  EXPECT_EQ(check(server_->user(), server_->password()), 1);
  const char* line = GetParam().accepted_line;
  if (line != nullptr) {
    EXPECT_EQ(events(), std::vector<std::string>{line + server_->host()});
  } else {
    EXPECT_EQ(events().size(), 0u);
  }
}

TEST_P(DovecotTest, WrongPasswordIsRefused) {
  EXPECT_EQ(check(server_->user(), "not-" + server_->password()), GetParam().refused);
  EXPECT_EQ(check("nobody-here", server_->password()), GetParam().refused);
}

TEST_P(DovecotTest, PasswordWithBlankQuoteAndBackslashIsAccepted) {
  const std::string password = server_->space_password();
  ASSERT_NE(password.find(' '), std::string::npos);
  EXPECT_EQ(check(server_->space_user(), password), 1);
  EXPECT_EQ(check(server_->space_user(), password.substr(0, password.find(' '))),
            GetParam().refused);
}

INSTANTIATE_TEST_SUITE_P(Protocols, DovecotTest, ::testing::ValuesIn(kProtocols),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace mailtest
