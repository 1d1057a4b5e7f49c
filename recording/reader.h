#pragma once
// The reader: the producer of a run. It checks the recording's header and tells which stream it
// found, then reads the records one by one, validates them, publishes their date and time,
// waits until each is due on its schedule so the stream plays at recorded speed (or at the speed
// chosen), and hands its bytes to the video and audio rings with the stream time they play at.
// The first bad record ends it: a damaged file plays up to the damage and no further.
//
// Seeks: a share of the file jumps there and finds the next sync word. Once the recording's
// index is ready, a seek lands on a record exactly: the reader goes back to the key picture at
// or before it and hands the records in between to the video ring at once, marked (by the flush's
// showFrom) as only preparing the decoder, so that the landing record's picture is the first
// one shown and its sound the first heard. While paused a seek still delivers the landing record
// (and a few after it, which a decoder that reorders pictures needs to give it up), so that the
// picture of the new place is shown at once.
//
// At the end of a file it asks whether a file continues it, and plays on into that one.
//
// The reader's thread calls run(); a test or a fuzzer can drive start() and step() itself.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "engine/engine_types.h"
#include "engine/pacer.h"
#include "engine/playback_clock.h"
#include "engine/stream_rings.h"
#include "engine/wake_signal.h"
#include "recording/pacing_schedule.h"
#include "recording/record_index.h"
#include "recording/recording_file.h"
#include "recording/recording_format.h"

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
    // The index of the recording being played, once it is ready (nullptr before).
    std::function<std::shared_ptr<const RecordIndex>()> index;
    // Asked at the normal end of `ended`, whose last record was dated `last`, for the file that
    // continues it; nothing ends the run there.
    std::function<std::optional<std::string>(const std::string& ended, const RecordTime& last)>
        nextRecording;
    // Told, on the reader's thread, that it went on into `path`.
    std::function<void(const std::string& path)> onContinued;

    // The thread's loop: plays `path` from its first record until its end, a bad record or
    // `stop`, then tells both rings that nothing more comes. Whoever stops it notifies wake()
    // after the request, so that a wait ends at once.
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
    // Lands on record `record` of the index, exactly (nothing without an index).
    void requestSeekToRecord(size_t record);
    void setPaused(bool paused);
    // From the next record on, the stream plays `speed` times as fast as recorded.
    void setSpeed(double speed);
    // Whether pictures are shown late: at a speed above recorded, only key pictures are then
    // handed on, so that the video catches up instead of falling further behind.
    void setVideoLate(bool late) { videoLate_.store(late, std::memory_order_relaxed); }
    WakeSignal& wake() { return wake_; }

    bool playing() const { return playing_.load(); }
    int32_t progress() const { return progress_.load(); }
    RecordTime recordTime() const;
    // The file offset of the record delivered with stream time `streamTime` (the last one at or
    // before it), among the last deliveries; false when none is known.
    bool recordOffsetAt(int64_t streamTime, uint64_t* offset) const;
    // The file offset of the record delivered last; false before the first.
    bool lastRecordOffset(uint64_t* offset) const;
    FileProblem problem() const { return problem_.load(); }
    // Whether the last run ended at a damaged record (set before the rings are finished).
    bool endedDamaged() const { return damaged_.load(std::memory_order_acquire); }
    // Forgets the last run's progress, time and problem (no reader may be running).
    void reset();

  private:
    enum class Wait { Due, Stop, Seek };
    enum class End { FileEnd, BadRecord, SeekFailed, Stopped };
    bool open(const std::string& path, bool continuing);
    bool playFile(std::stop_token stop);
    Wait waitUntilDue(int64_t streamTime, const std::stop_token& stop);
    void holdWhilePaused(const std::stop_token& stop);
    void applySpeed();
    void keepBehindSound(int64_t streamTime);
    bool seekPending() const { return seekPercent_.load() != 0 || seekRecord_.load() >= 0; }
    bool serveSeek(const std::stop_token& stop);
    bool seek(uint64_t offset, const std::stop_token& stop);
    bool seekExactly(const RecordIndex& index, size_t record);
    void deliver(const RecordHeader& record, int64_t streamTime, uint64_t offset, bool preroll,
                 const std::stop_token& stop);
    void remember(int64_t streamTime, uint64_t offset);
    void flushStreams(int64_t showFrom = 0);
    void tellProblem(FileProblem problem);
    void setRecordTime(const RecordTime& time);

    ByteRing& video_;
    ByteRing& audio_;
    PlaybackClock& clock_;
    Pacer& pacer_;
    WakeSignal wake_;

    RecordingFile file_;
    std::string path_;
    bool h264_ = false;
    End end_ = End::FileEnd;
    uint64_t fileSize_ = 0;
    // Bytes after the header accounted as read; the basis of the progress. After a seek it runs
    // up to 1,023 bytes ahead of the file position, as the search reads ahead of the sync word.
    uint64_t consumed_ = 0;
    PacingSchedule schedule_;
    std::unique_ptr<uint8_t[]> payload_;
    // An exact seek: records still to hand over only to prepare the decoder, the stream time
    // of the landing record, and what is still to deliver at once after a seek.
    uint32_t prerollLeft_ = 0;
    int64_t landingTime_ = 0;
    uint32_t stillLeft_ = 0;  // pictures
    uint32_t stillRecords_ = 0;
    bool landingNext_ = false;
    // Paused: since when the stream stands, and where.
    bool holding_ = false;
    int64_t held_ = 0;
    double speedApplied_ = 1.0;
    // Video records are passed over until the next key picture (one was dropped, or only key
    // pictures are wanted).
    bool awaitingKey_ = false;
    // Sound was passed over (a speed at which it is not heard) since it was last delivered.
    bool soundPassedOver_ = false;

    std::atomic<bool> playing_{false};
    std::atomic<bool> paused_{false};
    std::atomic<int32_t> progress_{0};
    std::atomic<int32_t> seekPercent_{0};
    std::atomic<int64_t> seekRecord_{-1};
    std::atomic<double> speed_{1.0};
    std::atomic<bool> videoLate_{false};
    std::atomic<bool> damaged_{false};
    std::atomic<FileProblem> problem_{FileProblem::None};
    mutable std::mutex timeMutex_;
    // Guarded by timeMutex_: the date and time published, and the last deliveries.
    RecordTime recordTime_;
    struct Delivery {
        int64_t streamTime;
        uint64_t offset;
    };
    static constexpr size_t kDeliveriesKept = 512;
    Delivery deliveries_[kDeliveriesKept] = {};
    size_t deliveryCount_ = 0;
};

}  // namespace vidora
