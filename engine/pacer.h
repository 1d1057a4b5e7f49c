#pragma once
// Time and waiting for the playback threads. Every wait of the parts goes through a Pacer: a
// thread waits until someone gives it work (its WakeSignal moves) or a time has passed. The real
// pacer reads the monotonic clock and really waits. A test or a fuzzer makes a virtual one:
// its clock stands still until a wait moves it on by what was asked, and a wait returns at once,
// so a part driven on one thread plays a recording as fast as it decodes, and at the times it
// would have played at.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "engine/wake_signal.h"

namespace vidora {

class Pacer {
  public:
    enum class Kind { Real, Virtual };
    explicit Pacer(Kind kind = Kind::Real) : kind_(kind) {}
    Pacer(const Pacer&) = delete;
    Pacer& operator=(const Pacer&) = delete;

    bool isVirtual() const { return kind_ == Kind::Virtual; }

    // Microseconds on a monotonic clock.
    int64_t nowUs() const {
        if (kind_ == Kind::Virtual) {
            return virtualNow_.load(std::memory_order_acquire);
        }
        const auto since = std::chrono::steady_clock::now().time_since_epoch();
        return std::chrono::duration_cast<std::chrono::microseconds>(since).count();
    }

    // Returns once `wake` has been notified after `seen` was read from it, or `us` have passed.
    void waitFor(WakeSignal& wake, uint64_t seen, int64_t us) {
        if (kind_ == Kind::Virtual) {
            if (wake.count() == seen && us > 0) {
                virtualNow_.fetch_add(us, std::memory_order_acq_rel);
            }
            return;
        }
        if (us > 0) {
            wake.waitFor(seen, std::chrono::microseconds(us));
        }
    }

    // Lets `us` pass whatever happens meanwhile.
    void sleepFor(int64_t us) {
        if (kind_ == Kind::Virtual) {
            virtualNow_.fetch_add(us, std::memory_order_acq_rel);
        } else if (us > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(us));
        }
    }

  private:
    const Kind kind_;
    // Starts well away from 0, where "no time yet" lives in several places.
    std::atomic<int64_t> virtualNow_{1000000000};
};

}  // namespace vidora
