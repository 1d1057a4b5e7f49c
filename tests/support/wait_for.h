#pragma once
// Waiting, in tests, for something the playback threads do in their own time.

#include <chrono>
#include <thread>

namespace vidora::test {

// Polls `condition` every millisecond until it holds (true) or `timeout` passes (false).
template <typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace vidora::test
