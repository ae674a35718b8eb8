// The account file: field splitting, limits, notes and the multi-user rule.
#include <gtest/gtest.h>

#include "auth/accounts_file.h"
#include "core/paths.h"
#include "core/settings.h"
#include "portald_fixture.h"
#include "store/limits.h"

namespace {

using namespace store;

class AccountsFileTest : public testing_support::DaemonTest {
 protected:
  int load(const std::string& content) {
    root_->write(core::kAccountFile, content);
    return auth::load_accounts(root_->path(core::kAccountFile).c_str(), accounts_);
  }
};

TEST_F(AccountsFileTest, LinesBecomeEntries) {
  struct Row {
    const char* situation;
    std::string line;
    std::string name;
    int32_t mode;
    int32_t value;
    std::string note;
  };
  const Row rows[] = {
      {"two hours a day", "alice x y 2\n", "alice", LIMIT_DAILY, 7200, ""},
      {"a date and a note", "bob x y 2027-1-31. staff\n", "bob", LIMIT_DATE,
       date_key(2027, 1, 31), "staff"},
      {"no limit, no note", "carl x y * *\n", "carl", LIMIT_NONE, 0, ""},
      {"ten hours", "dora x y 10\n", "dora", LIMIT_DAILY, 36000, ""},
      {"three digits read as a date", "eve x y 100\n", "eve", LIMIT_DATE, date_key(100, 0, 0), ""},
      {"a date that does not parse", "fay x y never\n", "fay", LIMIT_DATE, date_key(0, 0, 0), ""},
      {"only a name", "gus\n", "gus", LIMIT_NONE, 0, ""},
      {"an empty line", "\n", "", LIMIT_NONE, 0, ""},
      {"two blanks shift the fields", "hal  x 3 y\n", "hal", LIMIT_DAILY, 10800, "y"},
      {"CR LF makes the star a two-character limit", "ian x y *\r\n", "ian", LIMIT_DAILY, 0, ""},
      {"non-digits give zero hours", "jo x y ab\n", "jo", LIMIT_DAILY, 0, ""},
      {"fields after the fifth ignored", "kim x y * note more words\n", "kim", LIMIT_NONE, 0,
       "note"},
      {"three fields only: no limit", "lou x y", "lou", LIMIT_NONE, 0, ""},
      {"name cut at 63", std::string(70, 'n') + " x y *\n", std::string(63, 'n'), LIMIT_NONE, 0,
       ""},
      {"limit cut at 15 still a date", "may x y 2030-12-31.........x\n", "may", LIMIT_DATE,
       date_key(2030, 12, 31), ""},
      {"tab is an ordinary character", "ned\tx y z *\n", "ned\tx", LIMIT_NONE, 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    accounts_.records.clear();
    ASSERT_EQ(load(row.line), 1);
    ASSERT_EQ(accounts_.records.size(), 1u);
    const OnlineUserRecord& r = accounts_.records[0];
    EXPECT_EQ(r.name, row.name);
    EXPECT_EQ(r.limit_mode, row.mode);
    EXPECT_EQ(r.limit_value, row.value);
    EXPECT_EQ(r.note, row.note);
    EXPECT_EQ(r.kind, KIND_CLIENT_IP);
    EXPECT_EQ(r.online, 0);
    EXPECT_NE(r.created_at, 0);
  }
}

TEST_F(AccountsFileTest, MultiUserSkipsDailyAccountsAndOrderIsKept) {
  core::g_settings.multi_user = 1;
  EXPECT_EQ(load("alice x y 2\nbob x y *\nbob x y 2027-1-1.\n"), 2);
  ASSERT_EQ(accounts_.records.size(), 2u);
  EXPECT_EQ(find_by_name(accounts_, "bob"), 0u);
  EXPECT_EQ(accounts_.records[0].limit_mode, LIMIT_NONE);
  EXPECT_EQ(log(), (std::vector<std::string>{"R1 0 R3 syslog.webauth_userti syslog.webauth_user bob",
                                             "R1 0 R3 syslog.webauth_userti syslog.webauth_user bob"}));
}

TEST_F(AccountsFileTest, OverLongLineTailIsDiscarded) {
  // A 300-character line: its tail would otherwise become an account of its own.
  const std::string tail = "intruder x y *\n";
  EXPECT_EQ(load("first x y * " + std::string(300 - 12 - tail.size(), 'z') + tail + "next\n"), 2);
  ASSERT_EQ(accounts_.records.size(), 2u);
  EXPECT_EQ(accounts_.records[1].name, "next");
  EXPECT_EQ(find_by_name(accounts_, "intruder"), end(accounts_));
}

TEST_F(AccountsFileTest, MissingFile) {
  EXPECT_EQ(auth::load_accounts(root_->path("/nope").c_str(), accounts_), -1);
  EXPECT_TRUE(accounts_.records.empty());
}

}  // namespace
