#include "rig.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "auth/requests.h"
#include "control.h"
#include "core/paths.h"
#include "launcher.h"

namespace soak {
namespace {

using Clock = std::chrono::steady_clock;

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& output) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (out >= 0) {
    dup2(out, 1);
    dup2(out, 2);
  }
  std::vector<char*> argv, envp;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  execve(argv[0], argv.data(), envp.data());
  _exit(127);
}

// Ends the process: SIGTERM, and SIGKILL when it is still there after wait_ms. Its wait
// status.
int end_process(pid_t pid, int wait_ms) {
  int status = -1;
  kill(pid, SIGTERM);
  const Clock::time_point give_up = Clock::now() + std::chrono::milliseconds(wait_ms);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > give_up) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return status;
}

std::string admit_socket(const testing_support::TempRoot& root) {
  return root.dir() + "/admit.sock";
}

}  // namespace

Rig::Rig(const std::map<std::string, std::string>& nvram, std::vector<std::string> wrapper)
    : nvram_(nvram), wrapper_(std::move(wrapper)) {}

Rig::~Rig() { stop(); }

bool Rig::start(int wait_ms) {
  {
    std::ofstream nv(root_.dir() + "/nvram.conf");
    for (const auto& kv : nvram_) nv << kv.first << "=" << kv.second << "\n";
  }
  std::vector<std::string> admit_args = testing_support::launch_words(ADMITSIM_BIN);
  admit_args.push_back("--socket");
  admit_args.push_back(admit_socket(root_));
  admitsim_ = spawn(admit_args, {"PATH=/usr/bin:/bin"}, root_.dir() + "/admitsim.out");
  const Clock::time_point give_up = Clock::now() + std::chrono::milliseconds(wait_ms);
  while (access(admit_socket(root_).c_str(), F_OK) != 0) {
    if (Clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  std::vector<std::string> args;
  for (std::string w : wrapper_) {
    const size_t at = w.find("@ROOT@");
    if (at != std::string::npos) w.replace(at, 6, root_.dir());
    args.push_back(w);
  }
  for (const std::string& w : testing_support::launch_words(PORTALD_BIN)) args.push_back(w);
  const char* path = std::getenv("PATH");
  daemon_ = spawn(args,
                  {"PORTALD_ROOT=" + root_.dir(), "PORTALD_KERNEL_SOCKET=" + admit_socket(root_),
                   "PORTALD_LOG_FILE=" + log_file(), "NVRAM_FILE=" + root_.dir() + "/nvram.conf",
                   std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin")},
                  root_.dir() + "/portald.out");
  // admitsim sends events only once the daemon has said hello; a host-down for an address no
  // one holds changes nothing in the daemon.
  while (!host_down("0.0.0.0")) {
    if (Clock::now() > give_up || !daemon_running()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  while (true) {
    const int fd = connect_login();
    if (fd >= 0) {
      close(fd);
      return true;
    }
    if (Clock::now() > give_up || !daemon_running()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int Rig::stop() {
  if (daemon_ > 0) {
    daemon_status_ = daemon_running() ? end_process(daemon_, 30000) : -1;
    daemon_ = -1;
  }
  if (admitsim_ > 0) {
    end_process(admitsim_, 5000);
    admitsim_ = -1;
  }
  return daemon_status_;
}

bool Rig::daemon_running() {
  if (daemon_ <= 0) return false;
  int status;
  if (waitpid(daemon_, &status, WNOHANG) == 0) return true;
  daemon_status_ = status;
  daemon_ = -1;
  return false;
}

int Rig::connect_login() const {
  return testing_support::connect_stream(root_.path(core::kLoginSocketPath));
}

int Rig::login(const testing_support::LoginFields& f, int timeout_ms) const {
  const int fd = connect_login();
  if (fd < 0) return -2;
  const testing_support::Bytes req = testing_support::login_request(f);
  if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
    close(fd);
    return -2;
  }
  int result = -3;
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) > 0) {
    unsigned char reply[auth::kRecordSize];
    const ssize_t n = recv(fd, reply, sizeof(reply), MSG_WAITALL);
    result = n == static_cast<ssize_t>(sizeof(reply)) ? static_cast<int>(auth::record_word(reply, 0))
                                                      : -1;
  }
  close(fd);
  return result;
}

bool Rig::host_down(const std::string& ip) const {
  std::string reply;
  return admit::control_call("admitsim", admit_socket(root_), "event\nhost-down\n" + ip, &reply) == 0;
}

long Rig::rss_kb() const {
  std::ifstream in("/proc/" + std::to_string(daemon_) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

int Rig::open_fds() const {
  DIR* d = opendir(("/proc/" + std::to_string(daemon_) + "/fd").c_str());
  if (d == nullptr) return -1;
  int n = 0;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n;
}

void Rig::truncate_log() const {
  if (truncate(log_file().c_str(), 0) != 0) {
  }
}

}  // namespace soak
