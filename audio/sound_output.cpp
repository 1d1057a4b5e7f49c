#include "audio/sound_output.h"

#include <algorithm>
#include <new>

namespace vidora {

namespace {

// Time for the sound still queued at a stop to be heard, mostly, before the reset cuts it off.
constexpr int64_t kGraceUs = 200000;
// The longest wait when nothing happens: the clock is still told where the device stands.
constexpr int64_t kIdleWaitUs = 100000;
// The recordings' sound is 8000 Hz mono; the decoder's samples are 16-bit.
constexpr uint32_t kOutputRate = 8000;
constexpr int64_t kUsPerByte = 1000000 / (kOutputRate * 2);

}  // namespace

void SoundOutput::Timeline::clear() {
    blocks_.clear();
    written_ = 0;
}

void SoundOutput::Timeline::add(uint32_t bytes, int64_t streamTime) {
    blocks_.push_back(Block{written_, bytes, streamTime});
    written_ += bytes;
}

int64_t SoundOutput::Timeline::streamTimeAt(uint64_t position) {
    while (blocks_.size() > 1 && blocks_[1].start <= position) {
        blocks_.pop_front();
    }
    const Block& block = blocks_.front();
    const uint64_t into =
        std::min<uint64_t>(position - std::min(position, block.start), block.bytes);
    return block.streamTime + static_cast<int64_t>(into) * kUsPerByte;
}

SoundOutput::SoundOutput(ByteRing& in, PlaybackClock& clock, Pacer& pacer)
    : in_(in),
      clock_(clock),
      pacer_(pacer),
      blocks_(new (std::nothrow) uint8_t[kWaveHeaderCount * kPcmFrameBytes]) {}

void SoundOutput::setPaused(bool paused) {
    paused_.store(paused);
    wake_.notify();
}

void SoundOutput::run(std::stop_token stop) {
    std::stop_callback wakeOnStop(stop, [this] { wake_.notify(); });
    // Without a device the thread still runs: the sound is passed over in silence.
    openDevice();
    timeline_.clear();
    sequence_ = 0;
    holding_ = true;
    holdUntil_ = 0;
    emptySince_ = 0;
    devicePaused_ = true;
    lastPosition_ = -1;
    lastFlowing_ = false;
    if (device_ != nullptr) {
        device_->pause();  // until the first sound has been held back long enough
    }
    while (!stop.stop_requested()) {
        const uint64_t seen = wake_.count();
        const bool fed = feed();
        const int64_t wait = steer(pacer_.nowUs());
        if (!fed) {
            pacer_.waitFor(wake_, seen, wait);
        }
    }
    pacer_.sleepFor(kGraceUs);
    closeDevice();
    clock_.clearAudioPosition();
}

void SoundOutput::deviceCallback(WaveOut*, uint32_t message, void* instance, WaveHeader*,
                                 uintptr_t) {
    if (message == kWaveOutDone) {
        auto* self = static_cast<SoundOutput*>(instance);
        self->done_.fetch_add(1);
        // The device has moved on: the clock is told, and a place in its queue is free again.
        self->wake_.notify();
    }
}

bool SoundOutput::openDevice() {
    WaveFormat format;
    format.formatTag = 1;
    format.channels = 1;
    format.samplesPerSecond = kOutputRate;
    format.averageBytesPerSecond = kOutputRate * 2;
    format.blockAlign = 2;
    format.bitsPerSample = 16;
    for (uint32_t i = 0; i < kWaveHeaderCount; ++i) {
        headers_[i] = WaveHeader{};
        headers_[i].data = blocks_.get() + i * kPcmFrameBytes;
        headers_[i].length = kPcmFrameBytes;
    }
    queued_.store(0);
    done_.store(0);
    device_ = WaveOut::open(format, deviceCallback, this);
    return device_ != nullptr;
}

void SoundOutput::closeDevice() {
    if (device_ != nullptr) {
        // The reset reports every block still queued as done.
        device_->reset();
        device_->close();
    }
    device_ = nullptr;
}

bool SoundOutput::feed() {
    // Hands every decoded frame to the device while it has room; true when it took any.
    bool took = false;
    for (;;) {
        if (queued_.load() - done_.load() >= static_cast<int32_t>(kWaveHeaderCount)) {
            break;
        }
        WaveHeader& header = headers_[sequence_ % kWaveHeaderCount];
        StreamMark frame;
        uint32_t bytes = 0;
        if (!in_.takeRecord(header.data, kPcmFrameBytes, &frame, &bytes)) {
            break;
        }
        took = true;
        if (frame.flush) {
            dropQueued();
            continue;
        }
        header.length = bytes;
        // A block counts as queued only when a device took it, so that every block counted is
        // also reported done (played, or dropped by a reset).
        if (device_ != nullptr && bytes > 0 && device_->prepareHeader(&header) == kWaveOutOk &&
            device_->write(&header) == kWaveOutOk) {
            queued_.fetch_add(1);
            ++sequence_;
            timeline_.add(bytes, frame.streamTime);
            if (holding_ && holdUntil_ == 0) {
                holdUntil_ = pacer_.nowUs() + kAudioLeadUs;
            }
        }
    }
    return took;
}

void SoundOutput::dropQueued() {
    // After a seek: the sound from before it is dropped, and the next is held back again.
    if (device_ != nullptr) {
        device_->reset();
    }
    timeline_.clear();
    holding_ = true;
    holdUntil_ = 0;
    emptySince_ = 0;
    lastPosition_ = -1;
    clock_.clearAudioPosition();
}

int64_t SoundOutput::steer(int64_t now) {
    // Pauses or plays the device and tells the clock where it stands. Returns how long the
    // thread may wait before it must look again.
    int64_t wait = kIdleWaitUs;
    if (device_ == nullptr) {
        return wait;
    }
    const bool queued = queued_.load() != done_.load();
    if (holding_ && holdUntil_ != 0) {
        if (now >= holdUntil_) {
            holding_ = false;
            emptySince_ = 0;
        } else {
            wait = std::min(wait, holdUntil_ - now);
        }
    }
    if (!holding_ && !queued) {
        // The recording's sound paused, or its end: after a while without sound the next sound
        // starts a new stretch and is held back like the first.
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
    const bool pause = holding_ || paused_.load();
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
            clock_.setAudioPosition(from, position, now, flowing);
        }
    }
    return wait;
}

}  // namespace vidora
