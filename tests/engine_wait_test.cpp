// How the engine's threads wait: the wake signal that ends an idle wait, the end of a polling
// turn with and without a sleep function, the pacing sleep that a stop ends, and a whole run in
// which an idle thread would wait a minute unless it is woken, so that every missing wake-up
// shows as a stalled run.

#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <string>
#include <vector>

#include "audio/audio_decode.h"
#include "engine/playback_engine.h"
#include "platform/surface.h"
#include "recording/recording_format.h"
#include "support/sleep_recorder.h"

namespace vidora {
namespace {

using namespace std::chrono_literals;
using test::SleepRecorder;
using test::waitFor;

std::string testData(const char* name) {
    return std::string(VIDORA_TEST_DATA_DIR) + "/" + name;
}

// The H.264 packets of a recording, one per picture (its length-prefixed video bytes).
uint32_t h264Packets(const std::string& path) {
    uint32_t packets = 0;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    uint8_t header[kRecordingHeaderBytes];
    uint8_t bytes[kRecordHeaderBytes];
    if (f == nullptr || std::fread(header, 1, sizeof header, f) != sizeof header) {
        return 0;
    }
    while (std::fread(bytes, 1, sizeof bytes, f) == sizeof bytes) {
        RecordHeader r = parseRecordHeader(bytes);
        std::vector<uint8_t> payload(uint64_t{r.videoBytes} + r.audioBytes);
        if (std::fread(payload.data(), 1, payload.size(), f) != payload.size()) {
            break;
        }
        for (uint32_t at = 0; at + 4 <= r.videoBytes; at += 4 + readLe32(payload.data() + at)) {
            ++packets;
        }
    }
    std::fclose(f);
    return packets;
}

// True when `call` finishes within a generous bound; a wait that is never woken does not.
template <typename Call>
bool finishes(Call call) {
    auto done = std::async(std::launch::async, call);
    return done.wait_for(20s) == std::future_status::ready;
}

TEST(WakeSignal, ANotifyIsNeverLost) {
    WakeSignal signal;
    // Before the wait: the count read earlier is already stale, so the wait returns at once.
    uint64_t seen = signal.count();
    signal.notify();
    EXPECT_TRUE(finishes([&] { signal.waitFor(seen, 60s); }));
    // During the wait: a waiter on another thread is released.
    seen = signal.count();
    auto waiter = std::async(std::launch::async, [&] { signal.waitFor(seen, 60s); });
    std::this_thread::sleep_for(20ms);
    signal.notify();
    EXPECT_EQ(waiter.wait_for(20s), std::future_status::ready);
}

TEST(PollTurn, ASleepFunctionSeesEveryTurnAsDesigned) {
    PlaybackEngine engine;
    SleepRecorder sleeps(engine, 0);
    // Busy or idle, the function gets the designed delay, and nothing waits on the signal
    // (which is never rung here).
    EXPECT_TRUE(finishes([&] {
        engine.endPollTurn(SleepSite::VideoStep, 1, 0, true, engine.videoWake,
                           engine.videoWake.count());
        engine.endPollTurn(SleepSite::VideoStep, 1, 0, false, engine.videoWake,
                           engine.videoWake.count());
        engine.endPollTurn(SleepSite::AudioTurn, 1, 1, false, engine.audioDecodeWake,
                           engine.audioDecodeWake.count());
    }));
    EXPECT_EQ(sleeps.delays(SleepSite::VideoStep), (std::vector<uint32_t>{1, 1}));
    EXPECT_EQ(sleeps.delays(SleepSite::AudioTurn), (std::vector<uint32_t>{1}));
}

TEST(PollTurn, WithoutASleepFunctionAnIdleTurnWaitsForItsSignal) {
    PlaybackEngine engine;
    std::vector<SleepSite> seen;
    // The function covers the reader's pacing only: the turns below are the engine's own.
    engine.setSleepFunction([&](SleepSite site, uint32_t) { seen.push_back(site); },
                            sleepSiteBit(SleepSite::ReaderPacing));
    engine.idleWaitMs = 60000;
    // A busy turn with no busy pause returns at once.
    EXPECT_TRUE(finishes([&] {
        engine.endPollTurn(SleepSite::VideoStep, 1, 0, true, engine.videoWake,
                           engine.videoWake.count());
    }));
    // An idle turn returns once its own signal rings; another thread's signal does not end it.
    const uint64_t count = engine.audioOutWake.count();
    auto turn = std::async(std::launch::async, [&] {
        engine.endPollTurn(SleepSite::AudioOutFeed, 1, 1, false, engine.audioOutWake, count);
    });
    engine.videoWake.notify();
    EXPECT_EQ(turn.wait_for(100ms), std::future_status::timeout);
    engine.audioOutWake.notify();
    EXPECT_EQ(turn.wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(seen.empty());
}

// The reader's pacing may sleep up to a second before a record; a stop must not wait it out. The
// sleep here would last ten minutes: only the stop can end it within the test.
TEST(PollTurn, AStopEndsThePacingSleep) {
    PlaybackEngine engine;
    auto pacing =
        std::async(std::launch::async, [&] { engine.sleepFor(SleepSite::ReaderPacing, 600000); });
    EXPECT_EQ(pacing.wait_for(100ms), std::future_status::timeout);
    engine.stopThreads();
    EXPECT_EQ(pacing.wait_for(20s), std::future_status::ready);
    // Once stopping, a pacing sleep does not start at all.
    EXPECT_TRUE(finishes([&] { engine.sleepFor(SleepSite::ReaderPacing, 600000); }));
}

// A whole run without sleep functions for the threads, whose idle waits would last a minute:
// each picture, the pictures the decoder holds back until the end, each frame of sound and the
// stop must all come from a wake-up.
TEST(EngineWaiting, EveryThreadIsWokenForItsWork) {
    PlaybackEngine engine;
    engine.idleWaitMs = 60000;
    std::atomic<int> paced{0};
    // The reader delivers quickly, but pauses now and then so the threads run dry and wait.
    engine.setSleepFunction(
        [&](SleepSite, uint32_t) {
            if (paced.fetch_add(1) % 10 == 9) {
                std::this_thread::sleep_for(30ms);
            }
        },
        sleepSiteBit(SleepSite::ReaderPacing));
    std::atomic<uint32_t> pictures{0};
    engine.frameObserver = [&](const uint8_t*, int32_t, int32_t) { pictures.fetch_add(1); };
    Surface surface(512, 324);
    ASSERT_EQ(engine.open(testData("h264_1280x720_b.krm"), &surface, Rect{0, 0, 512, 324}), 1);
    ASSERT_TRUE(waitFor([&] { return engine.readerRunning.load() == 0; }, 60s));
    // One picture per packet, the two held back for reordering included.
    const uint32_t packets = h264Packets(testData("h264_1280x720_b.krm"));
    ASSERT_GT(packets, 40u);
    EXPECT_TRUE(waitFor([&] { return pictures.load() == packets; }))
        << pictures.load() << " of " << packets;
    // All sound decoded, to the last whole frame, and every frame handed on to the device.
    EXPECT_TRUE(waitFor([&] {
        return engine.audioRing.written.load() - engine.audioRing.read.load() < kAmrMaxFrameBytes &&
               engine.pcmRing.written.load() > 0 &&
               engine.pcmRing.taken.load() == engine.pcmRing.written.load();
    }));
    EXPECT_TRUE(finishes([&] { engine.close(); }));
}

TEST(EngineWaiting, ASleepFunctionForSomeSitesLeavesTheOthersAlone) {
    PlaybackEngine engine;
    std::mutex mutex;
    std::vector<SleepSite> seen;
    engine.setSleepFunction(
        [&](SleepSite site, uint32_t) {
            std::lock_guard<std::mutex> lock(mutex);
            seen.push_back(site);
        },
        sleepSiteBit(SleepSite::ReaderPacing));
    Surface surface(332, 236);
    ASSERT_EQ(engine.open(testData("h264_320x240.krm"), &surface, Rect{0, 0, 332, 236}), 1);
    ASSERT_TRUE(waitFor([&] { return engine.readerRunning.load() == 0; }, 60s));
    engine.close();
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_FALSE(seen.empty());
    for (SleepSite site : seen) {
        EXPECT_TRUE(site == SleepSite::ReaderPacing) << static_cast<int>(site);
    }
}

}  // namespace
}  // namespace vidora
