// The main loop: one thread serves the login socket, the control socket and the Kernel
// channel, each request handled to completion before the next is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

namespace core {

// Login connections accepted and not yet read. At most kMaxPending wait; a further one closes
// the oldest, and one that stays silent for kPendingSilenceMs is closed.
struct PendingConnection {
  int fd;
  int64_t accepted_ms;  // monotonic clock
};

inline constexpr size_t kMaxPending = 16;
inline constexpr int64_t kPendingSilenceMs = 5000;

struct LoopState {
  std::deque<PendingConnection> pending;
};

// One pass: waits up to timeout_ms for input, then serves, in this order, the waiting login
// connections that are readable (oldest first), a new login connection, a control request
// and a Kernel event.
void main_loop_pass(LoopState& state, int timeout_ms);

// Runs passes of one second each, forever.
[[noreturn]] void run_main_loop();

}  // namespace core
