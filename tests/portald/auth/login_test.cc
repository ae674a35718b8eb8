// Login requests: the dispatch, the one-key login and the account login.
#include <gtest/gtest.h>

#include <cstring>

#include "auth/requests.h"
#include "core/paths.h"
#include "core/settings.h"
#include "portald_fixture.h"
#include "store/limits.h"

namespace {

using namespace testing_support;
using namespace store;
using namespace auth;

class LoginTest : public DaemonTest {
 protected:
  OnlineUserRecord& account(const char* name, int32_t mode, int32_t value) {
    OnlineUserRecord r = new_record();
    r.name = name;
    r.limit_mode = mode;
    r.limit_value = value;
    append(accounts_, r);
    return accounts_.records.back();
  }
};

TEST_F(LoginTest, OnlyRequestTypeTwoIsServed) {
  for (int32_t type : {0, 1, 3, 4}) {
    core::g_settings.auth_type = type;
    for (uint32_t msg_type : {0u, 1u, 3u, 0x02000000u}) {
      LoginFields f = client_at("10.0.0.2", "m", "any");
      f.msg_type = msg_type;
      EXPECT_EQ(login(f), -1);
    }
  }
  EXPECT_TRUE(online_.records.empty());
  EXPECT_TRUE(log().empty());
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(login_raw(Bytes(300, 0)), -1);  // a peer that closed without writing
}

TEST_F(LoginTest, EveryAuthTypeReachesItsFrontEnd) {
  account("acct", LIMIT_NONE, 0);
  struct Row {
    int32_t auth_type;
    int reply;
    const char* name_recorded;
  };
  // LOCAL and WEIXIN answer, ADVERT admits silently; USERS finds the account; EMAIL is
  // refused by an unreachable mail server (port 1 on loopback).
  const Row rows[] = {{0, LOGIN_OK, ""}, {1, -1, ""}, {2, LOGIN_OK, ""},
                      {3, LOGIN_OK, "acct"}, {4, LOGIN_REJECTED, nullptr}};
  std::snprintf(core::g_settings.mail_server, sizeof(core::g_settings.mail_server), "127.0.0.1");
  core::g_settings.mail_port = 1;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.auth_type);
    online_.records.clear();
    core::g_settings.auth_type = row.auth_type;
    EXPECT_EQ(login(client_at("10.0.0.2", "m", "acct", "pw")), row.reply);
    if (row.name_recorded == nullptr) {
      EXPECT_TRUE(online_.records.empty());
    } else {
      ASSERT_EQ(online_.records.size(), 1u);
      EXPECT_EQ(online_.records[0].name, row.name_recorded);
    }
  }
}

TEST_F(LoginTest, OneKeyAdmitsRecordsAndLogs) {
  core::g_settings.auth_type = core::AUTH_LOCAL;
  EXPECT_EQ(login(client_at("10.0.0.5", "aa:bb:cc", "ignored")), LOGIN_OK);
  const auto msgs = sent();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].command, uint32_t{KMSG_PERMIT});
  EXPECT_EQ(msgs[0].kind, uint32_t{KIND_CLIENT_IP});
  EXPECT_EQ(msgs[0].addr_text, "10.0.0.5");
  EXPECT_EQ(msgs[0].quota, 0u);
  EXPECT_EQ(msgs[0].recheck, 0u);
  ASSERT_EQ(online_.records.size(), 1u);
  EXPECT_TRUE(online_.records[0].name.empty());
  EXPECT_EQ(online_.records[0].mac, "aa:bb:cc");
  EXPECT_EQ(log(), (std::vector<std::string>{
                       "R1 0 R3 syslog.webauth_userti syslog.webauth_onuser ",
                       "@#@ log_info n 10.0.0.5 aa:bb:cc  - webident - -v ident.onekeyident "
                       "ident.webidentup"}));
  EXPECT_EQ(root_->read(core::kRegistrationFile),
            " 10.0.0.5 aa:bb:cc " + std::to_string(online_.records[0].login_time) + " 0 \n");
}

TEST_F(LoginTest, OneKeyKnownAddressIsOnlyRefreshed) {
  core::g_settings.auth_type = core::AUTH_WEIXIN;
  ASSERT_EQ(login(client_at("10.0.0.5", "old")), LOGIN_OK);
  sent();
  online_.records[0].online = 0;  // as after a date re-check
  online_.records[0].login_time = 1;
  std::remove(root_->path(core::kRegistrationFile).c_str());
  clear_log();
  EXPECT_EQ(login(client_at("10.0.0.5", "new")), -1);
  ASSERT_EQ(online_.records.size(), 1u);
  EXPECT_EQ(online_.records[0].online, 1);
  EXPECT_EQ(online_.records[0].mac, "new");
  EXPECT_GT(online_.records[0].login_time, 1);
  EXPECT_TRUE(sent().empty());
  EXPECT_FALSE(root_->exists(core::kRegistrationFile));
  EXPECT_EQ(log(), (std::vector<std::string>{
                       "R1 0 R3 syslog.webauth_userti syslog.webauth_onuser ",
                       "@#@ log_info n - -   - webident - -v ident.userident ident.webidentup  "
                       "ident.useridentname +  "}));
}

