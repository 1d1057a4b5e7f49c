#include "engine/playback_engine.h"

#include <chrono>
#include <new>
#include <system_error>

#include "engine/decoders.h"
#include "platform/surface.h"

namespace vidora {

namespace {

constexpr uint32_t kToggleDelayMs = 50;

void realSleep(SleepSite, uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace

PlaybackEngine::PlaybackEngine() {
    // The wave block is the only allocation of the constructor; if it fails, open refuses to
    // start anything rather than letting the audio output write through a null block.
    waveBufferMemory.reset(new (std::nothrow) uint8_t[kWaveBufferBytes]);
    resetCounters();
}

PlaybackEngine::~PlaybackEngine() {
    stopThreads();
    // The decoders of the last run would otherwise live to the end of the process.
    teardownDecoders();
}

void PlaybackEngine::resetCounters() {
    picturesScaled.store(0);
    framesPresented.store(0);
    videoRing.reset();
    audioRing.reset();
    pcmRing.reset();
    playing.store(0);
    decodersReady.store(0);
    seekPercent.store(0);
    videoFlushes.store(0);
    picturesDrawn.store(0);
    picturesShown.store(0);
    clock.reset();
}

bool PlaybackEngine::allocateRings() {
    // Each ring allocates its storage once.
    const bool video = videoRing.allocate();
    const bool audio = audioRing.allocate();
    const bool pcm = pcmRing.allocate();
    return video && audio && pcm;
}

int PlaybackEngine::open(const std::string& path, Surface* surface, Rect rect) {
    progressPercent.store(0);
    fileProblem.store(FileProblem::None);
    openDecoderLibrary();

    std::lock_guard<std::mutex> control(controlMutex);
    stopThreads();

    {
        std::lock_guard<std::mutex> lock(targetMutex);
        targetDc = surface;
        videoRect = rect;
    }
    // The path is kept whole: a cut path would open another file or none.
    setFilePath(path);
    stopRequested.store(0);
    paused.store(0);
    isH263.store(1);
    resetCounters();

    int result = 0;
    if (allocateRings() && waveBufferMemory) {
        // Raised before the threads start: the reader hands records to the rings only while it
        // is up, and its first record may come before this thread runs again.
        opened.store(1);
        startThread(videoRunning, videoThread, VideoThread);
        startThread(audioDecodeRunning, audioDecodeThread, AudioDecodeThread);
        startThread(audioOutRunning, audioOutThread, AudioOutThread);
        startThread(readerRunning, readerThread, ReaderThread);
        result = 1;
    } else {
        setFilePath(std::string());
    }
    return result;
}

void PlaybackEngine::startThread(std::atomic<bool>& running, std::thread& thread,
                                 ThreadEntry entry) {
    running.store(true);
    // std::thread reports a failed start by throwing; a thread that cannot be started is not
    // running, and the run goes on without it.
    try {
        thread = std::thread(entry, std::ref(*this));
    } catch (const std::system_error&) {
        running.store(false);
    }
}

void PlaybackEngine::stopThreads() {
    stopRequested.store(1);
    videoWake.notify();
    audioDecodeWake.notify();
    audioOutWake.notify();
    readerWake.notify();
    opened.store(0);
    streamConfigured.store(0);
    setFilePath(std::string());
    // Every wait of every thread ends on the flag and the rings above, so the threads are
    // joined directly.
    for (std::thread* t : {&videoThread, &audioDecodeThread, &audioOutThread, &readerThread}) {
        if (t->joinable()) {
            t->join();
        }
    }
}

int PlaybackEngine::close() {
    std::lock_guard<std::mutex> control(controlMutex);
    stopThreads();
    return 1;
}

void PlaybackEngine::togglePlay() {
    if (playing.load() != 0) {
        paused.store(paused.load() == 0 ? 1 : 0);
        // The reader holds or restarts its schedule, the output pauses or restarts the device.
        readerWake.notify();
        audioOutWake.notify();
        videoWake.notify();
        return;
    }
    sleepFor(SleepSite::ToggleDelay, kToggleDelayMs);
    // A reader that has started but not yet read its first record has `playing` still 0; a
    // second reader over it would share the file position and the rings with it.
    if (readerRunning.load()) {
        return;
    }
    if (readerThread.joinable()) {
        readerThread.join();
    }
    progressPercent.store(0);
    startThread(readerRunning, readerThread, ReaderThread);
}

void PlaybackEngine::requestSeek(int32_t percent) {
    seekPercent.store(percent);
    // A reader waiting for its record's time serves the seek at once.
    readerWake.notify();
}

int PlaybackEngine::retarget(Surface* surface, Rect rect) {
    if (opened.load() == 0) {
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(targetMutex);
        targetDc = surface;
        videoRect = rect;
    }
    targetChanges.fetch_add(1, std::memory_order_release);
    videoWake.notify();
    return 1;
}

void PlaybackEngine::setSleepFunction(SleepFunction function, SleepSites sites) {
    sleepSites = function ? sites : SleepSites{0};
    sleepFunction = std::move(function);
}

void PlaybackEngine::sleepFor(SleepSite site, uint32_t milliseconds) {
    if ((sleepSites & sleepSiteBit(site)) != 0) {
        sleepFunction(site, milliseconds);
    } else if (site == SleepSite::ReaderPacing) {
        // The count first, then the flag: stopThreads raises the flag before it rings, so a stop
        // is either seen here or ends the wait.
        const uint64_t seen = readerWake.count();
        if (stopRequested.load() == 0) {
            readerWake.waitFor(seen, std::chrono::milliseconds(milliseconds));
        }
    } else {
        realSleep(site, milliseconds);
    }
}

void PlaybackEngine::endPollTurn(SleepSite site, uint32_t milliseconds, uint32_t busyMilliseconds,
                                 bool busy, WakeSignal& wake, uint64_t seen) {
    if ((sleepSites & sleepSiteBit(site)) != 0) {
        sleepFunction(site, milliseconds);
    } else if (busy) {
        if (busyMilliseconds > 0) {
            realSleep(site, busyMilliseconds);
        }
    } else {
        wake.waitFor(seen, std::chrono::milliseconds(idleWaitMs));
    }
}

int64_t PlaybackEngine::nowUs() const {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::microseconds>(since).count() +
           clockOffsetUs.load(std::memory_order_relaxed);
}

void PlaybackEngine::pictureShown(uint32_t drawn) {
    lastPictureShownAt.store(nowUs(), std::memory_order_relaxed);
    picturesShown.store(drawn);
    // Only a video thread that waits for the window is woken; it raised the flag first.
    if (waitingForWindow.load()) {
        videoWake.notify();
    }
}

void PlaybackEngine::setRecordTime(const RecordTime& time) {
    std::lock_guard<std::mutex> lock(valueMutex);
    recordTime = time;
}

RecordTime PlaybackEngine::currentRecordTime() const {
    std::lock_guard<std::mutex> lock(valueMutex);
    return recordTime;
}

std::string PlaybackEngine::currentFilePath() const {
    std::lock_guard<std::mutex> lock(valueMutex);
    return filePath;
}

void PlaybackEngine::setFilePath(const std::string& path) {
    std::lock_guard<std::mutex> lock(valueMutex);
    filePath = path;
}

}  // namespace vidora
