#include "video/video_path.h"

#include <algorithm>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace vidora {

namespace {

// The longest wait without being woken, as a safeguard: deliveries, the sound's progress, a
// seek, a pause, a new target or a stop wake the thread.
constexpr int64_t kIdleWaitUs = 100000;
// How long the path waits for the window to show a picture before it draws the next one over
// it: a window that does not answer (no window, a stalled desktop) must not hold pictures back.
constexpr int64_t kWindowWaitUs = 20000;
// Records in a row that began with a picture start code before the stream counts as holding
// one whole picture per record.
constexpr uint32_t kAlignedRecordsToTrust = 3;
// The most a picture is started before its time to make up for drawing and showing it.
constexpr int64_t kMaxShowLatencyUs = 40000;
// Above recorded speed, a picture due this long ago (clock time) is passed over.
constexpr double kLateUs = 100000;
// Times of pictures sent to a decoder that reorders them, not yet given back.
constexpr size_t kMaxPendingTimes = 32;

}  // namespace

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

VideoPath::VideoPath(ByteRing& ring, PlaybackClock& clock, Pacer& pacer)
    : ring_(ring), clock_(clock), pacer_(pacer) {
    // The decoder reads past the end of its input in wide steps: the bytes behind the taken data
    // must be zero, and there must be room for that padding.
    packetBuffer_.resize(kPacketBufferBytes + AV_INPUT_BUFFER_PADDING_SIZE);
}

VideoPath::~VideoPath() {
    release();
}

void VideoPath::reset() {
    release();
    configured_.store(false);
    paused_.store(false);
    generationServed_ = 0;
    showFrom_ = 0;
    stillPending_ = false;
    damageShown_ = false;
    presenter_.setDamaged(false);
    late_ = false;
    presentedAny_.store(false);
    allShown_.store(false);
    record_ = StreamMark{};
    drawn_.store(0);
    shown_.store(0);
    latencyMeasuredFor_ = 0;
    targetChangesSeen_ = targetChanges_.load();
    presenter_.resetCount();
}

void VideoPath::configure(const StreamFormat& format) {
    if (configured_.load(std::memory_order_acquire)) {
        return;  // a reader that starts again plays the same stream
    }
    h264_.store(format.h264);
    declaredWidth_.store(format.width);
    declaredHeight_.store(format.height);
    configured_.store(true, std::memory_order_release);
    wake_.notify();
}

void VideoPath::setTarget(Surface* surface, Rect rect) {
    presenter_.setTarget(surface, rect);
    targetChanges_.fetch_add(1, std::memory_order_release);
    wake_.notify();
}

void VideoPath::setPaused(bool paused) {
    {
        // Once a pause is set, no picture goes up after it, and the one that went up last has
        // its time published: a step from "the picture on show" counts from the right one.
        std::lock_guard<std::mutex> lock(presentMutex_);
        paused_.store(paused);
    }
    wake_.notify();
}

void VideoPath::pictureShown(uint32_t drawn) {
    lastShownAt_.store(pacer_.nowUs(), std::memory_order_relaxed);
    shown_.store(drawn);
    // Only a path that waits for the window is woken; it raised the flag first.
    if (waitingForWindow_.load()) {
        wake_.notify();
    }
}

void VideoPath::run(std::stop_token stop) {
    stop_ = stop;
    while (!stopping()) {
        // Read before the step looks for work, so that work handed over meanwhile still ends the
        // wait at once.
        const uint64_t seen = wake_.count();
        if (!step()) {
            pacer_.waitFor(wake_, seen, kIdleWaitUs);
        }
    }
    release();
    stop_ = std::stop_token();
}

bool VideoPath::step() {
    showAgainOnNewTarget();
    if (!configured_.load(std::memory_order_acquire)) {
        return false;
    }
    // Paused, the path rests, except to show the picture of a place sought meanwhile.
    if (paused_.load() && !stillPending_ && !seekPending()) {
        return false;
    }
    if (!ready_ && !setUp()) {
        release();
        return false;  // tried again after the idle wait
    }
    const Rect rect = presenter_.targetRect();
    if (rect.width() <= 0 || rect.height() <= 0) {
        // Nothing can be shown in an empty rectangle: decode on, present nothing.
        layoutValid_ = false;
        lastRect_ = rect;
    } else if ((!layoutValid_ || rect != lastRect_) && !layOut(rect)) {
        return false;
    }
    return packetStep();
}

