#include "mail/check_pool.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <system_error>

#include "core/event_log.h"

namespace mail {

CheckPool::CheckPool(int workers, std::size_t max_waiting) : max_waiting_(max_waiting) {
  ready_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (ready_fd_ < 0) return;
  // Workers never take the daemon's signals.
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  for (int i = 0; i < workers; ++i) {
    std::thread t;
    try {
      t = std::thread([this] { work(); });
    } catch (const std::system_error&) {
      break;  // fewer workers; with none, submit refuses every check
    }
    threads_.push_back(std::move(t));
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

CheckPool::~CheckPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    waiting_.clear();
  }
  wanted_.notify_all();
  for (std::thread& t : threads_) t.join();
  if (ready_fd_ >= 0) close(ready_fd_);
}

bool CheckPool::submit(uint64_t id, std::function<int()> check) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (threads_.empty() || waiting_.size() >= max_waiting_) return false;
    waiting_.push_back({id, std::move(check)});
  }
  wanted_.notify_one();
  return true;
}

std::vector<CheckOutcome> CheckPool::take_finished() {
  uint64_t count;
  while (read(ready_fd_, &count, sizeof count) > 0) {
  }
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<CheckOutcome> out;
  out.swap(finished_);
  return out;
}

std::size_t CheckPool::in_flight() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_.size() + running_ + finished_.size();
}

void CheckPool::work() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wanted_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
      if (stopping_) return;
      job = std::move(waiting_.front());
      waiting_.pop_front();
      ++running_;
    }
    CheckOutcome outcome{job.id, 0, {}};
    {
      const core::TokenCapture capture(&outcome.lines);
      outcome.result = job.check();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --running_;
      finished_.push_back(std::move(outcome));
    }
    const uint64_t one = 1;
    // The counter cannot overflow here; a failed write would leave the loop to find the
    // outcome at its next wake-up.
    (void)!write(ready_fd_, &one, sizeof one);
  }
}

}  // namespace mail
