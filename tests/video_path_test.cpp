// The video path against FFmpeg itself: every picture the engine presents must be exactly what
// FFmpeg gives for the same stream scaled bicubically to the same size. Plus the fit of the
// picture into the video area, the presenter's geometry, and the video path's handling of
// damaged and unusual input.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "engine/playback_engine.h"
#include "platform/surface.h"
#include "support/ffmpeg_reference.h"
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

TEST(DisplaySize, FitsThePictureKeepingItsAspect) {
    struct Case {
        int sw, sh, rw, rh, dw, dh;
    };
    const Case cases[] = {
        {320, 240, 332, 236, 316, 236},  {320, 240, 512, 324, 432, 324},
        {1280, 720, 512, 324, 512, 288}, {320, 240, 1024, 640, 856, 640},
        {320, 240, 352, 288, 352, 264},  {352, 288, 500, 300, 368, 300},
        {1280, 720, 500, 300, 500, 284}, {320, 240, 501, 301, 404, 304},
        {320, 240, 512, 384, 512, 384},
    };
    PlaybackEngine engine;
    for (const Case& c : cases) {
        engine.sourceWidth = c.sw;
        engine.sourceHeight = c.sh;
        engine.videoRect = Rect{0, 0, c.rw, c.rh};
        engine.computeDisplaySize();
        EXPECT_EQ(engine.displayWidth.load(), c.dw) << c.sw << "x" << c.sh << " in " << c.rw;
        EXPECT_EQ(engine.displayHeight.load(), c.dh) << c.sw << "x" << c.sh << " in " << c.rh;
    }
    // An unknown source size fills the rectangle until the first picture tells the real one.
    engine.sourceWidth = 0;
    engine.sourceHeight = 0;
    engine.videoRect = Rect{0, 0, 331, 235};
    engine.computeDisplaySize();
    EXPECT_EQ(engine.displayWidth.load(), 332);
    EXPECT_EQ(engine.displayHeight.load(), 236);
}

// A picture of one colour, `width` × `height`, bottom-up BGR.
std::vector<uint8_t> solidImage(int width, int height, uint8_t b, uint8_t g, uint8_t r) {
    std::vector<uint8_t> image(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < image.size(); i += 3) {
        image[i] = b;
        image[i + 1] = g;
        image[i + 2] = r;
    }
    return image;
}

struct PresenterCase {
    Rect rect;
    int pictureX;
    int canvasWidth;
};

TEST(Presenter, CentresThePictureOnBlackWithTheTimeOnTop) {
    for (PresenterCase c : {PresenterCase{Rect{0, 0, 332, 236}, 8, 332},
                            PresenterCase{Rect{0, 0, 501, 301}, 50, 504}}) {
        PlaybackEngine engine;
        Surface target(520, 320);
        target.fill(Rect{0, 0, 520, 320}, 0x00FF00);  // to see what the presenter covers
        engine.targetDc = &target;
        engine.videoRect = c.rect;
        engine.sourceWidth = 320;
        engine.sourceHeight = 240;
        engine.computeDisplaySize();
        const int w = engine.displayWidth.load();
        const int h = engine.displayHeight.load();
        auto image = solidImage(w, h, 0x30, 0x60, 0x90);
        engine.presentImage = image.data();
        engine.setRecordTime(RecordTime{2015, 3, 7, 8, 5, 9});

        engine.presentFrame();  // nothing decoded yet: nothing drawn
        EXPECT_EQ(engine.framesPresented.load(), 0u);
        EXPECT_EQ(target.pixel(100, 100), 0x00FF00u);

        engine.picturesScaled = 1;
        engine.presentFrame();
        EXPECT_EQ(engine.framesPresented.load(), 1u);
        const int y = c.rect.height() / 2;
        EXPECT_EQ(target.pixel(c.pictureX - 1, y), 0u) << "bar left of the picture";
        EXPECT_EQ(target.pixel(c.pictureX, y), 0x906030u);
        EXPECT_EQ(target.pixel(c.pictureX + w - 1, y), 0x906030u);
        // The canvas (rounded up to multiples of 4) is copied whole, clipped by the surface.
        EXPECT_EQ(target.pixel(c.canvasWidth - 1, y), 0u);
        EXPECT_EQ(target.pixel(c.canvasWidth, y), 0x00FF00u);
        if (textFontAvailable()) {
            // The time sits on an opaque band at the top centre.
            int band = 0;
            int text = 0;
            for (int x = 0; x < c.canvasWidth; ++x) {
                band += target.pixel(x, 1) == 0x141414;
                text += target.pixel(x, 8) == 0xC8C8C8;
            }
            EXPECT_GT(band, 40);
            EXPECT_GT(text, 2);
            EXPECT_NE(target.pixel(c.rect.width() / 2, 20), 0x141414u);
        }
        engine.targetDc = nullptr;
    }
}

