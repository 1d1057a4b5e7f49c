#pragma once
// An injectable engine sleep for tests: records every requested delay with its site and waits
// only a token time, so that tests check delays exactly without depending on the clock.

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "engine/playback_engine.h"

namespace vidora::test {

class SleepRecorder {
  public:
    // Installs itself as the engine's sleep. `realMicroseconds` is how long each call really
    // waits; a little is kept so that polling threads do not spin a core flat out.
    explicit SleepRecorder(PlaybackEngine& engine, int realMicroseconds = 200)
        : engine_(engine), realMicroseconds_(realMicroseconds) {
        engine.setSleepFunction([this](SleepSite site, uint32_t ms) { record(site, ms); });
    }
    // The engine's threads call into the recorder: they are stopped before it goes.
    ~SleepRecorder() {
        engine_.close();
        engine_.setSleepFunction(nullptr);
    }
    SleepRecorder(const SleepRecorder&) = delete;
    SleepRecorder& operator=(const SleepRecorder&) = delete;

    std::vector<uint32_t> delays(SleepSite site) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<uint32_t> result;
        for (const auto& [s, ms] : calls_) {
            if (s == site) {
                result.push_back(ms);
            }
        }
        return result;
    }
    size_t count(SleepSite site) const { return delays(site).size(); }
    // Runs in the sleeping thread after each recorded call, for tests that act at a given
    // moment or hold a thread back. Set before the engine's threads start.
    void onSleep(std::function<void(SleepSite, uint32_t)> action) { action_ = std::move(action); }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.clear();
    }

  private:
    void record(SleepSite site, uint32_t ms) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            calls_.emplace_back(site, ms);
        }
        if (action_) {
            action_(site, ms);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(realMicroseconds_));
    }

    PlaybackEngine& engine_;
    int realMicroseconds_;
    std::function<void(SleepSite, uint32_t)> action_;
    mutable std::mutex mutex_;
    std::vector<std::pair<SleepSite, uint32_t>> calls_;
};

// Polls `condition` until it holds or `timeout` passes; true when it held.
template <typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace vidora::test
