#include "engine/stream_rings.h"

#include <algorithm>
#include <cstring>
#include <new>

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

}  // namespace

bool ByteRing::allocate() {
    if (!data_) {
        data_.reset(new (std::nothrow) uint8_t[size_]);
    }
    return data_ != nullptr;
}

void ByteRing::reset() {
    written.store(0);
    read.store(0);
    marks.reset();
}

void ByteRing::put(const uint8_t* bytes, uint32_t n) {
    const uint32_t total = written.load(std::memory_order_relaxed);
    copyIntoRing(data_.get(), size_, total % size_, bytes, n);
    written.store(total + n, std::memory_order_release);
}

bool ByteRing::full() const {
    // Decided on whole numbers: unread > 0.8 × size ⇔ 5 × unread > 4 × size.
    const int64_t unread = static_cast<int32_t>(written.load(std::memory_order_relaxed) -
                                                read.load(std::memory_order_acquire));
    return unread * 5 > static_cast<int64_t>(size_) * 4;
}

uint32_t ByteRing::peek(uint8_t* destination, uint32_t most) const {
    const uint32_t at = read.load(std::memory_order_relaxed);
    const int32_t unread = static_cast<int32_t>(written.load(std::memory_order_acquire) - at);
    if (unread <= 0) {
        return 0;
    }
    const uint32_t n = std::min({static_cast<uint32_t>(unread), most, size_});
    copyOutOfRing(data_.get(), size_, at % size_, destination, n);
    return n;
}

bool ByteRing::peekExactly(uint8_t* destination, uint32_t n) const {
    const uint32_t at = read.load(std::memory_order_relaxed);
    const int32_t unread = static_cast<int32_t>(written.load(std::memory_order_acquire) - at);
    if (unread < static_cast<int32_t>(n) || n > size_) {
        return false;
    }
    copyOutOfRing(data_.get(), size_, at % size_, destination, n);
    return true;
}

PacketTake ByteRing::takePacket(uint8_t* destination, uint32_t capacity, uint32_t* length) {
    const uint32_t at = read.load(std::memory_order_relaxed);
    const uint32_t unread = written.load(std::memory_order_acquire) - at;
    if (unread < 4) {
        return PacketTake::NotReady;
    }
    uint8_t word[4];
    copyOutOfRing(data_.get(), size_, at % size_, word, 4);
    const uint32_t payload =
        static_cast<uint32_t>(word[0]) | (static_cast<uint32_t>(word[1]) << 8) |
        (static_cast<uint32_t>(word[2]) << 16) | (static_cast<uint32_t>(word[3]) << 24);
    // Such a packet can never be copied, however long one waits: waiting would stall the stream
    // until the next seek, so the caller is told to throw the unread bytes away instead.
    if (payload > capacity) {
        return PacketTake::Unsatisfiable;
    }
    if (4 + static_cast<uint64_t>(payload) > unread) {
        return PacketTake::NotReady;
    }
    copyOutOfRing(data_.get(), size_, (at + 4) % size_, destination, payload);
    read.store(at + 4, std::memory_order_release);
    *length = payload;
    return PacketTake::Taken;
}

void ByteRing::discardUnread() {
    read.store(written.load(std::memory_order_acquire), std::memory_order_release);
}

bool PcmRing::allocate() {
    if (!data_) {
        data_.reset(new (std::nothrow) uint8_t[kPcmRingBytes]);
    }
    if (!slots_) {
        slots_.reset(new (std::nothrow) PcmSlot[kPcmSlots]);
    }
    return data_ && slots_;
}

void PcmRing::reset() {
    written.store(0);
    taken.store(0);
}

bool PcmRing::put(const uint8_t* bytes, uint32_t n, int64_t streamTime) {
    if (!hasRoom()) {
        return false;
    }
    const uint32_t total = written.load(std::memory_order_relaxed);
    const uint32_t slot = total % kPcmSlots;
    n = std::min(n, kPcmSlotBytes);
    std::memcpy(data_.get() + slot * kPcmSlotBytes, bytes, n);
    slots_[slot] = PcmSlot{streamTime, n, false};
    written.store(total + 1, std::memory_order_release);
    return true;
}

bool PcmRing::putFlush() {
    if (!hasRoom()) {
        return false;
    }
    const uint32_t total = written.load(std::memory_order_relaxed);
    slots_[total % kPcmSlots] = PcmSlot{0, 0, true};
    written.store(total + 1, std::memory_order_release);
    return true;
}

void PcmRing::readSlot(uint32_t slot, uint8_t* destination, PcmSlot* info) const {
    const uint32_t index = slot % kPcmSlots;
    *info = slots_[index];
    std::memcpy(destination, data_.get() + index * kPcmSlotBytes, info->bytes);
}

}  // namespace vidora
