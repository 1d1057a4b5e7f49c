// Damaged recordings of every kind, each with the outcome it must have: the reader ends at the
// first bad record with everything before it delivered, an invalid header or a file that cannot
// be opened is told to the window, and garbage for the decoders is decoded as far as it goes.
// Played on one thread on virtual time, so each case runs the same way every time.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "audio/audio_decoder.h"
#include "platform/surface.h"
#include "support/inline_run.h"
#include "support/recording_bytes.h"

namespace vidora {
namespace {

using test::appendRecord;
using test::Bytes;
using test::filler;
using test::recordingHeader;
using test::TempFile;
using test::TestRecord;

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void setLe32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

// A recording and where its records lie, found by their byte counts alone.
struct Recording {
    Bytes bytes;
    std::vector<size_t> records;

    uint32_t videoBytes(size_t i) const { return le32(&bytes[records[i] + 24]); }
    uint32_t audioBytes(size_t i) const { return le32(&bytes[records[i] + 28]); }
    size_t videoAt(size_t i) const { return records[i] + 32; }
    size_t audioAt(size_t i) const { return videoAt(i) + videoBytes(i); }
    // Sums of the video and audio bytes of the first n records.
    std::pair<uint32_t, uint32_t> totals(size_t n) const {
        uint32_t v = 0;
        uint32_t a = 0;
        for (size_t i = 0; i < n && i < records.size(); ++i) {
            v += videoBytes(i);
            a += audioBytes(i);
        }
        return {v, a};
    }
};

Recording walk(Bytes bytes) {
    Recording r{std::move(bytes), {}};
    size_t at = 1024;
    while (at + 32 <= r.bytes.size()) {
        uint64_t next = at + 32 + uint64_t{le32(&r.bytes[at + 24])} + le32(&r.bytes[at + 28]);
        if (next > r.bytes.size()) {
            break;
        }
        r.records.push_back(at);
        at = static_cast<size_t>(next);
    }
    return r;
}

Recording testRecording(const char* name) {
    return walk(test::readFileBytes(std::string(VIDORA_TEST_DATA_DIR) + "/" + name));
}

// Five records of 300 video bytes, 2,684 bytes in all: 1 % of it is a seek that finds the
// second record, 99 % one past the last full 1,020-byte stretch.
Bytes tinyRecording() {
    Bytes file = recordingHeader("h264");
    for (int i = 0; i < 5; ++i) {
        TestRecord r;
        r.timestamp = 1000 + 40 * i;
        r.video = filler(300, static_cast<uint8_t>(i));
        appendRecord(file, r);
    }
    return file;
}

enum class Outcome {
    Ends,           // the reader ends by itself after delivering some records
    InvalidHeader,  // nothing delivered, the invalid-file text on show
    Unopenable,     // nothing delivered, the cannot-open text on show
};

// What happens from inside the reader while it waits before a record (0-based).
using DuringPlay = std::function<void(PlaybackEngine&, const std::string& path, size_t record)>;

// Bytes delivered into a ring so far.
uint32_t written(ByteRing& ring) {
    return ring.readPosition() + ring.unread();
}

struct Damage {
    std::string name;
    Bytes file;        // the recording's bytes; ignored when path is set
    std::string path;  // a path to open as it is
    Outcome outcome = Outcome::Ends;
    size_t minDelivered = 0;
    size_t maxDelivered = 0;
    // Whether the rings must hold exactly the delivered records' bytes (no seek reset them).
    bool ringsMatchRecords = true;
    DuringPlay during;
    // Further checks once the decoders are done.
    std::function<void(test::InlineRun&)> check;
};

Damage endsAfter(std::string name, Bytes file, size_t delivered) {
    Damage d;
    d.name = std::move(name);
    d.file = std::move(file);
    d.minDelivered = d.maxDelivered = delivered;
    return d;
}

std::vector<Damage> damages() {
    const Recording h264 = testRecording("h264_320x240.krm");
    const Recording h263 = testRecording("h263_352x288.krm");
    const size_t all264 = h264.records.size();
    const size_t all263 = h263.records.size();
    if (all264 < 30 || all263 < 30) {
        return {};  // the test recordings are missing: the test says so
    }
    std::mt19937 random(20160229);
    auto noise = [&random](Bytes& b, size_t from, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            b[from + i] = static_cast<uint8_t>(random());
        }
    };
    std::vector<Damage> list;

    Damage empty;
    empty.name = "empty file";
    empty.outcome = Outcome::InvalidHeader;
    list.push_back(empty);

    Damage folder;
    folder.name = "a folder";
    folder.path = std::filesystem::temp_directory_path().string();
    folder.outcome = Outcome::Unopenable;
    list.push_back(folder);

    Damage missing;
    missing.name = "a missing file";
    missing.path = "/nonexistent/vidora/missing.krm";
    missing.outcome = Outcome::Unopenable;
    list.push_back(missing);

