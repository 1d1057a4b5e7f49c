// The engine with its four real threads: a recording plays to its end and again, pause holds
// it, a seek goes on elsewhere, the drawing target follows the window, and hundreds of opens and
// closes leave no thread and no memory behind.

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

// After windows.h, which they need.
#include <psapi.h>
#include <tlhelp32.h>
#else
#include <malloc.h>
#include <unistd.h>
#endif

#include <atomic>
#include <filesystem>
#include <thread>

#include "engine/playback_engine.h"
#include "platform/surface.h"
#include "support/recording_bytes.h"
#include "support/wait_for.h"
#include "tools/krm_writer.h"

namespace vidora {
namespace {

using namespace std::chrono_literals;

using test::waitFor;

// The test stream as a recording whose records are all due at once, so that it is read as fast
// as it decodes.
test::TempFile& quickRecording() {
    static test::TempFile file = [] {
        KrmOptions options;
        options.timestampStep = 0;
        KrmFile krm;
        std::string error;
        EXPECT_TRUE(buildKrmFile(
            splitH264AccessUnits(test::readFileBytes(VIDORA_TEST_DATA_DIR "/h264_320x240.h264")),
            test::readFileBytes(VIDORA_TEST_DATA_DIR "/speech.amr"), options, &krm, &error))
            << error;
        return test::TempFile("quick.krm", krm.bytes);
    }();
    return file;
}

struct Player {
    Player() {
#ifndef _WIN32
        setenv("SDL_AUDIODRIVER", "dummy", 0);
#endif
        engine.setPictureReady([this] { ready.fetch_add(1); });
    }
    uint32_t shown() const {
        return engine.picturesDrawn();
    }
    PlaybackEngine engine;
    Surface surface{332, 236};
    std::atomic<int> ready{0};
};

TEST(Engine, PlaysToTheEndPausesSeeksAndPlaysAgain) {
    Player p;
    ASSERT_EQ(
        p.engine.open(VIDORA_TEST_DATA_DIR "/h264_320x240.krm", &p.surface, Rect{0, 0, 332, 236}),
        1);
    ASSERT_TRUE(waitFor([&] { return p.shown() > 5; }));
    p.engine.togglePlay();  // pause
    EXPECT_EQ(p.engine.isPaused(), 1);
    std::this_thread::sleep_for(100ms);
    const int progress = p.engine.progress();
    const uint32_t shown = p.shown();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(p.engine.progress(), progress) << "the reader went on while paused";
    EXPECT_LE(p.shown(), shown + 1) << "pictures went on while paused";
    p.engine.requestSeek(50);  // served once resumed
    p.engine.togglePlay();
    EXPECT_EQ(p.engine.isPaused(), 0);
    ASSERT_TRUE(waitFor([&] { return p.engine.isPlaying() == 0; }));
    EXPECT_EQ(p.engine.progress(), 99);

    // After the end a press plays the recording again from its first record. A second press
    // while that reader starts never starts another: it pauses the new one, or does nothing.
    const uint32_t before = p.shown();
    p.engine.togglePlay();
    p.engine.togglePlay();
    if (p.engine.isPaused() != 0) {
        p.engine.togglePlay();
    }
    ASSERT_TRUE(waitFor([&] { return p.shown() > before + 50; }));
    ASSERT_TRUE(waitFor([&] { return p.engine.isPlaying() == 0; }));
    EXPECT_EQ(p.engine.progress(), 99);
    EXPECT_EQ(p.engine.fileProblem(), FileProblem::None);

    // The target follows the window while open, and only then.
    Surface large(512, 324);
    EXPECT_EQ(p.engine.retarget(&large, Rect{0, 0, 512, 324}), 1);
    ASSERT_TRUE(waitFor([&] { return p.shown() > before + 51; }))
        << "shown again in the new target";
    p.engine.close();
    EXPECT_EQ(p.engine.retarget(&p.surface, Rect{0, 0, 332, 236}), 0);
}

TEST(Engine, TellsTheWindowAboutFilesItCannotPlay) {
    Player p;
    test::TempFile invalid("invalid.krm", test::recordingHeader("H264"));
    for (const std::string& path : {std::string("/nonexistent/vidora.krm"), invalid.path()}) {
        const int before = p.ready.load();
        ASSERT_EQ(p.engine.open(path, &p.surface, Rect{0, 0, 332, 236}), 1);
        ASSERT_TRUE(waitFor([&] { return p.ready.load() > before; }));
        EXPECT_NE(p.engine.fileProblem(), FileProblem::None);
        EXPECT_EQ(p.engine.isPlaying(), 0);
    }
    p.engine.togglePlay();  // nothing to play again
    EXPECT_EQ(p.engine.isPlaying(), 0);
}

#ifdef _WIN32
size_t threadCount() {
    size_t count = 0;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    CloseHandle(snapshot);
    return count;
}

long residentBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)
               ? static_cast<long>(counters.WorkingSetSize)
               : 0;
}
#else
size_t threadCount() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                             std::filesystem::directory_iterator()));
}

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
#endif

