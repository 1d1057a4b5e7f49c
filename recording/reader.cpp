#include "recording/reader.h"

#include <algorithm>
#include <utility>

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
// An exact seek goes back at most this many records to its key picture (about 24 s at 25
// pictures a second); a recording with fewer key pictures lands where the search would.
constexpr size_t kMaxPrerollRecords = 600;
// Records delivered at once after a seek: the landing record, and the few after it that a
// decoder which reorders pictures needs before it gives the landing picture up.
constexpr uint32_t kStillPictures = 4;
// At most this many records, whatever they hold, go at once (a recording without pictures).
constexpr uint32_t kStillRecords = 16;
// How long a record that only prepares the decoder waits for room in the video ring.
constexpr int64_t kPrerollRoomWaitUs = 1000000;
// Sound plays at these speeds, with its pitch kept; outside them it is silent.
constexpr double kMinAudibleSpeed = 0.5;
constexpr double kMaxAudibleSpeed = 2.0;

}  // namespace

Reader::Reader(ByteRing& video, ByteRing& audio, PlaybackClock& clock, Pacer& pacer)
    : video_(video),
      audio_(audio),
      clock_(clock),
      pacer_(pacer),
      payload_(std::make_unique<uint8_t[]>(kMaxRecordPayloadBytes)) {}

void Reader::run(const std::string& path, std::stop_token stop) {
    if (start(path)) {
        while (playFile(stop)) {
        }
    }
    finish();
}

bool Reader::playFile(std::stop_token stop) {
    // Plays the open file to its end; true when another file continues it and is open.
    while (step(stop)) {
    }
    if (end_ != End::FileEnd || stop.stop_requested() || !nextRecording) {
        return false;
    }
    const std::optional<std::string> next = nextRecording(path_, recordTime());
    if (!next || !open(*next, true)) {
        return false;
    }
    if (onContinued) {
        onContinued(*next);
    }
    return true;
}

void Reader::reset() {
    progress_.store(0);
    problem_.store(FileProblem::None);
    seekPercent_.store(0);
    seekRecord_.store(-1);
    paused_.store(false);
    setRecordTime(RecordTime{});
    std::lock_guard<std::mutex> lock(timeMutex_);
    deliveryCount_ = 0;
}

bool Reader::start(const std::string& path) {
    playing_.store(false);
    damaged_.store(false);
    end_ = End::FileEnd;
    progress_.store(0);
    if (!open(path, false)) {
        return false;
    }
    setRecordTime(RecordTime{});
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
    speedApplied_ = speed_.load();
    schedule_.setSpeed(now, speedApplied_);
    clock_.runSchedule(schedule_.mapping());
    prerollLeft_ = 0;
    stillLeft_ = 0;
    stillRecords_ = 0;
    landingNext_ = false;
    holding_ = false;
    awaitingKey_ = false;
    soundPassedOver_ = false;
    return true;
}

bool Reader::open(const std::string& path, bool continuing) {
    // A file that continues the one played must carry the same stream; it then plays on from
    // its first record as if the two were one, the first keeping the delay of the last.
    RecordingFile file;
    if (!file.open(path)) {
        // With no recording open there is nothing to report.
        if (!path.empty() && !continuing) {
            tellProblem(FileProblem::CannotOpen);
        }
        return false;
    }
    uint8_t header[kRecordingHeaderBytes] = {};
    // A short header leaves zeros behind it; the first record read then fails.
    file.read(header, sizeof header);
    if (!acceptRecordingHeader(header)) {
        if (!continuing) {
            tellProblem(FileProblem::NotARecording);
        }
        return false;
    }
    if (continuing && isH264Tag(header) != h264_) {
        return false;
    }
    h264_ = isH264Tag(header);
    if (!continuing && onStream) {
        onStream(StreamFormat{h264_, static_cast<int32_t>(readLe32(header + kHeaderWidthOffset)),
                              static_cast<int32_t>(readLe32(header + kHeaderHeightOffset))});
    }
    file_ = std::move(file);
    path_ = path;
    fileSize_ = file_.size();
    consumed_ = 0;
    end_ = End::FileEnd;
    if (continuing) {
        schedule_.resync();
    }
    return true;
}