bool VideoPath::setUp() {
    const bool h264 = h264_.load();
    const AVCodec* codec = avcodec_find_decoder(h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_H263);
    codec_ = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    if (codec_ == nullptr) {
        return false;
    }
    const int32_t width = declaredWidth_.load();
    sourceWidth_ = width != 0 ? width : 320;
    sourceHeight_ = width != 0 ? declaredHeight_.load() : 240;
    codec_->width = sourceWidth_;
    codec_->height = sourceHeight_;
    // H.264 carries its parameter sets in-band, so there is no codec-private data. H.263 arrives
    // in arbitrary pieces, which the parser joins into whole pictures: the decoder itself never
    // sees a cut picture.
    if (avcodec_open2(codec_, codec, nullptr) != 0) {
        return false;
    }
    decoded_ = av_frame_alloc();
    scaled_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    lastPicture_ = av_frame_alloc();
    if (decoded_ == nullptr || scaled_ == nullptr || packet_ == nullptr ||
        lastPicture_ == nullptr) {
        return false;
    }
    // The decoder may have adjusted the size while opening.
    sourceWidth_ = codec_->width;
    sourceHeight_ = codec_->height;
    resetDecoding();
    lastRect_ = Rect{};
    layoutValid_ = false;
    ready_ = true;
    return true;
}

