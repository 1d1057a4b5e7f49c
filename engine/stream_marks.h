#pragma once
// Where each record's bytes begin in a byte ring, and at which stream time they play: the reader
// pushes a mark for every record it appends, and a flush mark when a seek makes everything
// before it obsolete; the ring's consumer reads them in order. One producer, one consumer, no
// lock: the producer writes a mark before it publishes the tail, the consumer reads it before it
// publishes the head.

#include <array>
#include <atomic>
#include <cstdint>

namespace vidora {

struct StreamMark {
    uint32_t position = 0;   // ring total at which the record's bytes begin (or the flush applies)
    int64_t streamTime = 0;  // when the record plays, in stream microseconds
    bool flush = false;      // a seek: everything before `position` is to be dropped
};

class StreamMarks {
  public:
    static constexpr uint32_t kCapacity = 4096;

    // Whether a record's mark fits while a place stays free for a flush mark.
    bool hasRoomForRecord() const {
        return tail_.load(std::memory_order_relaxed) - head_.load(std::memory_order_acquire) + 2 <=
               kCapacity;
    }
    // False when full.
    bool push(const StreamMark& mark) {
        const uint32_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) >= kCapacity) {
            return false;
        }
        marks_[tail % kCapacity] = mark;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    // Consumer: passes over the marks of records that begin at or before `position`, leaving the
    // last of them in `*current`. Stops at a flush mark, which it takes and returns (true).
    bool advanceTo(uint32_t position, StreamMark* current, StreamMark* flush) {
        uint32_t head = head_.load(std::memory_order_relaxed);
        const uint32_t tail = tail_.load(std::memory_order_acquire);
        bool flushed = false;
        while (head != tail) {
            const StreamMark& mark = marks_[head % kCapacity];
            if (mark.flush) {
                *flush = mark;
                ++head;
                flushed = true;
                break;
            }
            if (static_cast<int32_t>(mark.position - position) > 0) {
                break;
            }
            *current = mark;
            ++head;
        }
        head_.store(head, std::memory_order_release);
        return flushed;
    }
    // Consumer: the position of the next record's mark after the current one, if there is one
    // and it is not a flush.
    bool nextRecordPosition(uint32_t* position) const {
        const uint32_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) {
            return false;
        }
        const StreamMark& mark = marks_[head % kCapacity];
        *position = mark.position;
        return !mark.flush;
    }

    // Consumer: drops every mark up to and including the next flush mark, which it returns;
    // false when no flush mark has been pushed.
    bool skipToFlush(StreamMark* flush) {
        uint32_t head = head_.load(std::memory_order_relaxed);
        const uint32_t tail = tail_.load(std::memory_order_acquire);
        while (head != tail) {
            const StreamMark& mark = marks_[head % kCapacity];
            ++head;
            if (mark.flush) {
                *flush = mark;
                head_.store(head, std::memory_order_release);
                return true;
            }
        }
        return false;
    }

    // Only while neither side runs.
    void reset() {
        head_.store(0);
        tail_.store(0);
    }

  private:
    std::array<StreamMark, kCapacity> marks_{};
    std::atomic<uint32_t> head_{0};
    std::atomic<uint32_t> tail_{0};
};

}  // namespace vidora
