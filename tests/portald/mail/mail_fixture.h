// What every mail-check test shares: the Event lines go to a file of the test's own, and no
// test may leave a descriptor open behind it.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "core/event_log.h"
#include "mail/check_budget.h"
#include "mail/mail_check.h"

namespace mailtest {

inline int open_descriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

class MailTest : public ::testing::Test {
 protected:
  // A silent server is given up after two seconds here, so that the tables of situations
  // stay quick; the daemon's own limits are tested through its binary.
  static void SetUpTestSuite() {
    mail::tls_init();
    mail::CheckLimits quick;
    quick.budget_ms = 2000;
    mail::set_check_limits(quick);
  }

  void SetUp() override {
    char pattern[] = "/tmp/mail-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    log_path_ = dir_ + "/events.log";
    setenv("PORTALD_LOG_FILE", log_path_.c_str(), 1);
    descriptors_ = open_descriptors();
  }

  void TearDown() override {
    core::close_log_file();  // kept open between lines; not a descriptor the test left
    EXPECT_EQ(open_descriptors(), descriptors_) << "a descriptor was left open";
    unsetenv("PORTALD_LOG_FILE");
    unlink(log_path_.c_str());
    rmdir(dir_.c_str());
  }

  // The Event lines written so far, without their line feeds.
  std::vector<std::string> events() const {
    std::vector<std::string> lines;
    std::ifstream in(log_path_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::string dir_;
  std::string log_path_;
  int descriptors_ = 0;
};

}  // namespace mailtest
