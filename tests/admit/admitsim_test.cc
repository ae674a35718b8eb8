// admitsim run as a process, with the test playing the daemon on an autobound socket.
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "launcher.h"

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const auto kDeadline = std::chrono::seconds(10);

uint32_t ip(const char* text) { return inet_addr(text); }

void put32(Bytes& b, size_t off, uint32_t v) { std::memcpy(&b[off], &v, 4); }

// A Kernel message as the daemon sends it.
Bytes kmsg(uint32_t command, uint32_t addr = 0, uint32_t kind = 0, const Bytes& mac = {},
           uint32_t quota = 0, uint32_t recheck = 0) {
  Bytes b(360, 0);
  put32(b, 0, 376);
  put32(b, 12, 4242);
  put32(b, 16, 360);
  put32(b, 20, command);
  put32(b, 24, addr);
  put32(b, 28, kind);
  for (size_t i = 0; i < mac.size() && i < 6; ++i) b[32 + i] = mac[i];
  put32(b, 40, quota);
  put32(b, 44, recheck);
  return b;
}

// The event datagram the daemon must receive, written out field by field.
Bytes expected_event(uint32_t code, uint32_t addr, uint32_t kind, const Bytes& mac = {}) {
  Bytes b(360, 0);
  put32(b, 0, 360);
  put32(b, 16, 360);
  put32(b, 20, code);
  put32(b, 24, addr);
  put32(b, 28, kind);
  for (size_t i = 0; i < mac.size(); ++i) b[32 + i] = mac[i];
  return b;
}

const Bytes kMacA = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const Bytes kMacB = {0x0a, 0xbb, 0xcc, 0x01, 0x02, 0x03};

double sim_of(const std::string& line) {
  const size_t at = line.find("\"sim\":");
  return at == std::string::npos ? -1 : std::atof(line.c_str() + at + 6);
}

