// A count that the threads of a test raise and the test waits on: how many clients have
// arrived, or how many bytes they have sent.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace test {

class Progress {
 public:
  /// Raises the count by `amount` and wakes every waiter.
  void Add(int64_t amount = 1) {
    std::lock_guard<std::mutex> lock(mutex_);
    count_ += amount;
    changed_.notify_all();
  }
  /// Waits until the count has reached `target`; false when `timeout_ms` passed first.
  bool WaitFor(int64_t target, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return count_ >= target; });
  }
  /// Raises the count by one and waits until `everyone` have, as at a barrier.
  bool ArriveAndWait(int64_t everyone, int timeout_ms) {
    Add();
    return WaitFor(everyone, timeout_ms);
  }
  int64_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int64_t count_ = 0;
};

}  // namespace test