TEST_F(LoginTest, OneKeyAdvertAdmitsWithoutAReplyAndInvalidAddressesOnlyLog) {
  core::g_settings.auth_type = core::AUTH_ADVERT;
  EXPECT_EQ(login(client_at("10.0.0.6", "m")), -1);
  EXPECT_EQ(online_.records.size(), 1u);
  EXPECT_EQ(sent().size(), 1u);
  clear_log();
  core::g_settings.auth_type = core::AUTH_LOCAL;
  for (const char* bad : {"255.255.255.255", "10.0.0.999", "hello"}) {
    EXPECT_EQ(login(client_at(bad, "m")), -1);
  }
  EXPECT_EQ(online_.records.size(), 1u);
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(log().size(), 6u);
}

TEST_F(LoginTest, FieldsThatFillTheirWidthAreCut) {
  core::g_settings.auth_type = core::AUTH_LOCAL;
  Bytes req = login_request(client_at("10.0.0.7", ""));
  // A MAC text of 24 characters without a NUL, followed directly by extra_b's bytes.
  std::memset(&req[164], 'M', 24);
  std::memset(&req[188], 'B', 64);
  EXPECT_EQ(login_raw(req), LOGIN_OK);
  EXPECT_EQ(online_.records[0].mac, std::string(24, 'M'));
}

TEST_F(LoginTest, AccountDateLimit) {
  core::g_settings.auth_type = core::AUTH_USERS;
  const int32_t today = today_key(now_seconds());
  account("today", LIMIT_DATE, today);
  account("yesterday", LIMIT_DATE, today - 1);
  EXPECT_EQ(login(client_at("10.0.0.2", "m", "today")), LOGIN_OK);
  auto msgs = sent();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].recheck, 600u);
  EXPECT_EQ(msgs[0].quota, 0u);
  EXPECT_EQ(login(client_at("10.0.0.3", "m", "yesterday")), LOGIN_LIMIT_REACHED);
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(online_.records.size(), 1u);
}

TEST_F(LoginTest, AccountDailyAllowance) {
  core::g_settings.auth_type = core::AUTH_USERS;
  const int32_t now = now_seconds();
  OnlineUserRecord& used = account("used", LIMIT_DAILY, 3600);
  used.used_today = 3600;
  used.down_time = now;
  OnlineUserRecord& yesterday = account("yesterday", LIMIT_DAILY, 3600);
  yesterday.used_today = 3600;
  yesterday.down_time = now - 2 * 86400;
  account("zero", LIMIT_DAILY, 0);
  OnlineUserRecord& part = account("part", LIMIT_DAILY, 7200);
  part.used_today = 1000;
  part.down_time = now;

  EXPECT_EQ(login(client_at("10.0.0.2", "m", "used")), LOGIN_LIMIT_REACHED);
  EXPECT_EQ(login(client_at("10.0.0.3", "m", "zero")), LOGIN_LIMIT_REACHED);
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(login(client_at("10.0.0.4", "m", "yesterday")), LOGIN_OK);
  EXPECT_EQ(accounts_.records[1].used_today, 0);
  EXPECT_EQ(login(client_at("10.0.0.5", "m", "part")), LOGIN_OK);
  const auto msgs = sent();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].quota, 3600u);  // the whole allowance on a new day
  EXPECT_EQ(msgs[1].quota, 6200u);
  EXPECT_EQ(msgs[1].recheck, 0u);
}

TEST_F(LoginTest, AccountLoginCopiesTheUpdatedAccountAndLogs) {
  core::g_settings.auth_type = core::AUTH_USERS;
  account("alice", LIMIT_NONE, 0).note = "staff";
  LoginFields f = client_at("10.0.0.2", "aa", "alice");
  f.extra_a = "A";
  f.extra_b = "B";
  f.extra_word = 77;
  EXPECT_EQ(login(f), LOGIN_OK);
  ASSERT_EQ(online_.records.size(), 1u);
  const OnlineUserRecord& copy = online_.records[0];
  const OnlineUserRecord& acc = accounts_.records[0];
  EXPECT_EQ(copy.note, "staff");
  EXPECT_EQ(copy.login_extra_a, "A");
  EXPECT_EQ(copy.login_extra_b, "B");
  EXPECT_EQ(copy.login_extra_word, 77u);
  EXPECT_EQ(copy.ip, "10.0.0.2");
  EXPECT_EQ(acc.online, 1);
  EXPECT_EQ(acc.ip, "10.0.0.2");
  EXPECT_EQ(acc.login_time, copy.login_time);
  EXPECT_EQ(log(), (std::vector<std::string>{
                       "R1 0 R3 syslog.webauth_userti syslog.webauth_onuser alice IP: 10.0.0.2 "
                       "MAC: aa",
                       "@#@ log_info n 10.0.0.2 aa  - webident - -v ident.userident  "
                       "ident.webidentup ident.useridentname +  alice "}));
  // The same address again: LOGIN_OK and nothing else.
  clear_log();
  sent();
  EXPECT_EQ(login(client_at("10.0.0.2", "bb", "nobody")), LOGIN_OK);
  EXPECT_TRUE(log().empty());
  EXPECT_TRUE(sent().empty());
}

