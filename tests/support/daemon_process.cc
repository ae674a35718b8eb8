#include "daemon_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>

#include "auth/requests.h"
#include "core/paths.h"
#include "kernel/kmsg_layout.h"
#include "launcher.h"

#ifndef PORTALD_BIN
#error "PORTALD_BIN must name the daemon binary"
#endif

namespace testing_support {
namespace {

// Tests start daemons from several threads at once.
std::atomic<int> g_daemons{0};

}  // namespace

DaemonProcess::DaemonProcess(const TempRoot& root, const std::map<std::string, std::string>& nvram,
                             std::vector<std::string> extra_env)
    : root_(root),
      id_(++g_daemons),
      kernel_(root.dir() + "/kernel" + std::to_string(id_) + ".sock"),
      env_(std::move(extra_env)) {
  std::ofstream out(nvram_file());
  for (const auto& kv : nvram) out << kv.first << "=" << kv.second << "\n";
}

DaemonProcess::~DaemonProcess() {
  stop();
  // Shown with a failing test's output, sanitizer reports of the daemon included.
  const std::string err = stderr_text();
  if (!err.empty()) std::cerr << "portald " << id_ << " standard error:\n" << err;
}

bool DaemonProcess::start(const std::vector<std::string>& args, bool wait_hello) {
  std::vector<std::string> env = {
      "PORTALD_ROOT=" + root_.dir(),
      "PORTALD_KERNEL_SOCKET=" + kernel_.path(),
      "PORTALD_LOG_FILE=" + log_file(),
      "NVRAM_FILE=" + nvram_file(),
      "PATH=/usr/bin:/bin",
  };
  // An entry of the test's own replaces the default of the same name.
  for (const std::string& e : env_) {
    const std::string name = e.substr(0, e.find('=') + 1);
    for (std::string& d : env) {
      if (d.compare(0, name.size(), name) == 0) d = e;
    }
    if (std::find(env.begin(), env.end(), e) == env.end()) env.push_back(e);
  }
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    std::vector<std::string> argv_s = launch_words(PORTALD_BIN);
    for (const std::string& a : args) argv_s.push_back(a);
    std::vector<char*> argv, envp;
    for (auto& s : argv_s) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    for (auto& s : env) envp.push_back(const_cast<char*>(s.c_str()));
    envp.push_back(nullptr);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    const std::string err = root_.dir() + "/stderr" + std::to_string(id_);
    int errfd = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (errfd >= 0) dup2(errfd, 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  if (!wait_hello) return true;
  // The first datagram is the hello; its sender is the address events go to.
  pollfd p{kernel_.fd(), POLLIN, 0};
  if (poll(&p, 1, 5000) <= 0) return false;
  Bytes b(4096);
  sockaddr_un from{};
  socklen_t from_len = sizeof(from);
  const ssize_t n =
      recvfrom(kernel_.fd(), b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
  if (n <= 0) return false;
  b.resize(static_cast<size_t>(n));
  startup_.push_back(b);
  daemon_addr_.assign(reinterpret_cast<const char*>(&from), from_len);
  // The rest of start-up follows at once; collect what arrives until it is quiet.
  for (const Bytes& m : kernel_.drain_until_quiet(500)) startup_.push_back(m);
  return true;
}

std::string DaemonProcess::stderr_text() const {
  std::ifstream in(root_.dir() + "/stderr" + std::to_string(id_));
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int DaemonProcess::wait_exit(int ms) {
  if (pid_ < 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool DaemonProcess::running() {
  if (pid_ < 0) return false;
  int status;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void DaemonProcess::stop() {
  if (pid_ < 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

int DaemonProcess::connect_login() const {
  return connect_stream(root_.path(core::kLoginSocketPath));
}

int DaemonProcess::login(const LoginFields& f, int timeout_ms) const {
  int fd = connect_login();
  if (fd < 0) return -2;
  const Bytes req = login_request(f);
  if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
    close(fd);
    return -2;
  }
  const int result = await_reply(fd, timeout_ms);
  close(fd);
  return result;
}

KernelDrain::KernelDrain(DaemonProcess& d)
    : thread_([this, &d] {
        while (!stop_) d.kernel().drain(50);
      }) {}

KernelDrain::~KernelDrain() {
  stop_ = true;
  thread_.join();
}

int await_reply(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return -3;
  unsigned char reply[auth::kRecordSize];
  const ssize_t n = recv(fd, reply, sizeof(reply), MSG_WAITALL);
  if (n != static_cast<ssize_t>(sizeof(reply))) return -1;
  return static_cast<int>(auth::record_word(reply, 0));
}

bool DaemonProcess::control(const Bytes& request) const {
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  const std::string path = root_.path(core::kControlSocketPath);
  std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
  const ssize_t n = sendto(fd, request.data(), request.size(), 0,
                           reinterpret_cast<sockaddr*>(&a), sizeof(a));
  close(fd);
  return n == static_cast<ssize_t>(request.size());
}

bool DaemonProcess::send_event(const Bytes& ev) const {
  if (daemon_addr_.empty()) return false;
  const ssize_t n = sendto(kernel_.fd(), ev.data(), ev.size(), 0,
                           reinterpret_cast<const sockaddr*>(daemon_addr_.data()),
                           static_cast<socklen_t>(daemon_addr_.size()));
  return n == static_cast<ssize_t>(ev.size());
}

}  // namespace testing_support
