// The audio output thread: hands the decoded sound to the wave output device, frame by frame as
// it comes, and tells the clock which stream time the device has reached.
//
// The first sound of a stretch (the start, after a seek, after the recording's sound paused for
// a while) is held back kAudioLeadUs before the device plays it: the reader delivers sound in
// records, and the margin lets a late turn of a thread pass without a gap. After that every
// frame goes to the device at once, so sound is heard a steady lead after its record came.

#include <algorithm>
#include <chrono>
#include <deque>

#include "engine/playback_engine.h"

namespace vidora {

namespace {

constexpr uint32_t kFeedMs = 1;
// Time for the sound still queued at a stop to be heard, mostly, before the reset cuts it off.
constexpr uint32_t kGraceMs = 200;
// The longest wait when nothing happens: the clock is still told where the device stands.
constexpr int64_t kIdleWaitUs = 100000;
// The recordings' sound is 8000 Hz mono; the decoder's samples are 16-bit.
constexpr uint32_t kOutputRate = 8000;
constexpr uint32_t kOutputChannels = 1;
constexpr int32_t kOutputBits = 16;
constexpr int64_t kUsPerByte = 1000000 / (kOutputRate * 2);

// Which stream time each written byte plays at: one entry per block, in the device's order.
class DeviceTimeline {
  public:
    void clear() {
        blocks_.clear();
        written_ = 0;
    }
    void add(uint32_t bytes, int64_t streamTime) {
        blocks_.push_back(Block{written_, bytes, streamTime});
        written_ += bytes;
    }
    bool empty() const { return blocks_.empty(); }
    // The stream time of the first byte at or after device position `position`.
    int64_t streamTimeAt(uint64_t position) {
        while (blocks_.size() > 1 && blocks_[1].start <= position) {
            blocks_.pop_front();
        }
        const Block& block = blocks_.front();
        const uint64_t into =
            std::min<uint64_t>(position - std::min(position, block.start), block.bytes);
        return block.streamTime + static_cast<int64_t>(into) * kUsPerByte;
    }

  private:
    struct Block {
        uint64_t start;
        uint32_t bytes;
        int64_t streamTime;
    };
    std::deque<Block> blocks_;
    uint64_t written_ = 0;
};

class SoundOutput {
  public:
    explicit SoundOutput(PlaybackEngine& engine) : engine_(engine) {}

    void run() {
        // Without a device the thread still runs: the sound is passed over in silence, and the
        // pictures follow the reader's schedule.
        engine_.openAudioOut(kOutputRate, kOutputChannels, kOutputBits);
        device_ = engine_.waveOut;
        if (device_ != nullptr) {
            device_->pause();  // until the first sound has been held back long enough
        }
        while (engine_.stopRequested.load() == 0) {
            const uint64_t seen = engine_.audioOutWake.count();
            const bool fed = feed();
            const int64_t now = engine_.nowUs();
            const int64_t wait = steer(now);
            if (engine_.pacingInjected()) {
                engine_.sleepFor(SleepSite::AudioOutFeed, kFeedMs);
            } else if (!fed) {
                engine_.audioOutWake.waitFor(seen, std::chrono::microseconds(wait));
            }
        }
        engine_.sleepFor(SleepSite::AudioOutGrace, kGraceMs);
        engine_.closeAudioOut();
        engine_.clock.clearAudioPosition();
    }

  private:
    // Hands every decoded frame to the device while it has room; true when it took any.
    bool feed() {
        bool took = false;
        // Only a decoder that found the ring full waits for room.
        const bool wasFull = engine_.pcmRing.written.load(std::memory_order_acquire) -
                                 engine_.pcmRing.taken.load(std::memory_order_relaxed) >=
                             kPcmSlots;
        for (;;) {
            const uint32_t taken = engine_.pcmRing.taken.load(std::memory_order_relaxed);
            if (taken == engine_.pcmRing.written.load(std::memory_order_acquire)) {
                break;
            }
            if (engine_.outBuffersQueued.load() - engine_.outBuffersDone.load() >=
                static_cast<int32_t>(kWaveHeaderCount)) {
                break;
            }
            WaveHeader& header = engine_.waveHeaders[sequence_ % kWaveHeaderCount];
            PcmSlot slot;
            engine_.pcmRing.readSlot(taken, header.data, &slot);
            engine_.pcmRing.taken.store(taken + 1, std::memory_order_release);
            took = true;
            if (slot.flush) {
                dropQueued();
                continue;
            }
            header.length = slot.bytes;
            // A block counts as queued only when a device took it, so that every block counted
            // is also reported done (played, or dropped by a reset) before the next recording.
            if (device_ != nullptr && slot.bytes > 0 &&
                device_->prepareHeader(&header) == kWaveOutOk &&
                device_->write(&header) == kWaveOutOk) {
                engine_.outBuffersQueued.fetch_add(1);
                ++sequence_;
                timeline_.add(slot.bytes, slot.streamTime);
                if (holding_ && holdUntil_ == 0) {
                    holdUntil_ = engine_.nowUs() + kAudioLeadUs;
                }
            }
        }
        if (took && wasFull) {
            engine_.audioDecodeWake.notify();
        }
        return took;
    }

