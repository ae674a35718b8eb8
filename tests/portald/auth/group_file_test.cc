// The e-mail group file: first add, element rule, removals, permission bits and the nvram
// group number.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>
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
  int tmp_entries() const {
    int n = 0;
    DIR* d = opendir(root_->path("/tmp").c_str());
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
  }
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
  EXPECT_EQ(tmp_entries(), 1);
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

TEST_F(GroupFileTest, WhatAnotherUserPlacedIsRefusedAndNeverWrittenThrough) {
  const std::string path = root_->path(core::kEmailGroupFile);
  const std::string victim = root_->path("/etc/victim");
  root_->write("/etc/victim", "group1 Email_Auth 10.0.0.1  \n");
  ASSERT_EQ(chmod(victim.c_str(), 0644), 0);
  // A link to a file of the daemon's own user, in a folder that everyone may write.
  ASSERT_EQ(chmod(root_->path("/tmp").c_str(), 01777), 0);
  ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(add("10.0.0.2"), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("refusing " + path), std::string::npos);
  EXPECT_EQ(root_->read("/etc/victim"), "group1 Email_Auth 10.0.0.1  \n");
  struct stat st{};
  ASSERT_EQ(stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  unlink(path.c_str());

  // A file that a local user made, set-user-ID and writable by all: refused, its mode is not
  // copied anywhere; the file the daemon writes after it is gone has its own mode.
  root_->write(core::kEmailGroupFile, "group1 Email_Auth 10.0.0.1  \n");
  ASSERT_EQ(chmod(path.c_str(), 06777), 0);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(path.c_str(), 4242, 4242), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(add("10.0.0.2"), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("owned by user 4242"), std::string::npos);
    EXPECT_EQ(file(), "group1 Email_Auth 10.0.0.1  \n");
    unlink(path.c_str());
  } else {
    // The daemon's own file: read, and replaced with the fixed bits.
    EXPECT_EQ(add("10.0.0.2"), 0);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    unlink(path.c_str());
  }

  // A FIFO: refused at once rather than waited on.
  ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(del("10.0.0.1"), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("not a regular file"), std::string::npos);
  unlink(path.c_str());

  // Gone: a removal starts an empty file, an add a new group, both 0700.
  EXPECT_EQ(del("10.0.0.1"), 0);
  EXPECT_EQ(file(), "");
  EXPECT_EQ(add("10.0.0.2"), 0);
  EXPECT_EQ(file(), "group1 Email_Auth 10.0.0.2  \n");
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(tmp_entries(), 1);
}

}  // namespace
