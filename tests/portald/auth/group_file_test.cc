// The e-mail group file: first add, element rule, removals, permission bits and the nvram
// group number.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/stat.h>

#include "auth/group_file.h"
#include "core/paths.h"
#include "nvram.h"
#include "portald_fixture.h"

namespace {

class GroupFileTest : public testing_support::DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    setenv("NVRAM_FILE", (root_->dir() + "/nvram.conf").c_str(), 1);
    nvram_unset("GROUPIP_NUM_MAX");
  }
  void TearDown() override {
    nvram_unset("GROUPIP_NUM_MAX");
    unsetenv("NVRAM_FILE");
    DaemonTest::TearDown();
  }
  int add(const char* ip) { return auth::group_file_update(auth::GROUP_ADD, inet_addr(ip)); }
  int del(const char* ip) { return auth::group_file_update(auth::GROUP_REMOVE, inet_addr(ip)); }
  std::string file() const { return root_->read(core::kEmailGroupFile); }
};

TEST_F(GroupFileTest, FirstAddTakesTheNextGroupNumberAndCommitsIt) {
  nvram_set("GROUPIP_NUM_MAX", "4");
  ASSERT_EQ(add("10.0.0.1"), 0);
  EXPECT_EQ(file(), "group5 Email_Auth 10.0.0.1  \n");
  EXPECT_STREQ(nvram_get("GROUPIP_NUM_MAX"), "5");
  // committed: the nvram file holds it
  EXPECT_NE(root_->read("/nvram.conf").find("GROUPIP_NUM_MAX=5"), std::string::npos);
  struct stat st{};
  ASSERT_EQ(stat(root_->path(core::kEmailGroupFile).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  EXPECT_EQ(add("10.0.0.12"), 0);  // 10.0.0.1 is not an element named 10.0.0.12
  EXPECT_EQ(file(), "group5 Email_Auth 10.0.0.1,10.0.0.12 \n");
  EXPECT_EQ(add("10.0.0.1"), 0);   // already listed: unchanged
  EXPECT_EQ(add("10.0.0.12"), 0);
  EXPECT_EQ(file(), "group5 Email_Auth 10.0.0.1,10.0.0.12 \n");
  EXPECT_EQ(add("10.0.0.3"), 0);
  EXPECT_EQ(file(), "group5 Email_Auth 10.0.0.1,10.0.0.12,10.0.0.3 \n");
  EXPECT_STREQ(nvram_get("GROUPIP_NUM_MAX"), "5");
  // The replacement kept the permission bits and left no temporary file behind.
  ASSERT_EQ(stat(root_->path(core::kEmailGroupFile).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_FALSE(root_->exists("/tmp/emailgroupip.cfg.tmp"));
}

TEST_F(GroupFileTest, MissingCounterStartsAtOne) {
  ASSERT_EQ(add("192.168.1.7"), 0);
  EXPECT_EQ(file(), "group1 Email_Auth 192.168.1.7  \n");
  EXPECT_STREQ(nvram_get("GROUPIP_NUM_MAX"), "1");
}

TEST_F(GroupFileTest, Removals) {
  struct Row {
    const char* situation;
    const char* before;
    const char* ip;
    const char* after;
  };
  const Row rows[] = {
      {"first of several", "group5 Email_Auth 10.0.0.1,10.0.0.12 \n", "10.0.0.1",
       "group5 Email_Auth 10.0.0.12 \n"},
      {"middle", "group5 Email_Auth 10.0.0.1,10.0.0.2,10.0.0.3 \n", "10.0.0.2",
       "group5 Email_Auth 10.0.0.1,10.0.0.3 \n"},
      {"last of several", "group5 Email_Auth 10.0.0.1,10.0.0.12  \n", "10.0.0.12",
       "group5 Email_Auth 10.0.0.1 \n"},
      {"the only address stays", "group5 Email_Auth 10.0.0.1  \n", "10.0.0.1",
       "group5 Email_Auth 10.0.0.1  \n"},
      {"a prefix is not an element", "group5 Email_Auth 10.0.0.12,10.0.0.123 \n", "10.0.0.1",
       "group5 Email_Auth 10.0.0.12,10.0.0.123 \n"},
      {"absent", "group5 Email_Auth 10.0.0.1 \n", "10.0.0.9", "group5 Email_Auth 10.0.0.1 \n"},
      {"text without a list", "garbage\n", "10.0.0.1", "garbage\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    root_->write(core::kEmailGroupFile, row.before);
    EXPECT_EQ(del(row.ip), 0);
    EXPECT_EQ(file(), row.after);
  }
}

TEST_F(GroupFileTest, EmptyFileAndOddContent) {
  root_->write(core::kEmailGroupFile, "");
  EXPECT_EQ(del("10.0.0.1"), 0);
  EXPECT_EQ(file(), "");
  EXPECT_EQ(nvram_get("GROUPIP_NUM_MAX"), nullptr);
  // Fewer than three blanks: an add changes nothing.
  root_->write(core::kEmailGroupFile, "group5 Email_Auth");
  EXPECT_EQ(add("10.0.0.1"), 0);
  EXPECT_EQ(file(), "group5 Email_Auth");
  // A NUL inside the content ends the text as read.
  root_->write(core::kEmailGroupFile, std::string("group2 Email_Auth 10.0.0.1 \n\0junk", 33));
  EXPECT_EQ(add("10.0.0.2"), 0);
  EXPECT_EQ(file(), "group2 Email_Auth 10.0.0.1,10.0.0.2 \n");
}

TEST_F(GroupFileTest, UnopenableFileFails) {
  ASSERT_EQ(mkdir(root_->path(core::kEmailGroupFile).c_str(), 0755), 0);
  EXPECT_EQ(add("10.0.0.1"), -1);
}

}  // namespace
