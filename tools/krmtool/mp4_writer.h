#pragma once
// The file `krmtool export` writes, through libavformat: the copied video track, the sound
// encoded as AAC-LC, and the camera's clock as a subtitle track.

#include <cstring>
#include <string>
#include <vector>

#include "engine/engine_types.h"
#include "recording/time_text.h"
#include "tools/krmtool/export_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace vidora::exporting {

// The MP4 file being written: its three tracks and the AAC encoding of the sound.
class Mp4Writer {
  public:
    ~Mp4Writer() {
        swr_free(&resampler_);
        av_audio_fifo_free(fifo_);
        av_frame_free(&frame_);
        avcodec_free_context(&encoder_);
        av_packet_free(&packet_);
        if (format_ != nullptr) {
            avio_closep(&format_->pb);
            avformat_free_context(format_);
        }
    }

    bool open(const std::string& path, bool h264, int width, int height,
              const std::vector<uint8_t>& extradata, const RecordTime& created) {
        // The MP4 muxer takes no H.263; its 3GPP sibling writes the same boxes with the brand that
        // names H.263, which is what phones expect of it.
        const char* muxer = h264 ? "mp4" : "3gp";
        if (avformat_alloc_output_context2(&format_, nullptr, muxer, path.c_str()) < 0) {
            say("the %s muxer is missing", muxer);
            return false;
        }
        packet_ = av_packet_alloc();
        video_ = avformat_new_stream(format_, nullptr);
        video_->time_base = kVideoTicks;
        AVCodecParameters* v = video_->codecpar;
        v->codec_type = AVMEDIA_TYPE_VIDEO;
        v->codec_id = h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_H263;
        v->width = width;
        v->height = height;
        if (!extradata.empty()) {
            v->extradata =
                static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            std::memcpy(v->extradata, extradata.data(), extradata.size());
            v->extradata_size = static_cast<int>(extradata.size());
        }
        if (!openSound()) {
            return false;
        }
        openText();
        char when[64];
        std::snprintf(when, sizeof when, "%04u-%02u-%02uT%02u:%02u:%02u.000000Z", created.year,
                      created.month, created.day, created.hour, created.minute, created.second);
        av_dict_set(&format_->metadata, "creation_time", when, 0);
        int r = avio_open(&format_->pb, path.c_str(), AVIO_FLAG_WRITE);
        if (r < 0) {
            say("cannot write %s: %s", path.c_str(), avError(r).c_str());
            return false;
        }
        AVDictionary* options = nullptr;
        // The index in front, so that a browser plays the file while it still loads.
        av_dict_set(&options, "movflags", "+faststart", 0);
        r = avformat_write_header(format_, &options);
        av_dict_free(&options);
        return check(r);
    }

    bool writePicture(const uint8_t* data, size_t size, int64_t pts, int64_t dts, int64_t duration,
                      bool key) {
        av_packet_unref(packet_);
        if (av_new_packet(packet_, static_cast<int>(size)) < 0) {
            return check(AVERROR(ENOMEM));
        }
        std::memcpy(packet_->data, data, size);
        packet_->pts = pts;
        packet_->dts = dts;
        packet_->duration = duration;
        packet_->flags = key ? AV_PKT_FLAG_KEY : 0;
        return write(video_, kVideoTicks);
    }

    // One record's sound bytes, which play from `us` into the export. The AMR-NB frames run on
    // across records (a record may end inside one); silence fills a gap in time before it, so
    // that the sound stays with the pictures.
    bool addSound(const uint8_t* audio, size_t size, int64_t us) {
        const int64_t due = us * kAmrRate / 1000000;
        if (due - soundSamples_ > 2 * kAmrFrameSamples) {
            pcm_.assign(static_cast<size_t>(due - soundSamples_), 0);
            if (!encode(pcm_)) {
                return false;
            }
        }
        stream_.insert(stream_.end(), audio, audio + size);
        pcm_.clear();
        size_t at = 0;
        while (at < stream_.size()) {
            if (!inStep_) {
                const Step step = findStep(at);
                if (step == Step::NeedMore) {
                    break;
                }
                if (step == Step::NotHere) {
                    ++at;
                    continue;
                }
                inStep_ = true;
            }
            if (!wellFormed(stream_[at])) {
                inStep_ = false;
                continue;
            }
            const size_t bytes = static_cast<size_t>(amrStorageFrameBytes(stream_[at]));
            if (at + bytes > stream_.size()) {
                break;  // the rest comes with the next record
            }
            const size_t was = pcm_.size();
            pcm_.resize(was + kAmrFrameSamples, 0);
            int32_t out = kAmrFrameSamples * 2;
            // A frame the decoder rejects (comfort noise, no data) is 20 ms of silence.
            if (amr_.decode(reinterpret_cast<uint8_t*>(pcm_.data() + was), &out, &stream_[at],
                            static_cast<int32_t>(bytes)) < 0 ||
                out != kAmrFrameSamples * 2) {
                std::fill(pcm_.begin() + static_cast<std::ptrdiff_t>(was), pcm_.end(), 0);
            }
            at += bytes;
        }
        stream_.erase(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(at));
        return encode(pcm_);
    }

