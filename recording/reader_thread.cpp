// The reader thread: the producer of a run. It checks the recording's header, then reads the
// records one by one, validates them, publishes their date and time, waits until each is due on
// its schedule so the stream plays at recorded speed, and hands their bytes to the rings with
// the stream time they play at. It also serves seeks by jumping to a share of the file and
// finding the next sync word. The first bad record ends it: a damaged file plays up to the damage
// and no further.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>

#include "engine/playback_engine.h"
#include "recording/pacing_schedule.h"
#include "recording/recording_file.h"
#include "recording/recording_format.h"

namespace vidora {

namespace {

constexpr uint32_t kPauseMs = 100;
// While the sound is this far ahead of the device's position or more, the device plays slower
// than the clock the schedule runs on, and the schedule waits for it.
constexpr int64_t kMaxSoundLeadUs = kAudioLeadUs + kSoundDriftSlackUs;
// The seek search reads this much per step behind 4 bytes carried over from the step before,
// so that a sync word split between two reads is still found.
constexpr uint32_t kSeekReadBytes = 1020;
constexpr uint32_t kSeekWindowBytes = kSeekReadBytes + 4;

class Reader {
  public:
    explicit Reader(PlaybackEngine& engine) : engine_(engine) {}

    void run() {
        const std::string path = engine_.currentFilePath();
        if (!file_.open(path)) {
            // Without touching `playing`. With no recording open there is nothing to report.
            if (!path.empty()) {
                tellProblem(FileProblem::CannotOpen);
            }
            return;
        }
        if (start()) {
            loop();
        }
        engine_.playing.store(0);
    }

  private:
    // Header check and stream set-up; false when the reader must end.
    bool start() {
        uint8_t header[kRecordingHeaderBytes] = {};
        // A short header leaves zeros behind it; the first record read then fails.
        file_.read(header, sizeof header);
        int32_t width = static_cast<int32_t>(readLe32(header + kHeaderWidthOffset));
        if (width != 0) {
            engine_.sourceWidth.store(width);
            engine_.sourceHeight.store(
                static_cast<int32_t>(readLe32(header + kHeaderHeightOffset)));
        }
        if (!acceptRecordingHeader(header)) {
            tellProblem(FileProblem::NotARecording);
            return false;
        }
        engine_.configureStream(header);
        engine_.setRecordTime(RecordTime{});
        fileSize_ = file_.size();
        consumed_ = 0;
        // A reader that starts again after the end begins where the file does: whatever is left
        // of the last run (a frame cut short, a picture the parser holds) must not run into it.
        engine_.flushStreams();
        // The stream time goes on from where the last reader of the run left it, so that what
        // this one delivers never counts as already played.
        const int64_t now = engine_.nowUs();
        schedule_.start(now, engine_.clock.scheduleAt(now));
        engine_.clock.runSchedule(schedule_.base());
        return true;
    }

    enum class Wait { Due, Stop, Seek };

    // Waits until the record at `streamTime` is due, holding the schedule while paused.
    Wait waitUntilDue(int64_t streamTime) {
        keepBehindSound(streamTime);
        if (engine_.pacingInjected()) {
            engine_.sleepFor(SleepSite::ReaderPacing, schedule_.delayMs());
            // Time jumps to the moment the record is due, as if the reader had waited for it.
            const int64_t late = schedule_.dueAt(streamTime) - engine_.nowUs();
            if (late > 0) {
                engine_.clockOffsetUs.fetch_add(late);
            }
            return engine_.stopRequested.load() != 0 ? Wait::Stop : Wait::Due;
        }
        for (;;) {
            // The count first: a stop, pause or seek rung after it ends the wait below.
            const uint64_t seen = engine_.readerWake.count();
            if (engine_.stopRequested.load() != 0) {
                return Wait::Stop;
            }
            if (engine_.seekPercent.load() != 0) {
                return Wait::Seek;
            }
            if (engine_.paused.load() != 0) {
                holdWhilePaused();
                continue;
            }
            const int64_t wait = schedule_.dueAt(streamTime) - engine_.nowUs();
            if (wait <= 0) {
                return Wait::Due;
            }
            engine_.readerWake.waitFor(seen, std::chrono::microseconds(wait));
        }
    }

