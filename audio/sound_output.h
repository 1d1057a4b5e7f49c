#pragma once
// The sound output: the consumer of the PCM ring. It hands the decoded sound to the wave output
// device, frame by frame as it comes, pauses and restarts the device with the playback, drops
// what the device holds at a flush, and tells the clock which stream time the device has
// reached. Without a device it runs on in silence, and pictures follow the reader's schedule.
//
// The first sound of a stretch (the start, after a seek, after the recording's sound paused for
// a while) is held back kAudioLeadUs before the device plays it: the reader delivers sound in
// records, and the margin lets a late turn of a thread pass without a gap. After that every
// frame goes to the device at once, so sound is heard a steady lead after its record came.
//
// The audio output thread calls run().

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <stop_token>
#include <vector>

#include "audio/tempo_filter.h"
#include "engine/engine_types.h"
#include "engine/pacer.h"
#include "engine/playback_clock.h"
#include "engine/stream_rings.h"
#include "engine/wake_signal.h"
#include "platform/wave_out.h"

namespace vidora {

class SoundOutput {
  public:
    SoundOutput(ByteRing& in, PlaybackClock& clock, Pacer& pacer);
    SoundOutput(const SoundOutput&) = delete;
    SoundOutput& operator=(const SoundOutput&) = delete;

    // Whether the block memory could be had; without it nothing may be started.
    bool ready() const { return blocks_ != nullptr; }
    // The thread's loop: opens the device, feeds it until `stop`, lets the queued sound play
    // out briefly and closes the device. Whoever stops it notifies wake() after the request, so
    // that a wait ends at once.
    void run(std::stop_token stop);
    void setPaused(bool paused);
    // The playback speed: from 0.5 to 2 the sound plays at that tempo with its pitch kept
    // (TempoFilter); outside that range it is silent.
    void setSpeed(double speed);
    // The loudness, 0 (silent) to 1 (as recorded); heard at once.
    void setVolume(float volume);
    WakeSignal& wake() { return wake_; }
    // Whether all the sound handed on has been heard: nothing waits in the ring or the device.
    bool idle() const {
        return in_.unread() == 0 &&
               queued_.load(std::memory_order_acquire) == done_.load(std::memory_order_acquire);
    }

  private:
    // Which stream time each written byte plays at: one entry per block, in the device's order.
    class Timeline {
      public:
        void clear();
        // `bytes` played from `streamTime` on, each byte `usPerByte` of stream time.
        void add(uint32_t bytes, int64_t streamTime, double usPerByte);
        bool empty() const { return blocks_.empty(); }
        // The stream time of the first byte at or after device position `position`.
        int64_t streamTimeAt(uint64_t position);

      private:
        struct Block {
            uint64_t start;
            uint32_t bytes;
            int64_t streamTime;
            double usPerByte;
        };
        std::deque<Block> blocks_;
        uint64_t written_ = 0;
    };

    static void deviceCallback(WaveOut* device, uint32_t message, void* instance,
                               WaveHeader* header, uintptr_t reserved);
    bool openDevice();
    void closeDevice();
    bool feed();
    bool writeBlock(const uint8_t* bytes, uint32_t n, int64_t streamTime, double usPerByte);
    bool deviceHasRoom() const;
    void applySettings();
    void dropQueued();
    int64_t steer(int64_t now);

    ByteRing& in_;
    PlaybackClock& clock_;
    Pacer& pacer_;
    WakeSignal wake_;
    std::atomic<bool> paused_{false};
    std::atomic<double> speed_{1.0};
    std::atomic<float> volume_{1.0f};
    // The output thread's: the settings in force, and the sound the tempo filter gave that the
    // device has no room for yet, with the stream time of its first sample.
    double tempo_ = 1.0;
    bool audible_ = true;
    float volumeApplied_ = -1.0f;
    TempoFilter tempoFilter_;
    std::vector<int16_t> tempoOut_;
    int64_t tempoOutTime_ = 0;
    bool tempoTimeKnown_ = false;

    WaveOut* device_ = nullptr;
    std::unique_ptr<uint8_t[]> blocks_;
    WaveHeader headers_[kWaveHeaderCount] = {};
    // Blocks the device took, and blocks it reported played or dropped (on its own thread).
    std::atomic<int32_t> queued_{0};
    std::atomic<int32_t> done_{0};
    Timeline timeline_;
    uint32_t sequence_ = 0;
    bool holding_ = true;
    int64_t holdUntil_ = 0;
    int64_t emptySince_ = 0;
    bool devicePaused_ = true;
    int64_t lastPosition_ = -1;
    bool lastFlowing_ = false;
};

}  // namespace vidora
