// The recording format and the reader. Hand-made files go through the reader fuzzing harness,
// which compares everything the reader did with what the format says (delays, ring bytes and
// marks, record time, progress); seeks, growing files and files that cannot be played are
// checked here directly. The reader runs alone on virtual time.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "engine/playback_engine.h"
#include "fuzz/reader_harness.h"
#include "recording/recording_format.h"
#include "support/recording_bytes.h"

namespace vidora {
namespace {

using test::appendRecord;
using test::Bytes;
using test::filler;
using test::recordingHeader;
using test::TempFile;
using test::TestRecord;

Bytes recordingOf(const std::vector<TestRecord>& records, const std::string& tag = "h264") {
    Bytes file = recordingHeader(tag);
    for (const TestRecord& r : records) {
        appendRecord(file, r);
    }
    return file;
}

// Records of 2,000 video and 100 audio bytes, timestamps 40 ms apart.
std::vector<TestRecord> evenRecords(int count) {
    std::vector<TestRecord> records(count);
    for (int i = 0; i < count; ++i) {
        records[i].timestamp = 1000 + 40 * i;
        records[i].video = filler(2000, static_cast<uint8_t>(i));
        records[i].audio = filler(100, static_cast<uint8_t>(i + 3));
    }
    return records;
}

TEST(RecordingFormat, HeaderAndDates) {
    auto accepts = [](const std::string& tag) {
        return acceptRecordingHeader(recordingHeader(tag).data());
    };
    EXPECT_TRUE(accepts("h264") && accepts("h263") && accepts("xh26"));
    EXPECT_FALSE(accepts("H264") || accepts("mpg4") || accepts(""));
    Bytes h = recordingHeader("ab");  // bytes after the first zero are not searched
    std::memcpy(h.data() + 3, "h264", 4);
    EXPECT_FALSE(acceptRecordingHeader(h.data()));
    Bytes full(1024, 'x');  // without a zero, up to the end and no further
    std::memcpy(full.data() + 1021, "h26", 3);
    EXPECT_TRUE(acceptRecordingHeader(full.data()));

    EXPECT_TRUE(isValidRecordTime({2016, 2, 29, 0, 0, 0}));
    EXPECT_TRUE(isValidRecordTime({2012, 12, 31, 23, 59, 59}));
    for (RecordTime bad : {RecordTime{2017, 2, 29, 0, 0, 0}, RecordTime{2014, 4, 31, 0, 0, 0},
                           RecordTime{2011, 6, 1, 0, 0, 0}, RecordTime{2019, 6, 1, 0, 0, 0},
                           RecordTime{2015, 13, 1, 0, 0, 0}, RecordTime{2015, 6, 0, 0, 0, 0},
                           RecordTime{2015, 6, 1, 24, 0, 0}, RecordTime{2015, 6, 1, 0, 0, 60}}) {
        EXPECT_FALSE(isValidRecordTime(bad)) << bad.month << "/" << bad.day;
    }
    EXPECT_EQ(daysInMonth(2000, 2), 29);
    EXPECT_EQ(daysInMonth(2100, 2), 28);
}

// Every delay rule, the codec and the size in the header, bad records of each kind.
TEST(Reader, DoesWhatTheFormatSaysOnHandMadeFiles) {
    std::vector<TestRecord> paced(6);
    const uint32_t stamps[] = {1000, 1040, 1040, 900, 5900, 5950};  // 10 40 0 1000 1000 50 ms
    for (size_t i = 0; i < paced.size(); ++i) {
        paced[i].timestamp = stamps[i];
        paced[i].audio = filler(i * 7);
    }
    std::vector<Bytes> files{recordingOf(paced), recordingOf(paced, "xh26"),
                             recordingOf(paced, "H264"), recordingOf(evenRecords(30))};
    for (int damage = 0; damage < 4; ++damage) {
        std::vector<TestRecord> records = evenRecords(8);
        records[5].sync += damage == 0;
        records[5].kind += damage == 1;
        records[5].time.day = damage == 2 ? 31 : records[5].time.day;
        records[5].time.month = damage == 2 ? 4 : records[5].time.month;
        if (damage == 3) {
            records[5].video = filler(65536 - 99);  // with the audio, one byte over the limit
        }
        files.push_back(recordingOf(records));
    }
    Bytes wrapping = recordingOf(evenRecords(8));  // sizes whose sum wraps around 32 bits
    const size_t sizes = 1024 + 5 * (32 + 2100) + 24;
    for (int i = 0; i < 8; ++i) {
        wrapping[sizes + i] =
            i < 4 ? uint8_t(0xFFFFFF00u >> (8 * i)) : uint8_t(0x200u >> (8 * (i - 4)));
    }
    files.push_back(wrapping);
    Bytes cut = recordingOf(evenRecords(5));
    cut.resize(cut.size() - 50);
    files.push_back(cut);
    Bytes shortHeader = recordingHeader("h264");
    shortHeader.resize(700);
    files.push_back(shortHeader);

    fuzz::ReaderRig rig;
    fuzz::MemoryFile memory;
    for (size_t i = 0; i < files.size(); ++i) {
        Bytes input(4, 0);
        input.insert(input.end(), files[i].begin(), files[i].end());
        EXPECT_EQ(fuzz::runReaderCase(rig, memory, input.data(), input.size()), "") << "file " << i;
    }
}

struct ReaderRun {
    PlaybackEngine engine{Pacer::Kind::Virtual};
    std::vector<uint32_t> delays;  // ms before each record delivered