    // While the engine is paused the stream time stands where it is; resuming restarts the
    // schedule from that moment.
    void holdWhilePaused() {
        const int64_t held = schedule_.streamAt(engine_.nowUs());
        engine_.clock.holdSchedule(held);
        for (;;) {
            const uint64_t seen = engine_.readerWake.count();
            if (engine_.paused.load() == 0 || engine_.stopRequested.load() != 0) {
                break;
            }
            engine_.endPollTurn(SleepSite::ReaderPause, kPauseMs, 0, false, engine_.readerWake,
                                seen);
        }
        schedule_.resume(engine_.nowUs(), held);
        engine_.clock.runSchedule(schedule_.base());
    }

    // A sound device whose clock runs slower than this machine's would fall further behind the
    // schedule with every second; the schedule waits for it instead, so that the sound never
    // runs late and pictures, which follow the sound, never come long after their records.
    void keepBehindSound(int64_t streamTime) {
        int64_t sound = 0;
        if (!engine_.clock.flowingAudioPosition(engine_.nowUs(), &sound)) {
            return;
        }
        const int64_t excess = streamTime - sound - kMaxSoundLeadUs;
        if (excess > 0) {
            schedule_.delay(excess);
            engine_.clock.runSchedule(schedule_.base());
        }
    }

    void loop() {
        uint8_t recordBytes[kRecordHeaderBytes];
        for (;;) {
            if (engine_.stopRequested.load() != 0) {
                return;
            }
            if (engine_.paused.load() != 0) {
                holdWhilePaused();
                continue;
            }
            if (engine_.seekPercent.load() != 0 && !seek()) {
                return;
            }
            if (file_.read(recordBytes, sizeof recordBytes) < sizeof recordBytes) {
                return;  // the normal end of the file
            }
            RecordHeader record = parseRecordHeader(recordBytes);
            if (record.sync != RECORD_SYNC || record.kind != RECORD_KIND) {
                return;
            }
            // Published before validation, so an invalid record's date stays visible.
            engine_.setRecordTime(record.time);
            if (!isValidRecordTime(record.time)) {
                return;
            }
            const int64_t streamTime = schedule_.next(record.timestamp);
            uint64_t payloadBytes = uint64_t{record.videoBytes} + record.audioBytes;
            // A record that does not fit the payload buffer is as bad as any other bad record.
            if (payloadBytes > kMaxRecordPayloadBytes) {
                return;
            }
            if (file_.read(payload_, payloadBytes) < payloadBytes) {
                return;
            }
            consumed_ += payloadBytes + kRecordHeaderBytes;
            // A camera may still be writing the file: the share follows the size it has now,
            // and never passes the whole.
            fileSize_ = file_.size();
            engine_.progressPercent.store(fileSize_ != 0 ? static_cast<int32_t>(std::min<uint64_t>(
                                                               consumed_ * 100 / fileSize_, 100))
                                                         : 0);
            engine_.playing.store(1);
            const Wait wait = waitUntilDue(streamTime);
            if (wait == Wait::Stop) {
                return;
            }
            if (wait == Wait::Seek) {
                continue;  // the record is dropped: the seek makes it obsolete
            }
            engine_.deliverRecord(payload_, record.videoBytes, record.audioBytes, streamTime);
        }
    }

