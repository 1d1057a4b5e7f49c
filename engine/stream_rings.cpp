// The three rings between the threads. Each has one producer and one consumer and no lock on its
// bytes: the producer writes only indices that are free and publishes its total after the bytes
// (release); the consumer reads the total first (acquire) and only bytes below it. Totals only
// grow between runs; the byte with total n lies at index n modulo the ring size. The video and
// audio rings carry bytes; the PCM ring carries slots of one decoded frame each, with the stream
// time the frame plays at.

#include <algorithm>
#include <cstring>

#include "engine/playback_engine.h"

namespace vidora {

namespace {

// Copies n bytes into a ring of `size` bytes from index `start`, continuing at index 0 past
// the last one.
void copyIntoRing(uint8_t* ring, uint32_t size, uint32_t start, const uint8_t* bytes, uint32_t n) {
    uint32_t first = n < size - start ? n : size - start;
    std::memcpy(ring + start, bytes, first);
    std::memcpy(ring, bytes + first, n - first);
}

void copyOutOfRing(const uint8_t* ring, uint32_t size, uint32_t start, uint8_t* destination,
                   uint32_t n) {
    uint32_t first = n < size - start ? n : size - start;
    std::memcpy(destination, ring + start, first);
    std::memcpy(destination + first, ring, n - first);
}

// "More than 80 % unread", decided on whole numbers: unread > 0.8 × size ⇔ 5 × unread > 4 × size.
// A read total ahead of the written one (the audio consumer's skip) counts as nothing unread.
int ringFull(uint32_t written, uint32_t read, uint32_t size) {
    int64_t unread = static_cast<int32_t>(written - read);
    return unread * 5 > static_cast<int64_t>(size) * 4 ? 1 : 0;
}

}  // namespace

void PlaybackEngine::videoRingPut(const uint8_t* bytes, uint32_t n) {
    uint32_t written = videoRingWritten.load(std::memory_order_relaxed);
    copyIntoRing(videoRingData.get(), kVideoRingBytes, written % kVideoRingBytes, bytes, n);
    videoRingWritten.store(written + n, std::memory_order_release);
}

void PlaybackEngine::audioRingPut(const uint8_t* bytes, uint32_t n) {
    uint32_t written = audioRingWritten.load(std::memory_order_relaxed);
    copyIntoRing(audioRingData.get(), kAudioRingBytes, written % kAudioRingBytes, bytes, n);
    audioRingWritten.store(written + n, std::memory_order_release);
}

int PlaybackEngine::videoRingFull() const {
    return ringFull(videoRingWritten.load(std::memory_order_relaxed),
                    videoRingRead.load(std::memory_order_acquire), kVideoRingBytes);
}

int PlaybackEngine::audioRingFull() const {
    return ringFull(audioRingWritten.load(std::memory_order_relaxed),
                    audioRingRead.load(std::memory_order_acquire), kAudioRingBytes);
}

PacketTake PlaybackEngine::videoPacketTake(uint8_t* destination, uint32_t* length) {
    uint32_t read = videoRingRead.load(std::memory_order_relaxed);
    uint32_t unread = videoRingWritten.load(std::memory_order_acquire) - read;
    if (unread < 4) {
        return PacketTake::NotReady;
    }
    uint8_t word[4];
    copyOutOfRing(videoRingData.get(), kVideoRingBytes, read % kVideoRingBytes, word, 4);
    uint32_t payload = static_cast<uint32_t>(word[0]) | (static_cast<uint32_t>(word[1]) << 8) |
                       (static_cast<uint32_t>(word[2]) << 16) |
                       (static_cast<uint32_t>(word[3]) << 24);
    // Such a packet can never be copied, however long one waits: waiting would stall the video
    // until the next seek, so the caller is told to throw the unread bytes away instead.
    if (payload > kPacketBufferBytes) {
        return PacketTake::Unsatisfiable;
    }
    if (4 + static_cast<uint64_t>(payload) > unread) {
        return PacketTake::NotReady;
    }
    copyOutOfRing(videoRingData.get(), kVideoRingBytes, (read + 4) % kVideoRingBytes, destination,
                  payload);
    videoRingRead.store(read + 4, std::memory_order_release);
    *length = payload;
    return PacketTake::Taken;
}

void PlaybackEngine::discardUnreadVideo() {
    videoRingRead.store(videoRingWritten.load(std::memory_order_acquire),
                        std::memory_order_release);
}

uint32_t PlaybackEngine::videoRingPeek(uint8_t* destination, uint32_t most) {
    uint32_t read = videoRingRead.load(std::memory_order_relaxed);
    int32_t unread = static_cast<int32_t>(videoRingWritten.load(std::memory_order_acquire) - read);
    if (unread <= 0) {
        return 0;
    }
    uint32_t n = std::min(static_cast<uint32_t>(unread), most);
    copyOutOfRing(videoRingData.get(), kVideoRingBytes, read % kVideoRingBytes, destination, n);
    return n;
}

bool PlaybackEngine::audioRingPeek(uint8_t* destination, uint32_t n) {
    uint32_t read = audioRingRead.load(std::memory_order_relaxed);
    int32_t unread = static_cast<int32_t>(audioRingWritten.load(std::memory_order_acquire) - read);
    if (unread < static_cast<int32_t>(n) || n > kAudioRingBytes) {
        return false;
    }
    copyOutOfRing(audioRingData.get(), kAudioRingBytes, read % kAudioRingBytes, destination, n);
    return true;
}

bool PlaybackEngine::pcmRingPut(const uint8_t* bytes, uint32_t n, int64_t streamTime) {
    const uint32_t written = pcmWritten.load(std::memory_order_relaxed);
    if (written - pcmTaken.load(std::memory_order_acquire) >= kPcmSlots) {
        return false;
    }
    const uint32_t slot = written % kPcmSlots;
    n = std::min(n, kPcmSlotBytes);
    std::memcpy(pcmRingData.get() + slot * kPcmSlotBytes, bytes, n);
    pcmSlots[slot] = PcmSlot{streamTime, n, false};
    pcmWritten.store(written + 1, std::memory_order_release);
    audioOutWake.notify();
    return true;
}

bool PlaybackEngine::pcmRingPutFlush() {
    const uint32_t written = pcmWritten.load(std::memory_order_relaxed);
    if (written - pcmTaken.load(std::memory_order_acquire) >= kPcmSlots) {
        return false;
    }
    pcmSlots[written % kPcmSlots] = PcmSlot{0, 0, true};
    pcmWritten.store(written + 1, std::memory_order_release);
    audioOutWake.notify();
    return true;
}

void PlaybackEngine::pcmSlotRead(uint32_t slot, uint8_t* destination, PcmSlot* info) const {
    const uint32_t index = slot % kPcmSlots;
    *info = pcmSlots[index];
    std::memcpy(destination, pcmRingData.get() + index * kPcmSlotBytes, info->bytes);
}

}  // namespace vidora
