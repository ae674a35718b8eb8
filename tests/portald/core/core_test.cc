// Settings rules, time-out rules, line reading and the event log's two forms.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "core/event_log.h"
#include "core/lines.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "core/startup.h"
#include "portald_fixture.h"

namespace {

using testing_support::set_nvram;
using testing_support::unset_nvram;

TEST(SettingsTest, AuthTypeMapping) {
  EXPECT_EQ(core::auth_type_of("LOCAL"), 0);
  EXPECT_EQ(core::auth_type_of("ADVERT"), 1);
  EXPECT_EQ(core::auth_type_of("WEIXIN"), 2);
  EXPECT_EQ(core::auth_type_of("USERS"), 3);
  EXPECT_EQ(core::auth_type_of("EMAIL"), 4);
  EXPECT_EQ(core::auth_type_of(nullptr), 0);
  EXPECT_EQ(core::auth_type_of("users"), 0);
  EXPECT_EQ(core::auth_type_of("EMAIL "), 0);
  EXPECT_EQ(core::auth_type_of(""), 0);
}

TEST(SettingsTest, MultiUserLooksAtTheFirstThreeCharacters) {
  EXPECT_EQ(core::multi_user_of("YES"), 1);
  EXPECT_EQ(core::multi_user_of("YESSIR"), 1);
  EXPECT_EQ(core::multi_user_of("yes"), 0);
  EXPECT_EQ(core::multi_user_of("YE"), 0);
  EXPECT_EQ(core::multi_user_of(""), 0);
  EXPECT_EQ(core::multi_user_of(nullptr), 0);
}

const char* const kTimeKeys[] = {"WEBSEC_TIMEOUT",    "WEBAUTH_ALLTIME",   "WEBSEC_YJ_TIMEOUT",
                                 "WEBSEC_YJ_ALLTIME", "WEBSEC_TP_TIMEOUT", "WEBSEC_TP_ALLTIME",
                                 "WEBSEC_WX_TIMEOUT", "WEBSEC_WX_ALLTIME"};

TEST(TimeoutsTest, RulesForEachAuthTypeValue) {
  struct Row {
    const char* situation;
    const char* sectype;  // null: unset
    std::vector<std::pair<const char*, const char*>> keys;
    int32_t idle, total;
  };
  const Row rows[] = {
      {"unset uses the common pair, not YJ", nullptr, {{"WEBSEC_YJ_TIMEOUT", "5"}}, 1800, 7200},
      {"unset with common values", nullptr, {{"WEBSEC_TIMEOUT", "10"}, {"WEBAUTH_ALLTIME", "20"}},
       600, 1200},
      {"LOCAL uses YJ", "LOCAL", {{"WEBSEC_YJ_TIMEOUT", "5"}, {"WEBSEC_YJ_ALLTIME", "6"}}, 300, 360},
      {"LOCAL defaults", "LOCAL", {{"WEBSEC_TIMEOUT", "5"}}, 1800, 7200},
      {"ADVERT uses TP", "ADVERT", {{"WEBSEC_TP_TIMEOUT", "1"}, {"WEBSEC_TP_ALLTIME", "2"}}, 60, 120},
      {"WEIXIN zero gives zero", "WEIXIN", {{"WEBSEC_WX_TIMEOUT", "0"}, {"WEBSEC_WX_ALLTIME", "x"}},
       0, 0},
      {"USERS zero idle gives 600", "USERS", {{"WEBSEC_TIMEOUT", "0"}}, 600, 7200},
      {"EMAIL zero total gives 30 days", "EMAIL", {{"WEBAUTH_ALLTIME", "0"}}, 1800, 2592000},
      {"unknown value uses the common pair", "other", {{"WEBSEC_TIMEOUT", "abc"}}, 600, 7200},
      {"empty values count as missing", "ADVERT", {{"WEBSEC_TP_TIMEOUT", ""}}, 1800, 7200},
      {"minutes wrap in 32 bits", "LOCAL", {{"WEBSEC_YJ_TIMEOUT", "35791395"}}, -2147483596, 7200},
  };
  testing_support::TempRoot root;
  setenv("NVRAM_FILE", (root.dir() + "/nvram.conf").c_str(), 1);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    for (const char* k : kTimeKeys) unset_nvram(k);
    for (const auto& kv : row.keys) set_nvram(kv.first, kv.second);
    const core::Timeouts t = core::compute_timeouts(row.sectype);
    EXPECT_EQ(t.idle, row.idle);
    EXPECT_EQ(t.total, row.total);
  }
  for (const char* k : kTimeKeys) unset_nvram(k);
  unsetenv("NVRAM_FILE");
}

