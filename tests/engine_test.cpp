// The engine's start and stop protocol with its real threads: which threads run when, what
// open, close and togglePlay leave behind, and the two races the handle protocol must exclude.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "engine/playback_engine.h"
#include "platform/surface.h"
#include "support/recording_bytes.h"
#include "support/sleep_recorder.h"

namespace vidora {
namespace {

using test::Bytes;
using test::SleepRecorder;
using test::waitFor;

bool anyThreadRunning(const PlaybackEngine& e) {
    return e.videoRunning.load() || e.audioDecodeRunning.load() || e.audioOutRunning.load() ||
           e.readerRunning.load();
}

const std::string kMissingFile = "/nonexistent/vidora/missing.krm";

TEST(EngineLifecycle, FreshEngineIsIdle) {
    PlaybackEngine engine;
    EXPECT_EQ(engine.isPaused(), 1);
    EXPECT_EQ(engine.isPlaying(), 0);
    EXPECT_EQ(engine.opened.load(), 0);
    EXPECT_FALSE(anyThreadRunning(engine));
}

TEST(EngineLifecycle, CloseWithNothingOpenReturnsAtOnce) {
    PlaybackEngine engine;
    SleepRecorder sleeps(engine);
    EXPECT_EQ(engine.close(), 1);
    EXPECT_EQ(engine.stopRequested.load(), 1);
    EXPECT_EQ(engine.opened.load(), 0);
    EXPECT_EQ(engine.streamConfigured.load(), 0);
    EXPECT_EQ(engine.isPaused(), 1);
    EXPECT_EQ(engine.currentFilePath(), "");
}

TEST(EngineLifecycle, OpenStartsFourThreadsAndCloseEndsThem) {
    Surface surface(64, 48);
    PlaybackEngine engine;
    SleepRecorder sleeps(engine);
    ASSERT_EQ(engine.open(kMissingFile, &surface, Rect{0, 0, 64, 48}), 1);
    EXPECT_EQ(engine.opened.load(), 1);
    EXPECT_EQ(engine.isPaused(), 0);
    EXPECT_TRUE(engine.videoRunning.load() && engine.audioDecodeRunning.load() &&
                engine.audioOutRunning.load());
    EXPECT_EQ(engine.close(), 1);
    EXPECT_FALSE(anyThreadRunning(engine));
    EXPECT_EQ(engine.opened.load(), 0);
    EXPECT_EQ(engine.currentFilePath(), "");
}

// Each thread remembers the run that was current when it first slept; no thread of an earlier
// run may sleep once a thread of a later run has.
TEST(EngineLifecycle, OpenEndsEveryOldThreadBeforeAnyNewOneStarts) {
    PlaybackEngine engine;
    std::atomic<int> currentRun{1};
    std::mutex logMutex;
    std::vector<int> runLog;
    engine.setSleepFunction([&](SleepSite, uint32_t) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        thread_local int myRun = 0;
        if (myRun == 0) {
            myRun = currentRun.load();
        }
        {
            std::lock_guard<std::mutex> lock(logMutex);
            runLog.push_back(myRun);
        }
    });
    Surface surface(64, 48);
    engine.open(kMissingFile, &surface, Rect{0, 0, 64, 48});
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(logMutex);
        return runLog.size() > 20;
    }));
    currentRun = 2;
    engine.open(kMissingFile, &surface, Rect{0, 0, 64, 48});
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(logMutex);
        return std::count(runLog.begin(), runLog.end(), 2) > 20;
    }));
    engine.close();
    engine.setSleepFunction(nullptr);

    auto firstOfRun2 = std::find(runLog.begin(), runLog.end(), 2);
    EXPECT_EQ(std::find(firstOfRun2, runLog.end(), 1), runLog.end());
}

TEST(EngineLifecycle, ReopenClearsCountersAndMarks) {
    Surface surface(64, 48);
    PlaybackEngine engine;
    SleepRecorder sleeps(engine);
    engine.open(kMissingFile, &surface, Rect{0, 0, 64, 48});
    engine.togglePlay();
    engine.close();

    engine.videoRing.written = 123;
    engine.audioRing.read = 45;
    engine.pcmRing.written = 6000;
    engine.pcmRing.taken = 3;
    engine.videoFlushes = 2;
    engine.videoRing.marks.push(StreamMark{5, 7000, false});
    engine.clock.runSchedule(-5000000);
    engine.picturesScaled = 9;
    engine.seekPercent = 40;
    engine.paused = 1;
    engine.open(kMissingFile, &surface, Rect{0, 0, 64, 48});
    EXPECT_EQ(engine.videoRing.written.load(), 0u);
    EXPECT_EQ(engine.audioRing.read.load(), 0u);
    EXPECT_EQ(engine.pcmRing.written.load(), 0u);
    EXPECT_EQ(engine.pcmRing.taken.load(), 0u);
    EXPECT_EQ(engine.videoFlushes.load(), 0u);
    uint32_t markPosition = 0;
    EXPECT_FALSE(engine.videoRing.marks.nextRecordPosition(&markPosition));
    EXPECT_EQ(engine.clock.scheduleAt(7000000), 0);  // the reader has not started a schedule
    EXPECT_EQ(engine.picturesScaled.load(), 0u);
    EXPECT_EQ(engine.seekPercent.load(), 0);
    EXPECT_EQ(engine.isPaused(), 0);
}

