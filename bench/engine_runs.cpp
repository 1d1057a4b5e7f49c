#include "bench/engine_runs.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "bench/process_stats.h"
#include "engine/playback_engine.h"
#include "platform/surface.h"
#include "recording/recording_format.h"
#include "video/presenter.h"

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

}  // namespace

EngineThroughput engineThroughput(const BenchRecording& recording, Rect area) {
    // The reader on a thread of its own, unpaced on virtual time but held back while the video
    // ring is half full, so that no record is dropped for a full ring; the video path decodes,
    // scales and presents on this thread as fast as it goes. The rate runs from the first
    // picture to the last.
    EngineThroughput result;
    Surface surface(area.width(), area.height());
    PlaybackEngine engine(Pacer::Kind::Virtual);
    if (!engine.prepare(&surface, area) || !engine.reader().start(recording.path)) {
        return result;
    }
    std::atomic<bool> readerDone{false};
    std::jthread feeder([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            while (engine.videoRing().unread() > kVideoRingBytes / 2 && !stop.stop_requested()) {
                std::this_thread::sleep_for(milliseconds(1));
            }
            if (!engine.reader().step(stop)) {
                break;
            }
        }
        engine.reader().finish();
        readerDone.store(true);
    });
    VideoPath& video = engine.video();
    uint32_t firstCount = 0;
    uint32_t lastCount = 0;
    Clock::time_point first;
    Clock::time_point last;
    const auto deadline = Clock::now() + std::chrono::seconds(600);
    for (;;) {
        const uint64_t seen = video.wake().count();
        const bool ended = readerDone.load();
        const bool busy = video.step();
        const uint32_t count = video.presenter().presented();
        if (count != lastCount) {
            if (lastCount == 0) {
                firstCount = count;
                first = Clock::now();
            }
            lastCount = count;
            last = Clock::now();
        }
        if (!busy) {
            if (ended || Clock::now() > deadline) {
                break;  // the last step after the end gave up the held-back pictures
            }
            video.wake().waitFor(seen, milliseconds(1));
        }
    }
    feeder.request_stop();
    feeder.join();
    result.ok = readerDone.load() && lastCount > firstCount;
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
    const double timeout = recording.mediaSeconds() * 3 + 30;
    result.ok = waitUntil([&] { return engine.isPlaying() != 0; }, timeout, milliseconds(5)) &&
                waitUntil([&] { return engine.isPlaying() == 0; }, timeout, milliseconds(200));
    result.cpuSeconds = processCpuSeconds() - cpuStart;
    result.wallSeconds = secondsSince(start);
    result.pictures = engine.video().presenter().presented();
    engine.close();
    return result;
}

double pausedCpuShare(const BenchRecording& recording, Rect area, double seconds) {
    PlaybackEngine engine;
    Surface surface(area.width(), area.height());
    if (engine.open(recording.path, &surface, area) != 1) {
        return -1.0;
    }
    if (!waitUntil([&] { return engine.video().presenter().presented() >= 25; }, 30.0)) {
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
    // A seek is served when the reader flushes the video ring for it; the first picture
    // presented after that is from the new position, as the video path drops whatever it held
    // from before the flush.
    std::atomic<uint32_t> generation{~0u};
    std::atomic<bool> shown{false};
    std::mutex mutex;
    Clock::time_point requestedAt;
    Clock::time_point shownAt;
    engine.video().presenter().observer = [&](const uint8_t*, int32_t, int32_t) {
        if (!shown.load() && engine.videoRing().generation() != generation.load()) {
            std::lock_guard<std::mutex> lock(mutex);
            shownAt = Clock::now();
            shown.store(true);
        }
    };
    Surface surface(area.width(), area.height());
    // With the record index ready a seek lands exactly: the first picture shown is the landing
    // record's, decoded from the key picture before it.
    if (engine.open(recording.path, &surface, area) != 1 ||
        !waitUntil([&] { return engine.video().presenter().presented() >= 25; }, 30.0) ||
        !waitUntil([&] { return engine.index() != nullptr; }, 30.0)) {
        result.failed = count;
        return result;
    }
    for (int i = 0; i < count; ++i) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            requestedAt = Clock::now();
        }
        generation.store(engine.videoRing().generation());
        shown.store(false);
        const int percent = kPercents[static_cast<size_t>(i) % std::size(kPercents)];
        engine.requestSeek(percent);
        const bool ok = waitUntil([&] { return shown.load(); }, 10.0, milliseconds(1));
        generation.store(~0u);
        if (ok) {
            std::lock_guard<std::mutex> lock(mutex);
            result.seconds.push_back(std::chrono::duration<double>(shownAt - requestedAt).count());
            // The picture shown is the landing record's: the first record at or after the share.
            const std::shared_ptr<const RecordIndex> index = engine.index();
            const uint64_t size = std::filesystem::file_size(recording.path);
            const size_t landing = index->firstAtOrAfterOffset(
                kRecordingHeaderBytes + uint64_t{static_cast<uint32_t>(percent)} * size / 100);
            if (engine.currentRecord() != landing) {
                ++result.inexact;
            }
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
