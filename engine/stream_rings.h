#pragma once
// The rings between the threads. Each has one producer and one consumer and no lock on its
// contents: the producer writes only places that are free and publishes its total after them
// (release); the consumer reads the total first (acquire) and only what lies below it. Totals
// only grow within a run; byte (or slot) n lies at index n modulo the ring's size.
//
// ByteRing carries a stream (H.264 packets with their length words, H.263, AMR-NB frames) from
// the reader to a decoder, with the marks that say where each record begins and when it plays.
// PcmRing carries decoded sound, one frame per slot with the stream time it plays at, from the
// audio decode thread to the sound output.

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/engine_types.h"
#include "engine/stream_marks.h"

namespace vidora {

class ByteRing {
  public:
    explicit ByteRing(uint32_t size) : size_(size) {}
    ByteRing(const ByteRing&) = delete;
    ByteRing& operator=(const ByteRing&) = delete;

    // The storage, once; false when it cannot be had.
    bool allocate();
    // Empties the ring and its marks for a new run (no thread may be using it).
    void reset();
    uint32_t size() const { return size_; }
    // The storage as it lies, byte n of the stream at index n modulo size(): for whoever checks
    // what was written (tests, fuzzing).
    const uint8_t* data() const { return data_.get(); }

    // Producer: appends n bytes; the caller has made sure they fit (see full()).
    void put(const uint8_t* bytes, uint32_t n);
    // More than 80 % unread. A read total ahead of the written one counts as nothing unread.
    bool full() const;

    // Consumer: copies up to `most` unread bytes without consuming them; the count copied.
    uint32_t peek(uint8_t* destination, uint32_t most) const;
    // Copies exactly the next n unread bytes without consuming them; false while fewer are
    // unread.
    bool peekExactly(uint8_t* destination, uint32_t n) const;
    // Takes one length-prefixed packet: copies its payload (at most `capacity` bytes) and
    // consumes the length word only.
    PacketTake takePacket(uint8_t* destination, uint32_t capacity, uint32_t* length);
    // Drops every unread byte.
    void discardUnread();

    std::atomic<uint32_t> written{0};
    std::atomic<uint32_t> read{0};
    StreamMarks marks;

  private:
    const uint32_t size_;
    std::unique_ptr<uint8_t[]> data_;
};

class PcmRing {
  public:
    PcmRing() = default;
    PcmRing(const PcmRing&) = delete;
    PcmRing& operator=(const PcmRing&) = delete;

    bool allocate();
    void reset();

    // Producer: whether a slot is free.
    bool hasRoom() const {
        return written.load(std::memory_order_relaxed) - taken.load(std::memory_order_acquire) <
               kPcmSlots;
    }
    // Producer: one decoded frame (at most kPcmSlotBytes) that plays at `streamTime`; false, and
    // nothing appended, while the ring is full.
    bool put(const uint8_t* bytes, uint32_t n, int64_t streamTime);
    // A flush: the output drops the sound it holds when it comes to it. False while full.
    bool putFlush();
    // Consumer: copies slot `slot` (a count since the run's start) and tells what it holds.
    void readSlot(uint32_t slot, uint8_t* destination, PcmSlot* info) const;

    std::atomic<uint32_t> written{0};
    std::atomic<uint32_t> taken{0};

  private:
    std::unique_ptr<uint8_t[]> data_;
    std::unique_ptr<PcmSlot[]> slots_;
};

}  // namespace vidora
