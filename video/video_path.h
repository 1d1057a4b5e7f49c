#pragma once
// The video path: the consumer of the video ring. Once the reader has told which stream it
// found, it opens the decoder (and, for H.263, the parser that joins the pieces into whole
// pictures), takes one H.264 packet or one H.263 piece at a time from the ring, decodes it,
// waits until the clock reaches each picture's time, scales the picture to the display size and
// has the presenter draw it. It honours the ring's flushes on its own, and gives up the
// pictures its decoder holds back once the reader has delivered its last record.
//
// The video thread calls run(); a test or a fuzzer can call step() on its own thread.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <vector>

#include "engine/engine_types.h"
#include "engine/pacer.h"
#include "engine/playback_clock.h"
#include "engine/stream_rings.h"
#include "engine/wake_signal.h"
#include "recording/reader.h"
#include "video/presenter.h"

struct AVCodecContext;
struct AVCodecParserContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace vidora {

// Whether an Annex B H.264 payload holds a coded picture (a slice NAL unit): the packets whose
// pictures a decoder owes, as against parameter sets alone.
bool holdsPicture(const uint8_t* data, uint32_t size);

class VideoPath {
  public:
    VideoPath(ByteRing& ring, PlaybackClock& clock, Pacer& pacer);
    ~VideoPath();
    VideoPath(const VideoPath&) = delete;
    VideoPath& operator=(const VideoPath&) = delete;

    // The date and time printed over each picture. Set before the thread starts.
    std::function<RecordTime()> recordTime;
    // Called each time a picture has been drawn into the video surface, so that the window
    // shows it now. Set before the thread starts. While it is set, the path gives the window a
    // moment to take a picture (pictureShown) before it draws the next one over it.
    std::function<void()> pictureReady;
    // Told whether pictures are shown late (more than a moment after their time, above recorded
    // speed), so that the reader hands on key pictures alone until they are not.
    std::function<void(bool late)> lateness;
    // Whether the reader stopped at a damaged record, asked once it has delivered its last.
    std::function<bool()> endedDamaged;

    // The thread's loop: decodes and presents until `stop`, then releases the decoders. Whoever
    // stops it notifies wake() after the request, so that a wait ends at once.
    void run(std::stop_token stop);
    // One turn: sets up for the stream, then decodes what one packet (or piece) brings and
    // presents its pictures when due. False when it found nothing to do.
    bool step();
    // Releases the decoders and forgets the stream (the thread must not be running).
    void reset();

    // --- From the reader ---
    void configure(const StreamFormat& format);

    // --- From the window (any thread) ---
    // Moves the drawing target; the picture last shown is drawn again into the new one, as
    // nothing else would fill it while paused or after the end.
    void setTarget(Surface* surface, Rect rect);
    Presenter& presenter() { return presenter_; }
    void setPaused(bool paused);
    // The window has brought the video surface to the screen, with every picture up to the
    // `drawn`-th: the count read before it took the surface (several pictures drawn in quick
    // succession are shown by one copy, the last of them).
    void pictureShown(uint32_t drawn);
    uint32_t picturesDrawn() const { return drawn_.load(); }
    // How many seeks have had their first picture shown.
    uint32_t seeksShown() const { return seeksShown_.load(std::memory_order_acquire); }
    // The stream time of the picture last presented; false before the first.
    bool lastPresentedTime(int64_t* streamTime) const {
        *streamTime = presentedTime_.load(std::memory_order_acquire);
        return presentedAny_.load(std::memory_order_acquire);
    }
    WakeSignal& wake() { return wake_; }
    // Whether every picture the reader handed over before it ended has been shown.
    bool allShown() const {
        return allShown_.load(std::memory_order_acquire) && ring_.finished() && ring_.unread() == 0;
    }

