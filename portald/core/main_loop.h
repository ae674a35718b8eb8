// The main loop: one thread serves the login socket, the control socket and the Kernel
// channel, each request handled to completion before the next is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

namespace core {

// A login connection accepted and not yet read. Its silence is counted in loop time: the time
// the loop spent waiting for input while the connection had nothing to read. Time spent in a
// handler does not count, so a request written while a handler runs is served afterwards.
struct PendingConnection {
  int fd;
  int64_t silent_ms;
};

// At most kMaxPending connections wait to be read; further ones stay in the listen queue
// (kLoginBacklog) until a place is free. A waiting connection silent for kPendingSilenceMs is
// closed; while others wait in the listen queue, the longest-silent one goes as soon as it has
// been silent for kPendingPatienceMs. A connection with data is never closed unread.
inline constexpr size_t kMaxPending = 16;
inline constexpr int64_t kPendingSilenceMs = 5000;
inline constexpr int64_t kPendingPatienceMs = 500;
// Asked of listen; the kernel caps it at its own limit (somaxconn).
inline constexpr int kLoginBacklog = 1024;

struct LoopState {
  std::deque<PendingConnection> pending;
};

// One pass: reports dropped Kernel events when it is time to (report_dropped_kernel_events),
// waits up to timeout_ms for input, then serves, in this order, the waiting login
// connections that are readable (oldest first), the e-mail logins whose mail checks have
// finished, a new login connection, a control request and a Kernel event. Mail checks run on
// worker threads; nothing in a pass waits on the network.
void main_loop_pass(LoopState& state, int timeout_ms);

// Runs passes of one second each, forever.
[[noreturn]] void run_main_loop();

}  // namespace core
