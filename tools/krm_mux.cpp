// krm-mux: packs an H.264 or H.263 elementary stream and AMR-NB storage frames into a .krm
// recording, optionally damaged in one of the ways the player must survive.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "tools/krm_writer.h"

namespace {

using vidora::ByteVector;

constexpr std::string_view kAmrFileMagic = "#!AMR\n";

constexpr char kUsage[] =
    "usage: krm-mux (--h264 FILE | --h263 FILE) [--amr FILE] --out FILE\n"
    "  [--tag TAG] [--size WxH] [--start \"YYYY-MM-DD HH:MM:SS\"] [--fps N]\n"
    "  [--records-per-second N] [--timestamp-start MS] [--timestamp-step MS]\n"
    "faults (record numbers count from 0):\n"
    "  [--truncate BYTES] [--bad-sync N] [--bad-kind N] [--bad-date N] [--oversize N]\n"
    "  [--bad-length N] [--short-payload] [--raw-tag STRING (\\xNN and \\\\ escapes)]\n";

bool fail(const std::string& message) {
    std::fprintf(stderr, "krm-mux: %s\n", message.c_str());
    return false;
}

bool readFile(const std::string& path, ByteVector* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return fail("cannot open " + path);
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

template <typename T>
bool parseNumber(std::string_view text, T* value) {
    const char* end = text.data() + text.size();
    auto [last, code] = std::from_chars(text.data(), end, *value);
    return code == std::errc() && last == end;
}

bool parseSize(std::string_view text, int* width, int* height) {
    const size_t x = text.find('x');
    return x != std::string_view::npos && parseNumber(text.substr(0, x), width) &&
           parseNumber(text.substr(x + 1), height) && *width >= 0 && *height >= 0;
}

// Lets a test put any byte, a zero included, into the header's first bytes.
bool unescapeTag(std::string_view text, ByteVector* bytes) {
    bytes->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes->push_back(static_cast<uint8_t>(text[i]));
        } else if (i + 1 < text.size() && text[i + 1] == '\\') {
            bytes->push_back('\\');
            ++i;
        } else if (i + 3 < text.size() && text[i + 1] == 'x') {
            uint8_t value = 0;
            auto [last, code] =
                std::from_chars(text.data() + i + 2, text.data() + i + 4, value, 16);
            if (code != std::errc() || last != text.data() + i + 4) {
                return false;
            }
            bytes->push_back(value);
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

bool startsWith(const ByteVector& bytes, std::initializer_list<uint8_t> prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

// The faults that name a record, by their flag.
std::optional<size_t>* recordFault(std::string_view flag, vidora::KrmFaults* faults) {
    if (flag == "--bad-sync") {
        return &faults->badSyncRecord;
    }
    if (flag == "--bad-kind") {
        return &faults->badKindRecord;
    }
    if (flag == "--bad-date") {
        return &faults->badDateRecord;
    }
    if (flag == "--oversize") {
        return &faults->oversizeRecord;
    }
    if (flag == "--bad-length") {
        return &faults->badLengthRecord;
    }
    return nullptr;
}

struct Arguments {
    std::string videoPath;
    std::string audioPath;
    std::string outPath;
    int recordsPerSecond = 0;  // 0: one record per frame
    bool timestampStepGiven = false;
    vidora::KrmOptions options;
};

bool parseArguments(int argc, char** argv, Arguments* args) {
    vidora::KrmOptions& options = args->options;
    vidora::KrmFaults& faults = options.faults;
    bool videoGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        if (flag == "--short-payload") {
            faults.shortPayload = true;
            continue;
        }
        if (i + 1 >= argc) {
            return fail(std::string(flag) + " needs a value, or is unknown\n" + kUsage);
        }
        const std::string value = argv[++i];
        bool ok = true;
        if (flag == "--h264" || flag == "--h263") {
            ok = !videoGiven;
            videoGiven = true;
            args->videoPath = value;
            options.codec =
                flag == "--h264" ? vidora::KrmVideoCodec::kH264 : vidora::KrmVideoCodec::kH263;
        } else if (flag == "--amr") {
            args->audioPath = value;
        } else if (flag == "--out") {
            args->outPath = value;
        } else if (flag == "--tag") {
            options.tag = value;
            ok = value.size() == 4;
        } else if (flag == "--size") {
            ok = parseSize(value, &options.width, &options.height);
        } else if (flag == "--start") {
            const auto start = vidora::parseDateTime(value);
            ok = start.has_value();
            if (ok) {
                options.start = *start;
            }
        } else if (flag == "--fps") {
            ok = parseNumber(value, &options.fps) && options.fps > 0;
        } else if (flag == "--records-per-second") {
            ok = parseNumber(value, &args->recordsPerSecond) && args->recordsPerSecond > 0;
        } else if (flag == "--timestamp-start") {
            ok = parseNumber(value, &options.timestampStart);
        } else if (flag == "--timestamp-step") {
            ok = parseNumber(value, &options.timestampStep);
            args->timestampStepGiven = true;
        } else if (flag == "--truncate") {
            size_t bytes = 0;
            ok = parseNumber(value, &bytes);
            faults.truncateBytes = bytes;
        } else if (flag == "--raw-tag") {
            ByteVector tag;
            ok = unescapeTag(value, &tag);
            faults.rawTag = tag;
        } else if (std::optional<size_t>* fault = recordFault(flag, &faults)) {
            size_t record = 0;
            ok = parseNumber(value, &record);
            *fault = record;
        } else {
            ok = false;
        }
        if (!ok) {
            return fail("bad or unknown option: " + std::string(flag) + " " + value + "\n" +
                        kUsage);
        }
    }
    if (!videoGiven || args->outPath.empty()) {
        return fail(std::string("one video stream and --out are needed\n") + kUsage);
    }
    options.recordsPerSecond = args->recordsPerSecond > 0 ? args->recordsPerSecond : options.fps;
    if (!args->timestampStepGiven) {
        options.timestampStep = static_cast<uint32_t>(1000 / options.recordsPerSecond);
    }
    return true;
}

bool run(int argc, char** argv) {
    Arguments args;
    if (!parseArguments(argc, argv, &args)) {
        return false;
    }
    ByteVector video;
    ByteVector audio;
    if (!readFile(args.videoPath, &video) ||
        (!args.audioPath.empty() && !readFile(args.audioPath, &audio))) {
        return false;
    }
    if (audio.size() >= kAmrFileMagic.size() &&
        std::memcmp(audio.data(), kAmrFileMagic.data(), kAmrFileMagic.size()) == 0) {
        audio.erase(audio.begin(), audio.begin() + kAmrFileMagic.size());
    }

    std::vector<ByteVector> units;
    if (args.options.codec == vidora::KrmVideoCodec::kH264) {
        if (!startsWith(video, {0, 0, 1}) && !startsWith(video, {0, 0, 0, 1})) {
            return fail(args.videoPath + " is not an Annex B H.264 stream (no start code)");
        }
        units = vidora::splitH264AccessUnits(video);
    } else {
        if (video.size() < 3 || video[0] != 0 || video[1] != 0 || (video[2] & 0xFC) != 0x80) {
            return fail(args.videoPath + " is not an H.263 stream (no picture start code)");
        }
        units = vidora::splitH263Pictures(video);
    }

    vidora::KrmFile file;
    std::string error;
    if (!vidora::buildKrmFile(units, audio, args.options, &file, &error)) {
        return fail(error);
    }
    std::ofstream out(args.outPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.bytes.data()),
              static_cast<std::streamsize>(file.bytes.size()));
    out.close();
    if (!out) {
        return fail("cannot write " + args.outPath);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    return run(argc, argv) ? 0 : 1;
}
