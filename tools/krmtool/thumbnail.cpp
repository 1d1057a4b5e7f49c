// `krmtool thumbnail [-s SIZE] FILE OUT.png`: the picture a file manager shows for a recording.
// It is taken a few seconds in, past the dark pictures a camera writes as it starts, decoded
// the way the player decodes it, and scaled so that its longer side is SIZE pixels.
//
// A thumbnailer runs on every file a folder holds, damaged ones too: it looks at a bounded
// start of the recording, decodes a bounded stretch of it, and refuses absurd picture sizes.

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine_types.h"
#include "platform/file.h"
#include "recording/record_index.h"
#include "recording/recording_file.h"
#include "tools/krmtool/commands.h"
#include "tools/krmtool/recording_map.h"
#include "video/png_encoder.h"
#include "video/video_path.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

namespace vidora {

namespace {

using exporting::say;

constexpr int kDefaultSize = 256;
constexpr int kMaxSize = 4096;
// The picture is the one playing 3 s in, or a tenth of the way into a recording shorter
// than 30 s.
constexpr int64_t kTargetUs = 3000000;
constexpr int64_t kShortRecordingUs = 30000000;
// The start of a recording that is looked at: enough records to see 30 s at any usual rate.
constexpr IndexLimit kIndexLimit{4096, 64u << 20};
// What the decoder is given at most: the records from the key picture to the target, those
// after it that a decoder which reorders pictures needs to give the target up, their video, and
// pictures of about 100 times 1920 x 1080 pixels in all (a damaged stream costs the decoder as
// much for a picture it conceals as for a real one). Past that it keeps what it has.
constexpr size_t kMaxPrerollRecords = 300;
constexpr size_t kRecordsAfterTarget = 8;
constexpr size_t kMaxVideoBytes = 4u << 20;
constexpr uint64_t kMaxDecodedPixels = 200000000;
// No camera writes larger pictures; the decoder refuses to make them.
constexpr int kMaxPictureSide = 4096;
constexpr int64_t kMaxPicturePixels = int64_t{kMaxPictureSide} * kMaxPictureSide;
// Times of pictures sent to a decoder that reorders them, not yet given back (as the player).
constexpr size_t kMaxPendingPictures = 32;

struct Options {
    std::string input;
    std::string output;
    int size = kDefaultSize;
};

bool parseSize(const std::string& text, int* size) {
    const char* end = text.data() + text.size();
    const auto [last, error] = std::from_chars(text.data(), end, *size);
    return error == std::errc() && last == end && *size >= 1 && *size <= kMaxSize;
}

std::optional<Options> parseArguments(const std::vector<std::string>& args) {
    Options o;
    std::vector<std::string> files;
    bool options = true;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (options && a == "--") {
            options = false;
        } else if (options && (a == "-s" || a == "--size")) {
            if (i + 1 >= args.size()) {
                say("thumbnail: %s needs a size from 1 to %d", a.c_str(), kMaxSize);
                return std::nullopt;
            }
            if (!parseSize(args[++i], &o.size)) {
                say("thumbnail: size \"%s\" is not a whole number from 1 to %d", args[i].c_str(),
                    kMaxSize);
                return std::nullopt;
            }
        } else if (options && a.size() > 1 && a[0] == '-') {
            say("thumbnail: unknown option %s", a.c_str());
            return std::nullopt;
        } else {
            files.push_back(a);
        }
    }
    if (files.size() != 2) {
        say("thumbnail: usage: krmtool thumbnail [-s SIZE] FILE OUT.png");
        return std::nullopt;
    }
    o.input = files[0];
    o.output = files[1];
    return o;
}

// Decodes records from a key picture on, fed as the player's video path feeds its decoder
// (H.264 as length-prefixed packets, which may run on into the next record; H.263 through the
// parser that joins pieces into whole pictures), and keeps the picture that plays at the target
// record, or failing that the last one that decoded.
class PictureAt {
  public:
    PictureAt(bool h264, size_t target) : h264_(h264), target_(target) {
        const AVCodec* codec = avcodec_find_decoder(h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_H263);
        codec_ = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
        if (codec_ == nullptr) {
            return;
        }
        codec_->max_pixels = kMaxPicturePixels;
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
        best_ = av_frame_alloc();
        parser_ = h264 ? nullptr : av_parser_init(AV_CODEC_ID_H263);
        if (avcodec_open2(codec_, codec, nullptr) != 0 || packet_ == nullptr || frame_ == nullptr ||
            best_ == nullptr || (!h264 && parser_ == nullptr)) {
            avcodec_free_context(&codec_);
        }
    }
    ~PictureAt() {
        if (parser_ != nullptr) {
            av_parser_close(parser_);
        }
        av_frame_free(&best_);
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&codec_);
    }
    PictureAt(const PictureAt&) = delete;
    PictureAt& operator=(const PictureAt&) = delete;

