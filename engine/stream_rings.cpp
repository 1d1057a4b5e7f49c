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
    written_.store(0);
    read_.store(0);
    generation_.store(0);
    showFrom_.store(0);
    finished_.store(false);
    marks_.reset();
    current_ = StreamMark{};
    generationServed_ = 0;
}

bool ByteRing::hasRoom() const {
    return !full() && marks_.hasRoomForRecord();
}

bool ByteRing::putRecord(const uint8_t* bytes, uint32_t n, int64_t streamTime) {
    if (!hasRoom()) {
        return false;
    }
    // The mark goes first: the consumer must know a record's time before it can see its bytes.
    marks_.push(StreamMark{written_.load(std::memory_order_relaxed), streamTime});
    put(bytes, n);
    wakeConsumer();
    return true;
}

void ByteRing::flush(int64_t showFrom) {
    // The marks hold a place free for a flush, so this never fails.
    showFrom_.store(showFrom, std::memory_order_release);
    marks_.push(StreamMark{written_.load(std::memory_order_relaxed), 0, true});
    generation_.fetch_add(1, std::memory_order_acq_rel);
    wakeConsumer();
}

void ByteRing::setFinished(bool finished) {
    finished_.store(finished, std::memory_order_release);
    wakeConsumer();
}

void ByteRing::put(const uint8_t* bytes, uint32_t n) {
    const uint32_t total = written_.load(std::memory_order_relaxed);
    copyIntoRing(data_.get(), size_, total % size_, bytes, n);
    written_.store(total + n, std::memory_order_release);
}

bool ByteRing::full() const {
    // Decided on whole numbers: unread > 0.8 × size ⇔ 5 × unread > 4 × size.
    const int64_t unread = static_cast<int32_t>(written_.load(std::memory_order_relaxed) -
                                                read_.load(std::memory_order_acquire));
    return unread * 5 > static_cast<int64_t>(size_) * 4;
}

uint32_t ByteRing::unread() const {
    const int32_t n = static_cast<int32_t>(written_.load(std::memory_order_acquire) -
                                           read_.load(std::memory_order_relaxed));
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}

uint32_t ByteRing::peek(uint8_t* destination, uint32_t most) const {
    const uint32_t n = std::min({unread(), most, size_});
    if (n > 0) {
        copyOutOfRing(data_.get(), size_, readPosition() % size_, destination, n);
    }
    return n;
}

bool ByteRing::peekExactly(uint8_t* destination, uint32_t n) const {
    if (unread() < n || n > size_) {
        return false;
    }
    copyOutOfRing(data_.get(), size_, readPosition() % size_, destination, n);
    return true;
}

PacketTake ByteRing::takePacket(uint8_t* destination, uint32_t capacity, uint32_t* length) {
    const uint32_t at = readPosition();
    const uint32_t available = unread();
    if (available < 4) {
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
    if (4 + static_cast<uint64_t>(payload) > available) {
        return PacketTake::NotReady;
    }
    copyOutOfRing(data_.get(), size_, (at + 4) % size_, destination, payload);
    read_.store(at + 4, std::memory_order_release);
    *length = payload;
    return PacketTake::Taken;
}

void ByteRing::consume(uint32_t n) {
    // Only a producer that found the ring full waits for room.
    const bool wasFull = producerWake_ != nullptr && !hasRoom();
    read_.store(readPosition() + n, std::memory_order_release);
    if (wasFull) {
        producerWake_->notify();
    }
}

void ByteRing::discardUnread() {
    read_.store(written_.load(std::memory_order_acquire), std::memory_order_release);
}

bool ByteRing::skipFlushes() {
    StreamMark flush;
    bool skipped = false;
    while (marks_.skipToFlush(&flush)) {
        read_.store(flush.position, std::memory_order_release);
        skipped = true;
    }
    return skipped;
}

bool ByteRing::takeRecord(uint8_t* destination, uint32_t capacity, StreamMark* record,
                          uint32_t* bytes) {
    *bytes = 0;
    StreamMark flush;
    bool flushed = false;
    if (generation() != generationServed_) {
        generationServed_ = generation();
        flushed = skipFlushes();
    }
    if (!flushed && marks_.advanceTo(readPosition(), &current_, &flush)) {
        read_.store(flush.position, std::memory_order_release);
        flushed = true;
    }
    if (flushed) {
        current_ = StreamMark{readPosition(), 0, false};
        *record = StreamMark{readPosition(), 0, true};
        return true;
    }
    uint32_t n = unread();
    uint32_t next = 0;
    if (marks_.nextRecordPosition(&next)) {
        n = std::min(n, next - readPosition());
    }
    n = std::min(n, capacity);
    if (n == 0) {
        return false;
    }
    *record = current_;
    *bytes = peek(destination, n);
    consume(n);
    return true;
}

}  // namespace vidora
