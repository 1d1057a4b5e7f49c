// The video thread: takes packets or windows from the video ring, decodes, scales and presents.

#include "engine/playback_engine.h"

namespace vidora {

namespace {
constexpr uint32_t kIdleMs = 100;
}  // namespace

void VideoThread(PlaybackEngine& engine) {
    while (engine.stopRequested.load() == 0) {
        engine.sleepFor(SleepSite::VideoIdle, kIdleMs);
    }
    // Last step: stopThreads waits for this and nothing of the engine is touched after it.
    engine.videoHandle.store(0);
}

}  // namespace vidora
