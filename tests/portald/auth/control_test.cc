// Control requests: accounts added and deleted, clients cut off, MACs permitted and revoked.
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

Bytes ctl(uint32_t cmd) {
  Bytes b(300, 0);
  auth::put_word(b.data(), 0, cmd);
  return b;
}

Bytes add_account(const std::string& name, const std::string& validity, const std::string& note) {
  Bytes b = ctl(auth::CTRL_ADD_ACCOUNT);
  auth::put_text(b.data(), auth::kCtrlUser, name);
  auth::put_text(b.data(), auth::kCtrlValidity, validity);
  auth::put_text(b.data(), auth::kCtrlNote, note);
  return b;
}

class ControlTest : public DaemonTest {
 protected:
  void online_client(const char* name, const char* ip, int32_t mode = LIMIT_NONE) {
    OnlineUserRecord r = new_record();
    r.name = name;
    r.ip = ip;
    r.mac = "mm";
    r.online = 1;
    r.limit_mode = mode;
    append(online_, r);
  }
};

TEST_F(ControlTest, EmptyDatagramAddsAnAccountWithAnEmptyName) {
  control(Bytes());
  ASSERT_EQ(accounts_.records.size(), 1u);
  EXPECT_EQ(accounts_.records[0].name, "");
  EXPECT_EQ(accounts_.records[0].limit_mode, LIMIT_DAILY);
  EXPECT_EQ(accounts_.records[0].limit_value, 0);
  EXPECT_EQ(log(), (std::vector<std::string>{
                       "R1 0 R3 syslog.webauth_userti syslog.webauth_user ",
                       "@#@ log_info n - - - webident - -v ident.userident ident.webidentup  "
                       "ident.useridentname + "}));
  EXPECT_FALSE(root_->exists(core::kRegistrationFile));
}

TEST_F(ControlTest, AddAccountLimits) {
  control(add_account("free", "*", "*"));
  control(add_account("dated", "2027-02-28.", "n"));
  control(add_account("hours", "12", ""));
  control(add_account("free", "1", ""));  // a second entry of the same name
  ASSERT_EQ(accounts_.records.size(), 4u);
  EXPECT_EQ(accounts_.records[0].limit_mode, LIMIT_NONE);
  EXPECT_EQ(accounts_.records[0].note, "*");
  EXPECT_EQ(accounts_.records[1].limit_mode, LIMIT_DATE);
  EXPECT_EQ(accounts_.records[1].limit_value, date_key(2027, 2, 28));
  EXPECT_EQ(accounts_.records[2].limit_value, 12 * 3600);
  EXPECT_EQ(find_by_name(accounts_, "free"), 0u);
  // Daily accounts are added under multi-user too.
  core::g_settings.multi_user = 1;
  control(add_account("kid", "2", ""));
  EXPECT_EQ(accounts_.records.size(), 5u);
}

TEST_F(ControlTest, RemoveAccountRevokesWithKindZero) {
  core::g_settings.multi_user = 1;
  control(add_account("fam", "*", ""));
  online_client("fam", "10.0.0.1");
  online_client("other", "10.0.0.9");
  online_client("fam", "10.0.0.2");
  online_client("fam", "bogus");
  sent();
  clear_log();
  Bytes req = ctl(auth::CTRL_REMOVE_ACCOUNT);
  auth::put_text(req.data(), auth::kCtrlUser, "fam");
  control(req);
  const auto msgs = sent();
  ASSERT_EQ(msgs.size(), 3u);  // the invalid address is revoked too
  for (const auto& m : msgs) {
    EXPECT_EQ(m.command, uint32_t{KMSG_REVOKE});
    EXPECT_EQ(m.kind, 0u);
  }
  EXPECT_EQ(msgs[0].addr_text, "10.0.0.1");
  EXPECT_EQ(msgs[2].addr, 0xffffffffu);
  ASSERT_EQ(online_.records.size(), 1u);
  EXPECT_TRUE(accounts_.records.empty());
  EXPECT_EQ(log(), (std::vector<std::string>{
                       "R1 0 R3 syslog.webauth_userti syslog.webauth_logoutuser fam",
                       "@#@ log_info n - - - webident - -v ident.userident ident.webidentdown  fam"}));
  EXPECT_TRUE(root_->exists(core::kRegistrationFile));
}

