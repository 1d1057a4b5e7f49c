#include "video/png_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vidora {

std::vector<uint8_t> encodePng(const std::vector<uint8_t>& rgb, int32_t width, int32_t height) {
    std::vector<uint8_t> file;
    if (width <= 0 || height <= 0 ||
        rgb.size() < static_cast<size_t>(width) * static_cast<size_t>(height) * 3) {
        return file;
    }
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    AVCodecContext* context = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    if (context != nullptr && frame != nullptr && packet != nullptr) {
        context->width = width;
        context->height = height;
        context->pix_fmt = AV_PIX_FMT_RGB24;
        context->time_base = AVRational{1, 1};
        frame->format = AV_PIX_FMT_RGB24;
        frame->width = width;
        frame->height = height;
        frame->data[0] = const_cast<uint8_t*>(rgb.data());
        frame->linesize[0] = width * 3;
        if (avcodec_open2(context, codec, nullptr) == 0 &&
            avcodec_send_frame(context, frame) == 0 && avcodec_send_frame(context, nullptr) == 0 &&
            avcodec_receive_packet(context, packet) == 0) {
            file.assign(packet->data, packet->data + packet->size);
        }
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
    return file;
}

}  // namespace vidora
