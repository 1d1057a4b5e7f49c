#pragma once
// The ring between two playback threads, one producer and one consumer, with no lock on its
// contents: the producer writes only places that are free and publishes its total after them
// (release); the consumer reads the total first (acquire) and only what lies below it. Totals
// only grow within a run; byte n lies at index n modulo the ring's size.
//
// It carries a stream in records, with a mark for each that says where its bytes begin and when
// it plays: H.264 packets with their length words, H.263 or AMR-NB frames from the reader to a
// decoder, and decoded sound, a frame a record, from the audio decoder to the sound output. A
// seek is a flush: a mark the consumer honours on its own by dropping everything before it, and
// a generation number that tells a consumer busy elsewhere (waiting to show a picture) that what
// it holds is obsolete. The producer also says when it has delivered its last record, so that
// the consumer gives up what its decoder holds back.
//
// The ring rings its consumer's WakeSignal when it hands it work, and its producer's (where one
// waits for room) when the consumer frees room in a ring that was full.

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
    void setProducerWake(WakeSignal* wake) { producerWake_ = wake; }
    uint32_t size() const { return size_; }
    // The storage as it lies, byte n of the stream at index n modulo size(): for whoever checks
    // what was written (tests, fuzzing).
    const uint8_t* data() const { return data_.get(); }

    // --- Producer ---
    // Appends one record's n bytes, which play at `streamTime`, with its mark. False, and
    // nothing appended, when the ring is more than 80 % full or has no room for another mark:
    // the record's bytes are dropped for this stream rather than make the producer wait.
    bool putRecord(const uint8_t* bytes, uint32_t n, int64_t streamTime);
    // Whether a record of at most 20 % of the ring would be taken now.
    bool hasRoom() const;
    // A seek: the consumer drops every byte before this point. What follows up to stream time
    // `showFrom` only prepares the decoder for the first record to be shown (0: all is shown).
    void flush(int64_t showFrom = 0);
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
    // The `showFrom` of the last flush pushed: read after generation(), it is at least as new.
    int64_t showFrom() const { return showFrom_.load(std::memory_order_acquire); }
    bool finished() const { return finished_.load(std::memory_order_acquire); }
    StreamMarks& marks() { return marks_; }

    // For a stream of small records: takes the next record (at most `capacity` bytes of it; the
    // rest comes next time) into `destination`, with its mark in `*record` and its size in
    // `*bytes`. A flush comes as a mark with `flush` set, as soon as the producer has pushed it:
    // what was still unread before it is dropped. False when there is nothing to take.
    bool takeRecord(uint8_t* destination, uint32_t capacity, StreamMark* record, uint32_t* bytes);

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
    std::atomic<int64_t> showFrom_{0};
    std::atomic<bool> finished_{false};
    StreamMarks marks_;
    WakeSignal* consumerWake_ = nullptr;
    WakeSignal* producerWake_ = nullptr;
    // takeRecord's place: the record being taken and the flushes served (consumer only).
    StreamMark current_;
    uint32_t generationServed_ = 0;
};

}  // namespace vidora