void VideoPath::release() {
    ready_ = false;
    layoutValid_ = false;
    if (parser_ != nullptr) {
        av_parser_close(parser_);
        parser_ = nullptr;
    }
    sws_freeContext(scaler_);
    sws_freeContext(directScaler_);
    scaler_ = nullptr;
    directScaler_ = nullptr;
    av_free(scaledBuffer_);
    scaledBuffer_ = nullptr;
    av_frame_free(&decoded_);
    av_frame_free(&scaled_);
    av_frame_free(&lastPicture_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
    pendingTimes_.clear();
}

bool VideoPath::layOut(const Rect& rect) {
    layoutValid_ = false;
    presenter_.fitDisplaySize(sourceWidth_, sourceHeight_);
    av_free(scaledBuffer_);
    scaledBuffer_ = nullptr;
    const int width = presenter_.displayWidth();
    const int height = presenter_.displayHeight();
    const int bytes = av_image_get_buffer_size(AV_PIX_FMT_BGR24, width, height, 1);
    if (bytes <= 0) {
        return false;
    }
    scaledBuffer_ = static_cast<uint8_t*>(av_malloc(static_cast<size_t>(bytes)));
    if (scaledBuffer_ == nullptr) {
        return false;  // lastRect keeps its old value, so the next turn lays out again
    }
    lastRect_ = rect;
    av_image_fill_arrays(scaled_->data, scaled_->linesize, scaledBuffer_, AV_PIX_FMT_BGR24, width,
                         height, 1);
    layoutValid_ = true;
    return true;
}

void VideoPath::resetParser() {
    if (parser_ != nullptr) {
        av_parser_close(parser_);
        parser_ = nullptr;
    }
    if (!h264_.load()) {
        parser_ = av_parser_init(AV_CODEC_ID_H263);
    }
}

void VideoPath::resetDecoding() {
    resetParser();
    fedSinceDrain_ = false;
    pendingTimes_.clear();
}

void VideoPath::flushForSeek() {
    // Everything up to the last flush is obsolete: the bytes, and what the decoder holds.
    generationServed_ = ring_.generation();
    showFrom_ = ring_.showFrom();
    damageShown_ = false;
    presenter_.setDamaged(false);
    stillPending_ = showFrom_ > 0 || paused_.load();
    seekShownPending_ = true;
    if (ring_.skipFlushes()) {
        record_ = StreamMark{ring_.readPosition(), 0, false};
    }
    if (codec_ != nullptr) {
        avcodec_flush_buffers(codec_);
    }
    resetDecoding();
}

bool VideoPath::packetStep() {
    if (seekPending()) {
        flushForSeek();
    }
    if (ring_.unread() == 0) {
        // The recording has ended and nothing follows: the last pictures, which the parser and
        // the decoder hold until more comes, are shown too.
        const bool finished = ring_.finished();
        if (fedSinceDrain_ && finished && ring_.unread() == 0) {
            drain();
        }
        if (finished && !damageShown_ && endedDamaged && endedDamaged()) {
            // The picture stays; its band now says that the recording is damaged.
            damageShown_ = true;
            presenter_.setDamaged(true);
            if (lastPicture_ != nullptr && lastPicture_->buf[0] != nullptr) {
                present(lastPicture_);
            }
        }
        allShown_.store(finished && !fedSinceDrain_, std::memory_order_release);
        return false;
    }
    allShown_.store(false, std::memory_order_release);
    StreamMark flush;
    ring_.marks().advanceTo(ring_.readPosition(), &record_, &flush);
    return h264_.load() ? decodeH264() : decodeH263();
}

bool VideoPath::decodeH264() {
    uint32_t length = 0;
    const PacketTake take = ring_.takePacket(packetBuffer_.data(), kPacketBufferBytes, &length);
    if (take == PacketTake::Unsatisfiable) {
        // No packet buffer holds it and waiting would stall the picture until the next seek:
        // drop what is buffered and pick up again at the next record.
        ring_.discardUnread();
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
    ring_.consume(length);
    sendAndPresent(packetBuffer_.data(), static_cast<int>(length), record_.streamTime,
                   holdsPicture(packetBuffer_.data(), length));
    return true;
}

bool VideoPath::decodeH263() {
    if (parser_ == nullptr) {
        ring_.discardUnread();
        return true;
    }
    // The stream is handed to the parser as it arrives, one record's bytes at a time so that the
    // parser can tell which record a picture began in: a picture is complete as soon as the next
    // one begins, whatever the bit rate, rather than when a large window has filled.
    uint32_t piece = kH263PieceBytes;
    uint32_t next = 0;
    const uint32_t read = ring_.readPosition();
    if (ring_.marks().nextRecordPosition(&next) && next != read) {
        piece = std::min(piece, next - read);
    }
    const uint32_t taken = ring_.peek(packetBuffer_.data(), piece);
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
    const int used =
        av_parser_parse2(parser_, codec_, &picture, &pictureSize, packetBuffer_.data(),
                         static_cast<int>(taken), record_.streamTime, record_.streamTime, 0);
    // Bytes the parser cannot take are skipped, so that a damaged stream never stalls.
    ring_.consume((used <= 0 && pictureSize <= 0) ? taken
                                                  : static_cast<uint32_t>(std::max(used, 0)));
    fedSinceDrain_ = true;
    if (pictureSize > 0 && !stopping()) {
        // The parser tells in which record the finished picture began.
        const int64_t time = parser_->pts != AV_NOPTS_VALUE ? parser_->pts : record_.streamTime;
        sendAndPresent(picture, pictureSize, time, true);
    } else if (recordsStartingPictures_ >= kAlignedRecordsToTrust && ring_.unread() == 0) {
        // In a stream of a picture per record, the record just taken holds a whole picture: it
        // is decoded now instead of when the next record begins the next picture, which at a
        // few pictures a second would be long after its sound.
        completeParsedPicture(record_.streamTime);
    }
    return true;
}

void VideoPath::completeParsedPicture(int64_t fallbackTime) {
    // Tells the parser that the stream has ended here, decodes and presents the picture it then
    // gives up, and starts the parser afresh.
    uint8_t* picture = nullptr;
    int pictureSize = 0;
    av_parser_parse2(parser_, codec_, &picture, &pictureSize, nullptr, 0, AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    const int64_t time = parser_->pts != AV_NOPTS_VALUE ? parser_->pts : fallbackTime;
    if (pictureSize > 0 && !stopping()) {
        // Copied first: the picture's bytes belong to the parser, which starts afresh.
        completedPicture_.assign(picture, picture + pictureSize);
        completedPicture_.resize(completedPicture_.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        resetParser();
        sendAndPresent(completedPicture_.data(), pictureSize, time, true);
        return;
    }
    resetParser();
}

void VideoPath::drain() {
    if (parser_ != nullptr) {
        completeParsedPicture(lastPictureTime_);
    }
    sendAndPresent(nullptr, 0, 0, false);
    avcodec_flush_buffers(codec_);
    resetDecoding();
}

bool VideoPath::sendAndPresent(const uint8_t* data, int size, int64_t streamTime, bool picture) {
    // Sends one packet (nullptr: drain) that plays at `streamTime`, and presents every picture
    // the decoder then returns at its time. False when the decoder refused the packet.
    av_packet_unref(packet_);
    packet_->data = const_cast<uint8_t*>(data);
    packet_->size = size;
    packet_->pts = streamTime;
    if (avcodec_send_packet(codec_, data != nullptr ? packet_ : nullptr) != 0) {
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
    while (avcodec_receive_frame(codec_, decoded_) == 0) {
        const int64_t time = pictureTime(decoded_);
        if (time < showFrom_) {
            // Decoded only to reach the picture a seek landed on.
            av_frame_unref(decoded_);
            continue;
        }
        // Started early by as long as drawing a picture and getting it on the screen takes, so
        // that it is seen when its sound is heard. The first picture after a seek is shown at
        // once; the sound, and the pictures after it, then follow from there.
        const bool still = stillPending_;
        stillPending_ = false;
        bool shown = false;
        while (!shown) {
            if (still) {
                if (seekPending()) {
                    av_frame_unref(decoded_);
                    flushForSeek();
                    return true;
                }
            } else if (!waitUntilDue(time - showLatency_)) {
                av_frame_unref(decoded_);
                if (seekPending()) {
                    flushForSeek();
                }
                return true;
            } else if (tooLate(time)) {
                // Far behind at a raised speed: passed over, so that decoding catches up.
                break;
            }
            waitForWindow();
            if (seekPending()) {
                // A seek came while the picture waited: it is from before it.
                av_frame_unref(decoded_);
                flushForSeek();
                return true;
            }
            // A pause that came meanwhile keeps the picture for when playback goes on.
            shown = presentUnlessPaused(time, still);
        }
        if (!shown) {
            av_frame_unref(decoded_);
            continue;
        }
        if (seekShownPending_) {
            seekShownPending_ = false;
            seeksShown_.fetch_add(1, std::memory_order_release);
        }
        if (!pictureReady) {
            learnShowLatency(pacer_.nowUs());
        }
        av_frame_unref(lastPicture_);
        av_frame_move_ref(lastPicture_, decoded_);
    }
    return true;
}

bool VideoPath::tooLate(int64_t streamTime) {
    // Only above recorded speed is a picture ever passed over; at recorded speed or slower
    // every picture is shown, however late.
    const double speed = clock_.speed();
    const bool late = speed > 1.0 && static_cast<double>(clock_.presentationTime(pacer_.nowUs()) -
                                                         streamTime) > kLateUs * speed;
    if (late != late_) {
        late_ = late;
        if (lateness) {
            lateness(late);
        }
    }
    return late;
}

int64_t VideoPath::pictureTime(const AVFrame* frame) {
    int64_t time = frame->pts;
    if (codec_->has_b_frames > 0 || time == AV_NOPTS_VALUE) {
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

bool VideoPath::presentUnlessPaused(int64_t streamTime, bool still) {
    std::lock_guard<std::mutex> lock(presentMutex_);
    if (paused_.load() && !still) {
        return false;
    }
    presentStartedAt_ = pacer_.nowUs();
    present(decoded_);
    presentedTime_.store(streamTime, std::memory_order_release);
    presentedAny_.store(true, std::memory_order_release);
    return true;
}

bool VideoPath::waitUntilDue(int64_t streamTime) {
    // False when a stop or a seek came first.
    for (;;) {
        const uint64_t seen = wake_.count();
        if (stopping() || seekPending()) {
            return false;
        }
        // Paused with the next picture decoded: a mode change meanwhile still shows a picture.
        showAgainOnNewTarget();
        const int64_t now = pacer_.nowUs();
        const bool paused = paused_.load();
        if (!paused && streamTime <= clock_.presentationTime(now)) {
            return true;
        }
        // Woken by the sound's progress, a seek, a stop or a pause; otherwise when the schedule
        // brings the picture's time.
        const int64_t wait = paused ? kIdleWaitUs : clock_.timeUntil(streamTime, now);
        pacer_.waitFor(wake_, seen, std::clamp<int64_t>(wait, 500, kIdleWaitUs));
    }
}

void VideoPath::waitForWindow() {
    // Waits, briefly, until the window has shown the last picture drawn.
    if (!pictureReady) {
        return;
    }
    const int64_t deadline = pacer_.nowUs() + kWindowWaitUs;
    waitingForWindow_.store(true);
    struct Done {
        std::atomic<bool>& flag;
        ~Done() { flag.store(false); }
    } done{waitingForWindow_};
    for (;;) {
        const uint64_t seen = wake_.count();
        const uint32_t shown = shown_.load();
        const int64_t left = deadline - pacer_.nowUs();
        const uint32_t drawn = drawn_.load();
        if (static_cast<int32_t>(drawn - shown) <= 0) {
            if (drawn != 0 && shown != latencyMeasuredFor_) {
                latencyMeasuredFor_ = shown;
                learnShowLatency(lastShownAt_.load(std::memory_order_acquire));
            }
            return;
        }
        if (left <= 0 || stopping()) {
            return;
        }
        pacer_.waitFor(wake_, seen, left);
    }
}

void VideoPath::learnShowLatency(int64_t shownAt) {
    const int64_t sample = std::clamp<int64_t>(shownAt - presentStartedAt_, 0, kMaxShowLatencyUs);
    showLatency_ += (sample - showLatency_) / 8;
}

void VideoPath::showAgainOnNewTarget() {
    const uint32_t changes = targetChanges_.load(std::memory_order_acquire);
    if (changes == targetChangesSeen_) {
        return;
    }
    targetChangesSeen_ = changes;
    if (!ready_ || lastPicture_->buf[0] == nullptr) {
        return;
    }
    const Rect rect = presenter_.targetRect();
    if (rect.width() <= 0 || rect.height() <= 0) {
        return;
    }
    if ((!layoutValid_ || rect != lastRect_) && !layOut(rect)) {
        return;
    }
    present(lastPicture_);
}

void VideoPath::announce() {
    if (pictureReady) {
        drawn_.fetch_add(1);
        pictureReady();
    }
}

void VideoPath::present(const AVFrame* frame) {
    if (frame->width <= 0 || frame->height <= 0 || stopping()) {
        return;
    }
    // The scaler reads the picture at its own size: a header that lies or a stream that changes
    // size updates the source size and lays out again.
    if (frame->width != sourceWidth_ || frame->height != sourceHeight_) {
        sourceWidth_ = frame->width;
        sourceHeight_ = frame->height;
        const Rect rect = presenter_.targetRect();
        if (rect.width() <= 0 || rect.height() <= 0 || !layOut(rect)) {
            layoutValid_ = false;
            return;
        }
    }
    if (!layoutValid_) {
        return;
    }
    const int width = presenter_.displayWidth();
    const int height = presenter_.displayHeight();
    const auto format = static_cast<AVPixelFormat>(frame->format);
    const RecordTime time = recordTime ? recordTime() : RecordTime{};
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
        const Presenter::InPlace result = presenter_.presentInPlace(
            [this, frame](uint8_t* pixels, int32_t strideBytes) {
                uint8_t* planes[4] = {pixels, nullptr, nullptr, nullptr};
                int strides[4] = {strideBytes, 0, 0, 0};
                sws_scale(directScaler_, frame->data, frame->linesize, 0, frame->height, planes,
                          strides);
            },
            time);
        if (result == Presenter::InPlace::Presented) {
            announce();
        }
        if (result != Presenter::InPlace::DoesNotFit) {
            return;  // shown, or there is nowhere to show it
        }
    }
    // Otherwise (the rectangle shrank since the layout, the surface is smaller than the
    // rectangle) the picture is scaled apart and the presenter shows what fits of it, as it
    // lies, top row first.
    scaler_ = sws_getCachedContext(scaler_, frame->width, frame->height, format, width, height,
                                   AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (scaler_ == nullptr) {
        return;  // the picture is dropped
    }
    sws_scale(scaler_, frame->data, frame->linesize, 0, frame->height, scaled_->data,
              scaled_->linesize);
    if (presenter_.present(Presenter::Picture{scaled_->data[0], scaled_->linesize[0], true},
                           time)) {
        announce();
    }
}

}  // namespace vidora
