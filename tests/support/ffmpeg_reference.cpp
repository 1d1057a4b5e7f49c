#include "support/ffmpeg_reference.h"

#include <gtest/gtest.h>

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace vidora::test {

void forEachReferencePicture(bool h263, const std::vector<std::vector<uint8_t>>& pieces, int width,
                             int height, const std::function<void(const Picture&)>& take) {
    const AVCodec* codec = avcodec_find_decoder(h263 ? AV_CODEC_ID_H263 : AV_CODEC_ID_H264);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    EXPECT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    const size_t rowBytes = static_cast<size_t>(width) * 3;
    Picture scaled(rowBytes * height);
    Picture flipped(scaled.size());
    auto send = [&](const uint8_t* data, size_t size) {
        std::vector<uint8_t> padded(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        if (size > 0) {
            std::memcpy(padded.data(), data, size);
        }
        packet->data = padded.data();
        packet->size = static_cast<int>(size);
        avcodec_send_packet(ctx, data != nullptr ? packet : nullptr);
        while (avcodec_receive_frame(ctx, frame) == 0) {
            SwsContext* sws = sws_getContext(
                frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), width,
                height, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
            uint8_t* planes[4] = {scaled.data()};
            int strides[4] = {width * 3};
            sws_scale(sws, frame->data, frame->linesize, 0, frame->height, planes, strides);
            sws_freeContext(sws);
            for (int y = 0; y < height; ++y) {
                std::memcpy(flipped.data() + (height - 1 - y) * rowBytes,
                            scaled.data() + y * rowBytes, rowBytes);
            }
            take(flipped);
            av_frame_unref(frame);
        }
    };
    if (h263) {
        std::vector<uint8_t> stream;
        for (const auto& piece : pieces) {
            stream.insert(stream.end(), piece.begin(), piece.end());
        }
        const int length = static_cast<int>(stream.size());
        stream.resize(stream.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H263);
        const uint8_t* data = stream.data();
        int left = length;
        // Told the stream has ended (no input), the parser gives up the last picture.
        for (bool ended = false; !ended;) {
            ended = left == 0;
            uint8_t* out = nullptr;
            int outSize = 0;
            const int used = av_parser_parse2(parser, ctx, &out, &outSize, ended ? nullptr : data,
                                              left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
            data += used;
            left -= used;
            if (outSize > 0) {
                send(out, static_cast<size_t>(outSize));
            }
        }
        av_parser_close(parser);
    } else {
        for (const auto& unit : pieces) {
            send(unit.data(), unit.size());
        }
    }
    send(nullptr, 0);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
}

std::vector<Picture> referencePictures(bool h263, const std::vector<std::vector<uint8_t>>& pieces,
                                       int width, int height) {
    std::vector<Picture> pictures;
    forEachReferencePicture(h263, pieces, width, height,
                            [&](const Picture& p) { pictures.push_back(p); });
    return pictures;
}

std::vector<std::vector<uint8_t>> amrFrames(const std::vector<uint8_t>& stream) {
    // Storage frame sizes by frame type, written out here apart from the player's own table.
    static const int sizes[16] = {13, 14, 16, 18, 20, 21, 27, 32, 6, -1, -1, -1, -1, -1, -1, 1};
    std::vector<std::vector<uint8_t>> frames;
    for (size_t at = 0; at < stream.size();) {
        const int size = sizes[(stream[at] >> 3) & 0x0F];
        if (size < 0 || at + static_cast<size_t>(size) > stream.size()) {
            ADD_FAILURE() << "not a stream of storage frames at byte " << at;
            break;
        }
        frames.emplace_back(stream.begin() + at, stream.begin() + at + size);
        at += static_cast<size_t>(size);
    }
    return frames;
}

std::vector<uint8_t> referenceSound(const std::vector<std::vector<uint8_t>>& frames) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AMR_NB);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->sample_rate = 8000;
    av_channel_layout_default(&context->ch_layout, 1);
    EXPECT_EQ(avcodec_open2(context, codec, nullptr), 0);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    SwrContext* swr = nullptr;
    std::vector<uint8_t> sound;
    for (const std::vector<uint8_t>& bytes : frames) {
        av_new_packet(packet, static_cast<int>(bytes.size()));
        std::memcpy(packet->data, bytes.data(), bytes.size());
        const int sent = avcodec_send_packet(context, packet);
        av_packet_unref(packet);
        if (sent < 0 || avcodec_receive_frame(context, frame) < 0) {
            sound.insert(sound.end(), 320, 0);
            continue;
        }
        if (swr == nullptr) {
            swr_alloc_set_opts2(&swr, &frame->ch_layout, AV_SAMPLE_FMT_S16, frame->sample_rate,
                                &frame->ch_layout, static_cast<AVSampleFormat>(frame->format),
                                frame->sample_rate, 0, nullptr);
            swr_init(swr);
        }
        const size_t at = sound.size();
        sound.resize(at + static_cast<size_t>(frame->nb_samples) * 2);
        uint8_t* out[1] = {sound.data() + at};
        swr_convert(swr, out, frame->nb_samples, const_cast<const uint8_t**>(frame->extended_data),
                    frame->nb_samples);
        av_frame_unref(frame);
    }
    swr_free(&swr);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return sound;
}

}  // namespace vidora::test
