// The audio output thread: hands PCM blocks to the wave output device.

#include "engine/playback_engine.h"

namespace vidora {

namespace {

constexpr uint32_t kPauseMs = 100;
constexpr uint32_t kFeedMs = 1;
// Time for the blocks still queued at a stop (at most two, 250 ms) to be heard, mostly, before
// the reset cuts them off.
constexpr uint32_t kGraceMs = 200;
// Two queued blocks are 250 ms of sound: enough to ride out a late turn of this thread, little
// enough that a pause or a stop is heard soon.
constexpr int32_t kMaxQueuedBlocks = 2;
// An eighth of a second of sound per block.
constexpr uint32_t kBlocksPerSecond = 8;
// The recordings' sound is 8000 Hz mono; the decoder's samples are 16-bit.
constexpr uint32_t kOutputRate = 8000;
constexpr uint32_t kOutputChannels = 1;
constexpr int32_t kOutputBits = 16;

}  // namespace

void waveOutCallback(WaveOut*, uint32_t message, void* instance, WaveHeader*, uintptr_t) {
    if (message == kWaveOutDone) {
        auto* engine = static_cast<PlaybackEngine*>(instance);
        engine->outBuffersDone.fetch_add(1);
        // A place in the device's queue is free again.
        engine->audioOutWake.notify();
    }
}

int PlaybackEngine::openAudioOut(uint32_t rate, uint32_t channels, int32_t bits) {
    WaveFormat format;
    format.formatTag = 1;
    format.channels = static_cast<uint16_t>(channels);
    format.samplesPerSecond = rate;
    format.averageBytesPerSecond = rate * static_cast<uint32_t>(bits) / 8;
    format.blockAlign = static_cast<uint16_t>(static_cast<uint32_t>(bits) / 8 * channels);
    format.bitsPerSample = static_cast<uint16_t>(bits);

    const uint32_t blockSize = format.averageBytesPerSecond / kBlocksPerSecond;
    outBlockSize.store(static_cast<int32_t>(blockSize));
    for (uint32_t i = 0; i < kWaveHeaderCount; ++i) {
        waveHeaders[i].data = waveBufferMemory.get() + i * blockSize;
        waveHeaders[i].length = blockSize;
    }
    waveOut = WaveOut::open(format, waveOutCallback, this);
    return waveOut != nullptr ? 1 : 0;
}

bool PlaybackEngine::feedAudioBlock() {
    if (stopRequested.load() != 0) {
        return false;
    }
    if (outBuffersQueued.load() - outBuffersDone.load() >= kMaxQueuedBlocks) {
        return false;
    }
    const int32_t block = pcmBlocksPlayed.load();
    // Acquire: the block's bytes were written before pcmRingPut published the count.
    if (block >= pcmBlocksAvailable.load(std::memory_order_acquire)) {
        return false;
    }
    // With at most two blocks outstanding, the header used eight blocks ago is long finished.
    WaveHeader& header = waveHeaders[static_cast<uint32_t>(block) % kWaveHeaderCount];
    pcmBlockRead(block, header.data);
    // A block counts as queued only when a device took it, so that every block counted is also
    // reported done (played, or dropped by the reset at closing) before the next recording
    // starts: without a device, or after a refused write, the difference the limit above looks
    // at would otherwise stay up for good and keep every later recording silent. The block is
    // passed over all the same, so that the sound stays in step with the stream.
    if (waveOut != nullptr && waveOut->prepareHeader(&header) == kWaveOutOk &&
        waveOut->write(&header) == kWaveOutOk) {
        outBuffersQueued.fetch_add(1);
    }
    pcmBlocksPlayed.store(block + 1);
    return true;
}

void PlaybackEngine::closeAudioOut() {
    if (waveOut != nullptr) {
        // The reset reports every block still queued as done, so the outstanding difference is
        // back at 0 for the next recording.
        waveOut->reset();
        waveOut->close();
    }
    waveOut = nullptr;
}

void AudioOutThread(PlaybackEngine& engine) {
    // Without a device the thread still runs: blocks are passed over in silence.
    engine.openAudioOut(kOutputRate, kOutputChannels, kOutputBits);
    while (engine.stopRequested.load() == 0) {
        // The device itself is not paused: the blocks already queued still play out.
        if (engine.paused.load() != 0) {
            engine.sleepFor(SleepSite::AudioOutPause, kPauseMs);
        } else {
            // Read before feeding: a block or a free place that comes meanwhile ends the wait.
            const uint64_t seen = engine.audioOutWake.count();
            const bool fed = engine.feedAudioBlock();
            // With nothing to hand over the thread waits for the next decoded block or the
            // device's next finished one.
            engine.endPollTurn(SleepSite::AudioOutFeed, kFeedMs, kFeedMs, fed, engine.audioOutWake,
                               seen);
        }
    }
    engine.sleepFor(SleepSite::AudioOutGrace, kGraceMs);
    engine.closeAudioOut();
    // Last step: stopThreads waits for this and nothing of the engine is touched after it.
    engine.audioOutHandle.store(0);
}

}  // namespace vidora
