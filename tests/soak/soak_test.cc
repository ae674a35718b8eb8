// Soak: many one-key logins and as many host-down events through the real sockets, then the
// same with account logins. The daemon's resident memory at the end must be within a few
// percent of what it was after the first tenth, and the table must be empty again.
//   SOAK_COUNT=N     logins (and host-down events) per run (default 100000)
//   SOAK_VALGRIND=1  runs the daemon under valgrind and requires a report without errors or
//                    leaks instead of the memory figures (use a small SOAK_COUNT)
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "core/paths.h"
#include "rig.h"

namespace {

using testing_support::LoginFields;

constexpr int kAddresses = 250;       // clients in rotation
constexpr double kRssGrowth = 0.05;   // allowed growth of resident memory after the first tenth

long count_from_env() {
  const char* v = std::getenv("SOAK_COUNT");
  return v != nullptr && *v != '\0' ? std::atol(v) : 100000;
}

bool under_valgrind() {
  const char* v = std::getenv("SOAK_VALGRIND");
  return v != nullptr && std::string(v) == "1";
}

std::string client_ip(long i) {
  return "10.1." + std::to_string(i % kAddresses / 200) + "." + std::to_string(i % 200 + 1);
}

std::string client_mac(long i) {
  char mac[18];
  std::snprintf(mac, sizeof(mac), "02:00:00:00:%02lx:%02lx", (i % kAddresses) / 256,
                (i % kAddresses) % 256);
  return mac;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class Soak : public ::testing::Test {
 protected:
  // Runs count logins, each followed by a host-down event for the same client; name(i) is
  // the account of login i (empty for one-key logins).
  void run(const std::map<std::string, std::string>& nvram, const std::string& accounts,
           std::string (*name)(long)) {
    const long count = count_from_env();
    const bool valgrind = under_valgrind();
    std::vector<std::string> wrapper;
    if (valgrind) {
      wrapper = {"/usr/bin/valgrind", "--leak-check=full",
                 "--errors-for-leak-kinds=definite,indirect", "--log-file=@ROOT@/valgrind.log"};
    }
    std::unique_ptr<soak::Rig> owner(new soak::Rig(nvram, wrapper));
    soak::Rig* rig = owner.get();
    if (!accounts.empty()) rig->root().write(core::kAccountFile, accounts);
    const std::string vg_log = rig->root().dir() + "/valgrind.log";
    ASSERT_TRUE(rig->start(valgrind ? 60000 : 10000));
    const int timeout_ms = valgrind ? 30000 : 5000;

    long refused = 0, lost_events = 0, rss_tenth = 0;
    for (long i = 0; i < count; ++i) {
      LoginFields f = testing_support::client_at(client_ip(i), client_mac(i), name(i));
      if (rig->login(f, timeout_ms) != 1) ++refused;
      if (!rig->host_down(client_ip(i))) ++lost_events;
      if ((i + 1) % 10000 == 0) rig->truncate_log();
      if (i + 1 == count / 10) rss_tenth = rig->rss_kb();
    }
    // The last host-down events are taken before this login is read.
    EXPECT_EQ(rig->login(testing_support::client_at("10.9.9.9", "02:00:00:00:09:09", name(0)),
                         timeout_ms),
              1);
    ASSERT_TRUE(rig->host_down("10.9.9.9"));
    const long rss_end = rig->rss_kb();
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(lost_events, 0);
    ASSERT_TRUE(rig->daemon_running());
    // Every client went down again; give the daemon its pass for the last event.
    std::string reg;
    for (int tries = 0; tries < 100; ++tries) {
      reg = rig->root().read(core::kRegistrationFile);
      if (reg.empty()) break;
      usleep(50000);
    }
    EXPECT_EQ(reg, "");

    if (!valgrind) {
      std::printf("soak: %ld logins and host-down events; resident memory %ld kB after %ld, "
                  "%ld kB at the end\n", count, rss_tenth, count / 10, rss_end);
      EXPECT_GT(rss_tenth, 0);
      EXPECT_LE(static_cast<double>(rss_end), static_cast<double>(rss_tenth) * (1 + kRssGrowth));
    }
    const int status = rig->stop();
    if (valgrind) {
      const std::string report = slurp(vg_log);
      std::printf("%s", report.c_str());
      EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos);
      EXPECT_EQ(report.find("definitely lost: "), report.find("definitely lost: 0 bytes"));
      EXPECT_EQ(report.find("indirectly lost: "), report.find("indirectly lost: 0 bytes"));
    } else {
      // Ended by the SIGTERM of stop(), not by anything before it.
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    }
  }
};

std::string no_name(long) { return ""; }
std::string account_name(long i) { return "user" + std::to_string(i % kAddresses); }

std::string account_file() {
  std::string out;
  for (int i = 0; i < kAddresses; ++i) out += "user" + std::to_string(i) + " x y * soak\n";
  return out;
}

TEST_F(Soak, OneKeyLoginsAndHostDowns) { run({{"WEBAUTH_SECTYPE", "LOCAL"}}, "", no_name); }

TEST_F(Soak, AccountLoginsAndHostDowns) {
  run({{"WEBAUTH_SECTYPE", "USERS"}}, account_file(), account_name);
}

}  // namespace
