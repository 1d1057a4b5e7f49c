// Every picture the video thread presents must be exactly FFmpeg's own picture scaled
// bicubically to the display size into an ordinary packed BGR buffer, whether the thread scales
// it straight into the video surface (where it lies whole on it) or apart (where it does not):
// with the size unchanged (where the library converts without scaling), enlarged, reduced to a
// display width whose rows are no multiple of 16 bytes and taller than the surface, and for
// H.263 as for H.264 with reordered pictures. Pictures are compared by a 64-bit hash of their
// bytes, so that large ones need not be kept.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "engine/playback_engine.h"
#include "platform/surface.h"
#include "recording/recording_format.h"
#include "support/ffmpeg_reference.h"
#include "support/sleep_recorder.h"

namespace vidora {
namespace {

using Bytes = std::vector<uint8_t>;
using test::SleepRecorder;
using test::waitFor;

std::string testData(const char* name) {
    return std::string(VIDORA_TEST_DATA_DIR) + "/" + name;
}

uint64_t hashBytes(const uint8_t* bytes, size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i) {
        h = (h ^ bytes[i]) * 1099511628211ull;
    }
    return h;
}

// The video bytes of every record; false when the file is no recording.
bool videoOf(const std::string& path, std::vector<Bytes>* records) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    uint8_t header[kRecordingHeaderBytes];
    bool ok = std::fread(header, 1, sizeof header, f) == sizeof header;
    uint8_t bytes[kRecordHeaderBytes];
    while (ok && std::fread(bytes, 1, sizeof bytes, f) == sizeof bytes) {
        RecordHeader r = parseRecordHeader(bytes);
        Bytes payload(uint64_t{r.videoBytes} + r.audioBytes);
        ok = std::fread(payload.data(), 1, payload.size(), f) == payload.size();
        payload.resize(r.videoBytes);
        records->push_back(std::move(payload));
    }
    std::fclose(f);
    return ok && !records->empty();
}

// FFmpeg's pictures of the recording at width × height, hashed.
std::vector<uint64_t> referenceHashes(const std::vector<Bytes>& records, bool h263, int width,
                                      int height) {
    std::vector<Bytes> pieces;
    if (h263) {
        pieces = records;
    } else {
        // Each record holds length-prefixed access units.
        for (const Bytes& r : records) {
            for (size_t at = 0; at + 4 <= r.size();) {
                const uint32_t length = readLe32(r.data() + at);
                pieces.emplace_back(r.begin() + at + 4, r.begin() + at + 4 + length);
                at += 4 + length;
            }
        }
    }
    std::vector<uint64_t> hashes;
    test::forEachReferencePicture(h263, pieces, width, height, [&](const test::Picture& p) {
        hashes.push_back(hashBytes(p.data(), p.size()));
    });
    return hashes;
}

struct Case {
    const char* recording;
    bool h263;
    Rect rect;
    int displayWidth;
    int displayHeight;
};

TEST(VideoScaling, EveryDisplaySizeGivesFFmpegsPicturesBottomUp) {
    const Case cases[] = {
        {"h264_320x240.krm", false, Rect{0, 0, 320, 240}, 320, 240},   // not scaled
        {"h264_320x240.krm", false, Rect{0, 0, 1024, 640}, 856, 640},  // enlarged
        {"h264_320x240.krm", false, Rect{0, 0, 501, 301}, 404, 304},   // rows of 1212 bytes, apart
        {"h264_1280x720_b.krm", false, Rect{0, 0, 1280, 720}, 1280, 720},
        {"h263_352x288.krm", true, Rect{0, 0, 1024, 640}, 784, 640},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.recording) + " in " + std::to_string(c.rect.width()) + "x" +
                     std::to_string(c.rect.height()));
        std::vector<Bytes> records;
        ASSERT_TRUE(videoOf(testData(c.recording), &records));
        const std::vector<uint64_t> reference =
            referenceHashes(records, c.h263, c.displayWidth, c.displayHeight);

        PlaybackEngine engine;
        SleepRecorder sleeps(engine, 0);
        std::mutex mutex;
        std::vector<uint64_t> presented;
        bool sizeAsExpected = true;
        engine.frameObserver = [&](const uint8_t* image, int32_t w, int32_t h) {
            std::lock_guard<std::mutex> lock(mutex);
            sizeAsExpected = sizeAsExpected && w == c.displayWidth && h == c.displayHeight;
            presented.push_back(hashBytes(image, static_cast<size_t>(w) * h * 3));
        };
        auto count = [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return presented.size();
        };
        Surface surface(c.rect.width(), c.rect.height());
        ASSERT_EQ(engine.open(testData(c.recording), &surface, c.rect), 1);
        ASSERT_TRUE(waitFor([&] { return engine.readerRunning.load() == 0; }));
        EXPECT_TRUE(waitFor([&] { return count() >= reference.size(); }, std::chrono::seconds(60)));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        engine.close();

        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_TRUE(sizeAsExpected);
        ASSERT_EQ(presented.size(), reference.size());
        for (size_t i = 0; i < presented.size(); ++i) {
            ASSERT_EQ(presented[i], reference[i]) << "picture " << i;
        }
    }
}

}  // namespace
}  // namespace vidora