  private:
    bool setUp();
    void release();
    bool layOut(const Rect& rect);
    bool packetStep();
    bool decodeH264();
    bool decodeH263();
    void completeParsedPicture(int64_t fallbackTime);
    void drain();
    bool sendAndPresent(const uint8_t* data, int size, int64_t streamTime, bool picture);
    int64_t pictureTime(const AVFrame* frame);
    bool tooLate(int64_t streamTime);
    bool waitUntilDue(int64_t streamTime);
    bool presentUnlessPaused(int64_t streamTime, bool still);
    void waitForWindow();
    void learnShowLatency(int64_t shownAt);
    void present(const AVFrame* frame);
    void showAgainOnNewTarget();
    void announce();
    void flushForSeek();
    bool seekPending() const { return ring_.generation() != generationServed_; }
    bool stopping() const { return stop_.stop_requested(); }
    void resetDecoding();
    void resetParser();

    ByteRing& ring_;
    PlaybackClock& clock_;
    Pacer& pacer_;
    Presenter presenter_;
    WakeSignal wake_;
    std::stop_token stop_;

    // The stream the reader found: written by it before `configured_` (release).
    std::atomic<bool> configured_{false};
    std::atomic<bool> h264_{false};
    std::atomic<int32_t> declaredWidth_{0};
    std::atomic<int32_t> declaredHeight_{0};
    std::atomic<bool> paused_{false};
    std::mutex presentMutex_;  // a pause against a picture going up
    std::atomic<uint32_t> targetChanges_{0};

    // The window's side of showing pictures.
    std::atomic<uint32_t> drawn_{0};
    std::atomic<uint32_t> shown_{0};
    std::atomic<int64_t> lastShownAt_{0};
    std::atomic<bool> waitingForWindow_{false};
    std::atomic<int64_t> presentedTime_{0};
    std::atomic<bool> presentedAny_{false};
    std::atomic<bool> allShown_{false};
    std::atomic<uint32_t> seeksShown_{0};

    // Decoding state, the video thread's alone.
    bool ready_ = false;
    int32_t sourceWidth_ = 320;
    int32_t sourceHeight_ = 240;
    AVCodecContext* codec_ = nullptr;
    AVFrame* decoded_ = nullptr;
    AVFrame* scaled_ = nullptr;
    uint8_t* scaledBuffer_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVCodecParserContext* parser_ = nullptr;
    SwsContext* scaler_ = nullptr;        // to packed BGR, for a picture drawn apart
    SwsContext* directScaler_ = nullptr;  // into the video surface
    Rect lastRect_;
    bool layoutValid_ = false;
    std::vector<uint8_t> packetBuffer_;
    // The record the next bytes belong to.
    StreamMark record_;
    uint32_t generationServed_ = 0;
    // After a seek: pictures before this stream time only prepare the decoder and are not shown,
    // and the first one at or after it is shown at once (stillPending_), so that the new place is
    // seen without waiting for the sound; while paused it is the only picture shown.
    int64_t showFrom_ = 0;
    bool stillPending_ = false;
    bool seekShownPending_ = false;
    bool damageShown_ = false;
    bool late_ = false;
    std::deque<int64_t> pendingTimes_;
    int64_t lastPictureTime_ = 0;
    // H.263: how many records in a row began with a picture start code, and the copy of a
    // picture completed by telling the parser the stream ended.
    uint32_t recordsStartingPictures_ = 0;
    std::vector<uint8_t> completedPicture_;
    // How long a picture takes from the start of its drawing until it is on the screen, as
    // lately seen; pictures are started that much before their time.
    int64_t showLatency_ = 0;
    int64_t presentStartedAt_ = 0;
    uint32_t latencyMeasuredFor_ = 0;
    // Whether the decoder has been fed since it last gave up its delayed pictures.
    bool fedSinceDrain_ = false;
    // The picture last shown (a reference to the decoder's), and the target changes it has
    // been drawn for.
    AVFrame* lastPicture_ = nullptr;
    uint32_t targetChangesSeen_ = 0;
};

}  // namespace vidora
