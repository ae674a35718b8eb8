// Records, tables, date and daily limits, and the registration file.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <ctime>

#include "core/paths.h"
#include "core/settings.h"
#include "portald_fixture.h"
#include "store/limits.h"
#include "store/registration.h"
#include "store/user_table.h"

namespace store {
namespace {

OnlineUserRecord rec(const char* name, const char* ip, int32_t kind = KIND_CLIENT_IP,
                     uint8_t online = 1) {
  OnlineUserRecord r = new_record();
  r.name = name;
  r.ip = ip;
  r.kind = kind;
  r.online = online;
  return r;
}

// Local time of a calendar moment.
int32_t at(int year, int month, int day, int hour = 12, int minute = 0) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_isdst = -1;
  return static_cast<int32_t>(std::mktime(&tm));
}

TEST(RecordTest, NewRecordHoldsTheStartingValues) {
  const OnlineUserRecord r = new_record();
  EXPECT_EQ(r.kind, KIND_CLIENT_IP);
  EXPECT_EQ(r.preset_a, 111);
  EXPECT_EQ(r.preset_b, 9);
  EXPECT_EQ(r.online, 0);
  EXPECT_EQ(r.limit_mode, LIMIT_NONE);
  EXPECT_TRUE(r.name.empty());
  for (uint32_t w : r.spare_words) EXPECT_EQ(w, 0u);
}

TEST(RecordTest, TextForms) {
  EXPECT_EQ(ip_text(inet_addr("10.0.0.5")), "10.0.0.5");
  const unsigned char b[4] = {192, 168, 1, 2};
  uint32_t addr;
  std::memcpy(&addr, b, 4);
  EXPECT_EQ(ip_text(addr), "192.168.1.2");
  EXPECT_EQ(ip_text(0xffffffffu), "255.255.255.255");
  const unsigned char mac[6] = {0x00, 0x1a, 0xff, 0x0b, 0xc0, 0x01};
  EXPECT_EQ(mac_text(mac), "00:1a:ff:0b:c0:01");
}

TEST(UserTableTest, FirstMatchWinsAndRemovalKeepsOrder) {
  UserTable t;
  append(t, rec("a", "10.0.0.1", KIND_MAC));
  append(t, rec("b", "10.0.0.1"));
  append(t, rec("c", "10.0.0.3", KIND_CLIENT_IP, 0));
  append(t, rec("", "10.0.0.4"));

  EXPECT_EQ(find_by_ip(t, "10.0.0.1"), 0u);
  EXPECT_EQ(find_client_by_ip(t, "10.0.0.1"), 1u);
  EXPECT_EQ(find_by_ip(t, "10.0.0.3"), 2u);               // off line is found by address
  EXPECT_EQ(find_online_by_ip(t, "10.0.0.3"), end(t));     // but not by the online search
  EXPECT_EQ(find_by_name(t, ""), 3u);                      // one-key logins have no name
  EXPECT_EQ(find_by_ip(t, "192.168.001.002"), end(t));
  EXPECT_EQ(find_by_ip(t, "10.0.0."), end(t));             // whole texts only

  remove(t, 0);
  ASSERT_EQ(t.records.size(), 3u);
  EXPECT_EQ(t.records[0].name, "b");
  EXPECT_EQ(t.records[1].name, "c");
  EXPECT_EQ(t.records[2].name, "");
  EXPECT_EQ(find_by_ip(t, "10.0.0.1"), 0u);

  replace(t, 1, rec("z", "10.9.9.9"));
  EXPECT_EQ(t.records[1].name, "z");
  EXPECT_EQ(find_by_name(t, "c"), end(t));
  remove(t, 17);  // beyond the end: nothing
  EXPECT_EQ(t.records.size(), 3u);
}

TEST(UserTableTest, AddressKeysOfTextsInTheFormOfIpTextAndOfOthers) {
  const struct {
    const char* text;
    uint32_t key;
  } rows[] = {
      {"10.0.0.1", 0x0a000001u},     {"0.0.0.0", 0u},          {"192.168.1.2", 0xc0a80102u},
      {"255.255.255.255", 0xffffffffu},
      // every other text shares the last key
      {"192.168.001.002", 0xffffffffu}, {"01.2.3.4", 0xffffffffu}, {"256.1.1.1", 0xffffffffu},
      {"1.2.3", 0xffffffffu},        {"1.2.3.4.5", 0xffffffffu}, {"1.2.3.4 ", 0xffffffffu},
      {"", 0xffffffffu},             {"1..2.3", 0xffffffffu},   {"1.2.3.1234", 0xffffffffu},
  };
  for (const auto& row : rows) EXPECT_EQ(address_key(row.text), row.key) << row.text;
}

TEST(UserTableTest, SearchesByAddressCompareWholeTextsWhereKeysAgree) {
  UserTable t;
  append(t, rec("other-1", "192.168.001.002"));
  append(t, rec("all-ones", "255.255.255.255"));
  append(t, rec("plain", "192.168.1.2"));
  append(t, rec("word", "router"));
  append(t, rec("again", "192.168.1.2"));
  EXPECT_EQ(find_by_ip(t, "192.168.001.002"), 0u);
  EXPECT_EQ(find_by_ip(t, "255.255.255.255"), 1u);
  EXPECT_EQ(find_by_ip(t, "192.168.1.2"), 2u);
  EXPECT_EQ(find_by_ip(t, "router"), 3u);
  EXPECT_EQ(find_by_ip(t, "192.168.01.2"), end(t));
  t.records[2].online = 0;  // fields other than ip may change in place
  EXPECT_EQ(find_online_by_ip(t, "192.168.1.2"), 4u);
  // Records added or dropped behind the table's back are still found.
  t.records.push_back(rec("pushed", "10.1.1.1"));
  EXPECT_EQ(find_by_ip(t, "10.1.1.1"), 5u);
  t.records.erase(t.records.begin());
  EXPECT_EQ(find_by_ip(t, "192.168.001.002"), end(t));
  EXPECT_EQ(find_by_ip(t, "10.1.1.1"), 4u);
  replace(t, 0, rec("moved", "10.2.2.2"));
  EXPECT_EQ(find_by_ip(t, "255.255.255.255"), end(t));
  EXPECT_EQ(find_client_by_ip(t, "10.2.2.2"), 0u);

  // The host-up search: on line, of the kind asked for, never a client.
  UserTable h;
  append(h, rec("", "10.3.3.3"));
  append(h, rec("", "10.3.3.3", KIND_MAC, 0));
  append(h, rec("", "10.3.3.3", KIND_EXEMPT_IP));
  append(h, rec("", "10.3.3.3", KIND_MAC));
  EXPECT_EQ(find_online_host_by_ip(h, "10.3.3.3", KIND_MAC), 3u);
  EXPECT_EQ(find_online_host_by_ip(h, "10.3.3.3", KIND_EXEMPT_IP), 2u);
  EXPECT_EQ(find_online_host_by_ip(h, "10.3.3.3", KIND_CLIENT_IP), end(h));
  EXPECT_EQ(find_online_host_by_ip(h, "10.3.3.30", KIND_MAC), end(h));
}

TEST(LimitsTest, DateKeysCompareAsCalendarDates) {
  EXPECT_LT(date_key(2026, 1, 31), date_key(2026, 2, 1));
  EXPECT_LT(date_key(2026, 12, 31), date_key(2027, 1, 1));
  EXPECT_LT(date_key(2026, 2, 28), date_key(2026, 3, 1));
  EXPECT_EQ(date_key(2026, 5, 5), date_key(2026, 5, 5));
  EXPECT_LT(date_key(0, 0, 0), date_key(2026, 1, 1));
  EXPECT_EQ(date_key(2147483647, 12, 31), date_key(2147483647, 1, 1));  // saturates, no overflow
}

TEST(LimitsTest, DateLimitHoldsThroughTheLastDay) {
  // A limit on the last day of a month: valid all that day, run out on the first of the next.
  const int32_t limit = date_key(2027, 1, 31);
  EXPECT_TRUE(date_limit_holds(limit, at(2027, 1, 31, 0, 1)));
  EXPECT_TRUE(date_limit_holds(limit, at(2027, 1, 31, 23, 59)));
  EXPECT_FALSE(date_limit_holds(limit, at(2027, 2, 1, 0, 1)));
  EXPECT_FALSE(date_limit_holds(limit, at(2027, 2, 5)));
  EXPECT_TRUE(date_limit_holds(limit, at(2026, 12, 31)));
}

TEST(LimitsTest, DailyAllowanceAcrossMidnight) {
  UserTable accounts;
  OnlineUserRecord acc = rec("kid", "");
  acc.limit_mode = LIMIT_DAILY;
  acc.limit_value = 7200;
  append(accounts, acc);

  // Never went down: down_time 0 is never today, so the whole allowance is granted.
  EXPECT_EQ(daily_seconds_left(accounts.records[0], at(2027, 3, 1, 23, 0)), 7200);
  accounts.records[0].login_time = at(2027, 3, 1, 23, 0);
  // Down at 01:00 the next day: two hours charged to the new day.
  charge_daily_usage(accounts, "kid", at(2027, 3, 2, 1, 0));
  EXPECT_EQ(accounts.records[0].used_today, 7200);
  EXPECT_EQ(accounts.records[0].down_time, at(2027, 3, 2, 1, 0));
  EXPECT_EQ(daily_seconds_left(accounts.records[0], at(2027, 3, 2, 9, 0)), 0);
  EXPECT_EQ(accounts.records[0].used_today, 7200);
  // The day after, usage starts again from 0.
  EXPECT_EQ(daily_seconds_left(accounts.records[0], at(2027, 3, 3, 9, 0)), 7200);
  EXPECT_EQ(accounts.records[0].used_today, 0);
}

TEST(LimitsTest, ChargeGoesToTheFirstAccountOfTheName) {
  UserTable accounts;
  OnlineUserRecord a = rec("dup", "");
  a.login_time = 1000;
  a.used_today = 600;
  append(accounts, a);
  append(accounts, a);
  charge_daily_usage(accounts, "dup", 2800);
  EXPECT_EQ(accounts.records[0].used_today, 2400);
  EXPECT_EQ(accounts.records[1].used_today, 600);
  charge_daily_usage(accounts, "nobody", 5000);  // no account: nothing
  EXPECT_EQ(accounts.records[0].used_today, 2400);
}

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("PORTALD_ROOT", root_.dir().c_str(), 1);
    core::g_settings = core::Settings{};
  }
  void TearDown() override { unsetenv("PORTALD_ROOT"); }
  // Entries in the registration file's folder.
  int folder_entries() const {
    int n = 0;
    DIR* d = opendir(root_.path("/tmp").c_str());
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
  }
  // Where the temporary file was made before it got a fresh name each time.
  static constexpr const char* kOldTemporary = "/tmp/web_user_reg_file.tmp";
  testing_support::TempRoot root_;
};