void Reader::finish() {
    damaged_.store(end_ == End::BadRecord, std::memory_order_release);
    playing_.store(false);
    video_.setFinished(true);
    audio_.setFinished(true);
}

bool Reader::step(std::stop_token stop) {
    uint8_t recordBytes[kRecordHeaderBytes];
    for (;;) {
        if (stop.stop_requested()) {
            end_ = End::Stopped;
            return false;
        }
        applySpeed();
        if (seekPending() && !serveSeek(stop)) {
            end_ = stop.stop_requested() ? End::Stopped : End::SeekFailed;
            return false;
        }
        // Paused, the reader holds, except to show the picture of a place sought meanwhile.
        if (paused_.load() && stillLeft_ == 0 && prerollLeft_ == 0) {
            holdWhilePaused(stop);
            continue;
        }
        const uint64_t offset = file_.position();
        if (file_.read(recordBytes, sizeof recordBytes) < sizeof recordBytes) {
            end_ = End::FileEnd;  // the normal end of the file
            return false;
        }
        end_ = End::BadRecord;
        const RecordHeader record = parseRecordHeader(recordBytes);
        if (record.sync != RECORD_SYNC || record.kind != RECORD_KIND) {
            return false;
        }
        const bool preroll = prerollLeft_ > 0;
        // The landing record of a seek, and the few after it that a decoder which reorders
        // pictures needs before it gives up the landing picture, go at once: its picture is
        // shown as soon as it is decoded. Records that only prepare the decoder are not seen,
        // and a paused seek shows the landing record's date and time, not those behind it.
        const bool atOnce = !preroll && stillLeft_ > 0;
        const bool landing = !preroll && landingNext_;
        if (!preroll && (!atOnce || !paused_.load() || landing)) {
            // Published before validation, so an invalid record's date stays visible.
            setRecordTime(record.time);
        }
        if (!isValidRecordTime(record.time)) {
            return false;
        }
        const int64_t streamTime = preroll ? landingTime_ - static_cast<int64_t>(prerollLeft_)
                                           : schedule_.next(record.timestamp);
        const uint64_t payloadBytes = uint64_t{record.videoBytes} + record.audioBytes;
        // A record that does not fit the payload buffer is as bad as any other bad record.
        if (payloadBytes > kMaxRecordPayloadBytes) {
            return false;
        }
        if (file_.read(payload_.get(), payloadBytes) < payloadBytes) {
            return false;
        }
        end_ = End::FileEnd;
        consumed_ += payloadBytes + kRecordHeaderBytes;
        // A camera may still be writing the file: the share follows the size it has now, and
        // never passes the whole.
        fileSize_ = file_.size();
        progress_.store(fileSize_ != 0 ? static_cast<int32_t>(
                                             std::min<uint64_t>(consumed_ * 100 / fileSize_, 100))
                                       : 0);
        playing_.store(true);
        if (preroll) {
            --prerollLeft_;
            deliver(record, streamTime, offset, true, stop);
            return true;
        }
        landingNext_ = false;
        if (stillLeft_ > 0) {
            stillLeft_ = (record.videoBytes > 0 ? stillLeft_ - 1 : stillLeft_);
            stillLeft_ = --stillRecords_ > 0 ? stillLeft_ : 0;
        }
        const Wait wait = atOnce ? Wait::Due : waitUntilDue(streamTime, stop);
        if (wait == Wait::Stop) {
            end_ = End::Stopped;
            return false;
        }
        if (wait == Wait::Seek) {
            continue;  // the record is dropped: the seek makes it obsolete
        }
        deliver(record, streamTime, offset, false, stop);
        return true;
    }
}

