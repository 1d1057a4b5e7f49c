// The reader thread: the producer of a run. It checks the recording's header, then reads the
// records one by one, validates them, publishes their date and time, sleeps out the gap between
// timestamps so the stream plays at recorded speed, and hands their bytes to the rings. It also
// serves seeks by jumping to a share of the file and finding the next sync word. The first bad
// record ends it: a damaged file plays up to the damage and no further.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>

#include "engine/playback_engine.h"
#include "platform/surface.h"
#include "recording/recording_format.h"

namespace vidora {

namespace {

constexpr uint32_t kPauseMs = 100;
// The first record after the start waits this long; after a seek, the delay before it stays.
constexpr uint32_t kFirstRecordDelayMs = 10;
// A gap longer than this (or a timestamp going backwards) is not slept out in full.
constexpr uint32_t kMaxPacingDelayMs = 1000;
// The seek search reads this much per step behind 4 bytes carried over from the step before,
// so that a sync word split between two reads is still found.
constexpr uint32_t kSeekReadBytes = 1020;
constexpr uint32_t kSeekWindowBytes = kSeekReadBytes + 4;

constexpr char kInvalidFileText[] = "无效的日志文件";
constexpr Colorref kInvalidFileColor = 0x00FFFFFF;

// A recording opened for reading, with 64-bit positions.
class RecordingFile {
  public:
    // Only regular files: a folder or a device is "cannot be opened", as on systems where
    // opening one for reading fails outright.
    bool open(const std::string& path) {
        std::error_code error;
        if (path.empty() || !std::filesystem::is_regular_file(path, error)) {
            return false;
        }
        file_.reset(std::fopen(path.c_str(), "rb"));
        return file_ != nullptr;
    }
    // Bytes read; fewer than n at the end of the file or on an error.
    size_t read(void* destination, size_t n) { return std::fread(destination, 1, n, file_.get()); }
    bool seekTo(uint64_t position) {
        return fseeko(file_.get(), static_cast<off_t>(position), SEEK_SET) == 0;
    }
    bool seekBack(uint64_t bytes) {
        return fseeko(file_.get(), -static_cast<off_t>(bytes), SEEK_CUR) == 0;
    }
    uint64_t size() {
        // The size is taken once, when playing starts, as the basis of the progress.
        off_t here = ftello(file_.get());
        fseeko(file_.get(), 0, SEEK_END);
        off_t end = ftello(file_.get());
        fseeko(file_.get(), here, SEEK_SET);
        return end > 0 ? static_cast<uint64_t>(end) : 0;
    }

  private:
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
};

class Reader {
  public:
    explicit Reader(PlaybackEngine& engine) : engine_(engine) {}

    void run() {
        if (!file_.open(engine_.currentFilePath())) {
            return;  // silently, and without touching `playing`
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
            drawInvalidFileText();
            return false;
        }
        engine_.configureStream(header);
        engine_.setRecordTime(RecordTime{});
        fileSize_ = file_.size();
        consumed_ = 0;
        resyncPending_ = true;
        previousTimestamp_ = 0;
        pacingDelay_ = kFirstRecordDelayMs;
        return true;
    }

    void loop() {
        uint8_t recordBytes[kRecordHeaderBytes];
        for (;;) {
            if (engine_.stopRequested.load() != 0) {
                return;
            }
            if (engine_.paused.load() != 0) {
                engine_.sleepFor(SleepSite::ReaderPause, kPauseMs);
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
            pace(record.timestamp);
            uint64_t payloadBytes = uint64_t{record.videoBytes} + record.audioBytes;
            // A record that does not fit the payload buffer is as bad as any other bad record.
            if (payloadBytes > kMaxRecordPayloadBytes) {
                return;
            }
            if (file_.read(payload_, payloadBytes) < payloadBytes) {
                return;
            }
            consumed_ += payloadBytes + kRecordHeaderBytes;
            engine_.progressPercent.store(
                fileSize_ != 0 ? static_cast<int32_t>(consumed_ * 100 / fileSize_) : 0);
            engine_.playing.store(1);
            engine_.sleepFor(SleepSite::ReaderPacing, pacingDelay_);
            engine_.deliverRecord(payload_, record.videoBytes, record.audioBytes);
        }
    }

    void pace(uint32_t timestamp) {
        if (resyncPending_) {
            resyncPending_ = false;
        } else {
            pacingDelay_ = timestamp - previousTimestamp_ + 1;
        }
        if (pacingDelay_ > kMaxPacingDelayMs) {
            pacingDelay_ = kMaxPacingDelayMs;
        }
        previousTimestamp_ = timestamp;
    }

    // Jumps to the requested share of the file and stops just before the next sync word. The
    // share counts from the end of the header. False when no sync word follows.
    bool seek() {
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
                    resyncPending_ = true;
                    file_.seekBack(kSeekWindowBytes - p);
                    engine_.lockVideoRing();
                    engine_.videoRingWritten.store(0, std::memory_order_release);
                    engine_.videoRingRead.store(0, std::memory_order_release);
                    engine_.unlockVideoRing();
                    return true;
                }
            }
            std::copy(window + kSeekReadBytes, window + kSeekWindowBytes, window);
        }
    }

    void drawInvalidFileText() {
        std::lock_guard<std::mutex> lock(engine_.targetMutex);
        if (engine_.targetDc != nullptr) {
            engine_.targetDc->drawText(kInvalidFileText, engine_.videoRect,
                                       Surface::TextAlign::Centre, kInvalidFileColor);
        }
    }

    PlaybackEngine& engine_;
    RecordingFile file_;
    uint64_t fileSize_ = 0;
    // Bytes after the header accounted as read; the basis of the progress. After a seek it runs
    // up to 1,023 bytes ahead of the file position, as the search reads ahead of the sync word.
    uint64_t consumed_ = 0;
    bool resyncPending_ = true;
    uint32_t previousTimestamp_ = 0;
    uint32_t pacingDelay_ = kFirstRecordDelayMs;
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
    engine.readerHandle.store(0);
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
}

void PlaybackEngine::deliverRecord(const uint8_t* payload, uint32_t videoBytes,
                                   uint32_t audioBytes) {
    if (stopRequested.load() != 0 || opened.load() == 0) {
        return;
    }
    // Each ring is tested just before its own append; a full ring drops this record's bytes for
    // it rather than making the reader wait (the other ring may still take its part).
    if (videoRingFull() == 0) {
        videoRingPut(payload, videoBytes);
    }
    if (audioRingFull() == 0) {
        audioRingPut(payload + videoBytes, audioBytes);
    }
    videoWake.notify();
    audioDecodeWake.notify();
}

}  // namespace vidora