struct PresentedPictures {
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> pictures;
    int width = 0;
    int height = 0;

    void attach(PlaybackEngine& engine) {
        engine.frameObserver = [this](const uint8_t* image, int32_t w, int32_t h) {
            std::lock_guard<std::mutex> lock(mutex);
            width = w;
            height = h;
            pictures.emplace_back(image, image + static_cast<size_t>(w) * h * 3);
        };
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return pictures.size();
    }
};

// Waits until the engine has taken everything its ring holds and no further picture comes:
// then it has presented all it ever will.
void waitUntilEverythingIsPresented(PlaybackEngine& engine, PresentedPictures& presented) {
    ASSERT_TRUE(waitFor([&] { return engine.readerRunning.load() == 0; }));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    size_t last;
    do {
        last = presented.count();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    } while ((presented.count() != last || engine.decodersReady.load() == 0 ||
              engine.videoRing.read.load() < engine.videoRing.written.load()) &&
             std::chrono::steady_clock::now() < deadline);
}

struct StreamCase {
    const char* recording;
    const char* stream;
    AVCodecID codec;
    Rect rect;
};

TEST(VideoPath, PresentsExactlyWhatFFmpegDecodes) {
    const StreamCase cases[] = {
        {"h264_320x240.krm", "h264_320x240.h264", AV_CODEC_ID_H264, Rect{0, 0, 332, 236}},
        {"h264_1280x720_b.krm", "h264_1280x720_b.h264", AV_CODEC_ID_H264, Rect{0, 0, 512, 324}},
        {"h263_352x288.krm", "h263_352x288.h263", AV_CODEC_ID_H263, Rect{0, 0, 332, 236}},
    };
    for (const StreamCase& c : cases) {
        SCOPED_TRACE(c.recording);
        Bytes stream = test::readFileBytes(testData(c.stream));
        ASSERT_FALSE(stream.empty());
        std::vector<ByteVector> units;
        if (c.codec == AV_CODEC_ID_H264) {
            units = splitH264AccessUnits(stream);
        }
        PlaybackEngine engine;
        SleepRecorder sleeps(engine, 0);
        PresentedPictures presented;
        presented.attach(engine);
        Surface surface(c.rect.width(), c.rect.height());
        ASSERT_EQ(engine.open(testData(c.recording), &surface, c.rect), 1);
        waitUntilEverythingIsPresented(engine, presented);
        engine.close();

        const bool h263 = c.codec == AV_CODEC_ID_H263;
        const auto reference =
            test::referencePictures(h263, h263 ? std::vector<ByteVector>{stream} : units,
                                    presented.width, presented.height);
        ASSERT_GT(presented.pictures.size(), 10u);
        // Also the last pictures, which the parser and the decoder hold until the stream ends.
        EXPECT_EQ(presented.pictures.size(), reference.size());
        for (size_t i = 0; i < presented.pictures.size() && i < reference.size(); ++i) {
            ASSERT_TRUE(presented.pictures[i] == reference[i]) << "picture " << i;
        }
    }
}

// H.263 comes as one stream, a picture per record. A picture is complete as soon as the next
// one begins, so it must be on show once the record after it has arrived, not when some amount
// of stream has piled up behind it: pictures would otherwise come in bursts.
TEST(VideoPath, H263PictureIsShownWhenTheNextRecordArrives) {
    PlaybackEngine engine;
    SleepRecorder sleeps(engine, 0);
    PresentedPictures presented;
    presented.attach(engine);
    std::atomic<size_t> record{0};
    std::atomic<size_t> late{0};
    sleeps.onSleep([&](SleepSite site, uint32_t) {
        if (site != SleepSite::ReaderPacing) {
            return;
        }
        // Before record n is delivered, records 0 to n-1 are in: pictures 0 to n-2 are whole.
        const size_t n = record.fetch_add(1);
        if (n >= 2 &&
            !waitFor([&] { return presented.count() + 1 >= n; }, std::chrono::milliseconds(5000))) {
            late.fetch_add(1);
        }
    });
    Surface surface(332, 236);
    ASSERT_EQ(engine.open(testData("h263_352x288.krm"), &surface, Rect{0, 0, 332, 236}), 1);
    waitUntilEverythingIsPresented(engine, presented);
    engine.close();
    EXPECT_GT(record.load(), 50u);
    EXPECT_EQ(late.load(), 0u) << "pictures waited for later records";
    EXPECT_GE(presented.count(), record.load());
}

