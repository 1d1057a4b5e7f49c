// The video thread: waits for the reader to choose the codec, opens the decoders, fits the
// picture to the video rectangle, then takes one H.264 packet or one H.263 window at a time
// from the video ring, decodes it, scales every picture the decoder returns to the display size
// and presents it. The reader sets the pace; this thread decodes whatever arrives.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "engine/playback_engine.h"

namespace vidora {

namespace {

constexpr uint32_t kIdleMs = 100;
constexpr uint32_t kSetupRetryMs = 100;
constexpr uint32_t kLayoutRetryMs = 10;
constexpr uint32_t kStepMs = 1;

// How long the video thread waits for the window to show a picture before it draws the next
// one over it: a window that does not answer (no window, a stalled desktop) must not hold the
// pictures back for long.
constexpr int64_t kWindowWaitUs = 20000;
// The longest wait for a picture's time without being woken, as a safeguard: the sound's
// progress, a seek, a pause or a stop wake the thread, and the schedule's time is waited for.
constexpr int64_t kLongestDueWaitUs = 100000;
// Records in a row that began with a picture start code before the stream counts as holding
// one whole picture per record.
constexpr uint32_t kAlignedRecordsToTrust = 3;
// The most a picture is started before its time to make up for drawing and showing it.
constexpr int64_t kMaxShowLatencyUs = 40000;
// Times of pictures sent to a decoder that reorders them, not yet given back.
constexpr size_t kMaxPendingTimes = 32;

// Whether an Annex B H.264 payload holds a coded picture (a slice NAL unit).
bool holdsPicture(const uint8_t* data, uint32_t size) {
    for (uint32_t i = 0; i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            const int type = data[i + 3] & 0x1F;
            if (type == 1 || type == 5) {
                return true;
            }
            i += 2;
        }
    }
    return false;
}

// The thread's own working state; the decoders themselves are engine fields.
class VideoDecoder {
  public:
    explicit VideoDecoder(PlaybackEngine& engine) : engine_(engine) {
        // The decoder reads past the end of its input in wide steps: the bytes behind the taken
        // data must be zero, and there must be room for that padding.
        packetBuffer_.resize(kPacketBufferBytes + AV_INPUT_BUFFER_PADDING_SIZE);
        packet_ = av_packet_alloc();
        lastPicture_ = av_frame_alloc();
    }
    ~VideoDecoder() {
        av_packet_free(&packet_);
        av_frame_free(&lastPicture_);
        if (parser_ != nullptr) {
            av_parser_close(parser_);
        }
        sws_freeContext(scaler_);
        sws_freeContext(directScaler_);
    }

    void run();

  private:
    bool layOut(const Rect& rect);
    // One packet step; false when it found nothing to take.
    bool packetStep();
    bool decodeH264();
    bool decodeH263();
    // Tells the parser that the stream has ended here, decodes and presents the picture it then
    // gives up, and starts the parser afresh.
    void completeParsedPicture(int64_t fallbackTime);
    // At the end of the recording: gives up the pictures the parser and the decoder still hold.
    void drain();
    // Sends one packet (nullptr: drain) that plays at `streamTime`, and presents every picture
    // the decoder then returns at its time. False when the decoder refused the packet.
    bool sendAndPresent(const uint8_t* data, int size, int64_t streamTime, bool picture);
    // The stream time of a picture the decoder has just returned.
    int64_t pictureTime(const AVFrame* frame);
    // Waits until the clock reaches `streamTime`; false when a stop or a seek came first.
    bool waitUntilDue(int64_t streamTime);
    // Waits, briefly, until the window has shown the last picture drawn.
    void waitForWindow();
    // Takes in how long the last picture took from the start of its drawing until `shownAt`.
    void learnShowLatency(int64_t shownAt) {
        const int64_t sample =
            std::clamp<int64_t>(shownAt - presentStartedAt_, 0, kMaxShowLatencyUs);
        showLatency_ += (sample - showLatency_) / 8;
    }
    void present(const AVFrame* frame);
    // When the window has handed over a new video surface (a mode change), draws the picture
    // last shown into it at its new size: while paused or after the end no other picture comes
    // to fill it.
    void showAgainOnNewTarget();
    // Tells the window that a new picture is in the video surface.
    void announce() {
        if (engine_.pictureReady) {
            engine_.picturesDrawn.fetch_add(1);
            engine_.pictureReady();
        }
    }
    // Drops everything from before a seek: unread bytes, the decoder's and parser's state.
    void flushForSeek();
    bool seekPending() const {
        return engine_.videoFlushes.load(std::memory_order_acquire) != flushesServed_;
    }
    void resetDecoding();
    void resetParser();
    Rect currentRect() {
        std::lock_guard<std::mutex> lock(engine_.targetMutex);
        return engine_.videoRect;
    }

