#include "bench/bench_recording.h"

#include <cstdio>
#include <memory>

#include "audio/amr_frame_decoder.h"
#include "recording/recording_format.h"

namespace vidora::bench {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.find_last_of('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

}  // namespace

double BenchRecording::recordGapSeconds() const {
    if (timestamps.size() < 2) {
        return 0.04;
    }
    return (timestamps.back() - timestamps.front()) / 1000.0 / (timestamps.size() - 1);
}

double BenchRecording::mediaSeconds() const {
    if (timestamps.empty()) {
        return 0.0;
    }
    return (timestamps.back() - timestamps.front()) / 1000.0 + recordGapSeconds();
}

bool loadRecording(const std::string& path, BenchRecording* recording, std::string* error) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        *error = "cannot open " + path;
        return false;
    }
    uint8_t header[kRecordingHeaderBytes];
    if (std::fread(header, 1, sizeof header, file.get()) != sizeof header ||
        !acceptRecordingHeader(header)) {
        *error = path + " has no recording header";
        return false;
    }
    *recording = BenchRecording{};
    recording->path = path;
    recording->name = baseName(path);
    recording->h263 = !isH264Tag(header);
    recording->width = static_cast<int>(readLe32(header + kHeaderWidthOffset));
    recording->height = static_cast<int>(readLe32(header + kHeaderHeightOffset));
    uint8_t bytes[kRecordHeaderBytes];
    while (std::fread(bytes, 1, sizeof bytes, file.get()) == sizeof bytes) {
        RecordHeader record = parseRecordHeader(bytes);
        if (record.sync != RECORD_SYNC || record.kind != RECORD_KIND ||
            uint64_t{record.videoBytes} + record.audioBytes > kMaxRecordPayloadBytes) {
            *error = path + ": bad record " + std::to_string(recording->timestamps.size());
            return false;
        }
        Bytes video(record.videoBytes);
        Bytes audio(record.audioBytes);
        if (std::fread(video.data(), 1, video.size(), file.get()) != video.size() ||
            std::fread(audio.data(), 1, audio.size(), file.get()) != audio.size()) {
            *error = path + ": short record " + std::to_string(recording->timestamps.size());
            return false;
        }
        recording->video.push_back(std::move(video));
        recording->audio.push_back(std::move(audio));
        recording->timestamps.push_back(record.timestamp);
    }
    if (recording->timestamps.empty()) {
        *error = path + " holds no record";
        return false;
    }
    return true;
}

bool videoPackets(const BenchRecording& recording, std::vector<Bytes>* packets) {
    packets->clear();
    if (recording.h263) {
        Bytes stream;
        for (const Bytes& v : recording.video) {
            stream.insert(stream.end(), v.begin(), v.end());
        }
        packets->push_back(std::move(stream));
        return true;
    }
    for (const Bytes& v : recording.video) {
        size_t at = 0;
        while (at + 4 <= v.size()) {
            uint32_t length = readLe32(v.data() + at);
            at += 4;
            if (length > v.size() - at) {
                return false;
            }
            packets->emplace_back(v.begin() + static_cast<ptrdiff_t>(at),
                                  v.begin() + static_cast<ptrdiff_t>(at + length));
            at += length;
        }
    }
    return true;
}

std::vector<Bytes> audioFrames(const BenchRecording& recording) {
    Bytes stream;
    for (const Bytes& a : recording.audio) {
        stream.insert(stream.end(), a.begin(), a.end());
    }
    std::vector<Bytes> frames;
    size_t at = 0;
    while (at < stream.size()) {
        int32_t size = amrStorageFrameBytes(stream[at]);
        if (size <= 0 || static_cast<size_t>(size) > stream.size() - at) {
            break;
        }
        frames.emplace_back(stream.begin() + static_cast<ptrdiff_t>(at),
                            stream.begin() + static_cast<ptrdiff_t>(at) + size);
        at += static_cast<size_t>(size);
    }
    return frames;
}

}  // namespace vidora::bench
