#include "bench/ffmpeg_limit.h"

#include <cstring>
#include <functional>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "bench/process_stats.h"

namespace vidora::bench {

namespace {

// The player's video decoder: no codec-private data, the size from the recording's header, the
// library's default threading.
AVCodecContext* openVideoDecoder(const BenchRecording& recording) {
    const AVCodec* codec =
        avcodec_find_decoder(recording.h263 ? AV_CODEC_ID_H263 : AV_CODEC_ID_H264);
    if (codec == nullptr) {
        return nullptr;
    }
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (ctx == nullptr) {
        return nullptr;
    }
    ctx->width = recording.width;
    ctx->height = recording.height;
    if (avcodec_open2(ctx, codec, nullptr) != 0) {
        avcodec_free_context(&ctx);
    }
    return ctx;
}

AVCodecContext* openAudioDecoder() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AMR_NB);
    if (codec == nullptr) {
        return nullptr;
    }
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (ctx == nullptr) {
        return nullptr;
    }
    ctx->sample_rate = 8000;
    av_channel_layout_default(&ctx->ch_layout, 1);
    if (avcodec_open2(ctx, codec, nullptr) != 0) {
        avcodec_free_context(&ctx);
    }
    return ctx;
}

// Feeds every packet (H.263 through the parser) and hands each picture to `picture`.
bool decodeVideo(const BenchRecording& recording, const PaddedPackets& packets,
                 const std::function<void(const AVFrame*)>& picture) {
    AVCodecContext* ctx = openVideoDecoder(recording);
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    if (ctx == nullptr || frame == nullptr || packet == nullptr) {
        avcodec_free_context(&ctx);
        av_frame_free(&frame);
        av_packet_free(&packet);
        return false;
    }
    auto send = [&](const uint8_t* data, int size) {
        av_packet_unref(packet);
        packet->data = const_cast<uint8_t*>(data);
        packet->size = size;
        avcodec_send_packet(ctx, data != nullptr ? packet : nullptr);
        while (avcodec_receive_frame(ctx, frame) == 0) {
            picture(frame);
            av_frame_unref(frame);
        }
    };
    if (recording.h263) {
        AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H263);
        for (size_t i = 0; parser != nullptr && i < packets.count(); ++i) {
            const uint8_t* data = packets.data(i);
            int left = packets.size(i);
            while (left > 0) {
                uint8_t* out = nullptr;
                int outSize = 0;
                int used = av_parser_parse2(parser, ctx, &out, &outSize, data, left, AV_NOPTS_VALUE,
                                            AV_NOPTS_VALUE, 0);
                if (used < 0) {
                    break;
                }
                data += used;
                left -= used;
                if (outSize > 0) {
                    send(out, outSize);
                } else if (used == 0) {
                    break;
                }
            }
        }
        av_parser_close(parser);
    } else {
        for (size_t i = 0; i < packets.count(); ++i) {
            send(packets.data(i), packets.size(i));
        }
    }
    send(nullptr, 0);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return true;
}

}  // namespace

PaddedPackets::PaddedPackets(const std::vector<Bytes>& packets) {
    for (const Bytes& p : packets) {
        Bytes padded(p.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        std::memcpy(padded.data(), p.data(), p.size());
        storage_.push_back(std::move(padded));
        sizes_.push_back(static_cast<int>(p.size()));
    }
}

LoopResult decodeAndScale(const BenchRecording& recording, const PaddedPackets& packets, int width,
                          int height) {
    LoopResult result;
    Bytes scaled(static_cast<size_t>(av_image_get_buffer_size(AV_PIX_FMT_BGR24, width, height, 1)));
    uint8_t* planes[4] = {};
    int strides[4] = {};
    av_image_fill_arrays(planes, strides, scaled.data(), AV_PIX_FMT_BGR24, width, height, 1);
    SwsContext* scaler = nullptr;
    Clock::time_point first;
    Clock::time_point last;
    const double cpuStart = threadCpuSeconds();
    result.ok = decodeVideo(recording, packets, [&](const AVFrame* frame) {
        scaler = sws_getCachedContext(scaler, frame->width, frame->height,
                                      static_cast<AVPixelFormat>(frame->format), width, height,
                                      AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (scaler == nullptr) {
            return;
        }
        sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, planes, strides);
        last = Clock::now();
        if (result.pictures++ == 0) {
            first = last;
        }
    });
    result.cpuSeconds = threadCpuSeconds() - cpuStart;
    result.firstToLastSeconds = std::chrono::duration<double>(last - first).count();
    sws_freeContext(scaler);
    return result;
}

LoopResult decodeOnly(const BenchRecording& recording, const PaddedPackets& packets,
                      const std::vector<Bytes>& audioFrames) {
    LoopResult result;
    Clock::time_point first;
    Clock::time_point last;
    const double cpuStart = threadCpuSeconds();
    result.ok = decodeVideo(recording, packets, [&](const AVFrame*) {
        last = Clock::now();
        if (result.pictures++ == 0) {
            first = last;
        }
    });
    AVCodecContext* audio = openAudioDecoder();
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    if (audio == nullptr || frame == nullptr || packet == nullptr) {
        result.ok = false;
    } else {
        Bytes padded;
        for (const Bytes& f : audioFrames) {
            padded.assign(f.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
            std::memcpy(padded.data(), f.data(), f.size());
            av_packet_unref(packet);
            packet->data = padded.data();
            packet->size = static_cast<int>(f.size());
            if (avcodec_send_packet(audio, packet) == 0) {
                while (avcodec_receive_frame(audio, frame) == 0) {
                    av_frame_unref(frame);
                }
            }
        }
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&audio);
    result.cpuSeconds = threadCpuSeconds() - cpuStart;
    result.firstToLastSeconds = std::chrono::duration<double>(last - first).count();
    return result;
}

}  // namespace vidora::bench