    // After a seek: the sound from before it is dropped, and the next is held back again.
    void dropQueued() {
        if (device_ != nullptr) {
            device_->reset();
        }
        timeline_.clear();
        holding_ = true;
        holdUntil_ = 0;
        emptySince_ = 0;
        lastPosition_ = -1;
        engine_.clock.clearAudioPosition();
    }

    // Pauses or plays the device, tells the clock where it stands and wakes the video thread
    // when that moved. Returns how long the thread may wait before it must look again.
    int64_t steer(int64_t now) {
        int64_t wait = kIdleWaitUs;
        if (device_ == nullptr) {
            return wait;
        }
        const bool queued = engine_.outBuffersQueued.load() != engine_.outBuffersDone.load();
        if (holding_ && holdUntil_ != 0) {
            if (now >= holdUntil_) {
                holding_ = false;
                emptySince_ = 0;
            } else {
                wait = std::min(wait, holdUntil_ - now);
            }
        }
        if (!holding_ && !queued) {
            // The recording's sound paused, or its end: after a while without sound the next
            // sound starts a new stretch and is held back like the first.
            if (emptySince_ == 0) {
                emptySince_ = now;
            } else if (now - emptySince_ >= kAudioLeadUs) {
                holding_ = true;
                holdUntil_ = 0;
            }
            wait = std::min<int64_t>(wait, kAudioLeadUs);
        } else if (queued) {
            emptySince_ = 0;
        }
        const bool pause = holding_ || engine_.paused.load() != 0;
        if (pause != devicePaused_) {
            devicePaused_ = pause;
            if (pause) {
                device_->pause();
            } else {
                device_->restart();
            }
        }
        // Until the device has taken some of the sound written since the start or a seek, its
        // position says nothing of what plays.
        const uint64_t taken = device_->position();
        if (!timeline_.empty() && taken > 0) {
            const int64_t position = timeline_.streamTimeAt(taken);
            const bool flowing = !devicePaused_ && queued;
            if (position != lastPosition_ || flowing != lastFlowing_) {
                // The pull just taken plays from its start, now.
                const int64_t from = lastPosition_ >= 0 ? lastPosition_ : position;
                lastPosition_ = position;
                lastFlowing_ = flowing;
                engine_.clock.setAudioPosition(from, position, now, flowing);
                engine_.videoWake.notify();
            }
        }
        return wait;
    }

    PlaybackEngine& engine_;
    WaveOut* device_ = nullptr;
    DeviceTimeline timeline_;
    uint32_t sequence_ = 0;
    bool holding_ = true;
    int64_t holdUntil_ = 0;
    int64_t emptySince_ = 0;
    bool devicePaused_ = true;
    int64_t lastPosition_ = -1;
    bool lastFlowing_ = false;
};

}  // namespace

void waveOutCallback(WaveOut*, uint32_t message, void* instance, WaveHeader*, uintptr_t) {
    if (message == kWaveOutDone) {
        auto* engine = static_cast<PlaybackEngine*>(instance);
        engine->outBuffersDone.fetch_add(1);
        // The device has moved on: the clock is told, and a place in its queue is free again.
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

    for (uint32_t i = 0; i < kWaveHeaderCount; ++i) {
        waveHeaders[i].data = waveBufferMemory.get() + i * kPcmSlotBytes;
        waveHeaders[i].length = kPcmSlotBytes;
    }
    waveOut = WaveOut::open(format, waveOutCallback, this);
    return waveOut != nullptr ? 1 : 0;
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
    SoundOutput(engine).run();
    // Last step: stopThreads waits for this and nothing of the engine is touched after it.
    engine.audioOutRunning.store(false);
}

}  // namespace vidora
