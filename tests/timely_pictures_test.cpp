// Pictures come when their records do, at any bit rate: a low-rate H.263 stream is not held back
// until some amount of it has piled up, a camera's picture-per-record stream shows each picture
// with its own record, and the last pictures of a recording are shown too.

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "engine/playback_engine.h"
#include "platform/surface.h"
#include "support/recording_bytes.h"
#include "support/sleep_recorder.h"
#include "tools/krm_writer.h"

namespace vidora {
namespace {

using test::Bytes;
using test::SleepRecorder;
using test::TempFile;
using test::waitFor;

std::string testData(const char* name) {
    return std::string(VIDORA_TEST_DATA_DIR) + "/" + name;
}

// Plays `path` with the reader's pacing taken over. Before record n is handed on, the pictures
// of records 0 to n − 1 that `whole(n)` counts must be on show (waited for a while); returns the
// pictures presented in all, and in `*late` how many records found them missing.
uint32_t play(const std::string& path, const std::function<size_t(size_t)>& whole, size_t* late) {
    PlaybackEngine engine;
    SleepRecorder sleeps(engine, 0);
    std::atomic<size_t> record{0};
    std::atomic<size_t> missing{0};
    sleeps.onSleep([&](SleepSite site, uint32_t) {
        if (site != SleepSite::ReaderPacing) {
            return;
        }
        const size_t want = whole(record.fetch_add(1));
        if (!waitFor([&] { return engine.framesPresented.load() >= want; },
                     std::chrono::milliseconds(3000))) {
            missing.fetch_add(1);
        }
    });
    Surface surface(332, 236);
    EXPECT_EQ(engine.open(path, &surface, Rect{0, 0, 332, 236}), 1);
    EXPECT_TRUE(waitFor([&] { return engine.readerHandle.load() == 0; }));
    // Done once the ring is empty and no picture has come for a while.
    uint32_t last = 0;
    do {
        last = engine.framesPresented.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    } while (last != engine.framesPresented.load() ||
             engine.videoRingRead.load() != engine.videoRingWritten.load());
    engine.close();
    *late = missing.load();
    return engine.framesPresented.load();
}

TEST(TimelyPictures, LowRateH263ShowsEveryPictureIncludingTheLast) {
    const Bytes stream = test::readFileBytes(testData("h263_176x144_low.h263"));
    const size_t pictures = splitH263Pictures(stream).size();
    ASSERT_GT(pictures, 30u);
    // Each record ends inside the picture after its own, whose start completes its own picture:
    // before record n, pictures 0 to n − 1 are whole.
    size_t late = 0;
    const uint32_t shown = play(
        testData("h263_176x144_low.krm"), [](size_t n) { return n; }, &late);
    EXPECT_EQ(late, 0u) << "pictures waited for more of the stream than their own";
    EXPECT_EQ(shown, pictures);
}

TEST(TimelyPictures, PicturePerRecordStreamShowsEachPictureWithItsOwnRecord) {
    const Bytes stream = test::readFileBytes(testData("h263_176x144_low.h263"));
    const std::vector<ByteVector> units = splitH263Pictures(stream);
    Bytes recording = test::recordingHeader("h263", 176, 144);
    uint32_t timestamp = 1000;
    for (const ByteVector& unit : units) {
        test::TestRecord record;
        record.timestamp = timestamp;
        timestamp += 200;  // five pictures a second
        record.video.assign(unit.begin(), unit.end());
        test::appendRecord(recording, record);
    }
    TempFile file("per-record.krm", recording);
    // Once the stream has shown that its records start pictures, a record's picture is shown
    // before the next record comes, not a record later.
    size_t late = 0;
    const uint32_t shown = play(
        file.path(), [](size_t n) { return n < 4 ? n - std::min<size_t>(n, 1) : n; }, &late);
    EXPECT_EQ(late, 0u);
    EXPECT_EQ(shown, units.size());
}

}  // namespace
}  // namespace vidora
