// The half of WaveOut that is the same on every system: the queue of the caller's blocks, the
// gain and the messages. Each backend (platform/linux, platform/windows) opens the device and
// moves the queued samples to it.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/wave_out.h"

namespace vidora {

void WaveOut::scaleSamples(uint8_t* bytes, uint32_t length, bool eightBit, float gain) {
    const int32_t factor = static_cast<int32_t>(std::lround(gain * 65536.0f));
    if (factor >= 65536) {
        return;
    }
    if (eightBit) {
        for (uint32_t i = 0; i < length; ++i) {
            bytes[i] = static_cast<uint8_t>(128 + (((bytes[i] - 128) * factor) >> 16));
        }
        return;
    }
    for (uint32_t i = 0; i + 1 < length; i += 2) {
        int16_t sample;
        std::memcpy(&sample, bytes + i, 2);
        sample = static_cast<int16_t>((sample * factor) >> 16);
        std::memcpy(bytes + i, &sample, 2);
    }
}

void WaveOut::setVolume(float gain) {
    // NaN counts as silence: a gain that cannot be read is better not heard.
    volume_.store(gain > 0.0f ? std::min(gain, 1.0f) : 0.0f, std::memory_order_relaxed);
}

int WaveOut::enqueue(WaveHeader* header) {
    if (header == nullptr || header->data == nullptr || header->length % 2 != 0) {
        return kWaveOutInvalidHeader;
    }
    if ((header->flags & kWaveHeaderPrepared) == 0) {
        return kWaveOutUnprepared;
    }
    if ((header->flags & kWaveHeaderInQueue) != 0) {
        return kWaveOutStillQueued;
    }
    header->flags = (header->flags & ~kWaveHeaderDone) | kWaveHeaderInQueue;
    header->next = nullptr;
    if (tail_ == nullptr) {
        head_ = header;
        headOffset_ = 0;
    } else {
        tail_->next = header;
    }
    tail_ = header;
    return kWaveOutOk;
}

void WaveOut::finishHead() {
    WaveHeader* header = head_;
    head_ = header->next;
    if (head_ == nullptr) {
        tail_ = nullptr;
    }
    headOffset_ = 0;
    header->next = nullptr;
    header->flags = (header->flags & ~kWaveHeaderInQueue) | kWaveHeaderDone;
    report(kWaveOutDone, header);
}

void WaveOut::returnQueued() {
    while (head_ != nullptr) {
        finishHead();
    }
    position_ = 0;
}

void WaveOut::report(uint32_t message, WaveHeader* header) {
    if (callback_ != nullptr) {
        callback_(this, message, instance_, header, 0);
    }
}

}  // namespace vidora