    // Whether more records could still bring the target's picture.
    bool wanted() const {
        return codec_ != nullptr && !reached_ && decodedPixels_ < kMaxDecodedPixels;
    }

    void feed(size_t record, const uint8_t* video, size_t size) {
        if (!wanted()) {
            return;
        }
        if (h264_) {
            feedH264(record, video, size);
            return;
        }
        // A record that begins with a picture start code ends the picture before it, which is
        // taken at once, as the player does in a stream of a picture per record: the parser
        // alone would tell it only when the next one begins, and then often as of the record
        // before.
        if (size >= 3 && video[0] == 0 && video[1] == 0 && (video[2] & 0xFC) == 0x80) {
            completeH263();
        }
        lastRecord_ = record;
        while (size > 0 && wanted()) {
            uint8_t* picture = nullptr;
            int pictureSize = 0;
            const int piece = static_cast<int>(std::min<size_t>(size, kH263PieceBytes));
            const int used =
                av_parser_parse2(parser_, codec_, &picture, &pictureSize, video, piece,
                                 static_cast<int64_t>(record), static_cast<int64_t>(record), 0);
            // Bytes the parser cannot take are stepped over, as the player does.
            const size_t step = used > 0 ? static_cast<size_t>(used) : static_cast<size_t>(piece);
            video += step;
            size -= step;
            if (pictureSize > 0) {
                send(picture, pictureSize, pictureRecord(record), true);
            }
        }
    }

    // The stream ends here: what the parser and the decoder hold back comes out.
    void finish() {
        if (codec_ == nullptr || reached_) {
            return;
        }
        if (parser_ != nullptr) {
            completeH263();
        }
        send(nullptr, 0, 0, false);
    }

    // The picture kept; null when none decoded.
    const AVFrame* picture() const {
        return best_ != nullptr && best_->buf[0] != nullptr ? best_ : nullptr;
    }

  private:
    void feedH264(size_t record, const uint8_t* video, size_t size) {
        // A packet belongs to the record its length word is in: the one the bytes still waiting
        // began in for the first packet, this record for every later one.
        if (pending_.empty()) {
            pendingRecord_ = record;
        }
        pending_.insert(pending_.end(), video, video + size);
        size_t at = 0;
        while (wanted() && pending_.size() - at >= 4) {
            const uint32_t length = readLe32(pending_.data() + at);
            if (length > kPacketBufferBytes) {
                // Longer than the player's packet buffer: it drops what it holds, as here.
                at = pending_.size();
                break;
            }
            if (pending_.size() - at - 4 < length) {
                break;
            }
            const uint8_t* data = pending_.data() + at + 4;
            if (length > 0) {
                send(data, static_cast<int>(length), at == 0 ? pendingRecord_ : record,
                     holdsPicture(data, static_cast<uint32_t>(length)));
            }
            at += 4 + length;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(at));
        if (at > 0) {
            pendingRecord_ = record;
        }
    }

    // Tells the parser that the stream ends here, decodes the picture it then gives up, and
    // starts it afresh.
    void completeH263() {
        uint8_t* picture = nullptr;
        int pictureSize = 0;
        av_parser_parse2(parser_, codec_, &picture, &pictureSize, nullptr, 0, AV_NOPTS_VALUE,
                         AV_NOPTS_VALUE, 0);
        if (pictureSize > 0) {
            send(picture, pictureSize, pictureRecord(lastRecord_), true);
        }
        av_parser_close(parser_);
        parser_ = av_parser_init(AV_CODEC_ID_H263);
        if (parser_ == nullptr) {
            avcodec_free_context(&codec_);
        }
    }

