#include "recording/reader.h"

#include <algorithm>

#include "recording/recording_format.h"

namespace vidora {

namespace {

constexpr int64_t kPauseCheckUs = 100000;
// While the sound is this far ahead of the device's position or more, the device plays slower
// than the clock the schedule runs on, and the schedule waits for it.
constexpr int64_t kMaxSoundLeadUs = kAudioLeadUs + kSoundDriftSlackUs;
// The seek search reads this much per step behind 4 bytes carried over from the step before,
// so that a sync word split between two reads is still found.
constexpr uint32_t kSeekReadBytes = 1020;
constexpr uint32_t kSeekWindowBytes = kSeekReadBytes + 4;

}  // namespace

Reader::Reader(ByteRing& video, ByteRing& audio, PlaybackClock& clock, Pacer& pacer)
    : video_(video),
      audio_(audio),
      clock_(clock),
      pacer_(pacer),
      payload_(std::make_unique<uint8_t[]>(kMaxRecordPayloadBytes)) {}

void Reader::run(const std::string& path, std::stop_token stop) {
    std::stop_callback wakeOnStop(stop, [this] { wake_.notify(); });
    if (start(path)) {
        while (step(stop)) {
        }
    }
    finish();
}

void Reader::reset() {
    progress_.store(0);
    problem_.store(FileProblem::None);
    seekPercent_.store(0);
    paused_.store(false);
    setRecordTime(RecordTime{});
}

bool Reader::start(const std::string& path) {
    playing_.store(false);
    progress_.store(0);
    if (!file_.open(path)) {
        // With no recording open there is nothing to report.
        if (!path.empty()) {
            tellProblem(FileProblem::CannotOpen);
        }
        return false;
    }
    uint8_t header[kRecordingHeaderBytes] = {};
    // A short header leaves zeros behind it; the first record read then fails.
    file_.read(header, sizeof header);
    if (!acceptRecordingHeader(header)) {
        tellProblem(FileProblem::NotARecording);
        return false;
    }
    if (onStream) {
        onStream(StreamFormat{isH264Tag(header),
                              static_cast<int32_t>(readLe32(header + kHeaderWidthOffset)),
                              static_cast<int32_t>(readLe32(header + kHeaderHeightOffset))});
    }
    setRecordTime(RecordTime{});
    fileSize_ = file_.size();
    consumed_ = 0;
    video_.setFinished(false);
    audio_.setFinished(false);
    // A reader that starts again after the end begins where the file does: whatever is left
    // of the last run (a frame cut short, a picture the parser holds) must not run into it.
    flushStreams();
    // The stream time goes on from where the last reader of the run left it, so that what
    // this one delivers never counts as already played.
    const int64_t now = pacer_.nowUs();
    schedule_ = PacingSchedule{};
    schedule_.start(now, clock_.scheduleAt(now));
    clock_.runSchedule(schedule_.base());
    return true;
}

void Reader::finish() {
    playing_.store(false);
    video_.setFinished(true);
    audio_.setFinished(true);
}

bool Reader::step(std::stop_token stop) {
    uint8_t recordBytes[kRecordHeaderBytes];
    for (;;) {
        if (stop.stop_requested()) {
            return false;
        }
        if (paused_.load()) {
            holdWhilePaused(stop);
            continue;
        }
        if (seekPercent_.load() != 0 && !seek(stop)) {
            return false;
        }
        if (file_.read(recordBytes, sizeof recordBytes) < sizeof recordBytes) {
            return false;  // the normal end of the file
        }
        const RecordHeader record = parseRecordHeader(recordBytes);
        if (record.sync != RECORD_SYNC || record.kind != RECORD_KIND) {
            return false;
        }
        // Published before validation, so an invalid record's date stays visible.
        setRecordTime(record.time);
        if (!isValidRecordTime(record.time)) {
            return false;
        }
        const int64_t streamTime = schedule_.next(record.timestamp);
        const uint64_t payloadBytes = uint64_t{record.videoBytes} + record.audioBytes;
        // A record that does not fit the payload buffer is as bad as any other bad record.
        if (payloadBytes > kMaxRecordPayloadBytes) {
            return false;
        }
        if (file_.read(payload_.get(), payloadBytes) < payloadBytes) {
            return false;
        }
        consumed_ += payloadBytes + kRecordHeaderBytes;
        // A camera may still be writing the file: the share follows the size it has now, and
        // never passes the whole.
        fileSize_ = file_.size();
        progress_.store(fileSize_ != 0 ? static_cast<int32_t>(
                                             std::min<uint64_t>(consumed_ * 100 / fileSize_, 100))
                                       : 0);
        playing_.store(true);
        const Wait wait = waitUntilDue(streamTime, stop);
        if (wait == Wait::Stop) {
            return false;
        }
        if (wait == Wait::Seek) {
            continue;  // the record is dropped: the seek makes it obsolete
        }
        // A full ring drops this record's bytes for its stream rather than make the reader wait
        // (the other ring may still take its part).
        if (record.videoBytes > 0) {
            video_.putRecord(payload_.get(), record.videoBytes, streamTime);
        }
        if (record.audioBytes > 0) {
            audio_.putRecord(payload_.get() + record.videoBytes, record.audioBytes, streamTime);
        }
        return true;
    }
}

Reader::Wait Reader::waitUntilDue(int64_t streamTime, const std::stop_token& stop) {
    keepBehindSound(streamTime);
    for (;;) {
        // The count first: a stop, pause or seek rung after it ends the wait below.
        const uint64_t seen = wake_.count();
        if (stop.stop_requested()) {
            return Wait::Stop;
        }
        if (seekPercent_.load() != 0) {
            return Wait::Seek;
        }
        if (paused_.load()) {
            holdWhilePaused(stop);
            continue;
        }
        const int64_t wait = schedule_.dueAt(streamTime) - pacer_.nowUs();
        if (wait <= 0) {
            return Wait::Due;
        }
        pacer_.waitFor(wake_, seen, wait);
    }
}

void Reader::holdWhilePaused(const std::stop_token& stop) {
    // While paused the stream time stands where it is; resuming restarts the schedule from that
    // moment.
    const int64_t held = schedule_.streamAt(pacer_.nowUs());
    clock_.holdSchedule(held);
    for (;;) {
        const uint64_t seen = wake_.count();
        if (!paused_.load() || stop.stop_requested()) {
            break;
        }
        pacer_.waitFor(wake_, seen, kPauseCheckUs);
    }
    schedule_.resume(pacer_.nowUs(), held);
    clock_.runSchedule(schedule_.base());
}

void Reader::keepBehindSound(int64_t streamTime) {
    // A sound device whose clock runs slower than this machine's would fall further behind the
    // schedule with every second; the schedule waits for it instead, so that the sound never
    // runs late and pictures, which follow the sound, never come long after their records.
    int64_t sound = 0;
    if (!clock_.flowingAudioPosition(pacer_.nowUs(), &sound)) {
        return;
    }
    const int64_t excess = streamTime - sound - kMaxSoundLeadUs;
    if (excess > 0) {
        schedule_.delay(excess);
        clock_.runSchedule(schedule_.base());
    }
}

bool Reader::seek(const std::stop_token& stop) {
    // Jumps to the requested share of the file and stops just before the next sync word. The
    // share counts from the end of the header. False when no sync word follows.
    fileSize_ = file_.size();
    const uint64_t offset = static_cast<uint64_t>(seekPercent_.exchange(0)) * fileSize_ / 100;
    consumed_ = offset;
    if (!file_.seekTo(kRecordingHeaderBytes + offset)) {
        return false;
    }
    uint8_t window[kSeekWindowBytes] = {};
    for (;;) {
        if (stop.stop_requested()) {
            return false;
        }
        if (file_.read(window + 4, kSeekReadBytes) < kSeekReadBytes) {
            return false;
        }
        consumed_ += kSeekReadBytes;
        for (uint32_t p = 0; p + 4 <= kSeekWindowBytes; ++p) {
            if (readLe32(window + p) == RECORD_SYNC) {
                schedule_.resync();
                file_.seekBack(kSeekWindowBytes - p);
                // Pictures and sound from before the jump are dropped by those who hold them.
                flushStreams();
                return true;
            }
        }
        std::copy(window + kSeekReadBytes, window + kSeekWindowBytes, window);
    }
}

void Reader::flushStreams() {
    video_.flush();
    audio_.flush();
}

void Reader::requestSeek(int32_t percent) {
    seekPercent_.store(percent);
    // A reader waiting for its record's time serves the seek at once.
    wake_.notify();
}

void Reader::setPaused(bool paused) {
    paused_.store(paused);
    wake_.notify();
}

void Reader::tellProblem(FileProblem problem) {
    problem_.store(problem);
    if (onProblem) {
        onProblem();
    }
}

void Reader::setRecordTime(const RecordTime& time) {
    std::lock_guard<std::mutex> lock(timeMutex_);
    recordTime_ = time;
}

RecordTime Reader::recordTime() const {
    std::lock_guard<std::mutex> lock(timeMutex_);
    return recordTime_;
}

}  // namespace vidora
