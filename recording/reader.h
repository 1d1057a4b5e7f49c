#pragma once
// The reader: the producer of a run. It checks the recording's header and tells which stream it
// found, then reads the records one by one, validates them, publishes their date and time,
// waits until each is due on its schedule so the stream plays at recorded speed, and hands its
// bytes to the video and audio rings with the stream time they play at. It serves seeks by
// jumping to a share of the file and finding the next sync word, and flushes both rings for
// them. The first bad record ends it: a damaged file plays up to the damage and no further.
//
// The reader's thread calls run(); a test or a fuzzer can drive start() and step() itself.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>

#include "engine/engine_types.h"
#include "engine/pacer.h"
#include "engine/playback_clock.h"
#include "engine/stream_rings.h"
#include "engine/wake_signal.h"
#include "recording/pacing_schedule.h"
#include "recording/recording_file.h"

namespace vidora {

// What the header says about the stream.
struct StreamFormat {
    bool h264 = false;
    int32_t width = 0;  // 0: not declared
    int32_t height = 0;
};

class Reader {
  public:
    Reader(ByteRing& video, ByteRing& audio, PlaybackClock& clock, Pacer& pacer);
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Told the stream of an accepted header before its first record is delivered.
    std::function<void(const StreamFormat&)> onStream;
    // Told when the file turned out unplayable; problem() says why.
    std::function<void()> onProblem;

    // The thread's loop: plays `path` from its first record until its end, a bad record or
    // `stop`, then tells both rings that nothing more comes.
    void run(const std::string& path, std::stop_token stop);

    // Opens `path` and checks its header; false (with problem() set where there is one) when
    // nothing can be played.
    bool start(const std::string& path);
    // Reads the next record (after serving a pending seek), waits until it is due and delivers
    // it. False at the end of the file, at a bad record or on `stop`.
    bool step(std::stop_token stop = {});
    // Tells the rings that the last record has been delivered.
    void finish();

    // --- From any thread ---
    void requestSeek(int32_t percent);
    void setPaused(bool paused);
    WakeSignal& wake() { return wake_; }

    bool playing() const { return playing_.load(); }
    int32_t progress() const { return progress_.load(); }
    RecordTime recordTime() const;
    FileProblem problem() const { return problem_.load(); }
    // Forgets the last run's progress, time and problem (no reader may be running).
    void reset();

  private:
    enum class Wait { Due, Stop, Seek };
    Wait waitUntilDue(int64_t streamTime, const std::stop_token& stop);
    void holdWhilePaused(const std::stop_token& stop);
    void keepBehindSound(int64_t streamTime);
    bool seek(const std::stop_token& stop);
    void flushStreams();
    void tellProblem(FileProblem problem);
    void setRecordTime(const RecordTime& time);

    ByteRing& video_;
    ByteRing& audio_;
    PlaybackClock& clock_;
    Pacer& pacer_;
    WakeSignal wake_;

    RecordingFile file_;
    uint64_t fileSize_ = 0;
    // Bytes after the header accounted as read; the basis of the progress. After a seek it runs
    // up to 1,023 bytes ahead of the file position, as the search reads ahead of the sync word.
    uint64_t consumed_ = 0;
    PacingSchedule schedule_;
    std::unique_ptr<uint8_t[]> payload_;

    std::atomic<bool> playing_{false};
    std::atomic<bool> paused_{false};
    std::atomic<int32_t> progress_{0};
    std::atomic<int32_t> seekPercent_{0};
    std::atomic<FileProblem> problem_{FileProblem::None};
    mutable std::mutex timeMutex_;
    RecordTime recordTime_;  // guarded by timeMutex_
};

}  // namespace vidora
