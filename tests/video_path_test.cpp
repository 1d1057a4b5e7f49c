// The video path and the presenter. Every picture the path presents must be exactly what FFmpeg
// gives for the same stream scaled bicubically to the same size; pictures come when their
// records do, at any bit rate; damaged and unusual input is decoded as far as it goes; and a
// frame is composed exactly as a canvas copied whole would be. Recordings are played on one
// thread on virtual time (support/inline_run.h).

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "platform/surface.h"
#include "recording/record_index.h"
#include "recording/recording_format.h"
#include "support/ffmpeg_reference.h"
#include "support/inline_run.h"
#include "support/recording_bytes.h"
#include "tools/krm_writer.h"

namespace vidora {
namespace {

using test::Bytes;
using test::TempFile;

std::string testData(const char* name) {
    return std::string(VIDORA_TEST_DATA_DIR) + "/" + name;
}

// A run whose presented pictures are kept as the observer gets them (packed bottom-up BGR).
struct Watched {
    Watched(Rect rect)
        : surface(std::max(rect.width(), 1), std::max(rect.height(), 1)), run(&surface, rect) {
        run.engine.video().presenter().observer = [this](const uint8_t* p, int32_t w, int32_t h) {
            width = w;
            height = h;
            pictures.emplace_back(p, p + static_cast<size_t>(w) * h * 3);
        };
    }
    size_t play(const std::string& path, const std::function<void(size_t)>& before = {}) {
        EXPECT_TRUE(run.start(path));
        return run.play(SIZE_MAX, before);
    }
    Surface surface;
    test::InlineRun run;
    std::vector<std::vector<uint8_t>> pictures;
    int width = 0;
    int height = 0;
};

TEST(VideoPath, PresentsExactlyWhatFFmpegDecodes) {
    struct Case {
        const char* recording;
        const char* stream;
        Rect rect;
    };
    const Case cases[] = {
        {"h264_320x240.krm", "h264_320x240.h264", Rect{0, 0, 332, 236}},
        {"h264_320x240.krm", "h264_320x240.h264", Rect{0, 0, 1024, 640}},
        {"h264_320x240.krm", "h264_320x240.h264", Rect{0, 0, 501, 301}},  // drawn apart, clipped
        {"h264_1280x720_b.krm", "h264_1280x720_b.h264", Rect{0, 0, 512, 324}},
        {"h263_352x288.krm", "h263_352x288.h263", Rect{0, 0, 332, 236}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.recording) + " in " + std::to_string(c.rect.width()));
        const Bytes stream = test::readFileBytes(testData(c.stream));
        const bool h263 = std::string(c.stream).ends_with(".h263");
        Watched watched(c.rect);
        watched.play(testData(c.recording));
        const auto reference = test::referencePictures(
            h263, h263 ? std::vector<ByteVector>{stream} : splitH264AccessUnits(stream),
            watched.width, watched.height);
        ASSERT_GT(watched.pictures.size(), 10u);
        // Also the last pictures, which the parser and the decoder hold until the stream ends.
        ASSERT_EQ(watched.pictures.size(), reference.size());
        for (size_t i = 0; i < reference.size(); ++i) {
            ASSERT_TRUE(watched.pictures[i] == reference[i]) << "picture " << i;
        }
    }
}

// A 176 × 144 H.263 recording of one picture a record, `stepMs` apart.
Bytes pictureARecord(const std::vector<ByteVector>& pictures, uint32_t stepMs) {
    Bytes file = test::recordingHeader("h263", 176, 144);
    for (size_t i = 0; i < pictures.size(); ++i) {
        test::TestRecord record;
        record.timestamp = 1000 + stepMs * static_cast<uint32_t>(i);
        record.video.assign(pictures[i].begin(), pictures[i].end());
        test::appendRecord(file, record);
    }
    return file;
}

// Pictures come when their records do: a low-rate H.263 stream is not held back until some of
// it has piled up, and a picture-per-record stream shows each picture with its own record.
TEST(VideoPath, PicturesComeWithTheirRecords) {
    const Bytes stream = test::readFileBytes(testData("h263_176x144_low.h263"));
    const std::vector<ByteVector> units = splitH263Pictures(stream);
    ASSERT_GT(units.size(), 30u);
    TempFile perRecordFile("per-record.krm", pictureARecord(units, 200));
    struct Case {
        std::string path;
        std::function<size_t(size_t)> whole;  // pictures on show before record n comes
    };
    const Case cases[] = {
        // Each record ends inside the next picture, whose start completes its own.
        {testData("h263_176x144_low.krm"), [](size_t n) { return n; }},
        // Once three records started pictures, a record's picture shows before the next comes.
        {perRecordFile.path(), [](size_t n) { return n < 4 ? n - std::min<size_t>(n, 1) : n; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Watched watched(Rect{0, 0, 332, 236});
        std::vector<size_t> late;  // for each record, and once more after the last
        watched.play(c.path,
                     [&](size_t n) { late.push_back(watched.pictures.size() < c.whole(n)); });
        EXPECT_EQ(std::count(late.begin(), late.end() - 1, 1u), 0);
        EXPECT_EQ(watched.pictures.size(), units.size());
    }
}

// The video bytes of each record: records may hold no picture.
std::vector<uint32_t> videoBytesOfRecords(const std::string& path) {
    const Bytes file = test::readFileBytes(path);
    std::vector<uint32_t> records;
    for (size_t at = kRecordingHeaderBytes; at + kRecordHeaderBytes <= file.size();) {
        records.push_back(readLe32(file.data() + at + 24));
        at += kRecordHeaderBytes + records.back() + readLe32(file.data() + at + 28);
    }
    return records;
}

// With the record index, a seek lands on its record exactly: the first picture presented is
// FFmpeg's decoding of that record's picture (the n-th in display order for the n-th record),
// decoded from the key picture before it; also when paused, and when stepping back.
TEST(VideoPath, ExactSeeksShowTheLandingRecordsPicture) {
    const Bytes h263 = test::readFileBytes(testData("h263_176x144_low.h263"));
    const std::vector<ByteVector> h263Pictures = splitH263Pictures(h263);
    TempFile perRecordFile("exact-h263.krm", pictureARecord(h263Pictures, 40));
    const Bytes bFrames = test::readFileBytes(testData("h264_1280x720_b.h264"));
    struct Case {
        std::string path;
        bool h263;
        std::vector<ByteVector> pieces;
    };
    const Case cases[] = {
        {testData("h264_1280x720_b.krm"), false, splitH264AccessUnits(bFrames)},
        {perRecordFile.path(), true, {ByteVector(h263.begin(), h263.end())}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        auto index = std::make_shared<RecordIndex>();
        ASSERT_EQ(index->build(c.path), RecordIndex::End::Complete);
        const std::vector<uint32_t> video = videoBytesOfRecords(c.path);
        const size_t last = index->size() - 1;
        size_t lastPicture = last;
        while (lastPicture > 0 && video[lastPicture] == 0) {
            --lastPicture;
        }
        // On a key picture, just after one, before the next one, the last picture.
        const size_t key = index->keyAtOrBefore(lastPicture);
        for (const size_t landing : {key, key + 1, lastPicture / 2, lastPicture}) {
            for (const bool paused : {false, true}) {
                SCOPED_TRACE("record " + std::to_string(landing) + (paused ? " paused" : ""));
                Watched watched(Rect{0, 0, 332, 236});
                watched.run.engine.reader().index = [index] { return index; };
                ASSERT_TRUE(watched.run.start(c.path));
                watched.run.play(8);
                const size_t before = watched.pictures.size();
                if (paused) {
                    watched.run.engine.reader().setPaused(true);
                    watched.run.engine.video().setPaused(true);
                }
                watched.run.engine.reader().requestSeekToRecord(landing);
                // Paused, the reader delivers the records back to the key picture, the landing
                // record and the three after it, then holds (for ever, on virtual time).
                size_t atOnce = landing - index->keyAtOrBefore(landing);
                size_t pictures = 0;
                for (size_t r = landing; r <= last && r < landing + 16 && pictures < 4; ++r) {
                    pictures += video[r] > 0 ? 1 : 0;
                    ++atOnce;
                }
                if (paused && pictures < 4) {
                    // A decoder that reorders gives the last pictures up only at the end.
                    continue;
                }
                watched.run.play(paused ? atOnce : SIZE_MAX);
                ASSERT_GT(watched.pictures.size(), before);
                if (paused) {
                    EXPECT_EQ(watched.pictures.size(), before + 1);  // the landing picture alone
                }
                const auto reference =
                    test::referencePictures(c.h263, c.pieces, watched.width, watched.height);
                const size_t picture = static_cast<size_t>(
                    std::count_if(video.begin(), video.begin() + static_cast<ptrdiff_t>(landing),
                                  [](uint32_t bytes) { return bytes > 0; }));
                ASSERT_LT(picture, reference.size());
                EXPECT_TRUE(watched.pictures[before] == reference[picture]);
            }
        }
    }
}

KrmFile h264Recording(const KrmOptions& options) {
    KrmFile file;
    std::string error;
    EXPECT_TRUE(
        buildKrmFile(splitH264AccessUnits(test::readFileBytes(testData("h264_320x240.h264"))), {},
                     options, &file, &error))
        << error;
    return file;
}

TEST(VideoPath, DecodesDamagedAndUnusualInputAsFarAsItGoes) {
    KrmOptions badLength;
    badLength.faults.badLengthRecord = 20;
    const KrmFile damaged = h264Recording(badLength);
    TempFile damagedFile("bad-length.krm", damaged.bytes);
    Watched afterDamage(Rect{0, 0, 332, 236});
    afterDamage.play(damagedFile.path());
    // Everything but the damaged record's picture (and what depends on it) still shows.
    EXPECT_GT(afterDamage.pictures.size(), damaged.records.size() / 2 + 20);

    KrmOptions lies;  // the pictures overrule a header that lies about their size
    lies.width = 1920;
    lies.height = 200;
    TempFile liesFile("lies.krm", h264Recording(lies).bytes);
    Watched overruled(Rect{0, 0, 332, 236});
    overruled.play(liesFile.path());
    EXPECT_GT(overruled.pictures.size(), 50u);
    EXPECT_EQ(overruled.width, 316);
    EXPECT_EQ(overruled.height, 236);

    Watched nowhere(Rect{0, 0, 0, 236});  // an empty rectangle: decoded all the same, not shown
    nowhere.play(liesFile.path());
    EXPECT_EQ(nowhere.pictures.size(), 0u);
    EXPECT_EQ(nowhere.run.engine.videoRing().unread(), 0u);
}

// A mode change hands the path a new, black surface: the picture on show is drawn again at the
// new size, exactly as FFmpeg scales it, also after the end when no other picture comes.
TEST(VideoPath, NewTargetShowsThePictureOnShowAgain) {
    const auto units = splitH264AccessUnits(test::readFileBytes(testData("h264_320x240.h264")));
    const auto large = test::referencePictures(false, units, 432, 324);
    Watched watched(Rect{0, 0, 332, 236});
    watched.play(testData("h264_320x240.krm"));
    const size_t before = watched.pictures.size();
    Surface big(512, 324);
    watched.run.engine.video().setTarget(&big, Rect{0, 0, 512, 324});
    watched.run.engine.video().step();
    ASSERT_EQ(watched.pictures.size(), before + 1);
    EXPECT_EQ(watched.width, 432);
    EXPECT_TRUE(watched.pictures.back() == large.back());
}

// A deterministic jumble of bytes, so that a pixel out of place shows.
std::vector<uint8_t> noise(size_t n, uint32_t seed) {
    std::vector<uint8_t> bytes(n);
    for (uint8_t& b : bytes) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    return bytes;
}

// A surface with a pattern in every word, to see exactly what was drawn over.
Surface patterned(int32_t width, int32_t height) {
    Surface s(width, height);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            s.row(y)[x] = 0x5A000000u | static_cast<uint32_t>(y * 7919 + x * 104729);
        }
    }
    return s;
}

// Whether the words match; with `colourOnly` the free top byte is not compared.
bool same(const Surface& a, const Surface& b, bool colourOnly = false) {
    for (int32_t y = 0; y < a.height(); ++y) {
        for (int32_t x = 0; x < a.width(); ++x) {
            const uint32_t mask = colourOnly ? 0xFFFFFFu : ~0u;
            if (((a.row(y)[x] ^ b.row(y)[x]) & mask) != 0) {
                ADD_FAILURE() << "first difference at " << x << "," << y;
                return false;
            }
        }
    }
    return true;
}

TEST(Presenter, ComposesAsACanvasCopiedWholeWouldAndFitsTheAspect) {
    struct Case {
        const char* what;
        int32_t surfaceWidth, surfaceHeight;
        int32_t sourceWidth, sourceHeight;
        Rect fitIn;             // where the picture was scaled for
        Rect rect;              // where it is shown
        int32_t width, height;  // the display size that gives
        bool inPlace;           // lies whole on the surface
    };
    const Rect normal{0, 0, 332, 236};
    const Rect inside{13, 21, 345, 257};
    const Rect off{-5, -7, 327, 229};
    const Rect screen{0, 0, 1920, 1080};
    const Case cases[] = {
        {"bars left and right", 332, 236, 320, 240, normal, normal, 316, 236, true},
        {"bars above and below", 332, 236, 1280, 720, normal, normal, 332, 188, true},
        {"canvas clipped", 501, 301, 320, 240, {0, 0, 501, 301}, {0, 0, 501, 301}, 404, 304, false},
        {"inside a larger surface", 400, 300, 320, 240, inside, inside, 316, 236, true},
        {"partly off the surface", 320, 230, 320, 240, off, off, 316, 236, false},
        {"rectangle shrunk since", 332, 236, 320, 240, {0, 0, 512, 324}, normal, 432, 324, false},
        {"whole screen", 1920, 1080, 320, 240, screen, screen, 1440, 1080, true},
        {"unknown source size", 332, 236, 0, 0, {0, 0, 331, 235}, {0, 0, 331, 235}, 332, 236, true},
    };
    uint32_t seed = 1;
    const RecordTime time{2015, 3, 7, 8, 5, 9};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Presenter presenter;
        std::vector<uint8_t> observed;
        presenter.observer = [&](const uint8_t* p, int32_t w, int32_t h) {
            observed.assign(p, p + static_cast<size_t>(w) * h * 3);
        };
        Surface target = patterned(c.surfaceWidth, c.surfaceHeight);
        presenter.setTarget(&target, c.fitIn);
        presenter.fitDisplaySize(c.sourceWidth, c.sourceHeight);
        ASSERT_EQ(presenter.displayWidth(), c.width);
        ASSERT_EQ(presenter.displayHeight(), c.height);
        presenter.setTarget(&target, c.rect);
        const std::vector<uint8_t> image = noise(size_t(c.width) * c.height * 3, ++seed);

        // Black, the picture centred, the time on top, on a canvas copied whole.
        const int32_t canvasWidth = roundUpTo4(c.rect.width());
        const int32_t canvasHeight = roundUpTo4(c.rect.height());
        Surface canvas(canvasWidth, canvasHeight);
        canvas.fill(Rect{0, 0, canvasWidth, canvasHeight}, 0);
        canvas.copyBottomUpBgr(image.data(), c.width, c.height, c.width * 3,
                               (canvasWidth - c.width) / 2, (canvasHeight - c.height) / 2);
        canvas.drawText("2015.03.07 08:05:09", Rect{0, 0, canvasWidth, canvasHeight},
                        Surface::TextAlign::TopCentre, 0xC8C8C8, 0x141414);
        Surface expected = patterned(c.surfaceWidth, c.surfaceHeight);
        expected.copyFrom(canvas, 0, 0, canvasWidth, canvasHeight, c.rect.left, c.rect.top);

        // As the scaler leaves it apart: top row first, with slack behind every row.
        const int32_t stride = c.width * 3 + 8;
        std::vector<uint8_t> topDown(size_t(stride) * c.height, 0xEE);
        for (int32_t r = 0; r < c.height; ++r) {
            std::memcpy(&topDown[size_t(r) * stride],
                        &image[size_t(c.height - 1 - r) * c.width * 3], size_t(c.width) * 3);
        }
        ASSERT_TRUE(presenter.present(Presenter::Picture{topDown.data(), stride, true}, time));
        EXPECT_TRUE(same(target, expected));
        EXPECT_TRUE(observed == image);

        // Written in place, as the scaler writes into the surface; only where it lies whole.
        target = patterned(c.surfaceWidth, c.surfaceHeight);
        presenter.setTarget(&target, c.rect);
        observed.clear();
        const auto result = presenter.presentInPlace(
            [&](uint8_t* pixels, int32_t strideBytes) {
                for (int32_t r = 0; r < c.height; ++r) {
                    const uint8_t* in = &image[size_t(c.height - 1 - r) * c.width * 3];
                    uint8_t* out = pixels + ptrdiff_t(r) * strideBytes;
                    for (int32_t x = 0; x < c.width; ++x) {
                        std::memcpy(out + x * 4, in + x * 3, 3);
                        out[x * 4 + 3] = 0xFF;
                    }
                }
            },
            time);
        EXPECT_EQ(result == Presenter::InPlace::Presented, c.inPlace);
        const Surface untouched = patterned(c.surfaceWidth, c.surfaceHeight);
        EXPECT_TRUE(same(target, c.inPlace ? expected : untouched, c.inPlace));
        EXPECT_EQ(observed == image, c.inPlace);
        presenter.setTarget(nullptr, c.rect);
        EXPECT_FALSE(presenter.present(Presenter::Picture{topDown.data(), stride, true}, time));
    }
}

}  // namespace
}  // namespace vidora