    // Damaged bytes lie behind: the sound picks up at the next frame it can trust.
    void restartSound() {
        stream_.clear();
        inStep_ = false;
    }

    bool writeCue(const std::string& text, int64_t startUs, int64_t endUs) {
        av_packet_unref(packet_);
        if (av_new_packet(packet_, static_cast<int>(text.size() + 2)) < 0) {
            return check(AVERROR(ENOMEM));
        }
        packet_->data[0] = static_cast<uint8_t>(text.size() >> 8);
        packet_->data[1] = static_cast<uint8_t>(text.size());
        std::memcpy(packet_->data + 2, text.data(), text.size());
        packet_->pts = packet_->dts = startUs;
        packet_->duration = std::max<int64_t>(endUs - startUs, 1000);
        packet_->flags = AV_PKT_FLAG_KEY;
        return write(text_, kMicroseconds);
    }

    bool finish() {
        // The resampler's tail, then what the FIFO holds, then the encoder's own.
        if (!convert(nullptr, 0) || !encodeFifo(true) || !drainEncoder(nullptr)) {
            return false;
        }
        if (!check(av_write_trailer(format_))) {
            return false;
        }
        return check(avio_closep(&format_->pb));
    }

  private:
    bool openSound() {
        sound_ = avformat_new_stream(format_, nullptr);
        const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
        encoder_ = aac != nullptr ? avcodec_alloc_context3(aac) : nullptr;
        if (encoder_ == nullptr || !amr_.open()) {
            say("FFmpeg's AAC encoder or AMR-NB decoder is missing");
            return false;
        }
        encoder_->sample_rate = kAacRate;
        encoder_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        encoder_->bit_rate = kAacBitRate;
        encoder_->profile = FF_PROFILE_AAC_LOW;
        encoder_->time_base = AVRational{1, kAacRate};
        av_channel_layout_default(&encoder_->ch_layout, 1);
        encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        int r = avcodec_open2(encoder_, aac, nullptr);
        if (r < 0) {
            say("cannot open the AAC encoder: %s", avError(r).c_str());
            return false;
        }
        avcodec_parameters_from_context(sound_->codecpar, encoder_);
        sound_->time_base = encoder_->time_base;
        AVChannelLayout mono;
        av_channel_layout_default(&mono, 1);
        if (swr_alloc_set_opts2(&resampler_, &mono, AV_SAMPLE_FMT_FLTP, kAacRate, &mono,
                                AV_SAMPLE_FMT_S16, kAmrRate, 0, nullptr) < 0 ||
            swr_init(resampler_) < 0) {
            say("cannot set up the resampler");
            return false;
        }
        fifo_ = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, 1, encoder_->frame_size * 4);
        frame_ = av_frame_alloc();
        return fifo_ != nullptr && frame_ != nullptr;
    }

    void openText() {
        text_ = avformat_new_stream(format_, nullptr);
        text_->time_base = kMilliseconds;
        AVCodecParameters* t = text_->codecpar;
        t->codec_type = AVMEDIA_TYPE_SUBTITLE;
        t->codec_id = AV_CODEC_ID_MOV_TEXT;
        // The sample description's default style: centred at the bottom, white text on nothing,
        // one font.
        static const uint8_t kStyle[] = {
            0, 0,    0, 0,                                              // display flags
            1, 0xFF,                                                    // centred, at the bottom
            0, 0,    0, 0,                                              // background colour
            0, 0,    0, 0,    0,   0,   0,   0,                         // text box
            0, 0,    0, 0,    0,   1,   0,   0x12, 255, 255, 255, 255,  // style: font 1, 18, white
            0, 0,    0, 0x12, 'f', 't', 'a', 'b',  0,   1,   0,   1,   5, 'S', 'e', 'r', 'i', 'f'};
        t->extradata =
            static_cast<uint8_t*>(av_mallocz(sizeof kStyle + AV_INPUT_BUFFER_PADDING_SIZE));
        std::memcpy(t->extradata, kStyle, sizeof kStyle);
        t->extradata_size = sizeof kStyle;
    }

    // A storage frame header as an encoder writes it: padding bits zero, a speech, comfort-noise
    // or no-data frame type.
    static bool wellFormed(uint8_t header) {
        const int type = (header >> 3) & 0x0F;
        return (header & 0x83) == 0 && (type <= 8 || type == 15);
    }

    enum class Step { Found, NotHere, NeedMore };
    // Whether a frame starts at `at`: four well-formed headers one after another, as the player
    // finds its step in a sound it joins in the middle.
    Step findStep(size_t at) const {
        constexpr int kFramesToFindStep = 4;
        for (int frame = 0; frame < kFramesToFindStep; ++frame) {
            if (at >= stream_.size()) {
                return Step::NeedMore;
            }
            if (!wellFormed(stream_[at])) {
                return Step::NotHere;
            }
            at += static_cast<size_t>(amrStorageFrameBytes(stream_[at]));
        }
        return Step::Found;
    }

    bool encode(const std::vector<int16_t>& samples) {
        soundSamples_ += static_cast<int64_t>(samples.size());
        return convert(reinterpret_cast<const uint8_t*>(samples.data()),
                       static_cast<int>(samples.size())) &&
               encodeFifo(false);
    }

    // 8 kHz samples in (nullptr: the resampler's tail), 48 kHz into the FIFO.
    bool convert(const uint8_t* in, int count) {
        const int room = swr_get_out_samples(resampler_, count);
        if (room <= 0) {
            return true;
        }
        converted_.resize(static_cast<size_t>(room));
        uint8_t* out[1] = {reinterpret_cast<uint8_t*>(converted_.data())};
        const uint8_t* input[1] = {in};
        const int got = swr_convert(resampler_, out, room, in != nullptr ? input : nullptr, count);
        if (got < 0) {
            return check(got);
        }
        return got == 0 || av_audio_fifo_write(fifo_, reinterpret_cast<void**>(out), got) == got;
    }

    bool encodeFifo(bool all) {
        const int size = encoder_->frame_size;
        while (av_audio_fifo_size(fifo_) >= size || (all && av_audio_fifo_size(fifo_) > 0)) {
            const int n = std::min(size, av_audio_fifo_size(fifo_));
            av_frame_unref(frame_);
            frame_->nb_samples = n;
            frame_->format = AV_SAMPLE_FMT_FLTP;
            frame_->sample_rate = kAacRate;
            av_channel_layout_default(&frame_->ch_layout, 1);
            if (av_frame_get_buffer(frame_, 0) < 0) {
                return check(AVERROR(ENOMEM));
            }
            av_audio_fifo_read(fifo_, reinterpret_cast<void**>(frame_->data), n);
            frame_->pts = soundPts_;
            soundPts_ += n;
            if (!drainEncoder(frame_)) {
                return false;
            }
        }
        return true;
    }

    bool drainEncoder(AVFrame* frame) {
        int r = avcodec_send_frame(encoder_, frame);
        if (r < 0) {
            return check(r);
        }
        for (;;) {
            av_packet_unref(packet_);
            r = avcodec_receive_packet(encoder_, packet_);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) {
                return true;
            }
            if (r < 0 || !write(sound_, encoder_->time_base)) {
                return check(r < 0 ? r : -1);
            }
        }
    }

    bool write(AVStream* stream, AVRational from) {
        packet_->stream_index = stream->index;
        av_packet_rescale_ts(packet_, from, stream->time_base);
        return check(av_interleaved_write_frame(format_, packet_));
    }

    bool check(int r) {
        if (r >= 0) {
            return true;
        }
        if (!failed_) {
            say("writing the MP4 file failed: %s", avError(r).c_str());
        }
        failed_ = true;
        return false;
    }

    AVFormatContext* format_ = nullptr;
    AVStream* video_ = nullptr;
    AVStream* sound_ = nullptr;
    AVStream* text_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVCodecContext* encoder_ = nullptr;
    SwrContext* resampler_ = nullptr;
    AVAudioFifo* fifo_ = nullptr;
    AVFrame* frame_ = nullptr;
    AmrFrameDecoder amr_;
    std::vector<int16_t> pcm_;
    std::vector<uint8_t> stream_;  // sound bytes not yet decoded
    bool inStep_ = false;
    std::vector<float> converted_;
    int64_t soundSamples_ = 0;  // 8 kHz samples handed on so far
    int64_t soundPts_ = 0;      // 48 kHz samples sent to the encoder
    bool failed_ = false;
};

}  // namespace vidora::exporting
