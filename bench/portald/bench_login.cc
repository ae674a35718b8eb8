// bench_login: what one login costs through the real login socket of a running portald, set
// against a bare round trip on a UNIX stream socket, with the online-user table already holding
// 0, 1 000, 10 000 and 50 000 clients, for one-key and for account logins.
//
// The bare round trip is what any login costs at the least: connect, write 300 bytes, read a
// 300-byte reply, close, against a server that does nothing else (a child of this program).
// The daemon runs in a temporary PORTALD_ROOT on tmpfs (/dev/shm) as the router's /tmp is;
// this program binds the Kernel channel's socket and drains it every millisecond, so that the
// daemon's sends to the kernel never block or fail and wake no one. The table is filled by logins of other clients.
// Each timed login is the client's wall-clock time; the daemon's processor time per login comes
// from the kernel's accounting of the daemon (/proc/PID/schedstat), which other load on the
// machine disturbs less. Ratios are to the bare round trip: of medians and of the best. Each
// timed login follows a bare round trip of its own, so that both meet the machine in the same
// state (on a virtual machine the cost of waking a process drifts from one minute to the next);
// a row's ratios are to the round trips taken between its logins. By default this program runs
// on one processor and the daemon and the bare server on another, so that both are woken
// across processors alike; left to the scheduler (--unpinned), the bare server may share this
// program's processor while the daemon does not, and the ratios then measure the placement.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "auth/requests.h"
#include "client.h"
#include "core/paths.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReplyTimeoutMs = 10000;
constexpr const char kAccountName[] = "bench";

constexpr long kTmpfsMagic = 0x01021994;

struct Options {
  std::string portald = PORTALD_BINARY;
  int logins = 500;
  std::vector<int> sizes = {0, 1000, 10000, 50000};
  std::string parent;  // where the temporary roots go: /dev/shm when it is tmpfs
  int cpu = -1;        // with --cpu, the processor that this program and its children run on
  int server_cpu = -1;  // with --cpus, the processor of the daemon and the bare server
  bool unpinned = false;  // with --unpinned, the scheduler places every process
};

long long first_number(const std::string& path) {
  std::ifstream in(path);
  long long v = -1;
  in >> v;
  return v;
}

bool on_tmpfs(const std::string& dir) {
  struct statfs st {};
  return statfs(dir.c_str(), &st) == 0 && static_cast<long>(st.f_type) == kTmpfsMagic;
}

enum class Kind { kOneKey, kAccount };

[[noreturn]] void die(const std::string& why) {
  std::fprintf(stderr, "bench_login: %s\n", why.c_str());
  std::exit(1);
}

// Runs the calling process (and what it starts from now on) on processor cpu alone.
void pin(int cpu) {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  if (sched_setaffinity(0, sizeof(one), &one) != 0)
    die("cannot run on processor " + std::to_string(cpu));
}

