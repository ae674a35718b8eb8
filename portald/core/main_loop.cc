#include "core/main_loop.h"

#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "auth/control.h"
#include "auth/login.h"
#include "core/event_log.h"
#include "core/settings.h"
#include "core/sockets.h"
#include "kernel/kmsg_layout.h"
#include "store/kernel_events.h"
#include "store/user_table.h"

namespace core {
namespace {

constexpr size_t kRequestSize = 300;

constexpr char kKernelEventsLostLine[] =
    "portald: kernel events lost: the Kernel channel's receive queue overflowed";

int64_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// true when data (or the peer's close) is waiting on fd now.
bool readable_now(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

void serve_login(int fd) {
  unsigned char buf[kRequestSize];
  std::memset(buf, 0, sizeof(buf));
  // A login waiting for its mail check keeps the connection and closes it when it ends.
  if (sock_recv(SOCK_LOCAL, fd, buf, sizeof(buf)) != -1 &&
      auth::handle_login(fd, buf, store::g_accounts, store::g_online)) {
    return;
  }
  close(fd);
}

// The waiting connection that has been silent longest (the oldest among equals).
std::deque<PendingConnection>::iterator longest_silent(LoopState& state) {
  return std::max_element(state.pending.begin(), state.pending.end(),
                          [](const PendingConnection& a, const PendingConnection& b) {
                            return a.silent_ms < b.silent_ms;
                          });
}

// Whether the login socket is watched in this pass: while the places are all taken, only
// when the longest-silent connection may make room.
bool may_accept(LoopState& state) {
  if (state.pending.size() < kMaxPending) return true;
  return longest_silent(state)->silent_ms >= kPendingPatienceMs;
}

// How long the pass may wait before a waiting connection's silence runs out.
int wait_limit(LoopState& state, int timeout_ms) {
  int64_t limit = timeout_ms;
  for (const PendingConnection& p : state.pending) {
    limit = std::min(limit, kPendingSilenceMs - p.silent_ms);
  }
  if (state.pending.size() >= kMaxPending) {
    limit = std::min(limit, kPendingPatienceMs - longest_silent(state)->silent_ms);
  }
  return static_cast<int>(std::max<int64_t>(limit, 0));
}

// Closes a waiting connection found silent; one whose data arrived meanwhile is served.
void let_go(int fd) {
  if (readable_now(fd)) {
    serve_login(fd);
  } else {
    close(fd);
  }
}

void close_silent(LoopState& state) {
  auto silent = [](const PendingConnection& p) {
    if (p.silent_ms < kPendingSilenceMs) return false;
    let_go(p.fd);
    return true;
  };
  state.pending.erase(std::remove_if(state.pending.begin(), state.pending.end(), silent),
                      state.pending.end());
}

void accept_login(LoopState& state) {
  if (state.pending.size() >= kMaxPending) {
    const auto oldest = longest_silent(state);
    if (oldest->silent_ms < kPendingPatienceMs) return;
    let_go(oldest->fd);
    state.pending.erase(oldest);
  }
  int fd = accept(g_settings.login_fd, nullptr, nullptr);
  if (fd <= 0) return;
  // select cannot watch such a descriptor; the peer sees its connection closed.
  if (fd >= FD_SETSIZE) {
    close(fd);
    return;
  }
  state.pending.push_back({fd, 0});
}

}  // namespace

void main_loop_pass(LoopState& state, int timeout_ms) {
  report_dropped_kernel_events();
  fd_set readable;
  FD_ZERO(&readable);
  const bool watch_login = may_accept(state);
  if (watch_login) FD_SET(g_settings.login_fd, &readable);
  FD_SET(g_settings.control_fd, &readable);
  FD_SET(g_settings.kernel_fd, &readable);
  int highest = std::max({g_settings.login_fd, g_settings.control_fd, g_settings.kernel_fd});
  for (const PendingConnection& p : state.pending) {
    FD_SET(p.fd, &readable);
    highest = std::max(highest, p.fd);
  }
  const int checks_fd = auth::mail_ready_fd();
  if (checks_fd >= 0) {
    FD_SET(checks_fd, &readable);
    highest = std::max(highest, checks_fd);
  }
  const int limit_ms = wait_limit(state, timeout_ms);
  timeval limit{limit_ms / 1000, (limit_ms % 1000) * 1000};
  const int64_t waited_from = monotonic_ms();
  const int n = select(highest + 1, &readable, nullptr, nullptr, &limit);
  const int64_t waited = monotonic_ms() - waited_from;
  if (n <= 0) {
    for (PendingConnection& p : state.pending) p.silent_ms += waited;
    close_silent(state);
    return;
  }

  // Waiting connections first, so one accepted in this pass is read in the next.
  std::deque<PendingConnection> still_waiting;
  for (PendingConnection p : state.pending) {
    if (FD_ISSET(p.fd, &readable)) {
      serve_login(p.fd);
    } else {
      p.silent_ms += waited;
      still_waiting.push_back(p);
    }
  }
  state.pending.swap(still_waiting);
  close_silent(state);

  if (checks_fd >= 0 && FD_ISSET(checks_fd, &readable)) {
    auth::finish_mail_logins(store::g_accounts, store::g_online);
  }

  if (watch_login && FD_ISSET(g_settings.login_fd, &readable)) accept_login(state);

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
    } else if (errno == ENOBUFS) {
      // The kernel dropped events that found the receive queue full: the tables may now
      // differ from the kernel's, and an operator has to know.
      log_warning("%s", kKernelEventsLostLine);
    }
  }
}

void run_main_loop() {
  LoopState state;
  for (;;) main_loop_pass(state, 1000);
}

}  // namespace core
