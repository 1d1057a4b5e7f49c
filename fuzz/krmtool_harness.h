#pragma once
// krmtool's info report, `export --salvage` and `thumbnail` on arbitrary bytes. An input is one
// control byte and then the file, or what follows its 1024-byte header:
//
//   byte 0   bits 0-1: the header: 0 none (the bytes are the whole file), 1 H.264 320x240,
//            2 H.263 352x288, 3 H.264 1280x720
//            bits 2-3: the cut: 0 none, 1 --from 0:01, 2 --to 0:02, 3 both
//            bits 4-7: the thumbnail's size, 1 + 20 times their value
//
// The report must agree with itself and with the export (a file it calls no recording does not
// export). An export either writes its MP4 and nothing else, which libavformat then reads to the
// end without error, or leaves the folder empty. So does a thumbnail, with a PNG that FFmpeg
// decodes to an RGB picture whose longer side is the size asked for.

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "fuzz/memory_file.h"
#include "fuzz/run_support.h"
#include "recording/recording_format.h"
#include "tools/krmtool/commands.h"
#include "tools/krmtool/export.h"
#include "tools/krmtool/recording_report.h"

namespace vidora::fuzz {

constexpr size_t kKrmtoolControlBytes = 1;
// A few records of the largest size: enough for damage, resynchronisation and cuts, while one
// input stays well under a second.
constexpr size_t kKrmtoolMaxFileBytes = 4 * (kRecordHeaderBytes + kMaxRecordPayloadBytes);

inline std::vector<uint8_t> krmtoolHeader(uint8_t control) {
    struct Choice {
        const char* tag;
        uint32_t width;
        uint32_t height;
    };
    static constexpr Choice kChoices[] = {
        {"h264", 320, 240}, {"h263", 352, 288}, {"h264", 1280, 720}};
    const int which = control & 3;
    if (which == 0) {
        return {};
    }
    const Choice& c = kChoices[which - 1];
    std::vector<uint8_t> header(kRecordingHeaderBytes, 0);
    std::copy(c.tag, c.tag + 4, header.begin());
    for (int i = 0; i < 4; ++i) {
        header[kHeaderWidthOffset + i] = static_cast<uint8_t>(c.width >> (8 * i));
        header[kHeaderHeightOffset + i] = static_cast<uint8_t>(c.height >> (8 * i));
    }
    return header;
}

// A folder of the process's own for the MP4s, emptied before each input.
class ScratchFolder {
  public:
    ScratchFolder() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/fuzz-krmtool.XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~ScratchFolder() {
        if (!path_.empty()) {
            empty();
            ::rmdir(path_.c_str());
        }
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& path() const { return path_; }
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        if (DIR* dir = ::opendir(path_.c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") {
                    found.push_back(name);
                }
            }
            ::closedir(dir);
        }
        return found;
    }
    void empty() {
        for (const std::string& name : names()) {
            ::unlink((path_ + "/" + name).c_str());
        }
    }

  private:
    std::string path_;
};

