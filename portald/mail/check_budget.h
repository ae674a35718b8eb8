// The time bounds of a mail check: a connect time-out of its own and one budget for the whole
// check, within which the server may take as long as it likes for each reply (a server that
// delays its answer after a failed login is then still heard). Every wait of a check (connect,
// TLS handshake, each read and write) ends when the budget is spent, however the server
// trickles its bytes.
#pragma once

namespace mail {

struct CheckLimits {
  int connect_ms = 3000;
  int budget_ms = 20000;
  int workers = 4;  // checks that run at once (taken when the daemon's pool is made)
};

// The limits that checks started from now on use (and the pool made from now on). The daemon keeps the defaults; tests and
// benchmarks may set others before any check runs.
void set_check_limits(const CheckLimits& limits);
CheckLimits check_limits();

// Starts this thread's check budget for the object's life, unless one already runs (the outer
// one then holds).
class CheckBudget {
 public:
  CheckBudget();
  ~CheckBudget();
  CheckBudget(const CheckBudget&) = delete;
  CheckBudget& operator=(const CheckBudget&) = delete;

 private:
  bool outer_;
};

// Milliseconds left of this thread's budget (0 when spent), or -1 when no budget runs.
int budget_left_ms();

// Waits until fd is ready for events (POLLIN or POLLOUT) or the budget is spent; true when
// ready (an error or hang-up counts as ready, the next call reports it). Without a budget it
// returns true at once and the call that follows waits as the socket's own time-outs say.
bool await_ready(int fd, short events);

}  // namespace mail
