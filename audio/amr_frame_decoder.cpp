#include "audio/amr_frame_decoder.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace vidora {

namespace {

// Storage frame sizes (RFC 4867, header byte included) by frame type: the eight speech modes
// 4.75 to 12.2 kbit/s, then SID, then four reserved types, then NO_DATA.
constexpr int32_t kStorageFrameBytes[16] = {13, 14, 16, 18, 20, 21, 27, 32,
                                            6,  -1, -1, -1, -1, -1, -1, 1};

constexpr int kSampleRate = 8000;

}  // namespace

int32_t amrStorageFrameBytes(uint8_t frameHeader) {
    return kStorageFrameBytes[(frameHeader >> 3) & 0x0F];
}

AmrFrameDecoder::AmrFrameDecoder() : packet_(av_packet_alloc()), frame_(av_frame_alloc()) {}

AmrFrameDecoder::~AmrFrameDecoder() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
    swr_free(&resampler_);
}

bool AmrFrameDecoder::open() {
    if (context_ != nullptr) {
        return true;
    }
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AMR_NB);
    if (codec == nullptr) {
        return false;
    }
    context_ = avcodec_alloc_context3(codec);
    if (context_ == nullptr) {
        return false;
    }
    context_->sample_rate = kSampleRate;
    av_channel_layout_default(&context_->ch_layout, 1);
    context_->sample_fmt = AV_SAMPLE_FMT_S16;
    if (avcodec_open2(context_, codec, nullptr) != 0) {
        avcodec_free_context(&context_);
        return false;
    }
    return true;
}

int32_t AmrFrameDecoder::decode(uint8_t* output, int32_t* outputBytes, const uint8_t* input,
                                int32_t inputLength) {
    AVCodecContext* context = context_;
    const int32_t space = *outputBytes;
    *outputBytes = 0;
    if (context == nullptr || packet_ == nullptr || frame_ == nullptr || inputLength < 1) {
        return kAudioDecodeFailed;
    }
    const int32_t frameBytes = amrStorageFrameBytes(input[0]);
    if (frameBytes < 0 || frameBytes > inputLength) {
        return kAudioDecodeFailed;
    }
    // The decoder is given exactly one frame per packet: it then consumes the packet whole, and a
    // frame it rejects cannot take the bytes behind it down with it. The packet is not
    // reference-counted, so sending it copies the bytes (with the padding the decoder may read).
    av_packet_unref(packet_);
    packet_->data = const_cast<uint8_t*>(input);
    packet_->size = frameBytes;
    int sent = avcodec_send_packet(context, packet_);
    packet_->data = nullptr;
    packet_->size = 0;
    if (sent < 0) {
        return kAudioDecodeFailed;
    }
    int received = avcodec_receive_frame(context, frame_);
    if (received == AVERROR(EAGAIN)) {
        return frameBytes;
    }
    if (received < 0) {
        return kAudioDecodeFailed;
    }
    int32_t written = convert(output, space);
    av_frame_unref(frame_);
    if (written < 0) {
        return kAudioDecodeFailed;
    }
    *outputBytes = written;
    return frameBytes;
}

// Turns the received frame into interleaved signed 16-bit samples; the PCM bytes written, or -1.
int32_t AmrFrameDecoder::convert(uint8_t* output, int32_t space) {
    const int channels = frame_->ch_layout.nb_channels;
    const int64_t bytes = static_cast<int64_t>(frame_->nb_samples) * channels * 2;
    if (channels < 1 || bytes > space) {
        return -1;
    }
    if (frame_->format == AV_SAMPLE_FMT_S16) {
        std::memcpy(output, frame_->data[0], static_cast<size_t>(bytes));
        return static_cast<int32_t>(bytes);
    }
    // FFmpeg's AMR-NB decoder delivers 32-bit float whatever the context asks for. The same
    // conversion FFmpeg's own tools apply (no dither, rounded and clipped) keeps the sound
    // bit-exact with theirs.
    SwrContext** resampler = &resampler_;
    if (*resampler == nullptr) {
        if (swr_alloc_set_opts2(resampler, &frame_->ch_layout, AV_SAMPLE_FMT_S16,
                                frame_->sample_rate, &frame_->ch_layout,
                                static_cast<AVSampleFormat>(frame_->format), frame_->sample_rate, 0,
                                nullptr) < 0 ||
            swr_init(*resampler) < 0) {
            swr_free(resampler);
            return -1;
        }
    }
    uint8_t* planes[1] = {output};
    int converted =
        swr_convert(*resampler, planes, frame_->nb_samples,
                    const_cast<const uint8_t**>(frame_->extended_data), frame_->nb_samples);
    if (converted < 0) {
        return -1;
    }
    return converted * channels * 2;
}

}  // namespace vidora
