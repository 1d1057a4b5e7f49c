#include "bench/peer_media.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#ifndef VIDORA_BENCH_NO_AVFORMAT
#include <libavformat/avformat.h>
#endif
#include <libavutil/channel_layout.h>
}

#include "recording/recording_format.h"

namespace vidora::bench {

namespace {

constexpr int kAmrSamplesPerFrame = 160;
constexpr int kAmrRate = 8000;

// The stream's pictures, one sample each: H.264 one a record, its packets in a row, each behind
// a start code (the recording's packets normally carry their own); H.263 cut from the whole
// byte stream by FFmpeg's parser, since records need not end where pictures do.
bool streamPictures(const BenchRecording& recording, std::vector<Bytes>* pictures) {
    if (recording.h263) {
        std::vector<Bytes> stream;
        if (!videoPackets(recording, &stream) || stream.empty()) {
            return false;
        }
        Bytes bytes = stream.front();
        const size_t size = bytes.size();
        bytes.resize(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H263);
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H263);
        AVCodecContext* ctx = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
        size_t at = 0;
        while (parser != nullptr && ctx != nullptr) {
            uint8_t* out = nullptr;
            int outSize = 0;
            const int left = static_cast<int>(size - at);
            // An empty input at the end hands out the last picture.
            int used = av_parser_parse2(parser, ctx, &out, &outSize, bytes.data() + at, left,
                                        AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
            if (outSize > 0) {
                pictures->emplace_back(out, out + outSize);
            }
            if (left == 0 || used < 0) {
                break;
            }
            at += static_cast<size_t>(used);
        }
        avcodec_free_context(&ctx);
        av_parser_close(parser);
        return !pictures->empty();
    }
    for (const Bytes& v : recording.video) {
        Bytes picture;
        size_t at = 0;
        while (at + 4 <= v.size()) {
            uint32_t length = readLe32(v.data() + at);
            at += 4;
            if (length > v.size() - at) {
                return false;
            }
            const uint8_t* p = v.data() + at;
            bool startCode = (length >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1) ||
                             (length >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1);
            if (!startCode) {
                picture.insert(picture.end(), {0, 0, 0, 1});
            }
            picture.insert(picture.end(), p, p + length);
            at += length;
        }
        if (!picture.empty()) {
            pictures->push_back(std::move(picture));
        }
    }
    return !pictures->empty();
}

// H.263: the picture coding type bit of PTYPE is clear; H.264: an IDR slice is there.
bool isKeyPicture(bool h263, const Bytes& picture) {
    if (h263) {
        return picture.size() > 4 && (picture[4] & 0x02) == 0;
    }
    for (size_t i = 0; i + 3 < picture.size(); ++i) {
        if (picture[i] == 0 && picture[i + 1] == 0 && picture[i + 2] == 1 &&
            (picture[i + 3] & 0x1F) == 5) {
            return true;
        }
    }
    return false;
}

bool fillPacket(AVPacket* packet, const Bytes& bytes) {
    av_packet_unref(packet);
    if (av_new_packet(packet, static_cast<int>(bytes.size())) != 0) {
        return false;
    }
    std::memcpy(packet->data, bytes.data(), bytes.size());
    return true;
}

// The picture numbers in the order an H.264 decoder gives the pictures out.
std::vector<int64_t> displayOrder(const std::vector<Bytes>& pictures) {
    std::vector<int64_t> order;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* ctx = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    if (ctx != nullptr && packet != nullptr && frame != nullptr) {
        ctx->thread_count = 1;
        if (avcodec_open2(ctx, codec, nullptr) == 0) {
            auto drain = [&]() {
                while (avcodec_receive_frame(ctx, frame) == 0) {
                    order.push_back(frame->pts);
                    av_frame_unref(frame);
                }
            };
            for (size_t i = 0; i < pictures.size(); ++i) {
                if (fillPacket(packet, pictures[i])) {
                    packet->pts = static_cast<int64_t>(i);
                    packet->dts = static_cast<int64_t>(i);
                    avcodec_send_packet(ctx, packet);
                    drain();
                }
            }
            avcodec_send_packet(ctx, nullptr);
            drain();
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    return order;
}

}  // namespace

PictureTimes pictureTimes(size_t records, const std::vector<int64_t>& order) {
    std::vector<int64_t> position(records, -1);
    for (size_t k = 0; k < order.size(); ++k) {
        if (order[k] >= 0 && static_cast<size_t>(order[k]) < records && position[order[k]] < 0) {
            position[order[k]] = static_cast<int64_t>(k);
        }
    }
    int64_t delay = 0;
    for (size_t i = 0; i < records; ++i) {
        if (position[i] >= 0) {
            delay = std::max(delay, static_cast<int64_t>(i) - position[i]);
        }
    }
    PictureTimes times;
    for (size_t i = 0; i < records; ++i) {
        times.pts.push_back(position[i] >= 0 ? position[i] : static_cast<int64_t>(i));
        times.dts.push_back(static_cast<int64_t>(i) - delay);
    }
    return times;
}

#ifdef VIDORA_BENCH_NO_AVFORMAT
bool writePeerMedia(const BenchRecording&, const std::string&, std::string* error) {
    *error = "built without libavformat, so no 3GP file";
    return false;
}
#else
bool writePeerMedia(const BenchRecording& recording, const std::string& path, std::string* error) {
    std::vector<Bytes> pictures;
    if (!streamPictures(recording, &pictures)) {
        *error = recording.name + ": no pictures to copy";
        return false;
    }
    std::vector<int64_t> order;
    if (recording.h263) {
        for (size_t i = 0; i < pictures.size(); ++i) {
            order.push_back(static_cast<int64_t>(i));
        }
    } else {
        order = displayOrder(pictures);
    }
    const PictureTimes times = pictureTimes(pictures.size(), order);
    const std::vector<Bytes> sound = audioFrames(recording);
    const int gapMs =
        std::max(1, static_cast<int>(std::lround(recording.recordGapSeconds() * 1000)));

    AVFormatContext* out = nullptr;
    if (avformat_alloc_output_context2(&out, nullptr, "3gp", path.c_str()) < 0 || out == nullptr) {
        *error = "no 3GP muxer in this libavformat";
        return false;
    }
    AVStream* video = avformat_new_stream(out, nullptr);
    AVStream* audio = sound.empty() ? nullptr : avformat_new_stream(out, nullptr);
    AVPacket* packet = av_packet_alloc();
    bool ok = video != nullptr && packet != nullptr && (sound.empty() || audio != nullptr);
    if (ok) {
        video->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        video->codecpar->codec_id = recording.h263 ? AV_CODEC_ID_H263 : AV_CODEC_ID_H264;
        video->codecpar->width = recording.width;
        video->codecpar->height = recording.height;
        video->time_base = AVRational{1, 1000};
        video->avg_frame_rate = AVRational{1000, gapMs};
        if (audio != nullptr) {
            audio->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
            audio->codecpar->codec_id = AV_CODEC_ID_AMR_NB;
            audio->codecpar->sample_rate = kAmrRate;
            audio->codecpar->frame_size = kAmrSamplesPerFrame;
            av_channel_layout_default(&audio->codecpar->ch_layout, 1);
            audio->time_base = AVRational{1, kAmrRate};
        }
        ok = avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0 &&
             avformat_write_header(out, nullptr) >= 0;
    }
    // Pictures in decoding order with the sound frames due by then between them.
    size_t nextSound = 0;
    auto writeSoundUntil = [&](double seconds) {
        for (; ok && nextSound < sound.size(); ++nextSound) {
            int64_t pts = static_cast<int64_t>(nextSound) * kAmrSamplesPerFrame;
            if (static_cast<double>(pts) / kAmrRate > seconds) {
                break;
            }
            ok = fillPacket(packet, sound[nextSound]);
            packet->stream_index = audio->index;
            packet->pts = packet->dts =
                av_rescale_q(pts, AVRational{1, kAmrRate}, audio->time_base);
            packet->duration =
                av_rescale_q(kAmrSamplesPerFrame, AVRational{1, kAmrRate}, audio->time_base);
            ok = ok && av_interleaved_write_frame(out, packet) >= 0;
        }
    };
    for (size_t i = 0; ok && i < pictures.size(); ++i) {
        writeSoundUntil(static_cast<double>(i) * gapMs / 1000.0);
        ok = ok && fillPacket(packet, pictures[i]);
        if (!ok) {
            break;
        }
        const AVRational ms{1, 1000};
        packet->stream_index = video->index;
        packet->pts = av_rescale_q(times.pts[i] * gapMs, ms, video->time_base);
        packet->dts = av_rescale_q(times.dts[i] * gapMs, ms, video->time_base);
        packet->duration = av_rescale_q(gapMs, ms, video->time_base);
        if (isKeyPicture(recording.h263, pictures[i])) {
            packet->flags |= AV_PKT_FLAG_KEY;
        }
        ok = av_interleaved_write_frame(out, packet) >= 0;
    }
    writeSoundUntil(1e9);
    if (ok) {
        ok = av_write_trailer(out) >= 0;
    }
    if (out->pb != nullptr) {
        avio_closep(&out->pb);
    }
    av_packet_free(&packet);
    avformat_free_context(out);
    if (!ok) {
        *error = "cannot write " + path;
    }
    return ok;
}

#endif

}  // namespace vidora::bench