// Reads an MP4 to its end; returns what went wrong, empty when nothing did.
inline std::string readBackMp4(const std::string& path, size_t* videoPackets) {
    AVFormatContext* format = nullptr;
    int code = avformat_open_input(&format, path.c_str(), nullptr, nullptr);
    if (code < 0) {
        return "the MP4 does not open: " + std::to_string(code);
    }
    std::string problem;
    code = avformat_find_stream_info(format, nullptr);
    if (code < 0) {
        problem = "no stream info in the MP4: " + std::to_string(code);
    }
    AVPacket* packet = av_packet_alloc();
    while (problem.empty() && packet != nullptr) {
        code = av_read_frame(format, packet);
        if (code == AVERROR_EOF) {
            break;
        }
        if (code < 0) {
            problem = "reading the MP4 failed: " + std::to_string(code);
            break;
        }
        const AVStream* stream = format->streams[packet->stream_index];
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            ++*videoPackets;
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    return problem;
}

// Decodes a PNG file; returns what went wrong, empty when it holds a `size`-pixel picture.
inline std::string readBackPng(const std::string& path, int size) {
    std::vector<uint8_t> bytes;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        uint8_t chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) {
            bytes.insert(bytes.end(), chunk, chunk + n);
        }
        std::fclose(f);
    }
    bytes.resize(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    AVCodecContext* context = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::string problem = "the PNG does not decode";
    if (context != nullptr && packet != nullptr && frame != nullptr &&
        avcodec_open2(context, codec, nullptr) == 0) {
        packet->data = bytes.data();
        packet->size = static_cast<int>(bytes.size() - AV_INPUT_BUFFER_PADDING_SIZE);
        if (avcodec_send_packet(context, packet) == 0 &&
            avcodec_receive_frame(context, frame) == 0) {
            if (frame->format != AV_PIX_FMT_RGB24) {
                problem = "the PNG is not RGB";
            } else if (std::max(frame->width, frame->height) != size ||
                       std::min(frame->width, frame->height) < 1) {
                problem = "the PNG has a wrong size: " + std::to_string(frame->width) + "x" +
                          std::to_string(frame->height);
            } else {
                problem.clear();
            }
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return problem;
}

inline void checkReport(const RecordingReport& r, uint64_t fileSize, Findings& findings) {
    if (r.kind != RecordingReport::Kind::Recording) {
        findings.check(r.records == 0 && !r.damaged, "a refused file is reported with records");
        return;
    }
    findings.check(r.gaps.size() <= RecordingReport::kGapsListed && r.gaps.size() <= r.gapCount,
                   "more gaps listed than counted or allowed");
    findings.check(r.keyPictures <= r.records, "more key pictures than records");
    findings.check(r.durationUs >= 0, "a negative duration");
    findings.check(!r.keyIntervalRecords || r.keyPictures >= 2,
                   "a key picture interval from fewer than two key pictures");
    findings.check(
        r.records == 0 || r.records * kRecordHeaderBytes + kRecordingHeaderBytes <= fileSize,
        "more records than the file holds");
    for (const TimestampGap& gap : r.gaps) {
        findings.check(gap.record > 0 && gap.record < r.records && gap.offset < fileSize,
                       "a gap outside the records");
    }
    if (r.damaged) {
        // A header cut short is damage at offset 0.
        const bool shortHeader = fileSize < kRecordingHeaderBytes && r.badOffset == 0;
        findings.check(
            shortHeader || (r.badOffset >= kRecordingHeaderBytes && r.badOffset < fileSize),
            "the damage lies outside the file's records");
        findings.check(r.bytesFromBad == fileSize - r.badOffset,
                       "the damaged bytes do not run to the end of the file");
        findings.check(!r.resumesAt || (*r.resumesAt > r.badOffset && *r.resumesAt < fileSize),
                       "resynchronised outside the damaged stretch");
    } else {
        findings.check(!r.resumesAt, "a place to resume in an undamaged file");
    }
}

// Runs one input; returns the failed checks, empty when none failed.
inline std::string runKrmtoolCase(ScratchFolder& folder, MemoryFile& file, const uint8_t* data,
                                  size_t size) {
    Findings findings;
    const uint8_t control = size >= kKrmtoolControlBytes ? data[0] : 0;
    const uint8_t* body = data + std::min(size, kKrmtoolControlBytes);
    const size_t bodySize =
        std::min(size - std::min(size, kKrmtoolControlBytes), kKrmtoolMaxFileBytes);
    const std::vector<uint8_t> header = krmtoolHeader(control);
    if (folder.path().empty() || !file.write(header.data(), header.size(), body, bodySize)) {
        return std::string();  // nothing to test without a file and a folder
    }
    folder.empty();
    const uint64_t fileSize = header.size() + bodySize;

    const RecordingReport report = inspectRecording(file.path(), true);
    findings.check(report.kind != RecordingReport::Kind::CannotOpen,
                   "the report cannot open the file: " + report.openError);
    checkReport(report, fileSize, findings);

    // The thumbnail first, alone in the folder.
    const int thumbnailSize = 1 + 20 * (control >> 4);
    const std::string png = folder.path() + "/out.png";
    const int thumbnailCode =
        thumbnailCommand({file.path(), png, "-s", std::to_string(thumbnailSize)});
    const std::vector<std::string> thumbnails = folder.names();
    if (thumbnailCode != 0) {
        findings.check(thumbnailCode == 1,
                       "thumbnail ended with code " + std::to_string(thumbnailCode));
        findings.check(thumbnails.empty(), "a failed thumbnail left " +
                                               std::to_string(thumbnails.size()) + " files behind");
    } else {
        findings.check(report.kind == RecordingReport::Kind::Recording && report.records > 0,
                       "a thumbnail of a file the report finds no record in");
        findings.check(thumbnails.size() == 1 && thumbnails[0] == "out.png",
                       "the thumbnail left other files than its PNG");
        const std::string problem = readBackPng(png, thumbnailSize);
        findings.check(problem.empty(), problem);
    }
    folder.empty();

    const std::string out = folder.path() + "/out.mp4";
    std::vector<std::string> args = {file.path(), out, "--salvage"};
    if ((control & 4) != 0) {
        args.insert(args.end(), {"--from", "0:01"});
    }
    if ((control & 8) != 0) {
        args.insert(args.end(), {"--to", "0:02"});
    }
    const int code = exportCommand(args);
    const std::vector<std::string> left = folder.names();
    if (code != 0) {
        findings.check(code == 1, "export ended with code " + std::to_string(code));
        findings.check(left.empty(),
                       "a failed export left " + std::to_string(left.size()) + " files behind");
        return findings.text();
    }
    findings.check(report.kind == RecordingReport::Kind::Recording,
                   "a file the report refuses was exported");
    findings.check(left.size() == 1 && left[0] == "out.mp4",
                   "the export left other files than its MP4");
    size_t videoPackets = 0;
    const std::string problem = readBackMp4(out, &videoPackets);
    findings.check(problem.empty(), problem);
    findings.check(videoPackets > 0, "the MP4 holds no picture");
    return findings.text();
}

}  // namespace vidora::fuzz