TEST(EngineLifecycle, LongPathsAreKeptWhole) {
    Surface surface(64, 48);
    PlaybackEngine engine;
    SleepRecorder sleeps(engine);
    std::string path = "/tmp/" + std::string(400, 'x') + ".krm";
    // A reader that cannot open its file clears nothing but itself, so the path stays readable.
    engine.open(path, &surface, Rect{0, 0, 64, 48});
    EXPECT_EQ(engine.currentFilePath(), path);
}

TEST(EngineLifecycle, MissingWaveBlockStartsNothing) {
    Surface surface(64, 48);
    PlaybackEngine engine;
    SleepRecorder sleeps(engine);
    engine.waveBufferMemory.reset();
    EXPECT_EQ(engine.open(kMissingFile, &surface, Rect{0, 0, 64, 48}), 0);
    EXPECT_FALSE(anyThreadRunning(engine));
    EXPECT_EQ(engine.opened.load(), 0);
}

TEST(EngineControls, RetargetOnlyWhileOpen) {
    Surface first(64, 48);
    Surface second(32, 24);
    PlaybackEngine engine;
    SleepRecorder sleeps(engine);
    EXPECT_EQ(engine.retarget(&second, Rect{0, 0, 32, 24}), 0);
    EXPECT_EQ(engine.targetDc, nullptr);
    EXPECT_EQ(engine.videoRect, Rect{});

    engine.open(kMissingFile, &first, Rect{0, 0, 64, 48});
    EXPECT_EQ(engine.retarget(&second, Rect{0, 0, 32, 24}), 1);
    std::lock_guard<std::mutex> lock(engine.targetMutex);
    EXPECT_EQ(engine.targetDc, &second);
    EXPECT_EQ(engine.videoRect, (Rect{0, 0, 32, 24}));
}

TEST(EngineControls, TogglePlayPausesAndResumesWhilePlaying) {
    PlaybackEngine engine;
    SleepRecorder sleeps(engine);
    engine.playing = 1;
    engine.paused = 0;
    engine.togglePlay();
    EXPECT_EQ(engine.isPaused(), 1);
    engine.togglePlay();
    EXPECT_EQ(engine.isPaused(), 0);
    EXPECT_EQ(engine.readerRunning.load(), 0u);  // no reader started by a pause toggle
    EXPECT_EQ(sleeps.count(SleepSite::ToggleDelay), 0u);
}

TEST(EngineControls, TogglePlayWithNothingPlayingStartsOneReader) {
    PlaybackEngine engine;
    SleepRecorder sleeps(engine);
    engine.progressPercent = 57;
    engine.seekPercent = 30;
    engine.togglePlay();
    EXPECT_EQ(sleeps.delays(SleepSite::ToggleDelay), std::vector<uint32_t>{50});
    EXPECT_EQ(engine.progress(), 0);
    EXPECT_EQ(engine.seekPercent.load(), 30);  // left for the new reader to serve
    EXPECT_TRUE(waitFor([&] { return engine.readerRunning.load() == 0; }));
}

// Between a reader's start and its first record `playing` is still 0. A press in that window
// must not start a second reader over the first one. A paused reader stays in that window.
TEST(EngineControls, TogglePlayNeverStartsASecondReader) {
    PlaybackEngine engine;
    SleepRecorder sleeps(engine);
    Bytes file = test::recordingHeader("h264");
    test::appendRecord(file, test::TestRecord{});
    test::TempFile recording("toggle.krm", file);
    Surface surface(64, 48);
    engine.open(recording.path(), &surface, Rect{0, 0, 64, 48});
    ASSERT_TRUE(waitFor([&] { return engine.readerRunning.load() == 0; }));
    engine.paused = 1;
    engine.togglePlay();
    uint32_t reader = engine.readerRunning.load();
    ASSERT_NE(reader, 0u);
    ASSERT_TRUE(waitFor([&] { return sleeps.count(SleepSite::ReaderPause) > 0; }));
    EXPECT_EQ(engine.isPlaying(), 0);
    engine.togglePlay();
    EXPECT_EQ(engine.readerRunning.load(), reader);
    engine.close();
    EXPECT_EQ(engine.readerRunning.load(), 0u);
}

TEST(EngineControls, LastSeekRequestWins) {
    PlaybackEngine engine;
    engine.requestSeek(20);
    engine.requestSeek(75);
    EXPECT_EQ(engine.seekPercent.load(), 75);
}

// A reader that ends at once (here: nothing is open, so it has no file) must never leave a
// stale handle behind, or stopThreads would wait forever. Many quick starts make the window
// between a reader's start and its end as small as it gets.
TEST(EngineControls, ReadersThatEndAtOnceLeaveNoStaleHandle) {
    PlaybackEngine engine;
    SleepRecorder sleeps(engine, 0);
    for (int i = 0; i < 200; ++i) {
        engine.togglePlay();
        ASSERT_TRUE(waitFor([&] { return engine.readerRunning.load() == 0; }));
    }
    EXPECT_EQ(sleeps.count(SleepSite::ToggleDelay), 200u);
    EXPECT_EQ(engine.isPlaying(), 0);
    EXPECT_EQ(engine.progress(), 0);
    engine.close();
    EXPECT_FALSE(anyThreadRunning(engine));
}

TEST(EngineControls, RecordTimeIsSharedWhole) {
    PlaybackEngine engine;
    RecordTime t{2015, 6, 1, 12, 30, 45};
    engine.setRecordTime(t);
    EXPECT_EQ(engine.currentRecordTime(), t);
}

}  // namespace
}  // namespace vidora
