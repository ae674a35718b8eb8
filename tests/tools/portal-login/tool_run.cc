#include "tool_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "launcher.h"

extern char** environ;

namespace tool_run {
namespace {

constexpr int kLimitMs = 20000;

std::vector<std::string> merged_environment(const std::vector<std::string>& extra) {
  std::vector<std::string> all;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& x : extra) replaced |= x.compare(0, name.size() + 1, name + "=") == 0;
    if (!replaced) all.push_back(entry);
  }
  all.insert(all.end(), extra.begin(), extra.end());
  return all;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> p;
  for (std::string& t : texts) p.push_back(t.data());
  p.push_back(nullptr);
  return p;
}

}  // namespace

Child::Child(const std::string& binary, const std::vector<std::string>& args,
             const std::vector<std::string>& env) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<std::string> argv_texts = testing_support::launch_words(binary);
  argv_texts.insert(argv_texts.end(), args.begin(), args.end());
  std::vector<std::string> env_texts = merged_environment(env);
  std::vector<char*> argv = pointers(argv_texts);
  std::vector<char*> envp = pointers(env_texts);
  const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + binary + ": " + std::strerror(rc));
  }
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

Result Child::finish() {
  Result r;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
  bool out_open = true, err_open = true;
  while ((out_open || err_open) && std::chrono::steady_clock::now() < deadline) {
    pollfd p[2] = {{out_open ? out_fd_ : -1, POLLIN, 0}, {err_open ? err_fd_ : -1, POLLIN, 0}};
    if (poll(p, 2, 100) <= 0) continue;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      if (p[i].revents == 0) continue;
      const ssize_t n = read(p[i].fd, buf, sizeof(buf));
      if (n <= 0) {
        (i == 0 ? out_open : err_open) = false;
        continue;
      }
      (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
    }
  }
  if (out_open || err_open) kill(pid_, SIGKILL);
  int wstatus = 0;
  waitpid(pid_, &wstatus, 0);
  pid_ = -1;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return r;
}

Result run(const std::string& binary, const std::vector<std::string>& args,
           const std::vector<std::string>& env) {
  Child c(binary, args, env);
  return c.finish();
}

int bound_socket(int type, const std::string& path) {
  const int fd = socket(AF_UNIX, type, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (fd < 0 || path.size() >= sizeof(a.sun_path)) throw std::runtime_error("socket " + path);
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(fd);
    throw std::runtime_error("cannot bind " + path + ": " + std::strerror(errno));
  }
  return fd;
}

}  // namespace tool_run
