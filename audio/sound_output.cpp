#include "audio/sound_output.h"

#include <algorithm>
#include <cstring>
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

void SoundOutput::Timeline::add(uint32_t bytes, int64_t streamTime, double usPerByte) {
    blocks_.push_back(Block{written_, bytes, streamTime, usPerByte});
    written_ += bytes;
}

int64_t SoundOutput::Timeline::streamTimeAt(uint64_t position) {
    while (blocks_.size() > 1 && blocks_[1].start <= position) {
        blocks_.pop_front();
    }
    const Block& block = blocks_.front();
    const uint64_t into =
        std::min<uint64_t>(position - std::min(position, block.start), block.bytes);
    return block.streamTime + static_cast<int64_t>(static_cast<double>(into) * block.usPerByte);
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

void SoundOutput::setSpeed(double speed) {
    speed_.store(speed);
    wake_.notify();
}

void SoundOutput::setVolume(float volume) {
    volume_.store(std::clamp(volume, 0.0f, 1.0f));
    wake_.notify();
}

void SoundOutput::applySettings() {
    const float volume = volume_.load();
    if (device_ != nullptr && volume != volumeApplied_) {
        device_->setVolume(volume);
        volumeApplied_ = volume;
    }
    const double speed = speed_.load();
    const bool audible = speed >= 0.5 && speed <= 2.0;
    const double tempo = audible ? speed : 1.0;
    if (tempo != tempo_ || audible != audible_) {
        tempo_ = tempo;
        audible_ = audible;
        tempoFilter_.setTempo(tempo);
        tempoOut_.clear();
        tempoTimeKnown_ = false;
    }
}

void SoundOutput::run(std::stop_token stop) {
    // Without a device the thread still runs: the sound is passed over in silence.
    openDevice();
    volumeApplied_ = -1.0f;
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

bool SoundOutput::deviceHasRoom() const {
    return queued_.load() - done_.load() < static_cast<int32_t>(kWaveHeaderCount);
}

bool SoundOutput::writeBlock(const uint8_t* bytes, uint32_t n, int64_t streamTime,
                             double usPerByte) {
    // A block counts as queued only when a device took it, so that every block counted is also
    // reported done (played, or dropped by a reset).
    WaveHeader& header = headers_[sequence_ % kWaveHeaderCount];
    if (header.data != bytes) {
        std::memcpy(header.data, bytes, n);
    }
    header.length = n;
    if (device_ == nullptr || n == 0 || device_->prepareHeader(&header) != kWaveOutOk ||
        device_->write(&header) != kWaveOutOk) {
        return false;
    }
    queued_.fetch_add(1);
    ++sequence_;
    timeline_.add(n, streamTime, usPerByte);
    if (holding_ && holdUntil_ == 0) {
        holdUntil_ = pacer_.nowUs() + kAudioLeadUs;
    }
    return true;
}

bool SoundOutput::feed() {
    // Hands every decoded frame to the device while it has room; true when it took any.
    applySettings();
    bool took = false;
    for (;;) {
        if (!deviceHasRoom()) {
            break;
        }
        // What the tempo filter gave goes first, a frame's worth a block.
        if (!tempoOut_.empty()) {
            const size_t samples = std::min<size_t>(tempoOut_.size(), kPcmFrameBytes / 2);
            const double usPerByte = static_cast<double>(kUsPerByte) * tempo_;
            const auto bytes = static_cast<uint32_t>(samples * 2);
            writeBlock(reinterpret_cast<const uint8_t*>(tempoOut_.data()), bytes, tempoOutTime_,
                       usPerByte);
            tempoOutTime_ += static_cast<int64_t>(bytes * usPerByte);
            tempoOut_.erase(tempoOut_.begin(), tempoOut_.begin() + static_cast<ptrdiff_t>(samples));
            took = true;
            continue;
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
        if (!audible_) {
            continue;  // too fast or too slow to be heard
        }
        if (tempo_ == 1.0) {
            writeBlock(header.data, bytes, frame.streamTime, static_cast<double>(kUsPerByte));
            continue;
        }
        int16_t samples[kPcmFrameBytes / 2];
        std::memcpy(samples, header.data, bytes & ~1u);
        if (!tempoTimeKnown_ && tempoOut_.empty()) {
            tempoOutTime_ = frame.streamTime;
            tempoTimeKnown_ = true;
        }
        tempoFilter_.push(samples, bytes / 2, tempoOut_);
    }
    return took;
}

void SoundOutput::dropQueued() {
    // After a seek: the sound from before it is dropped, and the next is held back again.
    if (device_ != nullptr) {
        device_->reset();
    }
    timeline_.clear();
    tempoFilter_.reset();
    tempoOut_.clear();
    tempoTimeKnown_ = false;
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
            clock_.setAudioPosition(from, position, now, flowing, tempo_);
        }
    }
    return wait;
}

}  // namespace vidora
