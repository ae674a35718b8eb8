#include "mail/check_budget.h"

#include <poll.h>

#include <atomic>
#include <cerrno>
#include <chrono>

namespace mail {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> g_connect_ms{CheckLimits{}.connect_ms};
std::atomic<int> g_budget_ms{CheckLimits{}.budget_ms};
std::atomic<int> g_workers{CheckLimits{}.workers};

thread_local bool t_running = false;
thread_local Clock::time_point t_deadline;

}  // namespace

void set_check_limits(const CheckLimits& limits) {
  g_connect_ms = limits.connect_ms;
  g_budget_ms = limits.budget_ms;
  g_workers = limits.workers;
}

CheckLimits check_limits() { return {g_connect_ms.load(), g_budget_ms.load(), g_workers.load()}; }

CheckBudget::CheckBudget() : outer_(!t_running) {
  if (!outer_) return;
  t_running = true;
  t_deadline = Clock::now() + std::chrono::milliseconds(g_budget_ms.load());
}

CheckBudget::~CheckBudget() {
  if (outer_) t_running = false;
}

int budget_left_ms() {
  if (!t_running) return -1;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(t_deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool await_ready(int fd, short events) {
  for (;;) {
    const int left = budget_left_ms();
    if (left < 0) return true;
    if (left == 0) return false;
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, left);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return true;
  }
}

}  // namespace mail