    // The record an H.263 picture began in, as its parser tells it.
    int64_t pictureRecord(size_t fallback) const {
        return parser_->pts != AV_NOPTS_VALUE ? parser_->pts : static_cast<int64_t>(fallback);
    }

    // Sends one packet (nullptr: drain) that began in `record` and takes the pictures it gives.
    void send(const uint8_t* data, int size, int64_t record, bool picture) {
        if (data != nullptr) {
            // The decoder reads a little past the end, where it must find zeros.
            padded_.assign(data, data + size);
            padded_.resize(padded_.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        }
        av_packet_unref(packet_);
        packet_->data = data != nullptr ? padded_.data() : nullptr;
        packet_->size = size;
        packet_->pts = record;
        if (avcodec_send_packet(codec_, data != nullptr ? packet_ : nullptr) != 0) {
            return;
        }
        if (data != nullptr) {
            decodedPixels_ += static_cast<uint64_t>(std::max(codec_->width, 0)) *
                              static_cast<uint64_t>(std::max(codec_->height, 0));
        }
        if (picture) {
            pendingPictures_.push_back(record);
            if (pendingPictures_.size() > kMaxPendingPictures) {
                pendingPictures_.pop_front();
            }
        }
        while (!reached_ && avcodec_receive_frame(codec_, frame_) == 0) {
            const int64_t at = shownAt(frame_);
            if (!usable(frame_)) {
                av_frame_unref(frame_);
                continue;
            }
            av_frame_unref(best_);
            av_frame_move_ref(best_, frame_);
            reached_ = at >= static_cast<int64_t>(target_);
        }
    }

    // The record whose time a picture is shown at, by the player's rule: a decoder that reorders
    // gives its n-th picture the n-th record time in, as the records carry decoding order.
    int64_t shownAt(const AVFrame* frame) {
        int64_t at = frame->pts;
        if (codec_->has_b_frames > 0 || at == AV_NOPTS_VALUE) {
            if (!pendingPictures_.empty()) {
                at = pendingPictures_.front();
                pendingPictures_.pop_front();
            } else if (at == AV_NOPTS_VALUE) {
                at = lastShownAt_;
            }
        } else {
            while (!pendingPictures_.empty() && pendingPictures_.front() <= at) {
                pendingPictures_.pop_front();
            }
        }
        lastShownAt_ = at;
        return at;
    }

    static bool usable(const AVFrame* frame) {
        return frame->width > 0 && frame->height > 0 && frame->width <= kMaxPictureSide &&
               frame->height <= kMaxPictureSide &&
               sws_isSupportedInput(static_cast<AVPixelFormat>(frame->format)) > 0;
    }

    bool h264_;
    size_t target_;
    AVCodecContext* codec_ = nullptr;
    AVCodecParserContext* parser_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVFrame* best_ = nullptr;
    bool reached_ = false;
    uint64_t decodedPixels_ = 0;
    std::vector<uint8_t> pending_;
    size_t pendingRecord_ = 0;
    size_t lastRecord_ = 0;
    std::vector<uint8_t> padded_;
    std::deque<int64_t> pendingPictures_;
    int64_t lastShownAt_ = 0;
};

// The picture as rows of red-green-blue pixels, its longer side `size` pixels and its shape
// kept (pixels taken as square), up or down.
bool scaleToRgb(const AVFrame* frame, int size, std::vector<uint8_t>* rgb, int* width,
                int* height) {
    const int64_t w = frame->width;
    const int64_t h = frame->height;
    const auto across = [size](int64_t side, int64_t longer) {
        return static_cast<int>(std::max<int64_t>(1, (side * size + longer / 2) / longer));
    };
    *width = w >= h ? size : across(w, h);
    *height = w >= h ? across(h, w) : size;
    SwsContext* scaler = sws_getContext(
        frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), *width, *height,
        AV_PIX_FMT_RGB24, SWS_LANCZOS | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr,
        nullptr);
    if (scaler == nullptr) {
        return false;
    }
    // Room behind the last row for a scaler that writes in wide steps.
    rgb->assign(static_cast<size_t>(*width) * static_cast<size_t>(*height) * 3 + 64, 0);
    uint8_t* planes[4] = {rgb->data(), nullptr, nullptr, nullptr};
    int strides[4] = {*width * 3, 0, 0, 0};
    const int rows =
        sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, planes, strides);
    sws_freeContext(scaler);
    return rows == *height;
}

