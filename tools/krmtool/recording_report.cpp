#include "tools/krmtool/recording_report.h"

#include <algorithm>
#include <cstdio>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "audio/amr_frame_decoder.h"
#include "recording/record_index.h"
#include "recording/record_scan.h"
#include "recording/recording_file.h"
#include "recording/recording_format.h"

namespace vidora {

namespace {

// A player shows the first picture within moments; a stream that yields none within this much
// video will not yield one.
constexpr size_t kFirstPictureVideoBytes = 32u << 20;
// An H.264 packet longer than this cannot be one, as in the player's video path: the bytes
// buffered are dropped and the next record starts afresh.
constexpr uint32_t kMaxPacketBytes = 4u << 20;

constexpr const char* kAudioModes[16] = {"4.75 kbit/s", "5.15 kbit/s", "5.9 kbit/s",  "6.7 kbit/s",
                                         "7.4 kbit/s",  "7.95 kbit/s", "10.2 kbit/s", "12.2 kbit/s",
                                         "SID",         nullptr,       nullptr,       nullptr,
                                         nullptr,       nullptr,       nullptr,       "no data"};

std::string printableTag(const uint8_t* header, size_t size) {
    std::string tag;
    for (size_t i = 0; i < size && header[i] != 0; ++i) {
        if (header[i] >= 0x20 && header[i] < 0x7F && header[i] != '\\') {
            tag += static_cast<char>(header[i]);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", header[i]);
            tag += escaped;
        }
    }
    return tag;
}

// The first picture's size, from FFmpeg's decoder fed the way the player's video path feeds it:
// H.264 as length-prefixed packets, H.263 through the parser that joins pieces into pictures.
class FirstPicture {
  public:
    FirstPicture(bool h264, uint32_t declaredWidth, uint32_t declaredHeight) : h264_(h264) {
        const AVCodec* codec = avcodec_find_decoder(h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_H263);
        codec_ = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
        if (codec_ == nullptr) {
            return;
        }
        codec_->width = declaredWidth != 0 ? static_cast<int>(declaredWidth) : 320;
        codec_->height = declaredWidth != 0 ? static_cast<int>(declaredHeight) : 240;
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
        parser_ = h264 ? nullptr : av_parser_init(AV_CODEC_ID_H263);
        if (avcodec_open2(codec_, codec, nullptr) != 0 || packet_ == nullptr || frame_ == nullptr ||
            (!h264 && parser_ == nullptr)) {
            avcodec_free_context(&codec_);
        }
    }
    ~FirstPicture() {
        if (parser_ != nullptr) {
            av_parser_close(parser_);
        }
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&codec_);
    }
    FirstPicture(const FirstPicture&) = delete;
    FirstPicture& operator=(const FirstPicture&) = delete;

    // Whether more video could still tell.
    bool wanted() const {
        return codec_ != nullptr && width_ == 0 && fed_ < kFirstPictureVideoBytes;
    }