void Reader::deliver(const RecordHeader& record, int64_t streamTime, uint64_t offset, bool preroll,
                     const std::stop_token& stop) {
    remember(streamTime, offset);
    if (record.videoBytes > 0) {
        const double speed = speedApplied_;
        // Above recorded speed, a machine that cannot decode every picture in time is shown the
        // key pictures alone, rather than fall ever further behind.
        if (!preroll && speed > 1.0 && videoLate_.load(std::memory_order_relaxed)) {
            awaitingKey_ = true;
        }
        // Only a reader waiting for a key picture looks at the picture's kind.
        if (preroll ||
            (awaitingKey_ && startsWithKeyPicture(payload_.get(), record.videoBytes, h264_))) {
            awaitingKey_ = false;
        }
        if (preroll) {
            // The decoder needs every one of these: the reader waits for room rather than drop,
            // though not for ever (a video path that takes nothing must not hold the reader).
            const int64_t deadline = pacer_.nowUs() + kPrerollRoomWaitUs;
            while (!video_.putRecord(payload_.get(), record.videoBytes, streamTime)) {
                const uint64_t seen = wake_.count();
                if (stop.stop_requested() || seekPending() || pacer_.nowUs() >= deadline) {
                    return;
                }
                pacer_.waitFor(wake_, seen, 10000);
            }
        } else if (!awaitingKey_ || !h264_) {
            // A full ring drops this record's bytes for its stream rather than make the reader
            // wait (the other ring may still take its part). H.264 then waits for the next key
            // picture: what follows a lost picture would only decode into smears.
            if (!video_.putRecord(payload_.get(), record.videoBytes, streamTime) && h264_) {
                awaitingKey_ = true;
            }
        }
    }
    const double speed = speedApplied_;
    if (!preroll && record.audioBytes > 0) {
        if (speed < kMinAudibleSpeed || speed > kMaxAudibleSpeed) {
            soundPassedOver_ = true;
            return;
        }
        if (soundPassedOver_) {
            // The sound starts again in the middle of its stream, where a record's first bytes
            // may be the tail of a frame: the decoder is told to find its step again.
            soundPassedOver_ = false;
            audio_.flush();
        }
        audio_.putRecord(payload_.get() + record.videoBytes, record.audioBytes, streamTime);
    }
}

void Reader::remember(int64_t streamTime, uint64_t offset) {
    std::lock_guard<std::mutex> lock(timeMutex_);
    deliveries_[deliveryCount_ % kDeliveriesKept] = Delivery{streamTime, offset};
    ++deliveryCount_;
}

bool Reader::recordOffsetAt(int64_t streamTime, uint64_t* offset) const {
    // The newest delivery of exactly that time, or else the newest before it.
    std::lock_guard<std::mutex> lock(timeMutex_);
    const size_t kept = std::min(deliveryCount_, kDeliveriesKept);
    const Delivery* before = nullptr;
    for (size_t i = 0; i < kept; ++i) {
        const Delivery& d = deliveries_[(deliveryCount_ - 1 - i) % kDeliveriesKept];
        if (d.streamTime == streamTime) {
            *offset = d.offset;
            return true;
        }
        if (d.streamTime < streamTime && before == nullptr) {
            before = &d;
        }
    }
    if (before != nullptr) {
        *offset = before->offset;
        return true;
    }
    return false;
}

bool Reader::lastRecordOffset(uint64_t* offset) const {
    std::lock_guard<std::mutex> lock(timeMutex_);
    if (deliveryCount_ == 0) {
        return false;
    }
    *offset = deliveries_[(deliveryCount_ - 1) % kDeliveriesKept].offset;
    return true;
}

void Reader::applySpeed() {
    const double speed = speed_.load();
    if (speed == speedApplied_) {
        return;
    }
    speedApplied_ = speed;
    if (holding_) {
        return;  // the new speed takes effect as the pause ends
    }
    schedule_.setSpeed(pacer_.nowUs(), speed);
    clock_.runSchedule(schedule_.mapping());
}

