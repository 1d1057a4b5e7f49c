// The reader on hand-made recordings: which headers it accepts, which records end it, how long
// it sleeps before each record, where a seek lands, and what reaches the rings.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <mutex>

#include "engine/playback_engine.h"
#include "platform/surface.h"
#include "recording/recording_format.h"
#include "support/recording_bytes.h"
#include "support/sleep_recorder.h"
#include "tools/krm_writer.h"

namespace vidora {
namespace {

using test::appendRecord;
using test::Bytes;
using test::filler;
using test::recordingHeader;
using test::SleepRecorder;
using test::TempFile;
using test::TestRecord;
using test::waitFor;

// Opens `path` on `engine` and waits until the reader has ended by itself. The engine's video
// thread goes on drawing into the surface after that, so the stand-in surface lives as long as
// the process.
void playToTheEnd(PlaybackEngine& engine, const std::string& path, Surface* surface = nullptr) {
    static Surface fallback(64, 48);
    Surface* target = surface != nullptr ? surface : &fallback;
    ASSERT_EQ(engine.open(path, target, Rect{0, 0, target->width(), target->height()}), 1);
    ASSERT_TRUE(waitFor([&] { return engine.readerRunning.load() == 0; }));
}

Bytes recordingOf(const std::vector<TestRecord>& records, const std::string& tag = "h264") {
    Bytes file = recordingHeader(tag);
    for (const TestRecord& r : records) {
        appendRecord(file, r);
    }
    return file;
}

TEST(RecordingHeader, AcceptanceLooksForLowerCaseH26BeforeTheFirstZero) {
    auto accepts = [](const std::string& tag) {
        Bytes h = recordingHeader(tag);
        return acceptRecordingHeader(h.data());
    };
    EXPECT_TRUE(accepts("h264"));
    EXPECT_TRUE(accepts("h263"));
    EXPECT_TRUE(accepts("xh26"));   // found at offset 1
    EXPECT_FALSE(accepts("H264"));  // although it would select H.264
    EXPECT_FALSE(accepts("mpg4"));
    EXPECT_FALSE(accepts(""));
    // Bytes after the first zero are not searched.
    Bytes h = recordingHeader("ab");
    std::memcpy(h.data() + 3, "h264", 4);
    EXPECT_FALSE(acceptRecordingHeader(h.data()));
    // A header without any zero byte is searched to its end and no further.
    Bytes full(1024, 'x');
    std::memcpy(full.data() + 1021, "h26", 3);
    EXPECT_TRUE(acceptRecordingHeader(full.data()));

    const uint8_t upper[4] = {'H', '2', '6', '4'};
    const uint8_t other[4] = {'x', 'h', '2', '6'};
    EXPECT_TRUE(isH264Tag(upper));
    EXPECT_FALSE(isH264Tag(other));
}

TEST(RecordingHeader, DatesFollowTheCalendar) {
    EXPECT_TRUE(isValidRecordTime({2016, 2, 29, 0, 0, 0}));
    EXPECT_TRUE(isValidRecordTime({2012, 12, 31, 23, 59, 59}));
    EXPECT_TRUE(isValidRecordTime({2018, 1, 1, 0, 0, 0}));
    for (RecordTime bad : {RecordTime{2017, 2, 29, 0, 0, 0}, RecordTime{2014, 4, 31, 0, 0, 0},
                           RecordTime{2011, 6, 1, 0, 0, 0}, RecordTime{2019, 6, 1, 0, 0, 0},
                           RecordTime{2015, 0, 1, 0, 0, 0}, RecordTime{2015, 13, 1, 0, 0, 0},
                           RecordTime{2015, 6, 0, 0, 0, 0}, RecordTime{2015, 6, 1, 24, 0, 0},
                           RecordTime{2015, 6, 1, 0, 60, 0}, RecordTime{2015, 6, 1, 0, 0, 60}}) {
        EXPECT_FALSE(isValidRecordTime(bad))
            << bad.year << "-" << bad.month << "-" << bad.day << " " << bad.hour << ":"
            << bad.minute << ":" << bad.second;
    }
    EXPECT_EQ(daysInMonth(2000, 2), 29);
    EXPECT_EQ(daysInMonth(2100, 2), 28);
}

TEST(ReaderThread, TakesCodecAndPictureSizeFromTheHeader) {
    PlaybackEngine engine;
    SleepRecorder sleeps(engine);
    Bytes file = recordingHeader("h264", 640, 360);
    appendRecord(file, TestRecord{});
    TempFile recording("size.krm", file);
    playToTheEnd(engine, recording.path());
    EXPECT_EQ(engine.isH263.load(), 0);
    EXPECT_EQ(engine.streamConfigured.load(), 1);
    EXPECT_EQ(engine.sourceWidth.load(), 640);
    EXPECT_EQ(engine.sourceHeight.load(), 360);

    // Width 0 means "not given": the default stays, whatever the height field holds.
    PlaybackEngine other;
    SleepRecorder otherSleeps(other);
    Bytes noSize = recordingHeader("xh26", 0, 999);
    appendRecord(noSize, TestRecord{});
    TempFile unsized("nosize.krm", noSize);
    playToTheEnd(other, unsized.path());
    EXPECT_EQ(other.isH263.load(), 1);
    EXPECT_EQ(other.sourceWidth.load(), 320);
    EXPECT_EQ(other.sourceHeight.load(), 240);
}

TEST(ReaderThread, PacesByTimestampGaps) {
    PlaybackEngine engine;
    SleepRecorder sleeps(engine);
    std::vector<TestRecord> records(6);
    uint32_t timestamps[] = {1000, 1040, 1040, 900, 5900, 5950};
    for (size_t i = 0; i < records.size(); ++i) {
        records[i].timestamp = timestamps[i];
    }
    TempFile recording("pacing.krm", recordingOf(records));
    playToTheEnd(engine, recording.path());
    // First record 10 ms; then the gap; equal stamps 0; a stamp going back, and a 5 s gap, 1000.
    EXPECT_EQ(sleeps.delays(SleepSite::ReaderPacing),
              (std::vector<uint32_t>{10, 40, 0, 1000, 1000, 50}));
    EXPECT_EQ(engine.isPlaying(), 0);
}

TEST(ReaderThread, BadRecordsEndPlaybackWhereTheyStand) {
    struct Case {
        const char* name;
        std::function<void(TestRecord&)> damage;
    };
    const Case cases[] = {
        {"bad sync", [](TestRecord& r) { r.sync = 0x12345679; }},
        {"bad kind", [](TestRecord& r) { r.kind = 0x12340009; }},
        {"invalid date", [](TestRecord& r) { r.time = {2014, 4, 31, 8, 9, 10}; }},
        {"oversized payload",
         [](TestRecord& r) {
             r.video = filler(40000);
             r.audio = filler(25537);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PlaybackEngine engine;
        SleepRecorder sleeps(engine);
        std::vector<TestRecord> records(4);
        for (auto& r : records) {
            r.video = filler(100);
            r.audio = filler(32, 9);
        }
        c.damage(records[2]);
        TempFile recording("bad.krm", recordingOf(records));
        playToTheEnd(engine, recording.path());
        EXPECT_EQ(engine.isPlaying(), 0);
        EXPECT_EQ(sleeps.count(SleepSite::ReaderPacing), 2u);
        EXPECT_EQ(engine.videoRing.written.load(), 2u * 100u);
        EXPECT_EQ(engine.audioRing.written.load(), 2u * 32u);
        if (std::string(c.name) == "invalid date") {
            // The invalid record's date stays on show.
            EXPECT_EQ(engine.currentRecordTime(), (RecordTime{2014, 4, 31, 8, 9, 10}));
        }
    }
}

TEST(ReaderThread, ShortReadsEndPlayback) {
    std::vector<TestRecord> records(3);
    for (auto& r : records) {
        r.video = filler(500);
    }
    Bytes whole = recordingOf(records);
    for (size_t cut : {whole.size() - 100, whole.size() - 520, size_t{1024}, size_t{700}}) {
        SCOPED_TRACE(cut);
        PlaybackEngine engine;
        SleepRecorder sleeps(engine);
        TempFile recording("short.krm", Bytes(whole.begin(), whole.begin() + cut));
        playToTheEnd(engine, recording.path());
        EXPECT_EQ(engine.isPlaying(), 0);
        EXPECT_LE(engine.videoRing.written.load(), 1000u);
    }
}

TEST(ReaderThread, HeaderOnlyFileNeverPlays) {
    PlaybackEngine engine;
    SleepRecorder sleeps(engine);
    TempFile recording("header-only.krm", recordingHeader("h264"));
    playToTheEnd(engine, recording.path());
    EXPECT_EQ(engine.isPlaying(), 0);
    EXPECT_EQ(sleeps.count(SleepSite::ReaderPacing), 0u);
    EXPECT_EQ(engine.progress(), 0);
}

TEST(ReaderThread, ProgressAfterTheLastRecordCountsAllButTheHeader) {
    PlaybackEngine engine;
    SleepRecorder sleeps(engine);
    std::vector<TestRecord> records(30);
    for (auto& r : records) {
        r.video = filler(4000);
    }
    Bytes file = recordingOf(records);
    TempFile recording("progress.krm", file);
    playToTheEnd(engine, recording.path());
    EXPECT_EQ(engine.progress(), static_cast<int>((file.size() - 1024) * 100 / file.size()));
    EXPECT_EQ(engine.progress(), 99);
}

TEST(ReaderThread, AFileThatGrowsWhileItPlaysIsFollowedWithinTheWhole) {
    // A camera still writing: each record read, another one is appended to the file.
    PlaybackEngine engine;
    SleepRecorder sleeps(engine);
    std::vector<TestRecord> records(10);
    for (auto& r : records) {
        r.video = filler(4000);
    }
    TempFile recording("growing.krm", recordingOf(records));
    std::mutex mutex;
    int appended = 0;
    std::vector<int> progress;
    sleeps.onSleep([&](SleepSite site, uint32_t) {
        if (site != SleepSite::ReaderPacing) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex);
        progress.push_back(engine.progress());
        if (appended < 40) {
            Bytes more;
            appendRecord(more, records[0]);
            std::FILE* f = std::fopen(recording.path().c_str(), "ab");
            ASSERT_NE(f, nullptr);
            std::fwrite(more.data(), 1, more.size(), f);
            std::fclose(f);
            ++appended;
        }
    });
    playToTheEnd(engine, recording.path());
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(progress.size(), 50u);  // every appended record was played
    for (int p : progress) {
        EXPECT_LE(p, 100);
    }
    EXPECT_EQ(engine.progress(), 99);
}

TEST(ReaderThread, UnopenableFileLeavesPlayingAlone) {
    PlaybackEngine engine;
    engine.playing = 1;
    engine.readerRunning = 7;
    // No path has been opened: the reader cannot open anything and ends at once.
    ReaderThread(engine);
    EXPECT_EQ(engine.isPlaying(), 1);
    EXPECT_EQ(engine.readerRunning.load(), 0u);

    // A folder cannot be opened either; it ends the same way, and the window is told why.
    PlaybackEngine other;
    SleepRecorder sleeps(other);
    playToTheEnd(other, std::filesystem::temp_directory_path().string());
    EXPECT_EQ(other.fileProblem.load(), FileProblem::CannotOpen);
    EXPECT_EQ(other.isPlaying(), 0);
}

TEST(ReaderThread, InvalidHeaderIsToldToTheWindowAndNothingPlays) {
    PlaybackEngine engine;
    SleepRecorder sleeps(engine);
    Bytes file = recordingHeader("H264");
    appendRecord(file, TestRecord{});
    TempFile recording("invalid.krm", file);
    playToTheEnd(engine, recording.path());
    EXPECT_EQ(engine.fileProblem.load(), FileProblem::NotARecording);
    EXPECT_EQ(engine.isPlaying(), 0);
    EXPECT_EQ(sleeps.count(SleepSite::ReaderPacing), 0u);
    // The next file starts with a clean slate.
    TempFile good("good.krm", recordingOf({TestRecord{}}));
    playToTheEnd(engine, good.path());
    EXPECT_EQ(engine.fileProblem.load(), FileProblem::None);
}

// A hook that lets a test act from inside the reader, at the moment it is about to sleep
// before its n-th record.
class ReaderHook {
  public:
    ReaderHook(PlaybackEngine& engine) : engine_(engine) {
        engine.setSleepFunction([this](SleepSite site, uint32_t ms) {
            std::function<void()> action;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                log_.emplace_back(site, ms);
                if (site == SleepSite::ReaderPacing) {
                    ++pacing_;
                    auto it = actions_.find(pacing_);
                    if (it != actions_.end()) {
                        action = it->second;
                    }
                }
            }
            if (action) {
                action();
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        });
    }
    ~ReaderHook() {
        engine_.close();
        engine_.setSleepFunction(nullptr);
    }
    void atPacing(int n, std::function<void()> action) { actions_[n] = std::move(action); }
    std::vector<std::pair<SleepSite, uint32_t>> log() {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }
    std::vector<uint32_t> pacing() {
        std::vector<uint32_t> result;
        for (auto& [site, ms] : log()) {
            if (site == SleepSite::ReaderPacing) {
                result.push_back(ms);
            }
        }
        return result;
    }

  private:
    PlaybackEngine& engine_;
    std::mutex mutex_;
    int pacing_ = 0;
    std::map<int, std::function<void()>> actions_;
    std::vector<std::pair<SleepSite, uint32_t>> log_;
};

// Records of 2,000 video bytes and 100 audio bytes with timestamps 40 ms apart; the seek
// tests jump into the middle of them.
std::vector<TestRecord> evenRecords(int count) {
    std::vector<TestRecord> records(count);
    for (int i = 0; i < count; ++i) {
        records[i].timestamp = 1000 + 40 * i;
        records[i].video = filler(2000, static_cast<uint8_t>(i));
        records[i].audio = filler(100, static_cast<uint8_t>(i + 3));
        records[i].time.second = static_cast<uint16_t>(i % 60);
    }
    return records;
}

TEST(ReaderSeek, ResumesAtTheNextSyncWordAndKeepsThePreviousDelay) {
    PlaybackEngine engine;
    ReaderHook hook(engine);
    auto records = evenRecords(40);
    records[3].timestamp = records[2].timestamp + 77;  // record 3 waits 77 ms
    Bytes file = recordingOf(records);
    TempFile recording("seek.krm", file);
    uint32_t flushesBefore = 0;
    hook.atPacing(4, [&] {
        flushesBefore = engine.videoFlushes.load();
        engine.requestSeek(50);
    });
    playToTheEnd(engine, recording.path());

    // 50 % of the file, counted from the end of the header, falls inside a record; the next
    // record whose header starts with the sync word is where reading resumes.
    const uint64_t recordBytes = 32 + 2000 + 100;
    uint64_t target = 1024 + file.size() * 50 / 100;
    uint64_t next = (target - 1024 + recordBytes - 1) / recordBytes;
    std::vector<uint32_t> pacing = hook.pacing();
    ASSERT_GE(pacing.size(), 5u);
    // Records 0 to 3 (the request came while record 3 waited), then the first record after the
    // seek keeps record 3's delay, and the ones after it the usual gap.
    EXPECT_EQ(pacing[3], 77u);
    EXPECT_EQ(pacing[4], 77u);
    EXPECT_EQ(pacing[5], 40u);
    EXPECT_EQ(pacing.size(), 4u + (records.size() - next));
    // The rings keep what came before the seek; a flush tells their consumers to drop it.
    const uint32_t after = static_cast<uint32_t>(records.size() - next);
    EXPECT_EQ(engine.videoRing.written.load(), 2000u * (4 + after));
    EXPECT_EQ(engine.audioRing.written.load(), 100u * (4 + after));
    EXPECT_EQ(engine.videoFlushes.load(), flushesBefore + 1);
}

TEST(ReaderSeek, RequestWhilePausedIsServedAfterThePause) {
    Surface surface(64, 48);
    PlaybackEngine engine;
    ReaderHook hook(engine);
    TempFile recording("seek-paused.krm", recordingOf(evenRecords(40)));
    hook.atPacing(2, [&] {
        engine.paused = 1;
        engine.requestSeek(80);
    });
    engine.open(recording.path(), &surface, Rect{0, 0, 64, 48});
    ASSERT_TRUE(waitFor([&] {
        auto log = hook.log();
        return std::count(log.begin(), log.end(),
                          std::pair<SleepSite, uint32_t>{SleepSite::ReaderPause, 100}) >= 3;
    }));
    EXPECT_EQ(engine.seekPercent.load(), 80);  // still pending while paused
    engine.paused = 0;
    ASSERT_TRUE(waitFor([&] { return engine.readerRunning.load() == 0; }));
    EXPECT_EQ(engine.seekPercent.load(), 0);
    EXPECT_LT(hook.pacing().size(), 20u);
}

TEST(ReaderSeek, SeekPastTheLastFullStretchEndsTheReader) {
    PlaybackEngine engine;
    ReaderHook hook(engine);
    TempFile recording("seek-end.krm", recordingOf(evenRecords(10)));
    hook.atPacing(1, [&] { engine.requestSeek(99); });
    playToTheEnd(engine, recording.path());
    EXPECT_EQ(hook.pacing().size(), 1u);
    EXPECT_EQ(engine.isPlaying(), 0);
}

TEST(ReaderSeek, WorksPastFourGibibytes) {
    // A sparse file of 5 GiB: records at its start and again at 90 %; only 32-bit-clean
    // arithmetic finds them and reports the progress right.
    const uint64_t size = 5ull << 30;
    TempFile recording("huge.krm");
    std::FILE* f = std::fopen(recording.path().c_str(), "wb");
    ASSERT_NE(f, nullptr);
    Bytes start = recordingOf(evenRecords(3));
    std::fwrite(start.data(), 1, start.size(), f);
    Bytes late;
    for (const TestRecord& r : evenRecords(3)) {
        appendRecord(late, r);
    }
    const uint64_t lateAt = 1024 + size * 90 / 100 + 4000;
    ASSERT_EQ(fseeko(f, static_cast<off_t>(lateAt), SEEK_SET), 0);
    std::fwrite(late.data(), 1, late.size(), f);
    ASSERT_EQ(ftruncate(fileno(f), static_cast<off_t>(size)), 0);
    std::fclose(f);

    PlaybackEngine engine;
    ReaderHook hook(engine);
    hook.atPacing(1, [&] { engine.requestSeek(90); });
    // The zeros after the late records are no record: the reader ends there.
    playToTheEnd(engine, recording.path());
    EXPECT_EQ(hook.pacing().size(), 1u + 3u);
    uint64_t consumed = size * 90 / 100 + 1020 * (4000 / 1020 + 1) + late.size();
    EXPECT_EQ(engine.progress(), static_cast<int>(consumed * 100 / size));
    EXPECT_EQ(engine.progress(), 90);
}

// A recording made from real encoder output reaches the rings byte for byte: every H.264 access
// unit as one length-prefixed packet, in order, and the AMR-NB stream unbroken.
TEST(ReaderRoundTrip, RealStreamsReachTheRingsUnchanged) {
    const std::string dir = VIDORA_TEST_DATA_DIR;
    Bytes h264 = test::readFileBytes(dir + "/h264_320x240.h264");
    Bytes amr = test::readFileBytes(dir + "/speech.amr");
    ASSERT_FALSE(h264.empty());
    ASSERT_FALSE(amr.empty());
    std::vector<ByteVector> units = splitH264AccessUnits(h264);
    KrmOptions options;
    options.width = 320;
    options.height = 240;
    KrmFile file;
    std::string error;
    ASSERT_TRUE(buildKrmFile(units, amr, options, &file, &error)) << error;
    TempFile recording("roundtrip.krm", file.bytes);

    PlaybackEngine engine;
    SleepRecorder sleeps(engine, 0);
    playToTheEnd(engine, recording.path());
    EXPECT_EQ(sleeps.count(SleepSite::ReaderPacing), file.records.size());

    Bytes expectedVideo;
    for (const ByteVector& unit : units) {
        test::putLe32(expectedVideo, static_cast<uint32_t>(unit.size()));
        expectedVideo.insert(expectedVideo.end(), unit.begin(), unit.end());
    }
    ASSERT_LT(expectedVideo.size(), kVideoRingBytes * 4 / 5);
    ASSERT_EQ(engine.videoRing.written.load(), expectedVideo.size());
    EXPECT_TRUE(std::equal(expectedVideo.begin(), expectedVideo.end(), engine.videoRing.data()));

    uint32_t audioWritten = engine.audioRing.written.load();
    uint64_t audioInFile = 0;
    for (const KrmRecordInfo& r : file.records) {
        audioInFile += r.audioBytes;
    }
    ASSERT_EQ(audioWritten, audioInFile);
    ASSERT_LE(audioWritten, amr.size());
    EXPECT_GT(audioWritten, amr.size() * 9 / 10);
    EXPECT_TRUE(std::equal(amr.begin(), amr.begin() + audioWritten, engine.audioRing.data()));
    EXPECT_EQ(engine.currentRecordTime().year, 2015);
}

}  // namespace
}  // namespace vidora
