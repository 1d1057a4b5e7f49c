// A soak of the engine's whole lifecycle: 500 cycles of open, play, seek, pause, resume and close
// over the test recordings, with the pacing cut to a fraction of a millisecond so the soak takes
// about a minute. Afterwards no thread of the engine may be left, the process may have no more
// threads than before (SDL's audio thread aside), and its resident memory may have grown only a
// little since the first cycles. Leaks that do not show in the resident size are for
// LeakSanitizer, in the sanitizer build.

#include <gtest/gtest.h>

#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "engine/playback_engine.h"
#include "platform/surface.h"
#include "support/sleep_recorder.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VIDORA_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VIDORA_SOAK_SANITIZED 1
#endif
#endif

namespace vidora {
namespace {

using namespace std::chrono_literals;
using test::waitFor;

constexpr int kCycles = 500;
// The three recordings differ in codec and picture size: after one cycle of each, every buffer
// a run can need has been allocated once.
constexpr int kWarmUpCycles = 3;
// Each new thread may be handed another of the allocator's arenas until all of them exist, and
// each arena keeps some memory of its own: the resident size rises by several MiB over the first
// hundred cycles and then stays level. The margin allows for that; the second half of the soak,
// after the arenas exist, must stay within the smaller one.
constexpr long kResidentMarginBytes = 16L << 20;
constexpr long kSecondHalfMarginBytes = 4L << 20;

size_t threadCount() {
    size_t n = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++n;
    }
    return n;
}

// The resident size of what the process still holds: memory the allocator keeps free for reuse
// is handed back first, so that what is compared is what lives, not what was once at a peak.
long residentBytes() {
    malloc_trim(0);
    long pages = 0;
    long resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

bool anyThreadRunning(const PlaybackEngine& e) {
    return e.videoRunning.load() != 0 || e.audioDecodeRunning.load() != 0 ||
           e.audioOutRunning.load() != 0 || e.readerRunning.load() != 0;
}

TEST(Soak, FiveHundredCyclesLeaveNoThreadAndNoGrowth) {
    const std::string dir = VIDORA_TEST_DATA_DIR;
    const std::string recordings[] = {dir + "/h264_320x240.krm", dir + "/h263_352x288.krm",
                                      dir + "/h264_1280x720_b.krm"};
    for (const std::string& path : recordings) {
        ASSERT_TRUE(std::filesystem::exists(path)) << path;
    }

    PlaybackEngine engine;
    // Real sleeps, but short: the reader still paces, the other threads still poll.
    engine.setSleepFunction([](SleepSite site, uint32_t) {
        std::this_thread::sleep_for(site == SleepSite::ReaderPacing ? 300us : 100us);
    });
    Surface normal(332, 236);
    Surface large(512, 324);
    const size_t threadsBefore = threadCount();
    long residentAfterWarmUp = 0;
    long residentHalfWay = 0;

    for (int cycle = 0; cycle < kCycles; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        Surface& surface = cycle % 2 == 0 ? normal : large;
        ASSERT_EQ(engine.open(recordings[cycle % 3], &surface,
                              Rect{0, 0, surface.width(), surface.height()}),
                  1);
        ASSERT_TRUE(waitFor(
            [&] { return engine.isPlaying() != 0 || engine.readerRunning.load() == 0; }, 30s));
        engine.requestSeek(1 + (cycle * 37) % 98);
        ASSERT_TRUE(waitFor(
            [&] { return engine.seekPercent.load() == 0 || engine.readerRunning.load() == 0; },
            30s));
        // Pause and resume while playing; once the reader has ended, the first starts a new
        // one and the second pauses or does nothing.
        engine.togglePlay();
        engine.togglePlay();
        ASSERT_EQ(engine.close(), 1);
        ASSERT_FALSE(anyThreadRunning(engine));
        if (cycle + 1 == kWarmUpCycles) {
            residentAfterWarmUp = residentBytes();
        }
        if (cycle + 1 == kCycles / 2) {
            residentHalfWay = residentBytes();
        }
    }
    engine.setSleepFunction(nullptr);

    // SDL's audio subsystem may keep a thread of its own once started.
    const size_t threadsAfter = threadCount();
    EXPECT_GE(threadsAfter, threadsBefore);
    EXPECT_LE(threadsAfter, threadsBefore + 1);

    const long residentAfterLast = residentBytes();
    std::printf("resident memory: %ld KiB after %d cycles, %ld KiB after %d, %ld KiB after %d\n",
                residentAfterWarmUp / 1024, kWarmUpCycles, residentHalfWay / 1024, kCycles / 2,
                residentAfterLast / 1024, kCycles);
#ifdef VIDORA_SOAK_SANITIZED
    // The sanitizers hold freed memory back on purpose; LeakSanitizer checks for leaks instead.
    std::printf("resident size not compared under a sanitizer\n");
#else
    EXPECT_LT(residentAfterLast - residentAfterWarmUp, kResidentMarginBytes);
    EXPECT_LT(residentAfterLast - residentHalfWay, kSecondHalfMarginBytes);
#endif
}

}  // namespace
}  // namespace vidora