// Records made of real H.264 access units, with damage where a test wants it.
KrmFile h264Recording(const KrmOptions& options) {
    Bytes stream = test::readFileBytes(testData("h264_320x240.h264"));
    KrmFile file;
    std::string error;
    EXPECT_TRUE(buildKrmFile(splitH264AccessUnits(stream), {}, options, &file, &error)) << error;
    return file;
}

// Holds the reader back before each record until the video thread has taken everything, as
// recorded-speed pacing does on any machine that keeps up with the stream.
void paceWithTheVideoThread(SleepRecorder& sleeps, PlaybackEngine& engine) {
    sleeps.onSleep([&engine](SleepSite site, uint32_t) {
        if (site == SleepSite::ReaderPacing) {
            waitFor(
                [&] {
                    return (engine.decodersReady.load() != 0 &&
                            engine.videoRing.read.load() >= engine.videoRing.written.load()) ||
                           engine.stopRequested.load() != 0;
                },
                std::chrono::milliseconds(10000));
        }
    });
}

size_t playAndCount(const Bytes& recording, Rect rect, PlaybackEngine& engine,
                    PresentedPictures& presented) {
    TempFile file("video.krm", recording);
    Surface surface(std::max(rect.width(), 1), std::max(rect.height(), 1));
    engine.open(file.path(), &surface, rect);
    waitUntilEverythingIsPresented(engine, presented);
    engine.close();
    return presented.count();
}

TEST(VideoPath, ImpossiblePacketLengthResumesAtTheNextRecord) {
    KrmOptions options;
    options.faults.badLengthRecord = 20;
    KrmFile file = h264Recording(options);
    PlaybackEngine engine;
    SleepRecorder sleeps(engine, 0);
    paceWithTheVideoThread(sleeps, engine);
    PresentedPictures presented;
    presented.attach(engine);
    size_t shown = playAndCount(file.bytes, Rect{0, 0, 332, 236}, engine, presented);
    // Everything but the damaged record's picture (and what depends on it) still shows.
    EXPECT_GT(shown, file.records.size() / 2 + 20);
}

TEST(VideoPath, HeaderThatLiesAboutTheSizeIsOverruledByThePictures) {
    KrmOptions options;
    options.width = 1920;
    options.height = 200;
    KrmFile file = h264Recording(options);
    PlaybackEngine engine;
    SleepRecorder sleeps(engine, 0);
    PresentedPictures presented;
    presented.attach(engine);
    EXPECT_GT(playAndCount(file.bytes, Rect{0, 0, 332, 236}, engine, presented), 50u);
    EXPECT_EQ(engine.sourceWidth.load(), 320);
    EXPECT_EQ(presented.width, 316);
    EXPECT_EQ(presented.height, 236);
}

TEST(VideoPath, EmptyRectanglePresentsNothing) {
    PlaybackEngine engine;
    SleepRecorder sleeps(engine, 0);
    PresentedPictures presented;
    presented.attach(engine);
    KrmFile file = h264Recording(KrmOptions{});
    EXPECT_EQ(playAndCount(file.bytes, Rect{0, 0, 0, 236}, engine, presented), 0u);
    EXPECT_GT(engine.videoRing.read.load(), 0u);  // decoding went on all the same
}

