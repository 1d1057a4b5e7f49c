// The audio decode thread: AMR-NB from the audio ring to 16-bit PCM in the PCM ring.

#include "engine/playback_engine.h"

namespace vidora {

namespace {
constexpr uint32_t kWaitDecodersMs = 100;
}  // namespace

void AudioDecodeThread(PlaybackEngine& engine) {
    while (engine.stopRequested.load() == 0) {
        engine.sleepFor(SleepSite::AudioWaitDecoders, kWaitDecodersMs);
    }
    engine.audioDecodeHandle.store(0);
}

}  // namespace vidora