TEST(LinesTest, OverLongLinesAreDiscardedPastTheBuffer) {
  char name[] = "/tmp/portald-lines-XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  const std::string content = std::string(12, 'a') + "TAIL\n" + "short\n" + std::string(9, 'b') +
                              "\n" + "last";
  ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
  std::FILE* f = std::fopen(name, "r");
  char buf[10];
  std::vector<std::string> lines;
  while (core::read_line(f, buf, sizeof(buf))) lines.emplace_back(buf);
  std::fclose(f);
  std::remove(name);
  // A 9-character line without its line feed in the buffer: the line feed alone is dropped.
  EXPECT_EQ(lines, (std::vector<std::string>{"aaaaaaaaa", "short\n", "bbbbbbbbb", "last"}));
}

TEST(EventLogTest, KeyedAndTokenLinesInTheLogFile) {
  testing_support::TempRoot root;
  const std::string file = root.dir() + "/log";
  setenv("PORTALD_LOG_FILE", file.c_str(), 1);
  core::log_event("syslog.webauth_enable", "");
  core::log_event("title", nullptr);
  core::log_event("syslog.webauth_userti", "syslog.webauth_user a b");
  core::log_token("@#@ log_info n %s  - webident - -v ident.onekeyident ident.webidentup",
                  "10.0.0.1 m");
  core::log_token("%s", "100% literal");
  unsetenv("PORTALD_LOG_FILE");
  EXPECT_EQ(testing_support::read_lines(file),
            (std::vector<std::string>{
                "R1 0 R3 syslog.webauth_enable ",
                "R1 0 R3 title  ",
                "R1 0 R3 syslog.webauth_userti syslog.webauth_user a b",
                "@#@ log_info n 10.0.0.1 m  - webident - -v ident.onekeyident ident.webidentup",
                "100% literal"}));
}

// The log file stays open from line to line, and is opened again when it was rotated away,
// removed, or PORTALD_LOG_FILE names another file.
TEST(EventLogTest, LinesFollowTheFileAtThePath) {
  testing_support::TempRoot root;
  const std::string file = root.dir() + "/log", other = root.dir() + "/other";
  setenv("PORTALD_LOG_FILE", file.c_str(), 1);
  core::log_token("%s", "one");
  core::log_token("%s", "two");
  ASSERT_EQ(std::rename(file.c_str(), (file + ".1").c_str()), 0);  // rotated
  core::log_event("t", "three");
  EXPECT_EQ(testing_support::read_lines(file), std::vector<std::string>{"R1 0 R3 t three"});
  ASSERT_EQ(std::remove(file.c_str()), 0);
  core::log_token("%s", "four");
  setenv("PORTALD_LOG_FILE", other.c_str(), 1);
  core::log_token("%s", std::string(3000, 'x').c_str());  // longer than the line buffer
  unsetenv("PORTALD_LOG_FILE");
  EXPECT_EQ(testing_support::read_lines(file + ".1"), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(testing_support::read_lines(file), std::vector<std::string>{"four"});
  EXPECT_EQ(testing_support::read_lines(other), std::vector<std::string>{std::string(3000, 'x')});
}

TEST(EventLogTest, CapturedTokenLinesWaitForTheLoop) {
  testing_support::TempRoot root;
  const std::string file = root.dir() + "/log";
  setenv("PORTALD_LOG_FILE", file.c_str(), 1);
  std::vector<std::string> held;
  std::thread worker([&held] {
    const core::TokenCapture capture(&held);
    core::log_token("@#@ log_info n - -  - webident - -v %s", "ident.poplogusererr");
    core::log_token("%s", "second");
  });
  worker.join();
  core::log_token("%s", "after the capture");
  unsetenv("PORTALD_LOG_FILE");
  EXPECT_EQ(held, (std::vector<std::string>{
                      "@#@ log_info n - -  - webident - -v ident.poplogusererr", "second"}));
  EXPECT_EQ(testing_support::read_lines(file), std::vector<std::string>{"after the capture"});
}

TEST(KernelChannelTest, ReceiveBufferHoldsABurstOfEvents) {
  testing_support::TempRoot root;
  const testing_support::FakeKernel kernel(root.dir() + "/kernel.sock");
  setenv("PORTALD_KERNEL_SOCKET", kernel.path().c_str(), 1);
  const int fd = core::create_kernel_channel();
  unsetenv("PORTALD_KERNEL_SOCKET");
  ASSERT_GE(fd, 0);
  int size = 0;
  socklen_t length = sizeof size;
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length), 0);
  close(fd);
  // Only a privileged daemon may go beyond the system's limit.
  int limit = 0;
  if (FILE* f = std::fopen("/proc/sys/net/core/rmem_max", "r")) {
    if (std::fscanf(f, "%d", &limit) != 1) limit = 0;
    std::fclose(f);
  }
  if (geteuid() != 0 && limit < core::kKernelReceiveBuffer) {
    GTEST_SKIP() << "rmem_max " << limit << " and not root";
  }
  EXPECT_GE(size, core::kKernelReceiveBuffer);
}

}  // namespace
