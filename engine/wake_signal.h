#pragma once
// A wake-up call for a thread that has run out of work: the thread reads count() before it
// looks for work and, when it found none, waits with that count; whoever gives it work calls
// notify() afterwards. A notify that falls between the look and the wait is not lost, because
// the wait returns as soon as the count differs from the one read.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vidora {

class WakeSignal {
  public:
    uint64_t count() const { return count_.load(std::memory_order_acquire); }

    void notify() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            count_.fetch_add(1, std::memory_order_acq_rel);
        }
        condition_.notify_all();
    }

    // Returns once notify has been called after `seen` was read, or when `timeout` has passed.
    template <typename Rep, typename Period>
    void waitFor(uint64_t seen, std::chrono::duration<Rep, Period> timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        condition_.wait_for(lock, timeout, [&] { return count_.load() != seen; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable condition_;
    std::atomic<uint64_t> count_{0};
};

}  // namespace vidora
