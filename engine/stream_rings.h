#pragma once
// The rings between the playback threads. Each has one producer and one consumer and no lock on
// its contents: the producer writes only places that are free and publishes its total after them
// (release); the consumer reads the total first (acquire) and only what lies below it. Totals
// only grow within a run; byte (or slot) n lies at index n modulo the ring's size.
//
// ByteRing carries a stream (H.264 packets with their length words, H.263, AMR-NB frames) from
// the reader to a decoder, with a mark for each record that says where its bytes begin and when
// it plays. A seek is a flush: a mark the consumer honours on its own by dropping everything
// before it, and a generation number that tells a consumer busy elsewhere (waiting to show a
// picture) that what it holds is obsolete. The producer also says when it has delivered its
// last record, so the consumer gives up what its decoder holds back.
//
// PcmRing carries decoded sound, one frame per slot with the stream time it plays at, from the
// audio decoder to the sound output.
//
// Each ring rings its consumer's WakeSignal when it hands it work, and PcmRing its producer's
// when it frees a slot after having been full.

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/engine_types.h"
#include "engine/stream_marks.h"
#include "engine/wake_signal.h"

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
    void setConsumerWake(WakeSignal* wake) { consumerWake_ = wake; }
    uint32_t size() const { return size_; }
    // The storage as it lies, byte n of the stream at index n modulo size(): for whoever checks
    // what was written (tests, fuzzing).
    const uint8_t* data() const { return data_.get(); }

    // --- Producer ---
    // Appends one record's n bytes, which play at `streamTime`, with its mark. False, and
    // nothing appended, when the ring is more than 80 % full or has no room for another mark:
    // the record's bytes are dropped for this stream rather than make the producer wait.
    bool putRecord(const uint8_t* bytes, uint32_t n, int64_t streamTime);
    // A seek: the consumer drops every byte before this point.
    void flush();
    // The producer has delivered its last record, or starts delivering again.
    void setFinished(bool finished);

    // --- Consumer ---
    uint32_t readPosition() const { return read_.load(std::memory_order_relaxed); }
    // Bytes delivered and not yet consumed (none when the read position is ahead).
    uint32_t unread() const;
    // Copies up to `most` unread bytes without consuming them; the count copied.
    uint32_t peek(uint8_t* destination, uint32_t most) const;
    // Copies exactly the next n unread bytes without consuming them; false while fewer are
    // unread.
    bool peekExactly(uint8_t* destination, uint32_t n) const;
    // Takes one length-prefixed packet: copies its payload (at most `capacity` bytes) and
    // consumes the length word only.
    PacketTake takePacket(uint8_t* destination, uint32_t capacity, uint32_t* length);
    void consume(uint32_t n);
    // Drops every unread byte.
    void discardUnread();
    // Flushes pushed so far; a consumer compares it with the ones it has served.
    uint32_t generation() const { return generation_.load(std::memory_order_acquire); }
    // Drops everything up to the last flush pushed so far; false when there was none.
    bool skipFlushes();
    bool finished() const { return finished_.load(std::memory_order_acquire); }
    StreamMarks& marks() { return marks_; }

  private:
    void put(const uint8_t* bytes, uint32_t n);
    bool full() const;
    void wakeConsumer() {
        if (consumerWake_ != nullptr) {
            consumerWake_->notify();
        }
    }

    const uint32_t size_;
    std::unique_ptr<uint8_t[]> data_;
    std::atomic<uint32_t> written_{0};
    std::atomic<uint32_t> read_{0};
    std::atomic<uint32_t> generation_{0};
    std::atomic<bool> finished_{false};
    StreamMarks marks_;
    WakeSignal* consumerWake_ = nullptr;
};

class PcmRing {
  public:
    PcmRing() = default;
    PcmRing(const PcmRing&) = delete;
    PcmRing& operator=(const PcmRing&) = delete;

    bool allocate();
    void reset();
    void setWakes(WakeSignal* consumer, WakeSignal* producer) {
        consumerWake_ = consumer;
        producerWake_ = producer;
    }

    // Producer: whether a slot is free.
    bool hasRoom() const { return written_.load(std::memory_order_relaxed) - taken() < kPcmSlots; }
    // Producer: one decoded frame (at most kPcmSlotBytes) that plays at `streamTime`; false, and
    // nothing appended, while the ring is full.
    bool put(const uint8_t* bytes, uint32_t n, int64_t streamTime);
    // A flush: the output drops the sound it holds when it comes to it. False while full.
    bool putFlush();

    // Consumer: copies the next slot's sound to `destination` and tells what it held; false when
    // there is none.
    bool take(uint8_t* destination, PcmSlot* info);
    uint32_t taken() const { return taken_.load(std::memory_order_acquire); }
    uint32_t written() const { return written_.load(std::memory_order_acquire); }

  private:
    bool publish(const PcmSlot& slot, const uint8_t* bytes);

    std::unique_ptr<uint8_t[]> data_;
    std::unique_ptr<PcmSlot[]> slots_;
    std::atomic<uint32_t> written_{0};
    std::atomic<uint32_t> taken_{0};
    WakeSignal* consumerWake_ = nullptr;
    WakeSignal* producerWake_ = nullptr;
};

}  // namespace vidora
