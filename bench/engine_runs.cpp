#include "bench/engine_runs.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "bench/process_stats.h"
#include "engine/playback_engine.h"
#include "platform/surface.h"

namespace vidora::bench {

namespace {

using std::chrono::milliseconds;

template <typename Condition>
bool waitUntil(Condition condition, double timeoutSeconds, milliseconds step = milliseconds(10)) {
    const auto start = Clock::now();
    while (!condition()) {
        if (secondsSince(start) > timeoutSeconds) {
            return false;
        }
        std::this_thread::sleep_for(step);
    }
    return true;
}

// Whether the video thread has taken everything in the video ring (an H.263 stream too: it is
// parsed as it arrives and its last picture is drained at the end).
bool videoRingDrained(const PlaybackEngine& engine) {
    const auto unread =
        static_cast<int32_t>(engine.videoRing.written.load() - engine.videoRing.read.load());
    return unread <= 0;
}

}  // namespace

EngineThroughput engineThroughput(const BenchRecording& recording, Rect area) {
    EngineThroughput result;
    PlaybackEngine engine;
    engine.setSleepFunction(
        [&engine](SleepSite, uint32_t) {
            // Half the ring plus one record (at most 64 KiB) stays well below the 80 % at which
            // the reader drops records, and keeps the video thread supplied for a long while.
            while (engine.stopRequested.load() == 0 &&
                   engine.videoRing.written.load() - engine.videoRing.read.load() >
                       kVideoRingBytes / 2) {
                std::this_thread::sleep_for(milliseconds(1));
            }
        },
        sleepSiteBit(SleepSite::ReaderPacing));
    Surface surface(area.width(), area.height());
    if (engine.open(recording.path, &surface, area) != 1) {
        return result;
    }
    // The count of presented pictures is watched from here: a frame observer would be handed a
    // copy of every picture, which the player does not make. The rate runs from the first count
    // seen to the last change, so the watch's granularity near both ends is all the error. In
    // between it looks seldom, so that its own waking takes little from the engine: it sleeps a
    // quarter of the time the video bytes still unread should take at the rate so far, between
    // 0.2 and 20 ms.
    uint64_t videoBytes = 0;
    for (const Bytes& record : recording.video) {
        videoBytes += record.size();
    }
    constexpr auto kFineStep = std::chrono::microseconds(200);
    constexpr auto kCoarseStep = std::chrono::microseconds(20000);
    uint32_t firstCount = 0;
    uint32_t lastCount = 0;
    Clock::time_point first;
    Clock::time_point last;
    auto quietSince = Clock::now();
    auto step = std::chrono::duration_cast<std::chrono::microseconds>(kFineStep);
    const auto deadline = Clock::now() + std::chrono::seconds(600);
    bool done = false;
    while (!done && Clock::now() < deadline) {
        std::this_thread::sleep_for(step);
        const uint32_t count = engine.framesPresented.load();
        const auto now = Clock::now();
        if (count != lastCount) {
            if (lastCount == 0) {
                firstCount = count;
                first = now;
            }
            lastCount = count;
            last = now;
            quietSince = now;
        }
        step = kFineStep;
        if (lastCount != 0) {
            // The ring's read total is the video bytes taken so far (one run stays far below
            // 4 GiB, where the total would wrap).
            const double taken = engine.videoRing.read.load();
            const double elapsed = std::chrono::duration<double>(now - first).count();
            if (taken > 0.0 && elapsed > 0.0 && videoBytes > taken) {
                const double left = (videoBytes - taken) * elapsed / taken;
                step = std::clamp(std::chrono::microseconds(static_cast<int64_t>(left * 0.25e6)),
                                  std::chrono::microseconds(kFineStep), kCoarseStep);
            }
            if (secondsSince(quietSince) > 0.01) {
                step = kCoarseStep;  // the pictures have stopped; only the end is awaited
            }
        }
        // Finished once the reader has ended, nothing is left to take and no picture has come
        // for a while.
        done = engine.readerRunning.load() == 0 && engine.decodersReady.load() != 0 &&
               videoRingDrained(engine) && secondsSince(quietSince) > 0.3;
    }
    engine.close();
    result.ok = done && lastCount > firstCount;
    result.pictures = lastCount;
    result.measuredPictures = lastCount - firstCount;
    result.firstToLastSeconds = std::chrono::duration<double>(last - first).count();
    return result;
}

RealtimePlay playAtRecordedSpeed(const BenchRecording& recording, Rect area) {
    RealtimePlay result;
    PlaybackEngine engine;
    Surface surface(area.width(), area.height());
    // The interface font is found and loaded once per process, at the first text drawn (here
    // it would be the first frame's time): not a cost of playing, so it is paid before.
    surface.drawText("0", Rect{0, 0, area.width(), area.height()}, Surface::TextAlign::Centre,
                     0xFFFFFF);
    const double cpuStart = processCpuSeconds();
    const auto start = Clock::now();
    if (engine.open(recording.path, &surface, area) != 1) {
        return result;
    }
    // Coarse steps: this thread's own waking is counted in the process's time too.
    result.ok = waitUntil([&] { return engine.readerRunning.load() == 0; },
                          recording.mediaSeconds() * 3 + 30, milliseconds(200));
    result.cpuSeconds = processCpuSeconds() - cpuStart;
    result.wallSeconds = secondsSince(start);
    result.pictures = engine.framesPresented.load();
    engine.close();
    return result;
}

double pausedCpuShare(const BenchRecording& recording, Rect area, double seconds) {
    PlaybackEngine engine;
    Surface surface(area.width(), area.height());
    if (engine.open(recording.path, &surface, area) != 1) {
        return -1.0;
    }
    if (!waitUntil([&] { return engine.framesPresented.load() >= 25; }, 30.0)) {
        engine.close();
        return -1.0;
    }
    engine.togglePlay();
    // Let the sound already queued play out and the threads settle into the pause.
    std::this_thread::sleep_for(milliseconds(1000));
    const double cpuStart = processCpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double share = (processCpuSeconds() - cpuStart) / secondsSince(start);
    const bool stillPaused = engine.isPaused() != 0;
    engine.close();
    return stillPaused ? share : -1.0;
}

SeekLatencies seekLatencies(const BenchRecording& recording, Rect area, int count) {
    // Spread over the file, never 0 (which is no seek) and never so near the end that the
    // search runs out of file.
    static constexpr int kPercents[] = {37, 12, 81, 55, 3,  68, 24, 90, 46, 7,
                                        73, 31, 59, 16, 86, 41, 64, 20, 93, 50};
    SeekLatencies result;
    PlaybackEngine engine;
    // A seek counts as served once the reader sleeps before a record with the request cleared:
    // it has then reset the video ring and read the first record from the new position. A
    // picture is from the new position when it is presented after that and the video thread
    // has taken bytes since the reset (a picture still on its way from the old position is
    // presented with the reset read total of 0).
    std::atomic<bool> requested{false};
    std::atomic<bool> served{false};
    std::atomic<bool> shown{false};
    std::mutex mutex;
    Clock::time_point requestedAt;
    Clock::time_point shownAt;
    engine.setSleepFunction(
        [&](SleepSite, uint32_t ms) {
            if (requested.load() && engine.seekPercent.load() == 0) {
                served.store(true);
            }
            std::this_thread::sleep_for(milliseconds(ms));
        },
        sleepSiteBit(SleepSite::ReaderPacing));
    engine.frameObserver = [&](const uint8_t*, int32_t, int32_t) {
        if (served.load() && !shown.load() && engine.videoRing.read.load() > 0) {
            std::lock_guard<std::mutex> lock(mutex);
            shownAt = Clock::now();
            shown.store(true);
        }
    };
    Surface surface(area.width(), area.height());
    if (engine.open(recording.path, &surface, area) != 1 ||
        !waitUntil([&] { return engine.framesPresented.load() >= 25; }, 30.0)) {
        result.failed = count;
        return result;
    }
    for (int i = 0; i < count; ++i) {
        served.store(false);
        shown.store(false);
        {
            std::lock_guard<std::mutex> lock(mutex);
            requestedAt = Clock::now();
        }
        // The request first, then the mark: the reader must never see the mark without it.
        engine.requestSeek(kPercents[static_cast<size_t>(i) % std::size(kPercents)]);
        requested.store(true);
        bool ok = waitUntil([&] { return shown.load(); }, 10.0, milliseconds(1));
        requested.store(false);
        if (ok) {
            std::lock_guard<std::mutex> lock(mutex);
            result.seconds.push_back(std::chrono::duration<double>(shownAt - requestedAt).count());
        } else {
            ++result.failed;
            if (engine.isPlaying() == 0) {
                engine.togglePlay();  // a seek that found no record ended the reader
            }
        }
        // Play on a little before the next seek.
        std::this_thread::sleep_for(milliseconds(500));
    }
    engine.close();
    return result;
}

}  // namespace vidora::bench
