#pragma once
// Pieces the fuzzing harnesses share: a list of failed checks, bounded waits, and the checks
// every run must pass once the engine has been closed.

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "engine/playback_engine.h"

namespace vidora::fuzz {

// Failed checks of one run, one per line; empty when the run was sound.
class Findings {
  public:
    void check(bool condition, const std::string& what) {
        if (!condition) {
            text_ += what;
            text_ += '\n';
        }
    }
    bool empty() const { return text_.empty(); }
    const std::string& text() const { return text_; }

  private:
    std::string text_;
};

// Polls `condition` every `step` until it holds (true) or `timeout` passes (false).
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout,
               std::chrono::microseconds step = std::chrono::microseconds(100)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(step);
    }
    return true;
}

inline bool anyEngineThreadRunning(const PlaybackEngine& engine) {
    return engine.videoRunning.load() != 0 || engine.audioDecodeRunning.load() != 0 ||
           engine.audioOutRunning.load() != 0 || engine.readerRunning.load() != 0;
}

// What close must leave behind, whatever the input was.
inline void checkClosed(const PlaybackEngine& engine, Findings& findings) {
    findings.check(!anyEngineThreadRunning(engine), "a thread handle is still set after close");
    findings.check(engine.opened.load() == 0, "opened is still set after close");
    findings.check(engine.isPlaying() == 0, "playing is still set after close");
    findings.check(engine.currentFilePath().empty(), "the path is still set after close");
}

inline uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace vidora::fuzz