TEST(VideoPath, PausedThreadTakesNothing) {
    Surface surface(332, 236);
    PlaybackEngine engine;
    SleepRecorder sleeps(engine, 0);
    paceWithTheVideoThread(sleeps, engine);
    KrmFile file = h264Recording(KrmOptions{});
    TempFile recording("paused.krm", file.bytes);
    engine.open(recording.path(), &surface, Rect{0, 0, 332, 236});
    ASSERT_TRUE(waitFor([&] { return engine.framesPresented.load() > 0; }));
    engine.togglePlay();  // pause
    ASSERT_EQ(engine.isPaused(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    uint32_t read = engine.videoRing.read.load();
    size_t idles = sleeps.count(SleepSite::VideoIdle);
    ASSERT_TRUE(waitFor([&] { return sleeps.count(SleepSite::VideoIdle) > idles + 20; }));
    EXPECT_EQ(engine.videoRing.read.load(), read);
}

TEST(VideoPath, NewRectangleBetweenPicturesLaysOutAgain) {
    PlaybackEngine engine;
    SleepRecorder sleeps(engine, 0);
    PresentedPictures presented;
    presented.attach(engine);
    KrmFile file = h264Recording(KrmOptions{});
    TempFile recording("retarget.krm", file.bytes);
    Surface small(332, 236);
    Surface large(512, 324);
    engine.open(recording.path(), &small, Rect{0, 0, 332, 236});
    ASSERT_TRUE(waitFor([&] { return presented.count() > 3; }));
    engine.retarget(&large, Rect{0, 0, 512, 324});
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(presented.mutex);
        return presented.width == 432;
    }));
    EXPECT_EQ(presented.height, 324);
    engine.close();
}

// A mode change hands the video thread a new, black surface: while paused, and after the end,
// the picture on show is drawn again at the new size, exactly as FFmpeg scales it.
TEST(VideoPath, NewSurfaceWhilePausedOrAfterTheEndShowsThePictureAgain) {
    Bytes stream = test::readFileBytes(testData("h264_320x240.h264"));
    const std::vector<ByteVector> units = splitH264AccessUnits(stream);
    const auto large = test::referencePictures(false, units, 432, 324);
    PlaybackEngine engine;
    SleepRecorder sleeps(engine, 0);
    paceWithTheVideoThread(sleeps, engine);
    PresentedPictures presented;
    presented.attach(engine);
    Surface small(332, 236);
    Surface big(512, 324);
    Surface big2(512, 324);
    ASSERT_EQ(engine.open(testData("h264_320x240.krm"), &small, Rect{0, 0, 332, 236}), 1);

    // `last` picks the picture on show from the recording's pictures, given how many were shown.
    auto expectShownAgainInto = [&](Surface& target, const std::function<size_t(size_t)>& last) {
        size_t before = 0;
        {
            std::lock_guard<std::mutex> lock(presented.mutex);
            before = presented.pictures.size();
        }
        ASSERT_GT(before, 0u);
        engine.retarget(&target, Rect{0, 0, 512, 324});
        ASSERT_TRUE(waitFor([&] { return presented.count() > before; }));
        std::lock_guard<std::mutex> lock(presented.mutex);
        EXPECT_EQ(presented.pictures.size(), before + 1);
        EXPECT_EQ(presented.width, 432);
        const size_t index = last(before);
        ASSERT_LT(index, large.size());
        EXPECT_TRUE(presented.pictures.back() == large[index]) << "picture " << index;
    };

    ASSERT_TRUE(waitFor([&] { return presented.count() > 10; }));
    engine.togglePlay();  // pause
    ASSERT_TRUE(waitFor([&] { return engine.paused.load() != 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    expectShownAgainInto(big, [](size_t shown) { return shown - 1; });
    engine.togglePlay();  // resume, to the end
    waitUntilEverythingIsPresented(engine, presented);
    expectShownAgainInto(big2, [&](size_t) { return large.size() - 1; });
    engine.close();
}

// Pictures come when their records do, at any bit rate: a low-rate H.263 stream is not held back
// until some amount of it has piled up, a camera's picture-per-record stream shows each picture
// with its own record, and the last pictures of a recording are shown too.

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
    EXPECT_TRUE(waitFor([&] { return engine.readerRunning.load() == 0; }));
    // Done once the ring is empty and no picture has come for a while.
    uint32_t last = 0;
    do {
        last = engine.framesPresented.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    } while (last != engine.framesPresented.load() ||
             engine.videoRing.read.load() != engine.videoRing.written.load());
    engine.close();
    *late = missing.load();
    return engine.framesPresented.load();
}

TEST(VideoPath, LowRateH263ShowsEveryPictureIncludingTheLast) {
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

TEST(VideoPath, PicturePerRecordStreamShowsEachPictureWithItsOwnRecord) {
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
