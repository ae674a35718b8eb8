// Kernel events: host up, host down and the date re-check, with their log lines, the usage
// charge and the registration file.
#include <gtest/gtest.h>

#include "core/paths.h"
#include "core/settings.h"
#include "portald_fixture.h"
#include "store/limits.h"

namespace {

using testing_support::kernel_event;
using namespace store;

const unsigned char kMac[6] = {0x00, 0x11, 0x22, 0xaa, 0xbb, 0x0c};

class KernelEventTest : public testing_support::DaemonTest {
 protected:
  OnlineUserRecord& client(const char* name, const char* ip, const char* mac) {
    OnlineUserRecord r = new_record();
    r.name = name;
    r.ip = ip;
    r.mac = mac;
    r.online = 1;
    r.login_time = now_seconds();
    append(online_, r);
    return online_.records.back();
  }
};

TEST_F(KernelEventTest, HostUpRefreshesAnEntryOfTheSameKindInPlace) {
  event(kernel_event(KEV_HOST_UP, "10.0.0.5", KIND_MAC, kMac));
  event(kernel_event(KEV_HOST_UP, "10.0.0.5", KIND_MAC, kMac));
  ASSERT_EQ(online_.records.size(), 1u);
  const OnlineUserRecord& r = online_.records[0];
  EXPECT_EQ(r.kind, KIND_MAC);
  EXPECT_EQ(r.ip, "10.0.0.5");
  EXPECT_EQ(r.mac, "00:11:22:aa:bb:0c");
  EXPECT_EQ(r.online, 1);
  EXPECT_NE(r.created_at, 0);
  EXPECT_EQ(r.login_time, r.created_at);
  EXPECT_EQ(log(), (std::vector<std::string>{
                       "R1 0 R3 syslog.webauth_macti syslog.webauth_onmac 00:11:22:aa:bb:0c",
                       "R1 0 R3 syslog.webauth_macti syslog.webauth_onmac 00:11:22:aa:bb:0c"}));
  // A host-up sends nothing and does not write the registration file.
  EXPECT_TRUE(sent().empty());
  EXPECT_FALSE(root_->exists(core::kRegistrationFile));

  // Another kind for the same address is a second entry; kind 2 always appends.
  event(kernel_event(KEV_HOST_UP, "10.0.0.5", KIND_EXEMPT_IP, kMac));
  event(kernel_event(KEV_HOST_UP, "10.0.0.5", KIND_CLIENT_IP, kMac));
  event(kernel_event(KEV_HOST_UP, "10.0.0.5", KIND_CLIENT_IP, kMac));
  EXPECT_EQ(online_.records.size(), 4u);
  EXPECT_EQ(log().back(), "R1 0 R3 syslog.webauth_ipti syslog.webauth_onip 10.0.0.5");
}

TEST_F(KernelEventTest, HostDownOfAOneKeyClient) {
  core::g_settings.auth_type = core::AUTH_LOCAL;
  client("", "10.0.0.5", "m1");
  client("", "10.0.0.6", "m2");
  event(kernel_event(KEV_HOST_DOWN, "10.0.0.5"));
  ASSERT_EQ(online_.records.size(), 1u);
  EXPECT_EQ(online_.records[0].ip, "10.0.0.6");
  EXPECT_EQ(log(), (std::vector<std::string>{
                       "R1 0 R3 syslog.webauth_ipti syslog.webauth_downuser  IP: 10.0.0.5 MAC: m1",
                       "@#@ log_info n  10.0.0.5 m1  - webident - -v ident.onekeyident  "
                       "ident.webidentdown"}));
  EXPECT_EQ(root_->read(core::kRegistrationFile).substr(0, 10), " 10.0.0.6 ");
  EXPECT_TRUE(sent().empty());
}

TEST_F(KernelEventTest, HostDownLinesByAuthTypeAndKind) {
  struct Row {
    const char* situation;
    int32_t auth_type;
    int32_t kind;
    const char* keyed;
    const char* token;
  };
  const Row rows[] = {
      {"account client", core::AUTH_USERS, KIND_CLIENT_IP,
       "R1 0 R3 syslog.webauth_ipti syslog.webauth_downuser bob IP: 10.0.0.8 MAC: mm",
       "@#@ log_info n 10.0.0.8 mm  - webident - -v ident.userident  ident.webidentdown "
       "ident.useridentname + bob "},
      {"MAC host under USERS", core::AUTH_USERS, KIND_MAC,
       "R1 0 R3 syslog.webauth_macti syslog.webauth_downmac mm",
       "@#@ log_info n - mm - webident - -v ident.macident  ident.webidentdown"},
      {"MAC host under EMAIL", core::AUTH_EMAIL, KIND_MAC,
       "R1 0 R3 syslog.webauth_macti syslog.webauth_downmac mm",
       "@#@ log_info n - mm - webident - -v ident.macident ident.webidentdown"},
      {"exempt address under ADVERT", core::AUTH_ADVERT, KIND_EXEMPT_IP,
       "R1 0 R3 syslog.webauth_ipti syslog.webauth_downuser bob IP: 10.0.0.8 MAC: mm",
       "@#@ log_info n  10.0.0.8 mm  - webident - -v ident.onekeyident  ident.webidentdown"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    clear_log();
    online_.records.clear();
    core::g_settings.auth_type = row.auth_type;
    client("bob", "10.0.0.8", "mm").kind = row.kind;
    event(kernel_event(KEV_HOST_DOWN, "10.0.0.8"));
    EXPECT_TRUE(online_.records.empty());
    EXPECT_EQ(log(), (std::vector<std::string>{row.keyed, row.token}));
  }
}

TEST_F(KernelEventTest, HostDownChargesTheDailyAccount) {
  core::g_settings.auth_type = core::AUTH_USERS;
  const int32_t now = now_seconds();
  OnlineUserRecord acc = new_record();
  acc.name = "daily";
  acc.limit_mode = LIMIT_DAILY;
  acc.limit_value = 36000;
  acc.used_today = 600;
  acc.login_time = now - 1800;
  append(accounts_, acc);
  OnlineUserRecord dated = acc;
  dated.name = "dated";
  dated.limit_mode = LIMIT_DATE;
  append(accounts_, dated);

  client("daily", "10.0.0.2", "a").limit_mode = LIMIT_DAILY;
  client("dated", "10.0.0.3", "b").limit_mode = LIMIT_DATE;
  event(kernel_event(KEV_HOST_DOWN, "10.0.0.2"));
  event(kernel_event(KEV_HOST_DOWN, "10.0.0.3"));
  EXPECT_NEAR(accounts_.records[0].used_today, 2400, 2);
  EXPECT_NEAR(accounts_.records[0].down_time, now, 2);
  EXPECT_EQ(accounts_.records[1].used_today, 600);  // a date limit is not charged
  EXPECT_EQ(accounts_.records[1].down_time, 0);
  EXPECT_TRUE(online_.records.empty());
}

TEST_F(KernelEventTest, HostDownOnlyTakesTheFirstOnlineEntryAndAlwaysRewrites) {
  client("a", "10.0.0.2", "x").online = 0;
  client("b", "10.0.0.2", "y");
  client("c", "10.0.0.2", "z");
  event(kernel_event(KEV_HOST_DOWN, "10.0.0.2"));
  ASSERT_EQ(online_.records.size(), 2u);
  EXPECT_EQ(online_.records[0].name, "a");
  EXPECT_EQ(online_.records[1].name, "c");
  EXPECT_EQ(root_->read(core::kRegistrationFile), "c 10.0.0.2 z " +
                                                      std::to_string(online_.records[1].login_time) +
                                                      " 0 \n");
  // Unknown address: nothing removed, nothing logged, the file written all the same.
  std::remove(root_->path(core::kRegistrationFile).c_str());
  clear_log();
  event(kernel_event(KEV_HOST_DOWN, "10.9.9.9"));
  EXPECT_EQ(online_.records.size(), 2u);
  EXPECT_TRUE(log().empty());
  EXPECT_TRUE(root_->exists(core::kRegistrationFile));
}

TEST_F(KernelEventTest, RecheckTakesAnExpiredClientOffLine) {
  const int32_t today = today_key(now_seconds());
  client("old", "10.0.0.4", "m").limit_mode = LIMIT_NONE;
  OnlineUserRecord& r = client("dated", "10.0.0.4", "m");
  r.limit_mode = LIMIT_DATE;
  r.limit_value = today;  // the limit day itself: still valid
  event(kernel_event(KEV_RECHECK, "10.0.0.4"));
  EXPECT_EQ(online_.records[1].online, 1);
  EXPECT_TRUE(sent().empty());

  online_.records[1].limit_value = today - 1;  // yesterday (or an earlier day)
  event(kernel_event(KEV_RECHECK, "10.0.0.4"));
  EXPECT_EQ(online_.records[1].online, 0);
  EXPECT_NEAR(online_.records[1].down_time, now_seconds(), 2);
  const auto msgs = sent();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].command, uint32_t{KMSG_REVOKE});
  EXPECT_EQ(msgs[0].kind, uint32_t{KIND_CLIENT_IP});
  EXPECT_EQ(msgs[0].addr_text, "10.0.0.4");
  EXPECT_EQ(online_.records.size(), 2u);  // off line, still in the table
  EXPECT_TRUE(log().empty());
  EXPECT_EQ(root_->read(core::kRegistrationFile).find("dated"), std::string::npos);

  // Off line now: a later host-down finds only the other entry of the address.
  event(kernel_event(KEV_HOST_DOWN, "10.0.0.4"));
  ASSERT_EQ(online_.records.size(), 1u);
  EXPECT_EQ(online_.records[0].name, "dated");
}

TEST_F(KernelEventTest, OtherCodesAreIgnored) {
  client("a", "10.0.0.2", "x");
  for (uint32_t code : {2u, 5u, 6u, 7u, 9u, 0xffffffffu}) {
    event(kernel_event(code, "10.0.0.2", KIND_MAC, kMac));
  }
  EXPECT_EQ(online_.records.size(), 1u);
  EXPECT_TRUE(log().empty());
  EXPECT_FALSE(root_->exists(core::kRegistrationFile));
  EXPECT_TRUE(sent().empty());
}

}  // namespace