class Admitsim : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/admitsim_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    sock_ = dir_ + "/kernel";
    journal_ = dir_ + "/journal";
    daemon_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(daemon_, 0);
    sa_family_t fam = AF_UNIX;
    ASSERT_EQ(bind(daemon_, reinterpret_cast<sockaddr*>(&fam), sizeof fam), 0);
  }

  void TearDown() override {
    stop();
    if (daemon_ >= 0) close(daemon_);
    for (const char* f : {"/kernel", "/kernel.ctl", "/journal", "/stale"})
      unlink((dir_ + f).c_str());
    rmdir(dir_.c_str());
  }

  // Starts admitsim with the given options and waits until its control socket is there.
  void start(std::vector<std::string> opts) {
    std::vector<std::string> args = testing_support::launch_words(ADMITSIM_BIN);
    args.insert(args.end(), {"--socket", sock_, "--journal", journal_});
    args.insert(args.end(), opts.begin(), opts.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    ASSERT_EQ(posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    const auto until = Clock::now() + kDeadline;
    struct stat st;
    while (stat((sock_ + ".ctl").c_str(), &st) != 0) {
      ASSERT_LT(Clock::now(), until) << "admitsim did not come up";
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // Ends admitsim with SIGTERM; returns its exit status.
  int stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

  void send(const Bytes& b) {
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::strcpy(to.sun_path, sock_.c_str());
    ASSERT_EQ(sendto(daemon_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(b.size()));
  }

  // HELLO and TIMEOUTS, as the daemon starts.
  void hello(uint32_t idle, uint32_t total) {
    send(kmsg(6));
    send(kmsg(7, idle, total));
  }

  // The next event the daemon receives; empty after the deadline.
  Bytes next_event(std::chrono::milliseconds wait = std::chrono::milliseconds(10000)) {
    pollfd p{daemon_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(wait.count())) <= 0) return {};
    Bytes b(1000);
    ssize_t n = recv(daemon_, b.data(), b.size(), 0);
    b.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return b;
  }

  std::vector<std::string> journal() {
    std::ifstream in(journal_);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }

  // The journal lines holding every one of the texts, once there are at least n of them
  // (waiting up to the deadline).
  std::vector<std::string> journal_lines(const std::vector<std::string>& texts, size_t n) {
    const auto until = Clock::now() + kDeadline;
    std::vector<std::string> found;
    do {
      found.clear();
      for (const auto& l : journal()) {
        bool all = true;
        for (const auto& t : texts) all = all && l.find(t) != std::string::npos;
        if (all) found.push_back(l);
      }
      if (found.size() >= n) return found;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (Clock::now() < until);
    ADD_FAILURE() << "fewer than " << n << " journal lines with " << texts[0];
    return found;
  }
  std::string journal_line(const std::vector<std::string>& texts) {
    const auto found = journal_lines(texts, 1);
    return found.empty() ? "" : found[0];
  }

  // Runs the admitsim command line; returns its exit status, with its output in out.
  int run(const std::string& args, std::string* out = nullptr) {
    const std::string line = testing_support::launch_command(ADMITSIM_BIN) + " " + args + " 2>&1";
    FILE* p = popen(line.c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    const int st = pclose(p);
    if (out) *out = text;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  int event(const std::string& words, std::string* out = nullptr) {
    return run("event --socket " + sock_ + " " + words, out);
  }

  std::string dir_, sock_, journal_;
  int daemon_ = -1;
  pid_t pid_ = -1;
};

TEST_F(Admitsim, JournalDecodesWhatItReceives) {
  start({});
  hello(1800, 7200);
  send(kmsg(0, ip("10.0.0.5"), 2, {}, 3600, 600));
  send(kmsg(0, 0, 0, kMacA));
  send(kmsg(9, 0, 0, kMacA));
  send(kmsg(1, ip("10.0.0.5"), 2));
  send(kmsg(5, ip("10.0.0.6"), 2));
  // WL_NAME for "qq.com": family header type 1, subtype 11, mark 6; attribute type 8.
  Bytes wl(16 + 28, 0);
  wl[4] = 28;
  wl[12] = 0x92;
  wl[16] = 1;
  wl[20] = 11;
  wl[28] = 6;
  for (uint8_t c : Bytes{12, 0, 8, 0, 2, 'q', 'q', 3, 'c', 'o', 'm', 0}) wl.push_back(c);
  wl[0] = static_cast<uint8_t>(wl.size());
  send(wl);
  send({1, 2, 3, 4, 5, 6, 7});

  struct Row {
    const char* situation;
    std::vector<std::string> texts;
  } rows[] = {
      {"hello with the header fields",
       {"\"dir\":\"in\"", "\"command\":\"KMSG_HELLO\",\"code\":6", "\"nl_len\":376", "\"nl_type\":0",
        "\"nl_pid\":4242", "\"length\":360", "\"reserved_zero\":true", "\"from\":\"@"}},
      {"time-outs as idle and total", {"\"command\":\"KMSG_TIMEOUTS\"", "\"idle\":1800,\"total\":7200"}},
      {"client permit",
       {"\"command\":\"KMSG_PERMIT\"", "\"addr\":\"10.0.0.5\",\"kind\":2",
        "\"quota_seconds\":3600,\"recheck_seconds\":600"}},
      {"exempt MAC permit", {"\"command\":\"KMSG_PERMIT\"", "\"kind\":0,\"mac\":\"00:11:22:33:44:55\""}},
      {"MAC revoke", {"\"command\":\"KMSG_MAC_REVOKE\",\"code\":9", "\"mac\":\"00:11:22:33:44:55\""}},
      {"revoke", {"\"command\":\"KMSG_REVOKE\",\"code\":1", "\"addr\":\"10.0.0.5\""}},
      {"unknown command", {"\"command\":\"UNKNOWN\",\"code\":5", "\"addr\":\"10.0.0.6\""}},
      {"whitelist name",
       {"\"msg\":\"whitelist\"", "\"nl_type\":28", "\"nl_pid\":146", "\"family_type\":1",
        "\"family_subtype\":11", "\"family_mark\":6", "\"record\":\"WL_NAME\"",
        "\"name\":\"qq.com\",\"name_hex\":\"02717103636f6d00\""}},
      {"anything else as hex", {"\"len\":7,\"msg\":\"raw\",\"hex\":\"01020304050607\""}},
  };
  for (const auto& r : rows) {
    const std::string line = journal_line(r.texts);
    EXPECT_FALSE(line.empty()) << r.situation;
    EXPECT_NE(line.find("\"wall\":\"20"), std::string::npos) << r.situation;
    EXPECT_GE(sim_of(line), 0) << r.situation;
  }
  EXPECT_TRUE(next_event(std::chrono::milliseconds(200)).empty()) << "nothing asked for an event";

  // The same name with an address, twice: one name, one address in the tables.
  wl[16] = 4;
  wl[20] = 13;
  for (uint8_t c : Bytes{8, 0, 1, 0, 203, 0, 113, 7}) wl.push_back(c);
  wl[0] = static_cast<uint8_t>(wl.size());
  send(wl);
  send(wl);
  journal_lines({"\"record\":\"WL_ADDR\"", "\"name\":\"qq.com\"", "\"addr\":\"203.0.113.7\""}, 2);
  std::string out;
  ASSERT_EQ(run("status --socket " + sock_, &out), 0);
  EXPECT_NE(out.find("whitelist: 1 names, 1 addresses"), std::string::npos) << out;
}

TEST_F(Admitsim, TakesClientsDownWhenALimitRunsOut) {
  start({"--time-scale", "600"});
  send(kmsg(6));
  struct Row {
    const char* situation;
    const char* addr;
    uint32_t idle, total, quota;
    const char* reason;
    double after;  // simulated seconds from admission
  } rows[] = {
      {"idle time-out", "10.0.1.1", 60, 0, 0, "idle time-out", 60},
      {"total online time before idle", "10.0.1.2", 600, 90, 0, "total online time", 90},
      {"quota alone", "10.0.1.3", 0, 0, 120, "quota used up", 120},
      {"quota shorter than both", "10.0.1.4", 600, 7200, 45, "quota used up", 45},
  };
  // Each permit takes the time-outs sent before it.
  for (const auto& r : rows) {
    send(kmsg(7, r.idle, r.total));
    send(kmsg(0, ip(r.addr), 2, {}, r.quota, 0));
  }
  int downs = 0;
  while (downs < 4) {
    Bytes ev = next_event();
    ASSERT_FALSE(ev.empty()) << "only " << downs << " clients taken down";
    ASSERT_EQ(ev.size(), 360u);
    uint32_t addr;
    std::memcpy(&addr, &ev[24], 4);
    EXPECT_EQ(ev, expected_event(1, addr, 2));
    ++downs;
  }
  for (const auto& r : rows) {
    const std::string admitted = journal_line({"KMSG_PERMIT", std::string("\"") + r.addr + "\""});
    const std::string down =
        journal_line({"KEV_HOST_DOWN", std::string("\"") + r.addr + "\"", r.reason});
    const double elapsed = sim_of(down) - sim_of(admitted);
    EXPECT_GE(elapsed, r.after - 0.01) << r.situation;
    // Generous: scheduling delays count 600 times over.
    EXPECT_LT(elapsed, r.after + 450) << r.situation;
  }
  std::string out;
  ASSERT_EQ(run("status --socket " + sock_, &out), 0);
  EXPECT_NE(out.find("clients: 0"), std::string::npos) << out;
}

TEST_F(Admitsim, SeenRestartsTheIdleTimer) {
  start({"--time-scale", "600"});
  hello(600, 0);
  send(kmsg(0, ip("10.0.2.1"), 2));
  const std::string admitted = journal_line({"KMSG_PERMIT", "10.0.2.1"});
  std::string out;
  ASSERT_EQ(event("seen 10.0.2.1 00:00:00:00:00:01", &out), 0) << out;
  EXPECT_NE(out.find("idle timer restarted"), std::string::npos) << out;
  const std::string seen = journal_line({"\"msg\":\"seen\"", "10.0.2.1"});
  EXPECT_EQ(next_event(), expected_event(1, ip("10.0.2.1"), 2));
  const std::string down = journal_line({"KEV_HOST_DOWN", "10.0.2.1"});
  ASSERT_GT(sim_of(seen), sim_of(admitted));
  EXPECT_GE(sim_of(down) - sim_of(seen), 600 - 0.01);
}

TEST_F(Admitsim, RechecksAtTheInterval) {
  struct Row {
    const char* situation;
    std::vector<std::string> opts;
    double interval;
    double late;  // simulated seconds a re-check may come late: 0.75 s of real time
  } rows[] = {
      {"interval from the command line",
       {"--time-scale", "600", "--recheck-interval", "30"}, 30, 450},
      {"interval from the permit", {"--time-scale", "12000"}, 600, 9000},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.situation);
    start(r.opts);
    hello(0, 0);
    send(kmsg(0, ip("10.0.3.1"), 2, {}, 0, 0));    // no re-checks for this one
    send(kmsg(0, ip("10.0.3.2"), 2, {}, 0, 600));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(next_event(), expected_event(8, ip("10.0.3.2"), 2));
    const std::string admitted = journal_line({"KMSG_PERMIT", "10.0.3.2"});
    int n = 0;
    for (const auto& l : journal_lines({"KEV_RECHECK"}, 3)) {
      EXPECT_NE(l.find("10.0.3.2"), std::string::npos) << "re-check without recheck_seconds";
      ++n;
      // The n-th re-check comes no sooner than n intervals after admission.
      EXPECT_GE(sim_of(l) - sim_of(admitted), n * r.interval - 0.01) << l;
      EXPECT_LT(sim_of(l) - sim_of(admitted), n * r.interval + r.late) << l;
    }
    stop();
    unlink(journal_.c_str());
  }
}

TEST_F(Admitsim, ExemptHostsComeUpWhenSeen) {
  // An idle time-out of one real second: the rows' host-ups must come before the first host
  // goes idle even when each `admitsim event` starts slowly (under emulation, on a busy machine).
  start({"--time-scale", "60"});
  hello(60, 0);
  send(kmsg(0, 0, 0, kMacA));             // exempt MAC
  send(kmsg(0, ip("10.0.4.2"), 1));        // exempt address
  journal_line({"KMSG_PERMIT", "\"addr\":\"10.0.4.2\""});
  struct Row {
    const char* situation;
    const char* addr;
    const Bytes& mac;
    const char* mac_text;
    uint32_t kind;
  } rows[] = {
      {"exempt MAC address", "10.0.4.1", kMacA, "00:11:22:33:44:55", 0},
      {"exempt address", "10.0.4.2", kMacB, "0a:bb:cc:01:02:03", 1},
  };
  for (const auto& r : rows) {
    std::string out;
    ASSERT_EQ(event(std::string("seen ") + r.addr + " " + r.mac_text, &out), 0) << out;
    EXPECT_EQ(next_event(), expected_event(0, ip(r.addr), r.kind, r.mac)) << r.situation;
  }
  std::string out;
  ASSERT_EQ(event("seen 10.0.4.9 0a:bb:cc:01:02:03", &out), 0);
  EXPECT_NE(out.find("nothing sent"), std::string::npos) << "neither exempt: " << out;
  // Up hosts left idle go down with their kind and MAC address, and come up again when seen.
  for (int i = 0; i < 2; ++i) {
    Bytes ev = next_event();
    ASSERT_EQ(ev.size(), 360u);
    const auto& r = ev[24 + 3] == 1 ? rows[0] : rows[1];
    EXPECT_EQ(ev, expected_event(1, ip(r.addr), r.kind, r.mac)) << r.situation;
  }
  ASSERT_EQ(event("seen 10.0.4.1 00:11:22:33:44:55"), 0);
  EXPECT_EQ(next_event(), expected_event(0, ip("10.0.4.1"), 0, kMacA));
}

TEST_F(Admitsim, SeenTwiceSendsOneHostUp) {
  start({});
  hello(1800, 0);
  send(kmsg(0, ip("10.0.5.1"), 1));
  journal_line({"KMSG_PERMIT", "10.0.5.1"});
  ASSERT_EQ(event("seen 10.0.5.1 00:11:22:33:44:55"), 0);
  EXPECT_EQ(next_event(), expected_event(0, ip("10.0.5.1"), 1, kMacA));
  std::string out;
  ASSERT_EQ(event("seen 10.0.5.1 00:11:22:33:44:55", &out), 0);
  EXPECT_NE(out.find("already up"), std::string::npos) << out;
  EXPECT_TRUE(next_event(std::chrono::milliseconds(100)).empty());
}

TEST_F(Admitsim, RevokesEndWithoutEvents) {
  start({"--time-scale", "600"});
  hello(60, 0);
  send(kmsg(0, ip("10.0.6.1"), 2));
  send(kmsg(1, ip("10.0.6.1"), 2));
  send(kmsg(0, 0, 0, kMacA));
  send(kmsg(9, 0, 0, kMacA));
  send(kmsg(0, ip("10.0.6.2"), 2));
  // 10.0.6.1 was admitted first; had the revoke not removed it, its host-down came first.
  EXPECT_EQ(next_event(), expected_event(1, ip("10.0.6.2"), 2));
  std::string out;
  ASSERT_EQ(event("seen 10.0.6.3 00:11:22:33:44:55", &out), 0);
  EXPECT_NE(out.find("nothing sent"), std::string::npos) << "MAC address still exempt: " << out;
  ASSERT_EQ(run("status --socket " + sock_, &out), 0);
  EXPECT_NE(out.find("clients: 0"), std::string::npos) << out;
  EXPECT_NE(out.find("exempt MAC addresses: 0"), std::string::npos) << out;
}

TEST_F(Admitsim, MacRevokeTakesDownAHostUpByIt) {
  start({});
  hello(1800, 0);
  send(kmsg(0, 0, 0, kMacA));
  journal_line({"KMSG_PERMIT", "00:11:22:33:44:55"});
  ASSERT_EQ(event("seen 10.0.7.1 00:11:22:33:44:55"), 0);
  EXPECT_EQ(next_event(), expected_event(0, ip("10.0.7.1"), 0, kMacA));
  send(kmsg(9, 0, 0, kMacA));
  EXPECT_EQ(next_event(), expected_event(1, ip("10.0.7.1"), 0, kMacA));
}

TEST_F(Admitsim, OperatorEvents) {
  start({});
  hello(1800, 7200);
  send(kmsg(0, ip("10.0.8.1"), 2, {}, 0, 600));
  journal_line({"KMSG_PERMIT", "10.0.8.1"});
  struct Row {
    const char* words;
    Bytes want;
  } rows[] = {
      {"raw 42 10.0.8.9", expected_event(42, ip("10.0.8.9"), 0)},
      {"raw 0xffffffff 10.0.8.9", expected_event(0xffffffffu, ip("10.0.8.9"), 0)},
      {"recheck 10.0.8.1", expected_event(8, ip("10.0.8.1"), 2)},
      {"host-up 10.0.8.2 0a:bb:cc:01:02:03 1", expected_event(0, ip("10.0.8.2"), 1, kMacB)},
      {"host-down 10.0.8.1", expected_event(1, ip("10.0.8.1"), 2)},
      {"host-down 10.0.8.2", expected_event(1, ip("10.0.8.2"), 1, kMacB)},
  };
  for (const auto& r : rows) {
    std::string out;
    EXPECT_EQ(event(r.words, &out), 0) << r.words << ": " << out;
    EXPECT_EQ(next_event(), r.want) << r.words;
  }
  std::string out;
  ASSERT_EQ(run("status --socket " + sock_, &out), 0);
  EXPECT_NE(out.find("daemon address: @"), std::string::npos) << out;
  EXPECT_NE(out.find("pid 4242"), std::string::npos) << out;
  EXPECT_NE(out.find("idle 1800 s, total online 7200 s"), std::string::npos) << out;
  EXPECT_NE(out.find("clients: 0"), std::string::npos) << "host-down forgets the client: " << out;
  EXPECT_NE(out.find("exempt hosts up: 0"), std::string::npos) << out;
}

TEST_F(Admitsim, StatusShowsTheTables) {
  start({});
  hello(1800, 7200);
  send(kmsg(0, ip("10.0.9.1"), 2, {}, 3600, 600));
  send(kmsg(0, 0, 0, kMacA));
  send(kmsg(0, ip("10.0.9.2"), 1));
  journal_line({"KMSG_PERMIT", "10.0.9.2"});
  std::string out;
  ASSERT_EQ(run("status --socket " + sock_, &out), 0);
  for (const char* want : {"clients: 1", "10.0.9.1", "idle left 17", "online left 71",
                           "quota left 35", "next re-check in 5", "exempt MAC addresses: 1",
                           "00:11:22:33:44:55", "exempt addresses: 1", "10.0.9.2",
                           "whitelist: 0 names, 0 addresses"})
    EXPECT_NE(out.find(want), std::string::npos) << want << " in\n" << out;
}

TEST_F(Admitsim, CommandLine) {
  struct Row {
    const char* situation;
    std::string args;
    int status;
    const char* says;
  } rows[] = {
      {"help", "--help", 0, "usage:"},
      {"event help", "event --help", 0, "usage:"},
      {"no socket", "--time-scale 2", 2, "--socket"},
      {"zero time scale", "--socket " + sock_ + " --time-scale 0", 2, "--time-scale"},
      {"negative time scale", "--socket " + sock_ + " --time-scale -3", 2, "--time-scale"},
      {"time scale not a number", "--socket " + sock_ + " --time-scale fast", 2, "--time-scale"},
      {"bad recheck interval", "--socket " + sock_ + " --recheck-interval 0", 2, "--recheck"},
      {"unknown option", "--socket " + sock_ + " --verbose", 2, "unknown option --verbose"},
      {"option without value", "--socket", 2, "needs a value"},
      {"stray word", "--socket " + sock_ + " now", 2, "unknown command"},
      {"event without socket", "event raw 1 10.0.0.1", 2, "--socket"},
      {"unknown event", "event --socket " + sock_ + " boom 10.0.0.1", 2, "unknown event"},
      {"bad address", "event --socket " + sock_ + " recheck 10.0.0", 2, "IPv4"},
      {"bad MAC address", "event --socket " + sock_ + " seen 10.0.0.1 00:11", 2, "MAC"},
      {"status with words", "status --socket " + sock_ + " now", 2, "no further"},
      {"event when none runs", "event --socket " + sock_ + " recheck 10.0.0.1", 1, "not running"},
      {"status when none runs", "status --socket " + sock_, 1, "not running"},
  };
  for (const auto& r : rows) {
    std::string out;
    EXPECT_EQ(run(r.args, &out), r.status) << r.situation << ": " << out;
    EXPECT_NE(out.find(r.says), std::string::npos) << r.situation << ": " << out;
  }
}

TEST_F(Admitsim, EventsNeedTheDaemonsAddress) {
  start({});
  std::string out;
  EXPECT_EQ(event("raw 1 10.0.0.1", &out), 1);
  EXPECT_NE(out.find("no daemon address"), std::string::npos) << out;
  ASSERT_EQ(run("status --socket " + sock_, &out), 0);
  EXPECT_NE(out.find("daemon address: not known"), std::string::npos) << out;
  send(kmsg(6));
  journal_line({"KMSG_HELLO"});
  EXPECT_EQ(event("raw 1 10.0.0.1", &out), 0) << out;
  EXPECT_EQ(next_event(), expected_event(1, ip("10.0.0.1"), 0));
  // The daemon gone: the request fails instead of claiming the event went out.
  close(daemon_);
  daemon_ = -1;
  EXPECT_EQ(event("raw 1 10.0.0.1", &out), 1);
  EXPECT_NE(out.find("could not be sent"), std::string::npos) << out;
  journal_line({"\"sent\":false"});
}

TEST_F(Admitsim, SocketFilesFromStartToEnd) {
  // A socket file left by a process that is gone is replaced.
  {
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, sock_.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    close(fd);
  }
  start({});
  // A second one on the same path refuses and leaves the first one's sockets alone.
  std::string out;
  EXPECT_EQ(run("--socket " + sock_, &out), 1);
  EXPECT_NE(out.find("another process is bound"), std::string::npos) << out;
  send(kmsg(6));
  journal_line({"KMSG_HELLO"});
  EXPECT_EQ(stop(), 0);
  struct stat st;
  EXPECT_NE(stat(sock_.c_str(), &st), 0) << "socket left behind";
  EXPECT_NE(stat((sock_ + ".ctl").c_str(), &st), 0) << "control socket left behind";
  EXPECT_NE(journal().back().find("\"msg\":\"stop\""), std::string::npos);
  // A plain file at the path is not taken for a stale socket.
  std::ofstream(dir_ + "/stale") << "data";
  EXPECT_EQ(run("--socket " + dir_ + "/stale", &out), 1);
  EXPECT_NE(out.find("not a socket"), std::string::npos) << out;
}

}  // namespace