// Writes `bytes` to `out` through a temporary file beside it, renamed into place once whole:
// a file manager never reads half a picture, and a failure leaves nothing behind.
bool writeWhole(const std::string& out, const std::vector<uint8_t>& bytes) {
    FileReplacement file;
    std::string reason;
    if (!file.create(out, "krmtool-thumbnail-", &reason)) {
        const std::string folder = utf8FromPath(pathFromUtf8(out).parent_path());
        say("cannot write in %s: %s", folder.empty() ? "." : folder.c_str(), reason.c_str());
        return false;
    }
    file.write(bytes.data(), bytes.size());  // a failed write fails the commit, which says why
    if (file.commit(true, &reason) == FileReplacement::Outcome::Done) {
        return true;
    }
    say("cannot write %s: %s", out.c_str(), reason.c_str());
    return false;
}

}  // namespace

int thumbnailCommand(const std::vector<std::string>& args) {
    const std::optional<Options> options = parseArguments(args);
    if (!options) {
        return kExitUsage;
    }
    const char* input = options->input.c_str();
    RecordIndex index;
    const RecordIndex::End end =
        index.build(options->input, kRecordingHeaderBytes, {}, kIndexLimit);
    if (end == RecordIndex::End::CannotOpen) {
        RecordingFile file;
        std::string reason = "it cannot be read";
        file.open(options->input, &reason);
        say("cannot open %s: %s", input, reason.c_str());
        return kExitFileProblem;
    }
    if (end == RecordIndex::End::NotARecording) {
        say("%s is not a recording", input);
        return kExitFileProblem;
    }
    if (index.size() == 0) {
        say("%s holds no readable record (damaged at offset %llu: %s)", input,
            static_cast<unsigned long long>(index.badOffset()), index.badReason());
        return kExitFileProblem;
    }

    // Where the picture is taken, and the key picture decoding starts from; without one, from
    // the first record looked at. A key picture too far back brings the place nearer to it.
    const int64_t covered = index.playUs(index.size() - 1);
    size_t target = index.atPlayTime(covered >= kShortRecordingUs ? kTargetUs : covered / 10);
    const size_t key = index.keyAtOrBefore(target);
    const size_t first = key == RecordIndex::npos ? 0 : key;
    target = std::min(target, first + kMaxPrerollRecords);
    const size_t last = std::min(index.size() - 1, target + kRecordsAfterTarget);

    PictureAt decoder(index.h264(), target);
    exporting::RecordReader reader(options->input);
    size_t fed = 0;
    for (size_t r = first; r <= last && decoder.wanted() && fed < kMaxVideoBytes; ++r) {
        if (!reader.read(index.at(r).offset)) {
            break;  // the file shrank meanwhile
        }
        decoder.feed(r, reader.video.data(), reader.videoBytes);
        fed += reader.videoBytes;
    }
    decoder.finish();
    const AVFrame* picture = decoder.picture();
    if (picture == nullptr) {
        say("%s holds no picture that decodes", input);
        return kExitFileProblem;
    }

    std::vector<uint8_t> rgb;
    int width = 0;
    int height = 0;
    if (!scaleToRgb(picture, options->size, &rgb, &width, &height)) {
        say("%s: its picture cannot be scaled", input);
        return kExitFileProblem;
    }
    const std::vector<uint8_t> png = encodePng(rgb, width, height);
    if (png.empty()) {
        say("%s: its picture cannot be encoded as PNG", input);
        return kExitFileProblem;
    }
    return writeWhole(options->output, png) ? kExitOk : kExitFileProblem;
}

}  // namespace vidora