TEST_F(RegistrationTest, ListsOnlineClientsInTableOrder) {
  core::g_settings.auth_type = core::AUTH_USERS;
  UserTable t;
  OnlineUserRecord a = rec("alice", "10.0.0.2");
  a.mac = "aa:bb";
  a.login_time = 1700000000;
  append(t, a);
  append(t, rec("", "10.0.0.9", KIND_MAC));             // pre-approved host: not listed
  append(t, rec("late", "10.0.0.3", KIND_CLIENT_IP, 0)); // off line: not listed
  OnlineUserRecord b = rec("alice", "10.0.0.4");
  b.mac = "cc";
  b.login_time = 5;
  append(t, b);
  OnlineUserRecord one = rec("", "10.0.0.7");
  one.mac = "m";
  one.login_time = -1;
  append(t, one);
  write_registration_file(t);
  EXPECT_EQ(root_.read(core::kRegistrationFile),
            "alice 10.0.0.2 aa:bb 1700000000 3 \n"
            "alice 10.0.0.4 cc 5 3 \n"
            " 10.0.0.7 m -1 3 \n");
  // Readable by the web pages whatever the creation mask, and no temporary left beside it.
  struct stat st{};
  ASSERT_EQ(stat(root_.path(core::kRegistrationFile).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(folder_entries(), 1);
}

// The content is kept with the table from one rewrite to the next: every append, removal and
// replacement, anywhere in the table, gives the file its records make now; so do records added
// or dropped behind the table's back and a new auth type.
TEST_F(RegistrationTest, ContentKeptInStepWithTheTable) {
  core::g_settings.auth_type = core::AUTH_EMAIL;
  auto client = [](const char* name, const char* ip, const char* mac, int32_t time) {
    OnlineUserRecord r = rec(name, ip);
    r.mac = mac;
    r.login_time = time;
    return r;
  };
  UserTable t;
  append(t, client("ab c", "1.2.3.4", "aa:bb:cc:dd:ee:01", 100));
  append(t, rec("", "10.0.0.9", KIND_MAC));
  append(t, client("", "10.0.0.7", "m", 7));
  auto file = [&] {
    write_registration_file(t);
    return root_.read(core::kRegistrationFile);
  };
  EXPECT_EQ(file(), "ab c 1.2.3.4 aa:bb:cc:dd:ee:01 100 4 \n 10.0.0.7 m 7 4 \n");

  const struct {
    const char* situation;
    std::function<void()> change;
    const char* content;
  } steps[] = {
      {"a MAC of the same length",
       [&] { replace(t, 0, client("ab c", "1.2.3.4", "aa:bb:cc:dd:ee:02", 100)); },
       "ab c 1.2.3.4 aa:bb:cc:dd:ee:02 100 4 \n 10.0.0.7 m 7 4 \n"},
      {"a longer line first",
       [&] { replace(t, 0, client("abcdef", "1.2.3.4", "x", -1000)); },
       "abcdef 1.2.3.4 x -1000 4 \n 10.0.0.7 m 7 4 \n"},
      {"the unlisted host becomes a client",
       [&] { replace(t, 1, client("h", "10.0.0.9", "y", 5)); },
       "abcdef 1.2.3.4 x -1000 4 \nh 10.0.0.9 y 5 4 \n 10.0.0.7 m 7 4 \n"},
      {"the first taken off line",
       [&] {
         OnlineUserRecord r = t.records[0];
         r.online = 0;
         replace(t, 0, r);
       },
       "h 10.0.0.9 y 5 4 \n 10.0.0.7 m 7 4 \n"},
      {"the middle removed", [&] { remove(t, 1); }, " 10.0.0.7 m 7 4 \n"},
      {"one appended", [&] { append(t, client("z", "10.0.0.1", "q", 9)); },
       " 10.0.0.7 m 7 4 \nz 10.0.0.1 q 9 4 \n"},
      {"one pushed behind the table's back",
       [&] { t.records.push_back(client("p", "10.0.0.2", "r", 3)); },
       " 10.0.0.7 m 7 4 \nz 10.0.0.1 q 9 4 \np 10.0.0.2 r 3 4 \n"},
      {"an append after that", [&] { append(t, client("w", "10.0.0.3", "s", 4)); },
       " 10.0.0.7 m 7 4 \nz 10.0.0.1 q 9 4 \np 10.0.0.2 r 3 4 \nw 10.0.0.3 s 4 4 \n"},
      {"a new auth type", [&] { core::g_settings.auth_type = core::AUTH_LOCAL; },
       " 10.0.0.7 m 7 0 \nz 10.0.0.1 q 9 0 \np 10.0.0.2 r 3 0 \nw 10.0.0.3 s 4 0 \n"},
      {"all dropped behind the table's back", [&] { t.records.clear(); }, ""},
      {"and one appended", [&] { append(t, client("n", "10.0.0.4", "t", 1)); },
       "n 10.0.0.4 t 1 0 \n"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.situation);
    step.change();
    EXPECT_EQ(file(), step.content);
  }
}

TEST_F(RegistrationTest, EmptySelectionGivesAnEmptyFile) {
  UserTable t;
  append(t, rec("", "10.0.0.9", KIND_EXEMPT_IP));
  write_registration_file(t);
  EXPECT_TRUE(root_.exists(core::kRegistrationFile));
  EXPECT_EQ(root_.read(core::kRegistrationFile), "");
}

TEST_F(RegistrationTest, WhatIsPlacedAtTheOldTemporaryNameIsNeitherUsedNorTouched) {
  UserTable t;
  append(t, rec("x", "10.0.0.1"));
  write_registration_file(t);
  // A folder, or a link to a device that fails every write, where the temporary file used to
  // be made: the file is written all the same, beside them.
  ASSERT_EQ(mkdir(root_.path(kOldTemporary).c_str(), 0755), 0);
  t.records.clear();
  write_registration_file(t);
  EXPECT_EQ(root_.read(core::kRegistrationFile), "");
  rmdir(root_.path(kOldTemporary).c_str());

  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full on this machine";
  ASSERT_EQ(symlink("/dev/full", root_.path(kOldTemporary).c_str()), 0);
  append(t, rec("new", "10.0.0.2"));
  write_registration_file(t);
  EXPECT_EQ(root_.read(core::kRegistrationFile).substr(0, 13), "new 10.0.0.2 ");
  EXPECT_EQ(folder_entries(), 3);  // the file, the version before it and the link
}

}  // namespace
}  // namespace store