    // Bad records of every kind are the reader's (see reader_test); one here, after which the
    // date on show is the bad record's.
    Damage date = endsAfter("invalid date (31 April)", h264.bytes, 9);
    date.file[h264.records[9] + 10] = 4;
    date.file[h264.records[9] + 12] = 31;
    date.check = [](test::InlineRun& run) {
        EXPECT_EQ(run.engine.reader().recordTime().month, 4);
        EXPECT_EQ(run.engine.reader().recordTime().day, 31);
    };
    list.push_back(date);

    // The reader does not look inside the video bytes; the video thread drops the packet that
    // no buffer holds and picks up again at the next record.
    Damage length = endsAfter("H.264 length word over 192,000", h264.bytes, all264);
    setLe32(length.file, h264.videoAt(20), 192001);
    length.check = [all264](test::InlineRun& run) {
        EXPECT_GT(run.engine.video().presenter().presented(), all264 / 2);
        EXPECT_EQ(run.engine.videoRing().unread(), 0u);
    };
    list.push_back(length);

    // Every packet after the first record keeps its length word and a start code; the rest of
    // it is noise.
    Damage garbage264 = endsAfter("garbage H.264 payloads", h264.bytes, all264);
    for (size_t i = 1; i < all264; ++i) {
        size_t at = h264.videoAt(i);
        size_t end = at + h264.videoBytes(i);
        while (at + 4 <= end) {
            uint32_t n = le32(&h264.bytes[at]);
            if (n > end - at - 4) {
                break;
            }
            if (n > 5) {
                noise(garbage264.file, at + 8, n - 4);
            }
            at += 4 + n;
        }
    }
    garbage264.check = [](test::InlineRun& run) { EXPECT_EQ(run.engine.videoRing().unread(), 0u); };
    list.push_back(garbage264);

    // Noise with a picture start code every 600 bytes, so that the parser cuts it into
    // pictures for the decoder; the first two records stay whole.
    Damage garbage263 = endsAfter("garbage H.263", h263.bytes, all263);
    for (size_t i = 2; i < all263; ++i) {
        size_t at = h263.videoAt(i);
        noise(garbage263.file, at, h263.videoBytes(i));
        for (size_t p = at; p + 3 <= at + h263.videoBytes(i); p += 600) {
            garbage263.file[p] = 0;
            garbage263.file[p + 1] = 0;
            garbage263.file[p + 2] = 0x80 | (garbage263.file[p + 2] & 3);
        }
    }
    garbage263.check = [](test::InlineRun& run) {
        // The parser is handed every byte as it comes; nothing is left behind.
        EXPECT_EQ(run.engine.videoRing().unread(), 0u);
    };
    list.push_back(garbage263);

    Damage noiseAmr = endsAfter("random AMR-NB bytes", h264.bytes, all264);
    for (size_t i = 0; i < all264; ++i) {
        noise(noiseAmr.file, h264.audioAt(i), h264.audioBytes(i));
    }
    noiseAmr.check = [](test::InlineRun& run) {
        // Every byte is decoded or skipped, but for a last frame whose bytes never all came.
        EXPECT_LT(run.engine.audioRing().unread(), kAmrMaxFrameBytes);
    };
    list.push_back(noiseAmr);

    // Comfort noise (SID), NO_DATA and speech frames of noise, the stream's real frame layout
    // otherwise: every frame plays for its 20 ms, those the decoder refuses as silence, so that
    // the sound after them keeps its time.
    Damage sid = endsAfter("NO_DATA and SID frames among speech", h264.bytes, all264);
    {
        Bytes audio;
        const uint8_t sidHeader = (8 << 3) | 4;
        const uint8_t noDataHeader = (15 << 3) | 4;
        const uint8_t mr122Header = (7 << 3) | 4;
        while (audio.size() < 8000) {
            audio.push_back(noDataHeader);
            audio.push_back(sidHeader);
            for (int k = 0; k < 5; ++k) {
                audio.push_back(static_cast<uint8_t>(random()));
            }
            audio.push_back(mr122Header);
            for (int k = 0; k < 31; ++k) {
                audio.push_back(static_cast<uint8_t>(random()));
            }
        }
        size_t taken = 0;
        for (size_t i = 0; i < all264; ++i) {
            for (size_t k = 0; k < h264.audioBytes(i); ++k) {
                sid.file[h264.audioAt(i) + k] = audio[taken++ % audio.size()];
            }
        }
    }
    sid.check = [](test::InlineRun& run) {
        // Groups of 39 bytes: a 1-byte NO_DATA, a 6-byte SID and a 32-byte speech frame.
        const uint32_t all = written(run.engine.audioRing());
        const uint32_t rest = all % 39;
        const uint32_t frames = all / 39 * 3 + (rest >= 1 ? 1 : 0) + (rest >= 7 ? 1 : 0);
        EXPECT_GT(frames, 100u);
        // Besides the frames, the flush slot with which the reader starts.
        EXPECT_EQ(run.frames.size(), frames + 1);
    };
    list.push_back(sid);

