// When records are due and which picture belongs on the screen: the reader's schedule (delay
// rules, pauses, a slow sound device) and the clock that follows the sound while it flows.

#include <gtest/gtest.h>

#include "engine/playback_clock.h"
#include "recording/pacing_schedule.h"

namespace vidora {
namespace {

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