// Opens, seeks, pauses, plays again and closes, over and over, with every codec and size.
// The reviewer's operations on the real threads: the index comes while playing, jumps and steps
// land on their records (paused and after the end too), and the speed and volume change under
// way.
TEST(Engine, JumpsStepsAndSpeedsLandOnTheirRecords) {
    Player p;
    ASSERT_EQ(
        p.engine.open(VIDORA_TEST_DATA_DIR "/h264_320x240.krm", &p.surface, Rect{0, 0, 332, 236}),
        1);
    ASSERT_TRUE(waitFor([&] { return p.engine.index() != nullptr && p.shown() > 3; }));
    const size_t records = p.engine.index()->size();
    p.engine.setSpeed(4.0);
    p.engine.setVolume(0.5f);
    const std::optional<size_t> jumped = p.engine.seekBy(1000000);
    ASSERT_TRUE(jumped.has_value());
    EXPECT_TRUE(waitFor([&] { return p.engine.currentRecord() >= jumped; }));
    p.engine.setSpeed(1.0);
    const std::optional<size_t> stepped = p.engine.stepPicture(-1);
    ASSERT_TRUE(stepped.has_value());
    EXPECT_TRUE(
        waitFor([&] { return p.engine.isPaused() == 1 && p.engine.currentRecord() == stepped; }));
    // Paused, a second step goes on from the first, whether or not its picture is up yet.
    EXPECT_EQ(p.engine.stepPicture(+1), *stepped + 1);
    EXPECT_TRUE(waitFor([&] { return p.engine.currentRecord() == *stepped + 1; }));
    p.engine.togglePlay();
    ASSERT_TRUE(waitFor([&] { return p.engine.playedOut(); }, 20s));
    // After the end a step shows the picture before the last one shown, paused.
    const std::optional<size_t> end = p.engine.currentRecord();
    ASSERT_TRUE(end.has_value() && *end + 10 > records);
    EXPECT_EQ(p.engine.stepPicture(-1), *end - 1);
    EXPECT_TRUE(waitFor([&] { return p.engine.currentRecord() == *end - 1; }));
    EXPECT_EQ(p.engine.isPaused(), 1);
    p.engine.close();
}

TEST(Engine, HundredsOfRunsLeaveNoThreadAndNoGrowth) {
    const std::string dir = VIDORA_TEST_DATA_DIR;
    const std::string recordings[] = {quickRecording().path(), dir + "/h263_352x288.krm",
                                      dir + "/h264_1280x720_b.krm"};
    Player p;
    Surface large(512, 324);
    // After one run: a sanitizer's own thread starts with the first thread of the process.
    ASSERT_EQ(p.engine.open(recordings[0], &p.surface, Rect{0, 0, 332, 236}), 1);
    p.engine.close();
    const size_t threads = threadCount();
    long halfWay = 0;
    constexpr int kCycles = 60;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        Surface& surface = cycle % 2 == 0 ? p.surface : large;
        ASSERT_EQ(p.engine.open(recordings[cycle % 3], &surface,
                                Rect{0, 0, surface.width(), surface.height()}),
                  1);
        ASSERT_TRUE(waitFor([&] { return p.engine.isPlaying() != 0; }));
        p.engine.requestSeek(1 + (cycle * 37) % 98);
        if (cycle % 5 == 0) {
            p.engine.togglePlay();
            p.engine.togglePlay();
        }
        if (cycle % 7 == 0) {
            p.engine.retarget(&p.surface, Rect{0, 0, 332, 236});
        }
        if (cycle % 2 == 0) {
            p.engine.close();
        }
        if (cycle == kCycles / 2) {
            halfWay = residentBytes();
        }
    }
    p.engine.close();
#ifdef _WIN32
    // Windows starts and ends threads of its own in the process (the sound system's, the thread
    // pool's): none of the engine's may stay, but theirs may have gone.
    EXPECT_LE(threadCount(), threads);
#else
    EXPECT_EQ(threadCount(), threads);
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Thirty runs that each kept one of their pictures would add tens of megabytes. A few
    // megabytes come and go with where the allocator's per-thread heaps happen to stand, and
    // small losses are the leak checker's to find (the AddressSanitizer run).
    EXPECT_LT(residentBytes() - halfWay, 12L << 20);
#else
    static_cast<void>(halfWay);  // a sanitizer's own memory would be counted
#endif
}

}  // namespace
}  // namespace vidora
