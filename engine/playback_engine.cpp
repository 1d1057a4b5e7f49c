#include "engine/playback_engine.h"

#include <algorithm>
#include <system_error>

#include "recording/camera_files.h"
#include "recording/recording_format.h"

extern "C" {
#include <libavutil/log.h>
}

namespace vidora {

namespace {

// togglePlay waits this long before it starts a new reader after the end.
constexpr int64_t kRestartDelayUs = 50000;
// A recording goes on into the next file when that one begins at most this long after it ended
// on the camera's clock.
constexpr int64_t kContinuationGapSeconds = 5;
// How long a seek counts as on its way before its picture shows (a file that never shows it).
constexpr int64_t kTargetPendingUs = 2000000;

// Starts `body` on `thread`. std::jthread reports a failed start by throwing; a thread that
// cannot be started does not run, and the run goes on without it.
template <typename Body>
bool startThread(std::jthread& thread, Body body) {
    try {
        thread = std::jthread(std::move(body));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace

PlaybackEngine::PlaybackEngine(Pacer::Kind time)
    : pacer_(time),
      reader_(videoRing_, audioRing_, clock_, pacer_),
      video_(videoRing_, clock_, pacer_),
      audioDecoder_(audioRing_, pcmRing_, pacer_),
      sound_(pcmRing_, clock_, pacer_) {
    // The decoding library's own logging stays off the terminal.
    av_log_set_level(AV_LOG_QUIET);
    videoRing_.setConsumerWake(&video_.wake());
    audioRing_.setConsumerWake(&audioDecoder_.wake());
    pcmRing_.setConsumerWake(&sound_.wake());
    pcmRing_.setProducerWake(&audioDecoder_.wake());
    clock_.setListener(&video_.wake());
    reader_.onStream = [this](const StreamFormat& format) { video_.configure(format); };
    reader_.onProblem = [this] {
        if (pictureReady_) {
            pictureReady_();
        }
    };
    video_.recordTime = [this] { return reader_.recordTime(); };
    video_.lateness = [this](bool late) { reader_.setVideoLate(late); };
    video_.endedDamaged = [this] { return reader_.endedDamaged(); };
    // An exact seek hands the reader's records to the video ring without dropping any.
    videoRing_.setProducerWake(&reader_.wake());
    reader_.index = [this] { return index_.index(); };
    reader_.nextRecording = [this](const std::string& ended, const RecordTime& last) {
        return continuation(ended, last);
    };
    reader_.onContinued = [this](const std::string& path) {
        {
            std::lock_guard<std::mutex> lock(pathMutex_);
            path_ = path;
        }
        index_.start(path);
    };
}

PlaybackEngine::~PlaybackEngine() {
    stopThreads();
}

void PlaybackEngine::setPictureReady(std::function<void()> pictureReady) {
    pictureReady_ = pictureReady;
    video_.pictureReady = std::move(pictureReady);
}

bool PlaybackEngine::prepare(Surface* surface, Rect rect) {
    videoRing_.reset();
    audioRing_.reset();
    pcmRing_.reset();
    clock_.reset();
    reader_.reset();
    video_.reset();
    audioDecoder_.reset();
    video_.setTarget(surface, rect);
    setPaused(false);
    // Each ring allocates its storage once.
    const bool video = videoRing_.allocate();
    const bool audio = audioRing_.allocate();
    const bool pcm = pcmRing_.allocate();
    return video && audio && pcm && sound_.ready();
}

int PlaybackEngine::open(const std::string& path, Surface* surface, Rect rect) {
    std::lock_guard<std::mutex> control(controlMutex_);
    stopThreads();
    if (!prepare(surface, rect)) {
        std::lock_guard<std::mutex> lock(pathMutex_);
        path_.clear();
        return 0;
    }
    {
        // The path is kept whole: a cut path would open another file or none.
        std::lock_guard<std::mutex> lock(pathMutex_);
        path_ = path;
    }
    {
        std::lock_guard<std::mutex> lock(targetMutex_);
        target_.reset();
    }
    opened_.store(true);
    index_.start(path);
    startThread(videoThread_, [this](std::stop_token stop) { video_.run(stop); });
    startThread(audioDecodeThread_, [this](std::stop_token stop) { audioDecoder_.run(stop); });
    startThread(audioOutThread_, [this](std::stop_token stop) { sound_.run(stop); });
    startReader();
    return 1;
}

void PlaybackEngine::startReader() {
    // Marked before the thread exists, so that a reader that ends at once can never clear the
    // mark before it was raised.
    readerActive_.store(true);
    const bool started =
        startThread(readerThread_, [this, path = currentPath()](std::stop_token stop) {
            reader_.run(path, stop);
            readerActive_.store(false);
        });
    if (!started) {
        readerActive_.store(false);
    }
}

void PlaybackEngine::stopThreads() {
    opened_.store(false);
    for (std::jthread* t : {&readerThread_, &videoThread_, &audioDecodeThread_, &audioOutThread_}) {
        t->request_stop();
    }
    // Then each part is woken out of its wait, to see the stop. Not by a stop callback of the
    // part's own: a thread that leaves its loop while the stopping thread is still inside that
    // callback must wait for the callback to end, and with MinGW's standard library that wait
    // can miss its wake-up and never end.
    for (WakeSignal* wake :
         {&reader_.wake(), &video_.wake(), &audioDecoder_.wake(), &sound_.wake()}) {
        wake->notify();
    }
    for (std::jthread* t : {&readerThread_, &videoThread_, &audioDecodeThread_, &audioOutThread_}) {
        if (t->joinable()) {
            t->join();
        }
    }
    // After the reader, which may start a new index when playback goes on into the next file.
    index_.stop();
}

int PlaybackEngine::close() {
    std::lock_guard<std::mutex> control(controlMutex_);
    stopThreads();
    std::lock_guard<std::mutex> lock(pathMutex_);
    path_.clear();
    return 1;
}

void PlaybackEngine::setPaused(bool paused) {
    paused_.store(paused);
    // The reader holds or restarts its schedule, the output pauses or restarts the device.
    reader_.setPaused(paused);
    video_.setPaused(paused);
    sound_.setPaused(paused);
}

void PlaybackEngine::togglePlay() {
    if (reader_.playing()) {
        setPaused(!paused_.load());
        return;
    }
    pacer_.sleepFor(kRestartDelayUs);
    // A reader that has started but not yet read its first record is not playing yet; a second
    // reader over it would share the file position and the rings with it.
    if (!opened_.load() || readerActive_.load()) {
        return;
    }
    if (readerThread_.joinable()) {
        readerThread_.join();
    }
    // A recording stepped through to its end, paused, plays again.
    if (paused_.load()) {
        setPaused(false);
    }
    startReader();
}

void PlaybackEngine::requestSeek(int32_t percent) {
    reader_.requestSeek(percent);
}

std::string PlaybackEngine::currentPath() const {
    std::lock_guard<std::mutex> lock(pathMutex_);
    return path_;
}

void PlaybackEngine::setSpeed(double speed) {
    speed = std::clamp(speed, kMinSpeed, kMaxSpeed);
    speed_.store(speed);
    reader_.setSpeed(speed);
    sound_.setSpeed(speed);
}

void PlaybackEngine::setVolume(float volume) {
    sound_.setVolume(volume);
}

std::optional<std::string> PlaybackEngine::continuation(const std::string& ended,
                                                        const RecordTime& last) {
    // Cameras split a drive into consecutive files: the next by name goes on from this one when
    // it begins within a few seconds of the camera time at which this one ended.
    const std::optional<std::string> next =
        following_ ? following_(ended) : neighbourRecording(ended, +1);
    if (!next) {
        return std::nullopt;
    }
    const std::optional<RecordTime> first = firstRecordTime(*next);
    if (!first || !isValidRecordTime(last)) {
        return std::nullopt;
    }
    const int64_t gap = secondsBetween(last, *first);
    if (gap < 0 || gap > kContinuationGapSeconds) {
        return std::nullopt;
    }
    return next;
}

std::optional<size_t> PlaybackEngine::shownRecord(const RecordIndex& index) const {
    int64_t shownAt = 0;
    uint64_t offset = 0;
    if (!video_.lastPresentedTime(&shownAt) || !reader_.recordOffsetAt(shownAt, &offset)) {
        // Nothing shown yet (a recording without pictures): the record delivered last.
        if (!reader_.lastRecordOffset(&offset)) {
            return std::nullopt;
        }
    }
    const size_t record = index.firstAtOrAfterOffset(offset);
    if (record >= index.size() || index.at(record).offset != offset) {
        return std::nullopt;
    }
    return record;
}

std::optional<size_t> PlaybackEngine::currentRecord() const {
    const std::shared_ptr<const RecordIndex> index = index_.index();
    if (!index) {
        return std::nullopt;
    }
    const std::optional<size_t> shown = shownRecord(*index);
    std::lock_guard<std::mutex> lock(targetMutex_);
    // A seek on its way counts from where it goes, so that a quick second press goes on from
    // there rather than from the picture still on show; once its picture is shown, playback
    // goes on from it and the picture on show counts again.
    if (target_ && video_.seeksShown() != seeksShownAtTarget_) {
        target_.reset();
    }
    if (target_ && pacer_.nowUs() - targetAt_ < kTargetPendingUs) {
        return target_;
    }
    return shown;
}

void PlaybackEngine::seekToRecord(size_t record) {
    if (!opened_.load()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(targetMutex_);
        target_ = record;
        targetAt_ = pacer_.nowUs();
        seeksShownAtTarget_ = video_.seeksShown();
    }
    reader_.requestSeekToRecord(record);
    // After the end a new reader serves the seek, from the same file.
    if (!reader_.playing() && !readerActive_.load()) {
        if (readerThread_.joinable()) {
            readerThread_.join();
        }
        startReader();
    }
}

std::optional<size_t> PlaybackEngine::seekBy(int64_t us) {
    const std::shared_ptr<const RecordIndex> index = index_.index();
    const std::optional<size_t> from = currentRecord();
    if (!index || index->size() == 0 || !from) {
        return std::nullopt;
    }
    const int64_t target = std::max<int64_t>(index->at(*from).playUs + us, 0);
    size_t landing = index->atPlayTime(target);
    if (landing == RecordIndex::npos) {
        landing = 0;
    }
    seekToRecord(landing);
    return landing;
}

std::optional<size_t> PlaybackEngine::stepPicture(int direction) {
    const std::shared_ptr<const RecordIndex> index = index_.index();
    if (!index || index->size() == 0) {
        return std::nullopt;
    }
    // Paused first, so that no picture goes up between reading the one on show and stepping
    // from it. Stepping after the end shows the picture and stays paused there.
    if (!paused_.load() || !reader_.playing()) {
        setPaused(true);
    }
    const std::optional<size_t> from = currentRecord();
    if (!from) {
        return std::nullopt;
    }
    const size_t last = index->size() - 1;
    const size_t target = direction > 0 ? std::min(*from + 1, last) : (*from > 0 ? *from - 1 : 0);
    seekToRecord(target);
    return target;
}

int PlaybackEngine::retarget(Surface* surface, Rect rect) {
    if (!opened_.load()) {
        return 0;
    }
    video_.setTarget(surface, rect);
    return 1;
}

}  // namespace vidora
