#pragma once
// When each record is due. Records play at recorded speed: each is due at the previous record's
// due time plus its delay, the gap between their timestamps, on a monotonic clock, so a late
// wake-up is caught up by the next record and lateness never accumulates. The rules of the
// delay: the first record waits 10 ms; a gap over a second, or a timestamp that goes backwards
// (unsigned arithmetic), counts as a second; the first record after a seek keeps the delay of the
// record before it.
//
// Times are microseconds. A record's stream time is the sum of the delays so far; the schedule
// maps it to the clock (ScheduleMapping), at recorded speed or faster or slower. A pause holds
// the stream time where it stands, and resuming restarts the schedule from that moment.

#include <cstdint>

#include "engine/engine_types.h"

namespace vidora {

class PacingSchedule {
  public:
    static constexpr uint32_t kFirstDelayMs = 10;
    static constexpr uint32_t kMaxDelayMs = 1000;

    // Starts at clock time `now` with the stream standing at `streamTime`.
    void start(int64_t now, int64_t streamTime) {
        mapping_.origin = now;
        mapping_.anchor = streamTime;
        streamTime_ = streamTime;
    }
    // The stream time of the record with this timestamp; it is due at dueAt() of it.
    int64_t next(uint32_t timestamp) {
        if (resyncPending_) {
            resyncPending_ = false;
        } else {
            delayMs_ = timestamp - previousTimestamp_;
        }
        if (delayMs_ > kMaxDelayMs) {
            delayMs_ = kMaxDelayMs;
        }
        previousTimestamp_ = timestamp;
        streamTime_ += int64_t{delayMs_} * 1000;
        return streamTime_;
    }
    // The next record is the first after a seek.
    void resync() { resyncPending_ = true; }
    // The stream time next() will give the first record after a seek.
    int64_t nextAfterResync() const {
        return streamTime_ + int64_t{delayMs_ > kMaxDelayMs ? kMaxDelayMs : delayMs_} * 1000;
    }

    int64_t dueAt(int64_t streamTime) const { return mapping_.clockAt(streamTime); }
    // The stream time that the clock time `now` stands for.
    int64_t streamAt(int64_t now) const { return mapping_.streamAt(now); }
    // Everything not yet due moves `us` later.
    void delay(int64_t us) { mapping_.origin += us; }
    // After a pause that held the stream at `heldStreamTime`: go on from `now`.
    void resume(int64_t now, int64_t heldStreamTime) {
        mapping_.origin = now;
        mapping_.anchor = heldStreamTime;
    }
    // From `now` on the stream moves `speed` times as fast as the clock.
    void setSpeed(int64_t now, double speed) {
        mapping_.anchor = mapping_.streamAt(now);
        mapping_.origin = now;
        mapping_.speed = speed;
    }

    const ScheduleMapping& mapping() const { return mapping_; }
    uint32_t delayMs() const { return delayMs_; }

  private:
    ScheduleMapping mapping_;
    int64_t streamTime_ = 0;
    uint32_t previousTimestamp_ = 0;
    uint32_t delayMs_ = kFirstDelayMs;
    bool resyncPending_ = true;
};

}  // namespace vidora
