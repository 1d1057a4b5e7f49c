#include "support/ffmpeg_reference.h"

#include <gtest/gtest.h>

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
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

}  // namespace vidora::test
