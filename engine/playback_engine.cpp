#include "engine/playback_engine.h"

#include <system_error>

extern "C" {
#include <libavutil/log.h>
}

namespace vidora {

namespace {

// togglePlay waits this long before it starts a new reader after the end.
constexpr int64_t kRestartDelayUs = 50000;

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
        path_.clear();
        return 0;
    }
    // The path is kept whole: a cut path would open another file or none.
    path_ = path;
    opened_.store(true);
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
    const bool started = startThread(readerThread_, [this, path = path_](std::stop_token stop) {
        reader_.run(path, stop);
        readerActive_.store(false);
    });
    if (!started) {
        readerActive_.store(false);
    }
}

void PlaybackEngine::stopThreads() {
    opened_.store(false);
    // Every wait of every part ends on its stop token, so the threads are joined directly.
    for (std::jthread* t : {&readerThread_, &videoThread_, &audioDecodeThread_, &audioOutThread_}) {
        t->request_stop();
    }
    for (std::jthread* t : {&readerThread_, &videoThread_, &audioDecodeThread_, &audioOutThread_}) {
        if (t->joinable()) {
            t->join();
        }
    }
}

int PlaybackEngine::close() {
    std::lock_guard<std::mutex> control(controlMutex_);
    stopThreads();
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
    startReader();
}

void PlaybackEngine::requestSeek(int32_t percent) {
    reader_.requestSeek(percent);
}

int PlaybackEngine::retarget(Surface* surface, Rect rect) {
    if (!opened_.load()) {
        return 0;
    }
    video_.setTarget(surface, rect);
    return 1;
}

}  // namespace vidora