    // An open file stays readable after its name is removed.
    Damage removed = endsAfter("file removed while it plays", h264.bytes, all264);
    removed.during = [](PlaybackEngine&, const std::string& path, size_t record) {
        if (record == 10) {
            std::error_code error;
            std::filesystem::remove(path, error);
        }
    };
    list.push_back(removed);

    // What the reader had buffered before the cut may still arrive, a record or two at most.
    Damage shortened = endsAfter("file shortened while it plays", h264.bytes, 12);
    shortened.maxDelivered = 14;
    shortened.ringsMatchRecords = false;
    const size_t cut = h264.records[12] + 10;
    shortened.during = [cut](PlaybackEngine&, const std::string& path, size_t record) {
        if (record == 10) {
            std::error_code error;
            std::filesystem::resize_file(path, cut, error);
        }
    };
    list.push_back(shortened);

    // Record 0, then the seek finds record 1 and plays on to the end.
    Damage seekStart = endsAfter("seek to 1 % of a tiny file", tinyRecording(), 5);
    seekStart.ringsMatchRecords = false;
    seekStart.during = [](PlaybackEngine& e, const std::string&, size_t record) {
        if (record == 1) {
            e.requestSeek(1);
        }
    };
    seekStart.check = [](test::InlineRun& run) {
        // A flush, as at the reader's start, tells the video path to skip what came before.
        EXPECT_EQ(written(run.engine.videoRing()), 5u * 300u);
        EXPECT_EQ(run.engine.videoRing().generation(), 2u);
    };
    list.push_back(seekStart);

    Damage seekEnd = endsAfter("seek to 99 % of a tiny file", tinyRecording(), 1);
    seekEnd.during = [](PlaybackEngine& e, const std::string&, size_t record) {
        if (record == 1) {
            e.requestSeek(99);
        }
    };
    list.push_back(seekEnd);

    // A seek before each of 3,000 records; then the reader plays on to the end or to a seek
    // that fails.
    Damage seeks = endsAfter("thousands of seek requests", h264.bytes, 3000);
    seeks.maxDelivered = 100000;
    seeks.ringsMatchRecords = false;
    seeks.during = [](PlaybackEngine& e, const std::string&, size_t record) {
        if (record < 3000) {
            e.requestSeek(static_cast<int32_t>(1 + (record * 37) % 97));
        }
    };
    list.push_back(seeks);
    return list;
}

bool allBlack(const Surface& s) {
    for (int y = 0; y < s.height(); ++y) {
        for (int x = 0; x < s.width(); ++x) {
            if (s.pixel(x, y) != 0) {
                return false;
            }
        }
    }
    return true;
}

// Plays `d` to its end; whether it ended at a bad record.
bool play(const Damage& d) {
    std::optional<TempFile> file;
    if (d.path.empty()) {
        file.emplace("damaged.krm", d.file);
    }
    const std::string path = d.path.empty() ? file->path() : d.path;
    Surface surface(332, 236);
    test::InlineRun run(&surface, Rect{0, 0, 332, 236});
    size_t delivered = 0;
    if (run.start(path)) {
        delivered = run.play(SIZE_MAX, [&](size_t record) {
            if (d.during) {
                d.during(run.engine, path, record);
            }
        });
    }
    EXPECT_EQ(run.engine.isPlaying(), 0);
    EXPECT_GE(delivered, d.minDelivered);
    EXPECT_LE(delivered, d.maxDelivered);
    if (d.ringsMatchRecords) {
        auto [video, audio] = walk(d.file).totals(d.minDelivered);
        EXPECT_EQ(written(run.engine.videoRing()), video);
        EXPECT_EQ(written(run.engine.audioRing()), audio);
    }
    if (d.check) {
        d.check(run);
    }
    const FileProblem told = d.outcome == Outcome::InvalidHeader ? FileProblem::NotARecording
                             : d.outcome == Outcome::Unopenable  ? FileProblem::CannotOpen
                                                                 : FileProblem::None;
    EXPECT_EQ(run.engine.fileProblem(), told);
    if (d.maxDelivered == 0) {
        EXPECT_TRUE(allBlack(surface)) << "something was drawn";
    }
    // Stopped at a bad record, the band over the last picture says the recording is damaged.
    const bool shown = run.engine.video().presenter().presented() > 0;
    EXPECT_EQ(run.engine.video().presenter().damaged(),
              shown && run.engine.reader().endedDamaged());
    return run.engine.reader().endedDamaged();
}

TEST(DamagedRecordings, EveryKindOfDamageEndsPlaybackCleanly) {
    std::vector<Damage> list = damages();
    ASSERT_GT(list.size(), 10u) << "the test recordings in " << VIDORA_TEST_DATA_DIR
                                << " are missing or too short";
    size_t damaged = 0;
    for (const Damage& d : list) {
        SCOPED_TRACE(d.name);
        damaged += play(d) ? 1 : 0;
    }
    EXPECT_GE(damaged, 1u);  // a bad record (its date); garbage inside records is not one
}

}  // namespace
}  // namespace vidora