    void feed(const uint8_t* video, size_t size) {
        fed_ += size;
        if (h264_) {
            pending_.insert(pending_.end(), video, video + size);
            takePackets();
            return;
        }
        while (size > 0 && width_ == 0) {
            uint8_t* picture = nullptr;
            int pictureSize = 0;
            const int used =
                av_parser_parse2(parser_, codec_, &picture, &pictureSize, video,
                                 static_cast<int>(size), AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
            const size_t step = used > 0 ? static_cast<size_t>(used) : size;
            video += step;
            size -= step;
            if (pictureSize > 0) {
                send(picture, pictureSize);
            }
        }
    }

    // The stream ends: what the parser and the decoder hold back comes out.
    void finish() {
        if (codec_ == nullptr || width_ != 0) {
            return;
        }
        if (parser_ != nullptr) {
            uint8_t* picture = nullptr;
            int pictureSize = 0;
            av_parser_parse2(parser_, codec_, &picture, &pictureSize, nullptr, 0, AV_NOPTS_VALUE,
                             AV_NOPTS_VALUE, 0);
            if (pictureSize > 0) {
                send(picture, pictureSize);
            }
        }
        send(nullptr, 0);
    }

    int width() const { return width_; }
    int height() const { return height_; }

  private:
    void takePackets() {
        size_t at = 0;
        while (width_ == 0 && pending_.size() - at >= 4) {
            const uint32_t length = readLe32(pending_.data() + at);
            if (length > kMaxPacketBytes) {
                at = pending_.size();
                break;
            }
            if (pending_.size() - at - 4 < length) {
                break;
            }
            send(pending_.data() + at + 4, static_cast<int>(length));
            at += 4 + length;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(at));
    }

    void send(const uint8_t* data, int size) {
        if (data != nullptr) {
            // The decoder reads a little past the end, where it must find zeros.
            padded_.assign(data, data + size);
            padded_.resize(padded_.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        }
        av_packet_unref(packet_);
        packet_->data = data != nullptr ? padded_.data() : nullptr;
        packet_->size = size;
        if (avcodec_send_packet(codec_, data != nullptr ? packet_ : nullptr) != 0) {
            return;
        }
        while (width_ == 0 && avcodec_receive_frame(codec_, frame_) == 0) {
            width_ = frame_->width;
            height_ = frame_->height;
            av_frame_unref(frame_);
        }
    }

    bool h264_;
    AVCodecContext* codec_ = nullptr;
    AVCodecParserContext* parser_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    std::vector<uint8_t> pending_;
    std::vector<uint8_t> padded_;
    size_t fed_ = 0;
    int width_ = 0;
    int height_ = 0;
};

// Counts AMR-NB storage frames across records (a frame may continue in the next record's sound)
// and notes which frame types occur. A byte that is no frame header is stepped over.
class AudioCount {
  public:
    void feed(const uint8_t* audio, size_t size) {
        size_t at = std::min<size_t>(rest_, size);
        rest_ -= at;
        while (at < size) {
            const int32_t bytes = amrStorageFrameBytes(audio[at]);
            if (bytes < 0) {
                ++at;
                continue;
            }
            ++frames_;
            seen_ |= 1u << ((audio[at] >> 3) & 0x0F);
            const size_t end = at + static_cast<size_t>(bytes);
            rest_ = end > size ? end - size : 0;
            at = std::min(end, size);
        }
    }
    uint64_t frames() const { return frames_; }
    std::vector<std::string> modes() const {
        std::vector<std::string> names;
        for (int type = 0; type < 16; ++type) {
            if ((seen_ & (1u << type)) != 0 && kAudioModes[type] != nullptr) {
                names.push_back(kAudioModes[type]);
            }
        }
        return names;
    }

  private:
    size_t rest_ = 0;
    uint64_t frames_ = 0;
    uint32_t seen_ = 0;
};

template <typename T>
T median(std::vector<T> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

void summarise(const RecordIndex& index, RecordingReport* report) {
    if (index.size() == 0) {
        return;
    }
    IndexedRecord previous = index.at(0);
    report->firstTime = previous.time;
    std::vector<size_t> keyRecords;
    std::vector<int64_t> keyUs;
    size_t lastKey = RecordIndex::npos;
    int64_t lastKeyUs = 0;
    for (size_t i = 0; i < index.size(); ++i) {
        const IndexedRecord record = index.at(i);
        // The player plays a jump over a second, or backwards, as one second.
        const uint32_t gap = record.timestamp - previous.timestamp;
        if (i > 0 && gap > 1000) {
            if (report->gaps.size() < RecordingReport::kGapsListed) {
                report->gaps.push_back(TimestampGap{i, record.offset, previous.time, record.time,
                                                    static_cast<int32_t>(gap)});
            }
            ++report->gapCount;
        }
        if (record.key) {
            ++report->keyPictures;
            if (lastKey != RecordIndex::npos) {
                keyRecords.push_back(i - lastKey);
                keyUs.push_back(record.playUs - lastKeyUs);
            }
            lastKey = i;
            lastKeyUs = record.playUs;
        }
        previous = record;
    }
    report->lastTime = previous.time;
    report->durationUs = previous.playUs;
    if (!keyRecords.empty()) {
        report->keyIntervalRecords = median(keyRecords);
        report->keyIntervalUs = median(keyUs);
    }
}

// Reads every indexed record's payload once: the sound is counted, and the video goes to the
// decoder until it gives its first picture.
void readPayloads(const RecordIndex& index, RecordingFile& file, RecordingReport* report) {
    FirstPicture picture(report->h264, report->declaredWidth, report->declaredHeight);
    AudioCount audio;
    std::vector<uint8_t> record(kRecordHeaderBytes + kMaxRecordPayloadBytes);
    for (size_t i = 0; i < index.size(); ++i) {
        if (!file.seekTo(index.at(i).offset) ||
            file.read(record.data(), kRecordHeaderBytes) != kRecordHeaderBytes) {
            break;
        }
        const RecordHeader header = parseRecordHeader(record.data());
        const size_t payload = size_t{header.videoBytes} + header.audioBytes;
        if (payload > kMaxRecordPayloadBytes || file.read(record.data(), payload) != payload) {
            break;
        }
        if (picture.wanted()) {
            picture.feed(record.data(), header.videoBytes);
        }
        audio.feed(record.data() + header.videoBytes, header.audioBytes);
    }
    picture.finish();
    if (picture.width() > 0) {
        report->pictureWidth = picture.width();
        report->pictureHeight = picture.height();
    }
    report->audioFrames = audio.frames();
    report->audioModes = audio.modes();
}

}  // namespace

RecordingReport inspectRecording(const std::string& path, bool full) {
    RecordingReport report;
    report.file = path;
    RecordingFile file;
    if (!file.open(path, &report.openError)) {
        report.kind = RecordingReport::Kind::CannotOpen;
        return report;
    }
    RecordIndex index;
    const RecordIndex::End end = index.build(path);
    if (end == RecordIndex::End::CannotOpen) {
        report.kind = RecordingReport::Kind::CannotOpen;
        report.openError = "it cannot be read";
        return report;
    }
    if (end == RecordIndex::End::NotARecording) {
        report.kind = RecordingReport::Kind::NotARecording;
        return report;
    }
    uint8_t header[kRecordingHeaderBytes] = {};
    const size_t got = file.read(header, sizeof header);
    report.codecTag = printableTag(header, std::min<size_t>(got, 4));
    report.h264 = index.h264();
    report.declaredWidth = readLe32(header + kHeaderWidthOffset);
    report.declaredHeight = readLe32(header + kHeaderHeightOffset);
    report.records = index.size();
    if (end == RecordIndex::End::BadRecord) {
        report.damaged = true;
        report.badOffset = index.badOffset();
        report.badReason = index.badReason();
        report.bytesFromBad = file.size() - std::min(file.size(), report.badOffset);
    }
    if (!full) {
        return report;
    }
    summarise(index, &report);
    readPayloads(index, file, &report);
    if (report.damaged) {
        report.resumesAt = nextValidRecord(path, report.badOffset + 1);
    }
    return report;
}

}  // namespace vidora