TEST_F(LoginTest, SingleLoginRuleRevokesEvenWhenTheNewLoginIsRefused) {
  core::g_settings.auth_type = core::AUTH_USERS;
  OnlineUserRecord& acc = account("bob", LIMIT_NONE, 0);
  ASSERT_EQ(login(client_at("10.0.0.2", "m1", "bob")), LOGIN_OK);
  sent();
  clear_log();
  acc.limit_mode = LIMIT_DATE;
  acc.limit_value = today_key(now_seconds()) - 1;  // expired since
  EXPECT_EQ(login(client_at("10.0.0.3", "m2", "bob")), LOGIN_LIMIT_REACHED);
  const auto msgs = sent();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].command, uint32_t{KMSG_REVOKE});
  EXPECT_EQ(msgs[0].kind, uint32_t{KIND_CLIENT_IP});
  EXPECT_EQ(msgs[0].addr_text, "10.0.0.2");
  EXPECT_TRUE(online_.records.empty());
  EXPECT_EQ(log(), (std::vector<std::string>{
                       "R1 0 R3 syslog.webauth_userti syslog.webauth_downuser bob IP: 10.0.0.2 "
                       "MAC: m1",
                       "@#@ log_info n 10.0.0.2 m1  - webident - -v ident.userident  "
                       "ident.webidentdown ident.useridentname + bob "}));
}

TEST_F(LoginTest, AnEmptyNameRemovesNobody) {
  core::g_settings.auth_type = core::AUTH_USERS;
  // Nameless records: an exempt host the kernel reported and a client of an earlier one-key
  // session.
  OnlineUserRecord host = new_record();
  host.kind = KIND_EXEMPT_IP;
  host.ip = "10.0.0.9";
  host.online = 1;
  append(online_, host);
  OnlineUserRecord onekey = new_record();
  onekey.ip = "10.0.0.8";
  onekey.online = 1;
  append(online_, onekey);

  EXPECT_EQ(login(client_at("10.0.0.2", "m1", "")), -1);  // no account of that name
  EXPECT_TRUE(sent().empty());
  ASSERT_EQ(online_.records.size(), 2u);

  // Even an account with an empty name (a line of the account file that begins with a blank)
  // logs in beside them without taking anyone off.
  account("", LIMIT_NONE, 0);
  EXPECT_EQ(login(client_at("10.0.0.3", "m2", "")), LOGIN_OK);
  const auto msgs = sent();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].command, uint32_t{KMSG_PERMIT});
  ASSERT_EQ(online_.records.size(), 3u);
  EXPECT_EQ(online_.records[0].ip, "10.0.0.9");
  EXPECT_EQ(online_.records[1].ip, "10.0.0.8");
}

TEST_F(LoginTest, MultiUserKeepsEveryDevice) {
  core::g_settings.auth_type = core::AUTH_USERS;
  core::g_settings.multi_user = 1;
  account("family", LIMIT_NONE, 0);
  EXPECT_EQ(login(client_at("10.0.0.2", "m1", "family")), LOGIN_OK);
  EXPECT_EQ(login(client_at("10.0.0.3", "m2", "family")), LOGIN_OK);
  EXPECT_EQ(online_.records.size(), 2u);
  for (const auto& m : sent()) EXPECT_EQ(m.command, uint32_t{KMSG_PERMIT});
  const std::string reg = root_->read(core::kRegistrationFile);
  EXPECT_LT(reg.find("family 10.0.0.2"), reg.find("family 10.0.0.3"));
}

TEST_F(LoginTest, UnknownAccountAndInvalidAddress) {
  core::g_settings.auth_type = core::AUTH_USERS;
  EXPECT_EQ(login(client_at("10.0.0.2", "m", "ghost")), -1);
  EXPECT_TRUE(log().empty());
  account("carol", LIMIT_NONE, 0);
  account("carol", LIMIT_DAILY, 0);  // a second entry of the name is never used
  EXPECT_EQ(login(client_at("255.255.255.255", "m", "carol")), -1);
  EXPECT_TRUE(online_.records.empty());
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(accounts_.records[0].ip, "255.255.255.255");  // the account keeps its updates
  EXPECT_EQ(log().size(), 2u);                             // and the login lines are written
  EXPECT_FALSE(root_->exists(core::kRegistrationFile));
}

}  // namespace