// The daemon under test, with the kernel's end of its Kernel channel.
class Daemon {
 public:
  Daemon(const std::string& binary, const std::string& parent, Kind kind, int cpu) {
    std::string templ = parent + "/bench-login-XXXXXX";
    if (mkdtemp(&templ[0]) == nullptr) die("mkdtemp failed in " + parent);
    root_ = templ;
    for (const char* sub : {"/tmp", "/disk/conf", "/etc", "/var/http"}) {
      std::filesystem::create_directories(root_ + sub);
    }
    std::ofstream(root_ + "/nvram.conf")
        << (kind == Kind::kOneKey ? "WEBAUTH_SECTYPE=LOCAL\n"
                                  : "WEBAUTH_SECTYPE=USERS\nWEBAUTH_MULTIUSER=YES\n");
    // One account without limit, which any number of clients may use at once.
    std::ofstream(root_ + core::kAccountFile) << kAccountName << " - - *\n";

    const std::string kernel_path = root_ + "/kernel.sock";
    const client::UnixAddress kernel = client::unix_address(kernel_path);
    kernel_fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (kernel_fd_ < 0 ||
        bind(kernel_fd_, reinterpret_cast<const sockaddr*>(&kernel.addr), kernel.len) != 0) {
      die("cannot bind " + kernel_path);
    }
    const int queue = 4 << 20;  // room for every message between two looks at the socket
    setsockopt(kernel_fd_, SOL_SOCKET, SO_RCVBUF, &queue, sizeof(queue));
    drain_ = std::thread([this] { drain(); });

    pid_ = fork();
    if (pid_ < 0) die("fork failed");
    if (pid_ == 0) {
      if (cpu >= 0) pin(cpu);
      setenv("PORTALD_ROOT", root_.c_str(), 1);
      setenv("PORTALD_KERNEL_SOCKET", kernel_path.c_str(), 1);
      setenv("PORTALD_LOG_FILE", (root_ + "/events.log").c_str(), 1);
      setenv("NVRAM_FILE", (root_ + "/nvram.conf").c_str(), 1);
      execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    // The daemon listens before it greets the kernel, so its first message means it is ready.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (kernel_messages_.load() == 0) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        die("portald ended at start-up (" + binary + ")");
      }
      if (Clock::now() > deadline) die("portald did not start within 10 seconds");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    login_socket_ = client::unix_address(root_ + core::kLoginSocketPath);
    stat_fd_ = open(("/proc/" + std::to_string(pid_) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (stat_fd_ < 0) die("cannot open the daemon's /proc stat");
  }

  ~Daemon() {
    if (stat_fd_ >= 0) close(stat_fd_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    stop_ = true;
    drain_.join();
    close(kernel_fd_);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Waits until the daemon sleeps in its loop again, its work for the last login (the
  // registration file, the log) done: at most a second, looking about every 20 us.
  void wait_idle() const {
    char buf[512];
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < deadline) {
      const ssize_t n = pread(stat_fd_, buf, sizeof(buf) - 1, 0);
      if (n <= 0) die("cannot read the daemon's /proc stat");
      buf[n] = '\0';
      const char* close_paren = std::strrchr(buf, ')');
      if (close_paren != nullptr && close_paren[1] == ' ' && close_paren[2] == 'S') return;
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    die("portald did not go back to sleep within a second");
  }

  // The daemon's processor time so far, in nanoseconds.
  long long cpu_ns() const { return first_number("/proc/" + std::to_string(pid_) + "/schedstat"); }
  // Its resident set in kB.
  long long rss_kb() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(in, line);)
      if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6);
    return -1;
  }

  // One login of client number n; ends the benchmark unless the daemon answers LOGIN_OK.
  void login(Kind kind, int n) const {
    unsigned char request[auth::kRecordSize] = {};
    auth::put_word(request, auth::kLoginOffMsgType, auth::LOGIN_REQUEST_TYPE);
    char ip[16], mac[24];
    std::snprintf(ip, sizeof(ip), "10.%d.%d.%d", (n >> 16) & 255, (n >> 8) & 255, n & 255);
    std::snprintf(mac, sizeof(mac), "02:00:00:%02x:%02x:%02x", (n >> 16) & 255, (n >> 8) & 255,
                  n & 255);
    auth::put_text(request, auth::kLoginClientIp, ip);
    auth::put_text(request, auth::kLoginClientMac, mac);
    if (kind == Kind::kAccount) auth::put_text(request, auth::kLoginUser, kAccountName);
    const client::LoginOutcome out = client::login_exchange(login_socket_, request,
                                                            kReplyTimeoutMs);
    if (out.exchange != client::Exchange::kReply || out.result != auth::LOGIN_OK) {
      die(std::string("login of ") + ip + " was not answered LOGIN_OK");
    }
  }

 private:
  // Takes the daemon's messages every millisecond rather than waiting on the socket: the
  // kernel takes a netlink message in the sender's own call, so no process wakes for it, and
  // a waiting reader here would add a wake-up to every login that the router does not have.
  void drain() {
    unsigned char buf[1024];
    while (!stop_) {
      while (recv(kernel_fd_, buf, sizeof(buf), MSG_DONTWAIT) > 0) ++kernel_messages_;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  std::string root_;
  pid_t pid_ = -1;
  int stat_fd_ = -1;
  int kernel_fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<long> kernel_messages_{0};
  std::thread drain_;
  client::UnixAddress login_socket_;
};

struct Row {
  const char* kind;
  int records;
  int logins;
  std::vector<double> us;  // each timed login, sorted
  std::vector<double> bare_us;  // the bare round trip taken before each, sorted
  double cpu_us;           // the daemon's processor time per login
  long long rss_kb;        // the daemon's resident set after the logins
};

// One bare round trip through the same client code as a login; its time in microseconds.
double bare_round_trip(const client::UnixAddress& addr) {
  unsigned char request[auth::kRecordSize] = {};
  const Clock::time_point t = Clock::now();
  const client::LoginOutcome out = client::login_exchange(addr, request, kReplyTimeoutMs);
  const double us = std::chrono::duration<double, std::micro>(Clock::now() - t).count();
  if (out.exchange != client::Exchange::kReply) die("the bare server did not answer");
  return us;
}

Row measure(const Options& opt, Kind kind, int records, const client::UnixAddress& bare) {
  Daemon d(opt.portald, opt.parent, kind, opt.server_cpu);
  for (int n = 1; n <= records; ++n) d.login(kind, n);
  Row row{kind == Kind::kOneKey ? "one-key" : "account", records, opt.logins, {}, {}, 0, 0};
  const long long cpu_before = d.cpu_ns();
  for (int i = 1; i <= opt.logins; ++i) {
    d.wait_idle();
    row.bare_us.push_back(bare_round_trip(bare));
    const Clock::time_point t = Clock::now();
    d.login(kind, records + i);
    row.us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
  }
  row.cpu_us = static_cast<double>(d.cpu_ns() - cpu_before) / 1e3 / opt.logins;
  row.rss_kb = d.rss_kb();
  std::sort(row.us.begin(), row.us.end());
  std::sort(row.bare_us.begin(), row.bare_us.end());
  return row;
}

// A server that answers every connection with one 300-byte reply and closes it, and nothing
// else: the bare round trip. Runs in a child process until it is killed.
[[noreturn]] void bare_server(int listener) {
  unsigned char buf[auth::kRecordSize];
  unsigned char reply[auth::kRecordSize] = {};
  auth::put_word(reply, 0, auth::LOGIN_OK);
  for (;;) {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    size_t got = 0;
    while (got < sizeof(buf)) {
      const ssize_t n = read(fd, buf + got, sizeof(buf) - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    if (got == sizeof(buf) && write(fd, reply, sizeof(reply)) != static_cast<ssize_t>(sizeof(reply))) {
      // the client sees a short reply
    }
    close(fd);
  }
}

// The bare server in a child process, for as long as the object lives.
class BareServer {
 public:
  BareServer(const std::string& parent, int cpu) {
    dir_ = parent + "/bench-bare-XXXXXX";
    if (mkdtemp(&dir_[0]) == nullptr) die("mkdtemp failed in " + parent);
    const std::string path = dir_ + "/socket";
    addr_ = client::unix_address(path);
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 ||
        bind(listener, reinterpret_cast<const sockaddr*>(&addr_.addr), addr_.len) != 0 ||
        listen(listener, 25) != 0) {
      die("cannot listen on " + path);
    }
    pid_ = fork();
    if (pid_ < 0) die("fork failed");
    if (pid_ == 0) {
      if (cpu >= 0) pin(cpu);
      bare_server(listener);
    }
    close(listener);
  }
  ~BareServer() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  BareServer(const BareServer&) = delete;
  BareServer& operator=(const BareServer&) = delete;

  const client::UnixAddress& address() const { return addr_; }

 private:
  std::string dir_;
  client::UnixAddress addr_;
  pid_t pid_ = -1;
};

// The bare round trip alone, as many times as the logins of a row.
Row measure_bare(const Options& opt, const BareServer& server) {
  Row row{"bare", 0, opt.logins, {}, {}, 0, 0};
  for (int i = 0; i < opt.logins; ++i) row.us.push_back(bare_round_trip(server.address()));
  std::sort(row.us.begin(), row.us.end());
  row.bare_us = row.us;
  return row;
}

double percentile(const std::vector<double>& sorted, double p) {
  const size_t i = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[i];
}

std::vector<int> parse_sizes(const char* text) {
  std::vector<int> sizes;
  for (const char* p = text; *p != '\0';) {
    char* end = nullptr;
    const long v = std::strtol(p, &end, 10);
    if (end == p || v < 0 || v > 200000 || (*end != ',' && *end != '\0')) {
      die(std::string("--sizes takes numbers separated by commas, not '") + text + "'");
    }
    sizes.push_back(static_cast<int>(v));
    p = *end == ',' ? end + 1 : end;
  }
  return sizes;
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help") {
      std::printf("usage: bench_login [--logins M] [--sizes N,N,...] [--tmp DIR] [--portald PATH]\n"
                  "                   [--cpu N | --cpus C,S | --unpinned]\n"
                  "  defaults: 500 logins at 0,1000,10000,50000 online, roots under /dev/shm,\n"
                  "           --cpus with the first two processors this program may use (--cpu\n"
                  "           with the only one where there is one)\n"
                  "  --cpu N: this program, the daemon and the bare server all on processor N,\n"
                  "           as on a router with one core\n"
                  "  --cpus C,S: this program on processor C, the daemon and the bare server on S,\n"
                  "           so that every login and every bare round trip crosses processors\n"
                  "  --unpinned: the scheduler places every process, and may put the bare server\n"
                  "           beside this program and the daemon away from it, or the other way\n");
      std::exit(0);
    }
    if (a == "--unpinned") {
      o.unpinned = true;
      continue;
    }
    if (i + 1 >= argc) die("unknown argument or missing value: " + a);
    if (a == "--logins") {
      o.logins = std::atoi(argv[++i]);
      if (o.logins < 1) die("--logins takes a count above 0");
    } else if (a == "--sizes") {
      o.sizes = parse_sizes(argv[++i]);
    } else if (a == "--tmp") {
      o.parent = argv[++i];
    } else if (a == "--portald") {
      o.portald = argv[++i];
    } else if (a == "--cpus") {
      int c = -1, sv = -1;
      char extra = 0;
      if (std::sscanf(argv[++i], "%d,%d%c", &c, &sv, &extra) != 2 || c < 0 || sv < 0 ||
          c >= CPU_SETSIZE || sv >= CPU_SETSIZE || c == sv)
        die("--cpus takes two different processor numbers, as 0,1");
      o.cpu = c;
      o.server_cpu = sv;
    } else if (a == "--cpu") {
      o.cpu = std::atoi(argv[++i]);
      if (o.cpu < 0 || o.cpu >= CPU_SETSIZE) die("--cpu takes a processor number");
    } else {
      die("unknown argument " + a);
    }
  }
  if (o.unpinned && o.cpu >= 0)
    die("--unpinned leaves every process to the scheduler; it cannot go with --cpu or --cpus");
  return o;
}

}  // namespace

void print_row(const Row& r) {
  const double median = percentile(r.us, 0.5), best = r.us.front();
  const double bare_median = percentile(r.bare_us, 0.5), bare_best = r.bare_us.front();
  std::printf("%-8s %8d %7d %9.0f %9.0f %7.0f %9.0f %9.0f %8.1f %7.1f", r.kind, r.records,
              r.logins, std::accumulate(r.us.begin(), r.us.end(), 0.0) / r.us.size(), median, best, percentile(r.us, 0.95),
              bare_median, median / bare_median, best / bare_best);
  if (r.rss_kb > 0)
    std::printf(" %9.0f %9lld\n", r.cpu_us, r.rss_kb);
  else
    std::printf(" %9s %9s\n", "-", "-");
  std::fflush(stdout);
}

int main(int argc, char** argv) {
  Options opt = parse(argc, argv);
  if (opt.parent.empty()) opt.parent = on_tmpfs("/dev/shm") ? "/dev/shm" : "/tmp";
  cpu_set_t allowed;
  if (!opt.unpinned && opt.cpu < 0 && sched_getaffinity(0, sizeof(allowed), &allowed) == 0) {
    // Like with like: the daemon and the bare server on the same processor, apart from this
    // program's, so that a login and a bare round trip wake their server the same way.
    for (int c = 0; c < CPU_SETSIZE && opt.server_cpu < 0; ++c) {
      if (!CPU_ISSET(c, &allowed)) continue;
      if (opt.cpu < 0)
        opt.cpu = c;
      else
        opt.server_cpu = c;
    }
  }
  if (opt.cpu >= 0) {  // the children and the drain thread inherit the affinity
    pin(opt.cpu);
    if (opt.server_cpu >= 0)
      std::printf("this program on processor %d, the daemon and the bare server on %d\n",
                  opt.cpu, opt.server_cpu);
    else
      std::printf("every process on processor %d\n", opt.cpu);
  }
  std::printf("roots under %s (%s)\n", opt.parent.c_str(),
              on_tmpfs(opt.parent) ? "tmpfs" : "not tmpfs");
  std::printf("%-8s %8s %7s %9s %9s %7s %9s %9s %8s %7s %9s %9s\n", "login", "online",
              "logins", "mean us", "median us", "best us", "p95 us", "bare us", "x median",
              "x best", "cpu us", "rss kB");
  const BareServer server(opt.parent, opt.server_cpu);
  print_row(measure_bare(opt, server));
  std::vector<Row> rows;
  for (Kind kind : {Kind::kOneKey, Kind::kAccount}) {
    for (int records : opt.sizes) {
      rows.push_back(measure(opt, kind, records, server.address()));
      print_row(rows.back());
    }
  }
  // The goals: a one-key login at most 3 times the bare round trip at 1 000 online, at most
  // 8 times at 10 000 (best of the logins against best of the round trips taken among them).
  for (const Row& r : rows) {
    const double goal = r.records == 1000 ? 3 : r.records == 10000 ? 8 : 0;
    if (goal == 0 || std::string(r.kind) != "one-key") continue;
    const double ratio = r.us.front() / r.bare_us.front();
    std::printf("one-key login at %d online: %.1f times the bare round trip (best), %.1f "
                "(median); goal %.0f: %s\n",
                r.records, ratio, percentile(r.us, 0.5) / percentile(r.bare_us, 0.5), goal,
                ratio <= goal ? "met" : "NOT met");
  }
  return 0;
}