    // Reads `path` to its end; `before(n)` runs before the n-th record.
    bool play(const std::string& path, const std::function<void(size_t)>& before = {}) {
        engine.prepare(nullptr, Rect{});
        Reader& reader = engine.reader();
        if (!reader.start(path)) {
            return false;
        }
        for (;;) {
            if (before) {
                before(delays.size());
            }
            const int64_t at = engine.pacer().nowUs();
            if (!reader.step()) {
                break;
            }
            delays.push_back(static_cast<uint32_t>((engine.pacer().nowUs() - at) / 1000));
        }
        reader.finish();
        return true;
    }
};

TEST(Reader, SeekResumesAtTheNextSyncWordKeepingThePreviousDelay) {
    auto records = evenRecords(40);
    records[3].timestamp = records[2].timestamp + 77;
    const Bytes file = recordingOf(records);
    TempFile recording("seek.krm", file);
    ReaderRun run;
    ASSERT_TRUE(run.play(recording.path(), [&](size_t n) {
        if (n == 4) {
            run.engine.requestSeek(50);
        }
    }));
    // 50 % of the file, counted from the end of the header, falls inside a record; reading
    // resumes at the next record, which keeps the delay of the record before the seek. It and
    // the three after it are delivered at once, each at its stream time, so that the decoder can
    // show the landing picture now; the next one is due when their times say.
    const uint64_t recordBytes = 32 + 2000 + 100;
    const uint64_t next = (file.size() * 50 / 100 + recordBytes - 1) / recordBytes;
    ASSERT_EQ(run.delays.size(), 4 + (records.size() - next));
    EXPECT_EQ(run.delays[3], 77u);
    EXPECT_EQ(run.delays[4] + run.delays[5] + run.delays[6] + run.delays[7], 0u);
    EXPECT_EQ(run.delays[8], 77u + 4 * 40u);
    EXPECT_EQ(run.delays[9], 40u);
    // Both rings were flushed: at the start and for the seek.
    EXPECT_EQ(run.engine.videoRing().generation(), 2u);
    EXPECT_EQ(run.engine.audioRing().generation(), 2u);

    ReaderRun end;  // past the last full stretch: no record follows
    ASSERT_TRUE(end.play(recording.path(), [&](size_t n) {
        if (n == 1) {
            end.engine.requestSeek(99);
        }
    }));
    EXPECT_EQ(end.delays.size(), 1u);
    EXPECT_FALSE(end.engine.reader().playing());
}

TEST(Reader, SeeksPastFourGibibytes) {
    // A sparse file of 5 GiB with records at its start and again at 90 %.
    const uint64_t size = 5ull << 30;
    TempFile recording("huge.krm", recordingOf(evenRecords(3)));
    std::filesystem::resize_file(recording.path(), size);
    Bytes late;
    for (const TestRecord& r : evenRecords(3)) {
        appendRecord(late, r);
    }
    std::fstream f(recording.path(), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(1024 + size * 90 / 100 + 4000));
    f.write(reinterpret_cast<const char*>(late.data()), static_cast<std::streamsize>(late.size()));
    f.close();
    ASSERT_FALSE(f.fail());
    ReaderRun run;
    ASSERT_TRUE(run.play(recording.path(), [&](size_t n) {
        if (n == 1) {
            run.engine.requestSeek(90);
        }
    }));
    EXPECT_EQ(run.delays.size(), 1u + 3u);
    EXPECT_EQ(run.engine.progress(), 90);
}

TEST(Reader, FollowsAFileThatGrowsWhileItPlays) {
    std::vector<TestRecord> records = evenRecords(10);
    TempFile recording("growing.krm", recordingOf(records));
    ReaderRun run;
    int highest = 0;
    ASSERT_TRUE(run.play(recording.path(), [&](size_t n) {
        highest = std::max(highest, run.engine.progress());
        if (n < 40) {
            Bytes more;
            appendRecord(more, records[0]);
            std::FILE* f = std::fopen(recording.path().c_str(), "ab");
            std::fwrite(more.data(), 1, more.size(), f);
            std::fclose(f);
        }
    }));
    EXPECT_EQ(run.delays.size(), 50u);
    EXPECT_LE(highest, 100);
    EXPECT_EQ(run.engine.progress(), 99);
}

TEST(Reader, TellsWhyAFileCannotBePlayed) {
    ReaderRun run;
    EXPECT_FALSE(run.play(std::filesystem::temp_directory_path().string()));
    EXPECT_EQ(run.engine.fileProblem(), FileProblem::CannotOpen);
    TempFile invalid("invalid.krm", recordingOf({TestRecord{}}, "H264"));
    EXPECT_FALSE(run.play(invalid.path()));
    EXPECT_EQ(run.engine.fileProblem(), FileProblem::NotARecording);
    TempFile good("good.krm", recordingOf({TestRecord{}}));
    EXPECT_TRUE(run.play(good.path()));  // the next file starts with a clean slate
    EXPECT_EQ(run.engine.fileProblem(), FileProblem::None);
}

}  // namespace
}  // namespace vidora
