// The reader's schedule and the clock that pictures follow, with an injected clock: records are
// due at recorded speed without drift, late wake-ups are caught up, the first-record, seek and
// one-second rules hold, and pictures follow the sound while it flows and the schedule otherwise.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "engine/playback_clock.h"
#include "recording/pacing_schedule.h"

namespace vidora {
namespace {

// A clock that only moves when the reader sleeps, and oversleeps by what the test says.
struct FakeClock {
    int64_t now = 5000000;
    void sleepUntil(int64_t due, int64_t oversleep) {
        if (due > now) {
            now = due;
        }
        now += oversleep;
    }
};

// Plays `timestamps` as the reader does: each record waits until it is due, then is delivered.
std::vector<int64_t> deliveries(PacingSchedule& schedule, FakeClock& clock,
                                const std::vector<uint32_t>& timestamps,
                                const std::vector<int64_t>& oversleeps) {
    std::vector<int64_t> delivered;
    for (size_t i = 0; i < timestamps.size(); ++i) {
        const int64_t due = schedule.dueAt(schedule.next(timestamps[i]));
        clock.sleepUntil(due, i < oversleeps.size() ? oversleeps[i] : 0);
        delivered.push_back(clock.now);
    }
    return delivered;
}

TEST(PacingSchedule, TenThousandRecordsKeepRecordedSpeedWhateverTheWakeUps) {
    PacingSchedule schedule;
    FakeClock clock;
    const int64_t start = clock.now;
    schedule.start(start, 0);
    std::vector<uint32_t> timestamps;
    std::vector<int64_t> oversleeps;
    std::mt19937 random(7);
    for (uint32_t i = 0; i < 10000; ++i) {
        timestamps.push_back(1000 + 40 * i);
        // Every wake-up is late by up to 3 ms, now and then by 30 ms.
        oversleeps.push_back(i % 500 == 17 ? 30000 : static_cast<int64_t>(random() % 3000));
    }
    const std::vector<int64_t> delivered = deliveries(schedule, clock, timestamps, oversleeps);
    for (size_t i = 0; i < delivered.size(); ++i) {
        const int64_t due = start + 10000 + 40000 * static_cast<int64_t>(i);
        // Each record is as late as its own wake-up and no later: lateness never adds up, and a
        // late record is followed by one on time.
        ASSERT_GE(delivered[i], due) << i;
        ASSERT_LE(delivered[i], due + oversleeps[i]) << i;
    }
    // 9,999 gaps of 40 ms after the first 10 ms: no millisecond more per record.
    EXPECT_LE(delivered.back() - start, 10000 + 40000 * 9999 + 3000);
}

TEST(PacingSchedule, DelayRules) {
    PacingSchedule schedule;
    schedule.start(0, 0);
    std::vector<int64_t> streamTimes;
    // First record 10 ms; a gap; equal timestamps; backwards; a 5 s gap.
    for (uint32_t t : {1000u, 1040u, 1040u, 900u, 1900u, 6900u}) {
        streamTimes.push_back(schedule.next(t));
    }
    EXPECT_EQ(streamTimes, (std::vector<int64_t>{10000, 50000, 50000, 1050000, 2050000, 3050000}));
    // The first record after a seek keeps the delay of the one before, whatever its timestamp.
    schedule.resync();
    EXPECT_EQ(schedule.next(123456), 4050000);
    EXPECT_EQ(schedule.delayMs(), 1000u);
    EXPECT_EQ(schedule.next(123496), 4090000);
}

TEST(PacingSchedule, PauseRestartsFromTheMomentOfResuming) {
    PacingSchedule schedule;
    schedule.start(1000000, 0);
    const int64_t first = schedule.next(0);  // due at 1.010 s
    EXPECT_EQ(schedule.dueAt(first), 1010000);
    const int64_t second = schedule.next(40);  // due at 1.050 s
    // Paused at 1.030 s, 20 ms before the record was due, resumed at 9 s.
    const int64_t held = schedule.streamAt(1030000);
    schedule.resume(9000000, held);
    EXPECT_EQ(schedule.dueAt(second), 9020000);
    // A device that plays slower than the clock: what is not due yet moves later.
    schedule.delay(5000);
    EXPECT_EQ(schedule.dueAt(schedule.next(80)), 9065000);
}

TEST(PlaybackClock, PicturesFollowTheSoundWhileItFlowsAndTheScheduleOtherwise) {
    PlaybackClock clock;
    clock.runSchedule(1000000);
    const int64_t now = 3000000;  // the schedule stands at 2 s
    const int64_t lagging = 2000000 - kAudioLeadUs - kScheduleSlackUs;
    EXPECT_EQ(clock.presentationTime(now), lagging);
    // The device took 1.950 to 1.982 s a moment ago: the clock runs through that pull as it
    // plays, and no further.
    clock.setAudioPosition(1950000, 1982000, now, true);
    EXPECT_EQ(clock.presentationTime(now), 1950000);
    EXPECT_EQ(clock.presentationTime(now + 10000), 1960000);
    EXPECT_EQ(clock.presentationTime(now + 31000), 1981000);
    EXPECT_EQ(clock.presentationTime(now + 40000), 1982000);
    EXPECT_EQ(clock.timeUntil(1970000, now), 20000);
    // Sound that stopped (a gap in the recording) is left behind by the schedule.
    clock.setAudioPosition(1000000, 1032000, now, false);
    EXPECT_EQ(clock.presentationTime(now), lagging);
    int64_t position = 0;
    EXPECT_FALSE(clock.flowingAudioPosition(now, &position));
    // Paused: nothing moves.
    clock.holdSchedule(2000000);
    EXPECT_EQ(clock.presentationTime(now + 5000000), lagging);
    EXPECT_EQ(clock.timeUntil(lagging + 1, now), PlaybackClock::kForever);
    // A device that says it flows but has taken nothing for a while holds nobody back.
    clock.setAudioPosition(1950000, 1982000, now, true);
    EXPECT_TRUE(clock.flowingAudioPosition(now + 100000, &position));
    EXPECT_EQ(position, 1982000);
    EXPECT_FALSE(clock.flowingAudioPosition(now + kSoundStalledUs, &position));
}

}  // namespace
}  // namespace vidora