    // Jumps to the requested share of the file and stops just before the next sync word. The
    // share counts from the end of the header. False when no sync word follows.
    bool seek() {
        fileSize_ = file_.size();
        uint64_t offset = static_cast<uint64_t>(engine_.seekPercent.load()) * fileSize_ / 100;
        consumed_ = offset;
        engine_.seekPercent.store(0);
        if (!file_.seekTo(kRecordingHeaderBytes + offset)) {
            return false;
        }
        uint8_t window[kSeekWindowBytes] = {};
        for (;;) {
            if (engine_.stopRequested.load() != 0) {
                return true;  // the loop ends at its next turn; the record in between is refused
            }
            if (file_.read(window + 4, kSeekReadBytes) < kSeekReadBytes) {
                return false;
            }
            consumed_ += kSeekReadBytes;
            for (uint32_t p = 0; p + 4 <= kSeekWindowBytes; ++p) {
                if (engine_.stopRequested.load() != 0) {
                    break;
                }
                if (readLe32(window + p) == RECORD_SYNC) {
                    schedule_.resync();
                    file_.seekBack(kSeekWindowBytes - p);
                    // Pictures and sound from before the jump are dropped by those who hold them.
                    engine_.flushStreams();
                    return true;
                }
            }
            std::copy(window + kSeekReadBytes, window + kSeekWindowBytes, window);
        }
    }

    // The window says what is wrong with the file, in the video area.
    void tellProblem(FileProblem problem) {
        engine_.fileProblem.store(problem);
        if (engine_.pictureReady) {
            engine_.pictureReady();
        }
    }

    PlaybackEngine& engine_;
    RecordingFile file_;
    uint64_t fileSize_ = 0;
    // Bytes after the header accounted as read; the basis of the progress. After a seek it runs
    // up to 1,023 bytes ahead of the file position, as the search reads ahead of the sync word.
    uint64_t consumed_ = 0;
    PacingSchedule schedule_;
    uint8_t payload_[kMaxRecordPayloadBytes];
};

}  // namespace

void ReaderThread(PlaybackEngine& engine) {
    {
        // On the heap: the payload buffer is too large for a thread stack to take lightly.
        auto reader = std::make_unique<Reader>(engine);
        reader->run();
    }  // the file is closed here
    // Last step: stopThreads waits for this, and togglePlay may start the next reader after it.
    engine.readerRunning.store(false);
    // The video thread lets the decoder give up its held-back pictures once the reader is gone:
    // it is told so. Safe after the handle is cleared: every stop joins this thread before the
    // engine goes.
    engine.videoWake.notify();
}

void PlaybackEngine::configureStream(const uint8_t tag[4]) {
    if (streamConfigured.load() != 0) {
        return;
    }
    isH263.store(isH264Tag(tag) ? 0 : 1);
    // Release: the video thread reads isH263 and the picture size once it sees this.
    streamConfigured.store(1, std::memory_order_release);
    videoWake.notify();
}

void PlaybackEngine::deliverRecord(const uint8_t* payload, uint32_t videoBytes, uint32_t audioBytes,
                                   int64_t streamTime) {
    if (stopRequested.load() != 0 || opened.load() == 0) {
        return;
    }
    // Each ring is tested just before its own append; a full ring drops this record's bytes for
    // it rather than making the reader wait (the other ring may still take its part). The mark
    // goes first: the consumer must know a record's time before it can see its bytes.
    if (videoBytes > 0 && !videoRing.full() && videoRing.marks.hasRoomForRecord()) {
        videoRing.marks.push(
            StreamMark{videoRing.written.load(std::memory_order_relaxed), streamTime});
        videoRing.put(payload, videoBytes);
    }
    if (audioBytes > 0 && !audioRing.full() && audioRing.marks.hasRoomForRecord()) {
        audioRing.marks.push(
            StreamMark{audioRing.written.load(std::memory_order_relaxed), streamTime});
        audioRing.put(payload + videoBytes, audioBytes);
    }
    videoWake.notify();
    audioDecodeWake.notify();
}

void PlaybackEngine::flushStreams() {
    // The marks hold a place free for a flush, so these never fail.
    videoRing.marks.push(StreamMark{videoRing.written.load(std::memory_order_relaxed), 0, true});
    audioRing.marks.push(StreamMark{audioRing.written.load(std::memory_order_relaxed), 0, true});
    videoFlushes.fetch_add(1, std::memory_order_release);
    videoWake.notify();
    audioDecodeWake.notify();
}

}  // namespace vidora