Reader::Wait Reader::waitUntilDue(int64_t streamTime, const std::stop_token& stop) {
    keepBehindSound(streamTime);
    for (;;) {
        // The count first: a stop, pause or seek rung after it ends the wait below.
        const uint64_t seen = wake_.count();
        if (stop.stop_requested()) {
            return Wait::Stop;
        }
        if (seekPending()) {
            return Wait::Seek;
        }
        if (paused_.load()) {
            holdWhilePaused(stop);
            continue;
        }
        if (speed_.load() != speedApplied_) {
            applySpeed();
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
    // moment. A seek meanwhile is served without ending the pause: the stream still stands
    // where it stood, and goes on from the new place when resumed.
    if (!holding_) {
        holding_ = true;
        held_ = schedule_.streamAt(pacer_.nowUs());
        clock_.holdSchedule(held_);
    }
    for (;;) {
        const uint64_t seen = wake_.count();
        if (stop.stop_requested() || seekPending()) {
            return;
        }
        if (!paused_.load()) {
            break;
        }
        pacer_.waitFor(wake_, seen, kPauseCheckUs);
    }
    holding_ = false;
    schedule_.resume(pacer_.nowUs(), held_);
    if (speedApplied_ != schedule_.mapping().speed) {
        schedule_.setSpeed(pacer_.nowUs(), speedApplied_);
    }
    clock_.runSchedule(schedule_.mapping());
}

void Reader::keepBehindSound(int64_t streamTime) {
    // A sound device whose clock runs slower than this machine's would fall further behind the
    // schedule with every second; the schedule waits for it instead, so that the sound never
    // runs late and pictures, which follow the sound, never come long after their records.
    int64_t sound = 0;
    if (!clock_.flowingAudioPosition(pacer_.nowUs(), &sound)) {
        return;
    }
    // The lead is clock time; the stream covers it `speed` times over.
    const double speed = schedule_.mapping().speed;
    const auto excess =
        static_cast<double>(streamTime - sound) - static_cast<double>(kMaxSoundLeadUs) * speed;
    if (excess > 0) {
        schedule_.delay(static_cast<int64_t>(excess / speed));
        clock_.runSchedule(schedule_.mapping());
    }
}

bool Reader::serveSeek(const std::stop_token& stop) {
    // A share of the file lands on the first record at or after that place; an exact request
    // on its record. With the index that record is known and shown exactly; without it (not
    // ready, or the place lies beyond what it covers of a growing file) the search finds the next
    // sync word. False when nothing follows.
    const int64_t record = seekRecord_.exchange(-1);
    const int32_t percent = seekPercent_.exchange(0);
    const std::shared_ptr<const RecordIndex> known = index ? index() : nullptr;
    if (record >= 0) {
        return known && static_cast<size_t>(record) < known->size() &&
               seekExactly(*known, static_cast<size_t>(record));
    }
    fileSize_ = file_.size();
    const uint64_t offset = static_cast<uint64_t>(percent) * fileSize_ / 100;
    if (known && known->size() > 0 &&
        kRecordingHeaderBytes + offset <= known->at(known->size() - 1).offset) {
        return seekExactly(*known, known->firstAtOrAfterOffset(kRecordingHeaderBytes + offset));
    }
    return seek(offset, stop);
}

bool Reader::seekExactly(const RecordIndex& index, size_t record) {
    size_t key = index.keyAtOrBefore(record);
    if (key == RecordIndex::npos || record - key > kMaxPrerollRecords) {
        key = record;
    }
    const uint64_t offset = index.at(key).offset;
    if (!file_.seekTo(offset)) {
        return false;
    }
    consumed_ = offset - kRecordingHeaderBytes;
    schedule_.resync();
    landingTime_ = schedule_.nextAfterResync();
    prerollLeft_ = static_cast<uint32_t>(record - key);
    stillLeft_ = kStillPictures;
    stillRecords_ = kStillRecords;
    landingNext_ = true;
    awaitingKey_ = false;
    flushStreams(landingTime_);
    return true;
}

bool Reader::seek(uint64_t offset, const std::stop_token& stop) {
    // Jumps to `offset` after the header and stops just before the next sync word. False when
    // no sync word follows.
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
                prerollLeft_ = 0;
                stillLeft_ = kStillPictures;
                stillRecords_ = kStillRecords;
                landingNext_ = true;
                awaitingKey_ = false;
                // Pictures and sound from before the jump are dropped by those who hold them.
                flushStreams();
                return true;
            }
        }
        std::copy(window + kSeekReadBytes, window + kSeekWindowBytes, window);
    }
}

void Reader::flushStreams(int64_t showFrom) {
    video_.flush(showFrom);
    audio_.flush();
}

void Reader::requestSeek(int32_t percent) {
    seekRecord_.store(-1);
    seekPercent_.store(percent);
    // A reader waiting for its record's time serves the seek at once.
    wake_.notify();
}

void Reader::requestSeekToRecord(size_t record) {
    seekPercent_.store(0);
    seekRecord_.store(static_cast<int64_t>(record));
    wake_.notify();
}

void Reader::setSpeed(double speed) {
    speed_.store(std::clamp(speed, kMinSpeed, kMaxSpeed));
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