TEST_F(ControlTest, RemoveAccountWithoutMultiUserTakesOneClient) {
  online_client("solo", "10.0.0.1");
  online_client("solo", "10.0.0.2");
  Bytes req = ctl(auth::CTRL_REMOVE_ACCOUNT);
  auth::put_text(req.data(), auth::kCtrlUser, "solo");
  control(req);
  EXPECT_EQ(sent().size(), 1u);
  EXPECT_EQ(online_.records.size(), 1u);
  EXPECT_TRUE(log().empty());  // no account of that name: nothing logged
  EXPECT_TRUE(root_->exists(core::kRegistrationFile));
}

TEST_F(ControlTest, CutChargesTheDailyAccountAndLeavesTheGroupFile) {
  const int32_t now = now_seconds();
  OnlineUserRecord acc = new_record();
  acc.name = "kid";
  acc.limit_mode = LIMIT_DAILY;
  acc.limit_value = 7200;
  acc.used_today = 100;
  acc.login_time = now - 2400;
  append(accounts_, acc);
  online_client("kid", "10.0.0.12", LIMIT_DAILY);
  root_->write(core::kEmailGroupFile, "group5 Email_Auth 10.0.0.1,10.0.0.12 \n");
  Bytes req = ctl(auth::CTRL_CUT_CLIENT);
  auth::put_text(req.data(), auth::kCtrlCutIp, "10.0.0.12");
  control(req);
  EXPECT_NEAR(accounts_.records[0].used_today, 2500, 2);
  const auto msgs = sent();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].kind, uint32_t{KIND_CLIENT_IP});
  EXPECT_TRUE(online_.records.empty());
  EXPECT_EQ(log(), (std::vector<std::string>{
                       "R1 0 R3 syslog.webauth_userti syslog.webauth_downuser kid IP: 10.0.0.12 "
                       "MAC: mm",
                       "@#@ log_info n 10.0.0.12 mm - webident - -v ident.webidentdown "
                       "ident.identcuted ident.cutname + kid "}));
  EXPECT_EQ(root_->read(core::kEmailGroupFile), "group5 Email_Auth 10.0.0.1 \n");
  // An address not on line: nothing.
  clear_log();
  control(req);
  EXPECT_TRUE(log().empty());
  EXPECT_TRUE(sent().empty());
}

TEST_F(ControlTest, MacCommandsUseTheirOwnOffsets) {
  struct Row {
    const char* situation;
    uint32_t cmd;
    size_t offset;
    const char* text;
    int messages;
  };
  const Row rows[] = {
      {"permit at 164", 5, 164, "00:11:22:33:44:55", 1},
      {"permit text at 84 is not read", 5, 84, "00:11:22:33:44:55", 0},
      {"revoke at 84", 6, 84, "AA:b:c:d:e:F", 1},
      {"revoke text at 164 is not read", 6, 164, "00:11:22:33:44:55", 0},
      {"five groups", 5, 164, "00:11:22:33:44", 0},
      {"a group above ff", 5, 164, "100:11:22:33:44:55", 0},
      {"commands 2 and 4 do nothing", 2, 164, "00:11:22:33:44:55", 0},
      {"negative command", 0xfffffffbu, 164, "00:11:22:33:44:55", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    Bytes req = ctl(row.cmd);
    std::memcpy(&req[row.offset], row.text, std::strlen(row.text));
    control(req);
    const auto msgs = sent();
    ASSERT_EQ(static_cast<int>(msgs.size()), row.messages);
    if (row.messages == 1) {
      EXPECT_EQ(msgs[0].command, row.cmd == 5 ? uint32_t{KMSG_PERMIT} : uint32_t{KMSG_MAC_REVOKE});
      EXPECT_EQ(msgs[0].kind, uint32_t{KIND_MAC});
      EXPECT_NE(msgs[0].mac[0] | msgs[0].mac[5], 0);
    }
  }
  EXPECT_TRUE(accounts_.records.empty());
  EXPECT_TRUE(log().empty());
}

TEST_F(ControlTest, AMacTextFillingItsFieldIsCut) {
  Bytes req = ctl(auth::CTRL_PERMIT_MAC);
  const char text[] = "0a:0b:0c:0d:0e:0f:000000";  // 24 characters, no NUL
  std::memcpy(&req[164], text, 24);
  std::memset(&req[188], '9', 112);  // what follows the field must not be read
  control(req);
  const auto msgs = sent();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].mac[5], 0x0f);
}

}  // namespace
