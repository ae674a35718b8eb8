// Mail checks off the main loop: a few worker threads run the checks that the loop hands over,
// and the loop collects what they found when the pool's descriptor becomes readable.
//
// A worker owns nothing but its check's socket: the check's token lines are kept with its
// result (core::TokenCapture) for the loop to write, and the loop alone touches the tables,
// files, the Kernel channel and the log.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mail {

// Checks that may wait for a worker; a login beyond them is refused at once.
inline constexpr std::size_t kMaxWaitingChecks = 64;

struct CheckOutcome {
  uint64_t id;
  int result;                      // what the check returned
  std::vector<std::string> lines;  // its token lines, in the order written
};

class CheckPool {
 public:
  // Starts the workers. The descriptor for the loop is made first; workers() is 0 when it or
  // a thread could not be made.
  CheckPool(int workers, std::size_t max_waiting);
  // Lets the running checks end, drops the waiting ones, and joins the workers.
  ~CheckPool();
  CheckPool(const CheckPool&) = delete;
  CheckPool& operator=(const CheckPool&) = delete;

  int workers() const { return static_cast<int>(threads_.size()); }
  // Readable while finished checks wait to be taken.
  int ready_fd() const { return ready_fd_; }

  // Queues a check; false (nothing queued) when max_waiting checks already wait for a worker.
  bool submit(uint64_t id, std::function<int()> check);
  // The checks finished since the last call, in the order they finished.
  std::vector<CheckOutcome> take_finished();
  // Checks queued or running, whose outcome has not been taken yet.
  std::size_t in_flight() const;

 private:
  struct Job {
    uint64_t id;
    std::function<int()> check;
  };
  void work();

  const std::size_t max_waiting_;
  int ready_fd_ = -1;
  mutable std::mutex mutex_;
  std::condition_variable wanted_;
  std::deque<Job> waiting_;           // guarded by mutex_
  std::vector<CheckOutcome> finished_;  // guarded by mutex_
  std::size_t running_ = 0;           // guarded by mutex_
  bool stopping_ = false;             // guarded by mutex_
  std::vector<std::thread> threads_;
};

}  // namespace mail
