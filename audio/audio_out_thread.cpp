// The audio output thread: hands PCM blocks to the wave output device.

#include "engine/playback_engine.h"

namespace vidora {

namespace {
constexpr uint32_t kPauseMs = 100;
}  // namespace

void AudioOutThread(PlaybackEngine& engine) {
    while (engine.stopRequested.load() == 0) {
        engine.sleepFor(SleepSite::AudioOutPause, kPauseMs);
    }
    engine.audioOutHandle.store(0);
}

}  // namespace vidora