    PlaybackEngine& engine_;
    int setupResult_ = 0;
    Rect lastRect_;
    bool layoutValid_ = false;
    std::vector<uint8_t> packetBuffer_;
    AVPacket* packet_ = nullptr;
    AVCodecParserContext* parser_ = nullptr;
    SwsContext* scaler_ = nullptr;        // to packed BGR, for the presenter
    SwsContext* directScaler_ = nullptr;  // into the video surface
    // The record the next bytes belong to.
    StreamMark record_;
    uint32_t flushesServed_ = 0;
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
    // The picture last shown (a reference to the decoder's), and the number of target changes
    // it has been drawn for.
    AVFrame* lastPicture_ = nullptr;
    uint32_t targetChangesSeen_ = 0;
};

void VideoDecoder::run() {
    for (;;) {
        if (engine_.stopRequested.load() != 0) {
            return;
        }
        const uint64_t idleSeen = engine_.videoWake.count();
        showAgainOnNewTarget();
        if (engine_.streamConfigured.load(std::memory_order_acquire) == 0 ||
            engine_.paused.load() != 0) {
            // Woken as soon as the reader has chosen the codec, or the pause ends.
            engine_.endPollTurn(SleepSite::VideoIdle, kIdleMs, 0, false, engine_.videoWake,
                                idleSeen);
            continue;
        }
        if (setupResult_ == 0) {
            engine_.teardownDecoders();
            setupResult_ = engine_.setupDecoders();
            resetDecoding();
            lastRect_ = Rect{};
            layoutValid_ = false;
            if (setupResult_ == 0) {
                engine_.sleepFor(SleepSite::VideoSetupRetry, kSetupRetryMs);
                continue;
            }
            // The audio decode thread waits for the decoders; the first records are already in.
            engine_.audioDecodeWake.notify();
        }
        Rect rect = currentRect();
        if (rect.width() <= 0 || rect.height() <= 0) {
            // Nothing can be shown in an empty rectangle: decode on, present nothing.
            layoutValid_ = false;
            lastRect_ = rect;
        } else if (!layoutValid_ || rect != lastRect_) {
            if (!layOut(rect)) {
                engine_.sleepFor(SleepSite::VideoLayoutRetry, kLayoutRetryMs);
                continue;
            }
        }
        // Read before the step looks into the ring, so that a delivery made meanwhile still
        // ends the wait below at once.
        const uint64_t seen = engine_.videoWake.count();
        const bool busy = packetStep();
        // Packets that are already buffered are taken one after another without a pause; an
        // empty ring is waited on until the reader delivers.
        engine_.endPollTurn(SleepSite::VideoStep, kStepMs, 0, busy, engine_.videoWake, seen);
    }
}

bool VideoDecoder::layOut(const Rect& rect) {
    layoutValid_ = false;
    engine_.computeDisplaySize();
    if (engine_.scaledBuffer != nullptr) {
        av_free(engine_.scaledBuffer);
        engine_.scaledBuffer = nullptr;
    }
    int width = engine_.displayWidth.load();
    int height = engine_.displayHeight.load();
    int bytes = av_image_get_buffer_size(AV_PIX_FMT_BGR24, width, height, 1);
    if (bytes <= 0) {
        return false;
    }
    engine_.scaledBuffer = static_cast<uint8_t*>(av_malloc(static_cast<size_t>(bytes)));
    if (engine_.scaledBuffer == nullptr) {
        return false;  // lastRect keeps its old value, so the next turn lays out again
    }
    lastRect_ = rect;
    av_image_fill_arrays(engine_.scaledPicture->data, engine_.scaledPicture->linesize,
                         engine_.scaledBuffer, AV_PIX_FMT_BGR24, width, height, 1);
    layoutValid_ = true;
    return true;
}

void VideoDecoder::resetParser() {
    if (parser_ != nullptr) {
        av_parser_close(parser_);
        parser_ = nullptr;
    }
    if (engine_.isH263.load() != 0) {
        parser_ = av_parser_init(AV_CODEC_ID_H263);
    }
}

void VideoDecoder::resetDecoding() {
    resetParser();
    fedSinceDrain_ = false;
    pendingTimes_.clear();
}

void VideoDecoder::flushForSeek() {
    flushesServed_ = engine_.videoFlushes.load(std::memory_order_acquire);
    StreamMark flush;
    while (engine_.videoRing.marks.skipToFlush(&flush)) {
        engine_.videoRing.read.store(flush.position, std::memory_order_release);
        record_ = StreamMark{flush.position, 0, false};
    }
    if (engine_.videoCtx != nullptr) {
        avcodec_flush_buffers(engine_.videoCtx);
    }
    resetDecoding();
}

bool VideoDecoder::packetStep() {
    if (seekPending()) {
        flushForSeek();
    }
    uint32_t read = engine_.videoRing.read.load(std::memory_order_relaxed);
    uint32_t written = engine_.videoRing.written.load(std::memory_order_acquire);
    if (static_cast<int32_t>(written - read) <= 0) {
        // The recording has ended and nothing follows: the last pictures, which the parser and
        // the decoder hold until more comes, are shown too.
        if (fedSinceDrain_ && engine_.readerRunning.load() == 0 && engine_.playing.load() == 0) {
            drain();
        }
        return false;
    }
    StreamMark flush;
    engine_.videoRing.marks.advanceTo(read, &record_, &flush);
    return engine_.isH263.load() != 0 ? decodeH263() : decodeH264();
}

bool VideoDecoder::decodeH264() {
    uint32_t length = 0;
    PacketTake take =
        engine_.videoRing.takePacket(packetBuffer_.data(), kPacketBufferBytes, &length);
    if (take == PacketTake::Unsatisfiable) {
        // No packet buffer holds it and waiting would stall the picture until the next seek:
        // drop what is buffered and pick up again at the next record.
        engine_.videoRing.discardUnread();
        return true;
    }
    if (take != PacketTake::Taken) {
        return false;
    }
    // The decoder may read a little past the payload, and what it finds there must be zero. It
    // reads no further than the padding, so only the padding is cleared, not the whole buffer.
    std::memset(packetBuffer_.data() + length, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    // The payload counts as used whether the decoder takes it or refuses it: a refused packet is
    // skipped whole and the next one decodes normally.
    engine_.videoRing.read.store(engine_.videoRing.read.load() + length, std::memory_order_release);
    sendAndPresent(packetBuffer_.data(), static_cast<int>(length), record_.streamTime,
                   holdsPicture(packetBuffer_.data(), length));
    return true;
}

bool VideoDecoder::decodeH263() {
    if (parser_ == nullptr) {
        engine_.videoRing.discardUnread();
        return true;
    }
    // The stream is handed to the parser as it arrives, one record's bytes at a time so that the
    // parser can tell which record a picture began in: a picture is complete as soon as the next
    // one begins, whatever the bit rate, rather than when a large window has filled.
    uint32_t piece = kH263PieceBytes;
    uint32_t next = 0;
    const uint32_t read = engine_.videoRing.read.load(std::memory_order_relaxed);
    if (engine_.videoRing.marks.nextRecordPosition(&next) && next != read) {
        piece = std::min(piece, next - read);
    }
    const uint32_t taken = engine_.videoRing.peek(packetBuffer_.data(), piece);
    if (taken == 0) {
        return false;
    }
    std::memset(packetBuffer_.data() + taken, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    if (read == record_.position) {
        // Cameras that write one whole picture per record start every record with a picture
        // start code; a stream cut anywhere else does not.
        const bool startsPicture = taken >= 3 && packetBuffer_[0] == 0 && packetBuffer_[1] == 0 &&
                                   (packetBuffer_[2] & 0xFC) == 0x80;
        recordsStartingPictures_ = startsPicture ? recordsStartingPictures_ + 1 : 0;
    }
    uint8_t* picture = nullptr;
    int pictureSize = 0;
    int used =
        av_parser_parse2(parser_, engine_.videoCtx, &picture, &pictureSize, packetBuffer_.data(),
                         static_cast<int>(taken), record_.streamTime, record_.streamTime, 0);
    // Bytes the parser cannot take are skipped, so that a damaged stream never stalls.
    const uint32_t consumed =
        (used <= 0 && pictureSize <= 0) ? taken : static_cast<uint32_t>(std::max(used, 0));
    engine_.videoRing.read.store(read + consumed, std::memory_order_release);
    fedSinceDrain_ = true;
    if (pictureSize > 0 && engine_.stopRequested.load() == 0) {
        // The parser tells in which record the finished picture began.
        const int64_t time = parser_->pts != AV_NOPTS_VALUE ? parser_->pts : record_.streamTime;
        sendAndPresent(picture, pictureSize, time, true);
    } else if (recordsStartingPictures_ >= kAlignedRecordsToTrust &&
               static_cast<int32_t>(engine_.videoRing.written.load(std::memory_order_acquire) -
                                    engine_.videoRing.read.load(std::memory_order_relaxed)) <= 0) {
        // In a stream of a picture per record, the record just taken holds a whole picture: it
        // is decoded now instead of when the next record begins the next picture, which at a
        // few pictures a second would be long after its sound.
        completeParsedPicture(record_.streamTime);
    }
    return true;
}

void VideoDecoder::completeParsedPicture(int64_t fallbackTime) {
    uint8_t* picture = nullptr;
    int pictureSize = 0;
    av_parser_parse2(parser_, engine_.videoCtx, &picture, &pictureSize, nullptr, 0, AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    const int64_t time = parser_->pts != AV_NOPTS_VALUE ? parser_->pts : fallbackTime;
    if (pictureSize > 0 && engine_.stopRequested.load() == 0) {
        // Copied first: the picture's bytes belong to the parser, which starts afresh.
        completedPicture_.assign(picture, picture + pictureSize);
        completedPicture_.resize(completedPicture_.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        resetParser();
        sendAndPresent(completedPicture_.data(), pictureSize, time, true);
        return;
    }
    // A parser told the stream has ended starts afresh for what follows.
    resetParser();
}

void VideoDecoder::drain() {
    if (parser_ != nullptr) {
        completeParsedPicture(lastPictureTime_);
    }
    sendAndPresent(nullptr, 0, 0, false);
    avcodec_flush_buffers(engine_.videoCtx);
    resetDecoding();
}

bool VideoDecoder::sendAndPresent(const uint8_t* data, int size, int64_t streamTime, bool picture) {
    AVCodecContext* ctx = engine_.videoCtx;
    av_packet_unref(packet_);
    packet_->data = const_cast<uint8_t*>(data);
    packet_->size = size;
    packet_->pts = streamTime;
    if (avcodec_send_packet(ctx, data != nullptr ? packet_ : nullptr) != 0) {
        return false;
    }
    fedSinceDrain_ = data != nullptr;
    if (picture) {
        pendingTimes_.push_back(streamTime);
        if (pendingTimes_.size() > kMaxPendingTimes) {
            pendingTimes_.pop_front();
        }
    }
    // Every picture that comes out is shown in order and at its time, also those the decoder
    // held back for reordering and releases only now.
    while (avcodec_receive_frame(ctx, engine_.decodedFrame) == 0) {
        const int64_t time = pictureTime(engine_.decodedFrame);
        // Started early by as long as drawing a picture and getting it on the screen takes, so
        // that it is seen when its sound is heard.
        if (!waitUntilDue(time - showLatency_)) {
            av_frame_unref(engine_.decodedFrame);
            if (seekPending()) {
                flushForSeek();
            }
            return true;
        }
        waitForWindow();
        presentStartedAt_ = engine_.nowUs();
        present(engine_.decodedFrame);
        if (!engine_.pictureReady) {
            learnShowLatency(engine_.nowUs());
        }
        av_frame_unref(lastPicture_);
        av_frame_move_ref(lastPicture_, engine_.decodedFrame);
    }
    return true;
}

int64_t VideoDecoder::pictureTime(const AVFrame* frame) {
    int64_t time = frame->pts;
    if (engine_.videoCtx->has_b_frames > 0 || time == AV_NOPTS_VALUE) {
        // Pictures come out in display order while the records carry them in decoding order:
        // the n-th picture out plays at the n-th record time in.
        if (!pendingTimes_.empty()) {
            time = pendingTimes_.front();
            pendingTimes_.pop_front();
        } else if (time == AV_NOPTS_VALUE) {
            time = lastPictureTime_;
        }
    } else {
        while (!pendingTimes_.empty() && pendingTimes_.front() <= time) {
            pendingTimes_.pop_front();
        }
    }
    lastPictureTime_ = time;
    return time;
}

bool VideoDecoder::waitUntilDue(int64_t streamTime) {
    if (engine_.pacingInjected()) {
        // A test paces the reader itself and watches the pictures as fast as they come.
        return engine_.stopRequested.load() == 0;
    }
    for (;;) {
        const uint64_t seen = engine_.videoWake.count();
        if (engine_.stopRequested.load() != 0 || seekPending()) {
            return false;
        }
        // Paused with the next picture decoded: a mode change meanwhile still shows a picture.
        showAgainOnNewTarget();
        const int64_t now = engine_.nowUs();
        if (streamTime <= engine_.clock.presentationTime(now)) {
            return true;
        }
        // Woken by the sound's progress, a seek, a stop or a pause; otherwise when the schedule
        // brings the picture's time.
        const int64_t wait = engine_.clock.timeUntil(streamTime, now);
        engine_.videoWake.waitFor(
            seen, std::chrono::microseconds(std::clamp<int64_t>(wait, 500, kLongestDueWaitUs)));
    }
}

void VideoDecoder::waitForWindow() {
    if (!engine_.pictureReady) {
        return;
    }
    const int64_t deadline = engine_.nowUs() + kWindowWaitUs;
    engine_.waitingForWindow.store(true);
    struct Done {
        std::atomic<bool>& flag;
        ~Done() { flag.store(false); }
    } done{engine_.waitingForWindow};
    for (;;) {
        const uint64_t seen = engine_.videoWake.count();
        const uint32_t shown = engine_.picturesShown.load();
        const int64_t left = deadline - engine_.nowUs();
        const uint32_t drawn = engine_.picturesDrawn.load();
        if (static_cast<int32_t>(drawn - shown) <= 0) {
            if (drawn != 0 && shown != latencyMeasuredFor_) {
                latencyMeasuredFor_ = shown;
                learnShowLatency(engine_.lastPictureShownAt.load(std::memory_order_acquire));
            }
            return;
        }
        if (left <= 0 || engine_.stopRequested.load() != 0) {
            return;
        }
        engine_.videoWake.waitFor(seen, std::chrono::microseconds(left));
    }
}

void VideoDecoder::showAgainOnNewTarget() {
    const uint32_t changes = engine_.targetChanges.load(std::memory_order_acquire);
    if (changes == targetChangesSeen_) {
        return;
    }
    targetChangesSeen_ = changes;
    if (setupResult_ == 0 || lastPicture_->buf[0] == nullptr) {
        return;
    }
    const Rect rect = currentRect();
    if (rect.width() <= 0 || rect.height() <= 0) {
        return;
    }
    if ((!layoutValid_ || rect != lastRect_) && !layOut(rect)) {
        return;
    }
    present(lastPicture_);
}

void VideoDecoder::present(const AVFrame* frame) {
    if (frame->width <= 0 || frame->height <= 0) {
        return;
    }
    // The scaler reads the picture at its own size: a header that lies or a stream that changes
    // size updates the source size and lays out again.
    if (frame->width != engine_.sourceWidth.load() ||
        frame->height != engine_.sourceHeight.load()) {
        engine_.sourceWidth.store(frame->width);
        engine_.sourceHeight.store(frame->height);
        Rect rect = currentRect();
        if (rect.width() <= 0 || rect.height() <= 0 || !layOut(rect)) {
            layoutValid_ = false;
            return;
        }
    }
    if (!layoutValid_) {
        return;
    }
    if (engine_.stopRequested.load() != 0) {
        return;
    }
    int width = engine_.displayWidth.load();
    int height = engine_.displayHeight.load();
    const auto format = static_cast<AVPixelFormat>(frame->format);
    // Scaled straight into the video surface where the picture lies whole on it: the scaler
    // writes the surface's own layout (blue, green, red, then a byte the surface leaves free), so
    // no scaled copy is made and converted. Its colours are the same as those of the packed BGR
    // below, bit for bit. Asked for as BGRA, not BGR0: the library turns BGR0 into BGRA inside
    // its context, so a cached context asked for BGR0 never matches and is built anew for every
    // picture. The free byte comes out as 0xFF either way.
    directScaler_ =
        sws_getCachedContext(directScaler_, frame->width, frame->height, format, width, height,
                             AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (directScaler_ != nullptr) {
        const PlaybackEngine::InPlace result =
            engine_.presentFrameInPlace([this, frame](uint8_t* pixels, int32_t strideBytes) {
                uint8_t* planes[4] = {pixels, nullptr, nullptr, nullptr};
                int strides[4] = {strideBytes, 0, 0, 0};
                sws_scale(directScaler_, frame->data, frame->linesize, 0, frame->height, planes,
                          strides);
            });
        if (result == PlaybackEngine::InPlace::Presented) {
            announce();
        }
        if (result != PlaybackEngine::InPlace::DoesNotFit) {
            return;  // shown, or there is nowhere to show it
        }
    }
    // Otherwise (the rectangle shrank since the layout, the surface is smaller than the
    // rectangle) the picture is scaled apart and the presenter shows what fits of it.
    scaler_ = sws_getCachedContext(scaler_, frame->width, frame->height, format, width, height,
                                   AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (scaler_ == nullptr) {
        return;  // the picture is dropped
    }
    sws_scale(scaler_, frame->data, frame->linesize, 0, frame->height, engine_.scaledPicture->data,
              engine_.scaledPicture->linesize);
    bool hasTarget;
    {
        std::lock_guard<std::mutex> lock(engine_.targetMutex);
        hasTarget = engine_.targetDc != nullptr;
    }
    if (hasTarget) {
        engine_.picturesScaled.fetch_add(1);
        // The scaled picture is shown as it lies, top row first: turning it over into a
        // bottom-up copy first would only cost another pass over every pixel.
        engine_.presentImage = engine_.scaledPicture->data[0];
        engine_.presentStride = engine_.scaledPicture->linesize[0];
        engine_.presentTopDown = true;
        engine_.presentFrame();
        announce();
    }
}

}  // namespace

void PlaybackEngine::computeDisplaySize() {
    Rect rect;
    {
        std::lock_guard<std::mutex> lock(targetMutex);
        rect = videoRect;
    }
    const int32_t rectWidth = rect.width();
    const int32_t rectHeight = rect.height();
    const float aspect =
        static_cast<float>(static_cast<double>(static_cast<uint32_t>(sourceWidth.load())) /
                           static_cast<double>(static_cast<uint32_t>(sourceHeight.load())));
    const float ratio = static_cast<float>(static_cast<double>(static_cast<uint32_t>(rectWidth)) /
                                           static_cast<double>(static_cast<uint32_t>(rectHeight)));
    double width = rectWidth;
    double height = rectHeight;
    if (ratio < aspect) {
        height = static_cast<double>(rectWidth) / static_cast<double>(aspect);
    } else {
        width = static_cast<double>(rectHeight) * static_cast<double>(aspect);
    }
    // A source size that is not known yet (zero, or absurd from a header that lies) gives no
    // usable fit; the rectangle itself is used until the first picture tells the real size.
    if (!std::isfinite(width) || !std::isfinite(height) || width < 1.0 || height < 1.0 ||
        width > rectWidth + 4.0 || height > rectHeight + 4.0) {
        width = rectWidth;
        height = rectHeight;
    }
    displayWidth.store(roundUpTo4(static_cast<int32_t>(width)));
    displayHeight.store(roundUpTo4(static_cast<int32_t>(height)));
}

void PlaybackEngine::videoLoop() {
    VideoDecoder decoder(*this);
    decoder.run();
}

void VideoThread(PlaybackEngine& engine) {
    engine.videoLoop();
    // Last step: stopThreads waits for this, and nothing of the engine is touched after it.
    engine.videoRunning.store(false);
}

}  // namespace vidora
