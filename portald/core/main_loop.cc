#include "core/main_loop.h"

#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "auth/control.h"
#include "auth/login.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "kernel/kmsg_layout.h"
#include "store/kernel_events.h"
#include "store/user_table.h"

namespace core {
namespace {

constexpr size_t kRequestSize = 300;

int64_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

void serve_login(int fd) {
  unsigned char buf[kRequestSize];
  std::memset(buf, 0, sizeof(buf));
  if (sock_recv(SOCK_LOCAL, fd, buf, sizeof(buf)) != -1) {
    auth::handle_login(fd, buf, store::g_accounts, store::g_online);
  }
  close(fd);
}

void accept_login(LoopState& state) {
  int fd = accept(g_settings.login_fd, nullptr, nullptr);
  if (fd <= 0) return;
  // select cannot watch such a descriptor; the peer sees its connection closed.
  if (fd >= FD_SETSIZE) {
    close(fd);
    return;
  }
  if (state.pending.size() >= kMaxPending) {
    close(state.pending.front().fd);
    state.pending.pop_front();
  }
  state.pending.push_back({fd, monotonic_ms()});
}

void close_silent(LoopState& state) {
  const int64_t now = monotonic_ms();
  auto silent = [&](const PendingConnection& p) {
    if (now - p.accepted_ms < kPendingSilenceMs) return false;
    close(p.fd);
    return true;
  };
  state.pending.erase(std::remove_if(state.pending.begin(), state.pending.end(), silent),
                      state.pending.end());
}

}  // namespace

void main_loop_pass(LoopState& state, int timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(g_settings.login_fd, &readable);
  FD_SET(g_settings.control_fd, &readable);
  FD_SET(g_settings.kernel_fd, &readable);
  int highest = std::max({g_settings.login_fd, g_settings.control_fd, g_settings.kernel_fd});
  for (const PendingConnection& p : state.pending) {
    FD_SET(p.fd, &readable);
    highest = std::max(highest, p.fd);
  }
  timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  const int n = select(highest + 1, &readable, nullptr, nullptr, &limit);
  if (n <= 0) {
    close_silent(state);
    return;
  }

  // Waiting connections first, so one accepted in this pass is read in the next.
  std::deque<PendingConnection> still_waiting;
  for (const PendingConnection& p : state.pending) {
    if (FD_ISSET(p.fd, &readable)) {
      serve_login(p.fd);
    } else {
      still_waiting.push_back(p);
    }
  }
  state.pending.swap(still_waiting);
  close_silent(state);

  if (FD_ISSET(g_settings.login_fd, &readable)) accept_login(state);

  if (FD_ISSET(g_settings.control_fd, &readable)) {
    unsigned char buf[kRequestSize];
    std::memset(buf, 0, sizeof(buf));
    if (sock_recv(SOCK_LOCAL, g_settings.control_fd, buf, sizeof(buf)) != -1) {
      auth::handle_control(buf, store::g_accounts, store::g_online);
    }
  }

  if (FD_ISSET(g_settings.kernel_fd, &readable)) {
    unsigned char buf[KMSG_SIZE];
    std::memset(buf, 0, sizeof(buf));
    if (sock_recv(SOCK_KERNEL, g_settings.kernel_fd, buf, sizeof(buf)) != -1) {
      store::handle_kernel_event(buf, store::g_accounts, store::g_online);
    }
  }
}

void run_main_loop() {
  LoopState state;
  for (;;) main_loop_pass(state, 1000);
}

}  // namespace core
