// bench_login: login requests per second through the real login socket of a running portald,
// and the cost of one login, with the online-user table already holding 0, 1 000 and 10 000
// records, for one-key and for account logins.
//
// The daemon runs in a temporary PORTALD_ROOT; this program binds the Kernel channel's socket
// and keeps draining it, so that the daemon's sends to the kernel never block or fail. Every
// login rewrites the registration file in full, which is what dominates with many records.
#include <signal.h>
#include <sys/socket.h>
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

struct Options {
  std::string portald = PORTALD_BINARY;
  int logins = 500;
  std::vector<int> sizes = {0, 1000, 10000};
};

enum class Kind { kOneKey, kAccount };

[[noreturn]] void die(const std::string& why) {
  std::fprintf(stderr, "bench_login: %s\n", why.c_str());
  std::exit(1);
}

// The daemon under test, with the kernel's end of its Kernel channel.
class Daemon {
 public:
  Daemon(const std::string& binary, Kind kind) {
    char templ[] = "/tmp/bench-login-XXXXXX";
    if (mkdtemp(templ) == nullptr) die("mkdtemp failed");
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
    timeval slice{0, 100000};
    setsockopt(kernel_fd_, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof(slice));
    drain_ = std::thread([this] { drain(); });

    pid_ = fork();
    if (pid_ < 0) die("fork failed");
    if (pid_ == 0) {
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
  }

  ~Daemon() {
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
  void drain() {
    unsigned char buf[1024];
    while (!stop_) {
      if (recv(kernel_fd_, buf, sizeof(buf), 0) > 0) ++kernel_messages_;
    }
  }

  std::string root_;
  pid_t pid_ = -1;
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
  double seconds;
  std::vector<double> us;  // each timed login, sorted
};

Row measure(const Options& opt, Kind kind, int records) {
  Daemon d(opt.portald, kind);
  for (int n = 1; n <= records; ++n) d.login(kind, n);
  Row row{kind == Kind::kOneKey ? "one-key" : "account", records, opt.logins, 0, {}};
  const Clock::time_point start = Clock::now();
  for (int i = 1; i <= opt.logins; ++i) {
    const Clock::time_point t = Clock::now();
    d.login(kind, records + i);
    row.us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
  }
  row.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::sort(row.us.begin(), row.us.end());
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
      std::printf("usage: bench_login [--logins M] [--sizes N,N,...] [--portald PATH]\n");
      std::exit(0);
    }
    if (i + 1 >= argc) die("unknown argument or missing value: " + a);
    if (a == "--logins") {
      o.logins = std::atoi(argv[++i]);
      if (o.logins < 1) die("--logins takes a count above 0");
    } else if (a == "--sizes") {
      o.sizes = parse_sizes(argv[++i]);
    } else if (a == "--portald") {
      o.portald = argv[++i];
    } else {
      die("unknown argument " + a);
    }
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options opt = parse(argc, argv);
  std::printf("%-8s %8s %7s %11s %9s %9s %9s %9s\n", "login", "records", "logins", "logins/s",
              "mean us", "median us", "p95 us", "max us");
  for (Kind kind : {Kind::kOneKey, Kind::kAccount}) {
    for (int records : opt.sizes) {
      const Row r = measure(opt, kind, records);
      std::printf("%-8s %8d %7d %11.0f %9.0f %9.0f %9.0f %9.0f\n", r.kind, r.records, r.logins,
                  r.logins / r.seconds, r.seconds * 1e6 / r.logins, percentile(r.us, 0.5),
                  percentile(r.us, 0.95), r.us.back());
      std::fflush(stdout);
    }
  }
  return 0;
}
