// `krmtool info`: everything krmtool can tell about each recording, as "name: value" lines or
// as one JSON object per file.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "recording/time_text.h"
#include "tools/krmtool/commands.h"
#include "tools/krmtool/recording_report.h"

namespace vidora {

namespace {

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

template <typename T>
std::string jsonNumber(const std::optional<T>& value) {
    return value ? std::to_string(*value) : "null";
}

std::string seconds(int64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(us) / 1e6);
    return text;
}

std::string joined(const std::vector<std::string>& parts, const char* separator) {
    std::string out;
    for (const std::string& part : parts) {
        out += (out.empty() ? "" : separator) + part;
    }
    return out;
}

void printText(const RecordingReport& r) {
    std::printf("file: %s\n", r.file.c_str());
    std::printf("codec tag: %s\n", r.codecTag.c_str());
    std::printf("codec: %s\n", r.h264 ? "h264" : "h263");
    std::printf("declared size: %ux%u\n", r.declaredWidth, r.declaredHeight);
    if (r.pictureWidth) {
        std::printf("picture size: %dx%d\n", *r.pictureWidth, *r.pictureHeight);
    } else {
        std::printf("picture size: none decoded\n");
    }
    std::printf("records: %zu\n", r.records);
    if (r.records > 0) {
        std::printf("first record: %s\n", formatRecordTime(r.firstTime).c_str());
        std::printf("last record: %s\n", formatRecordTime(r.lastTime).c_str());
    }
    std::printf("duration: %s s (%s)\n", seconds(r.durationUs).c_str(),
                formatPlayTime(r.durationUs).c_str());
    std::printf("gaps over 1 s: %zu\n", r.gapCount);
    for (const TimestampGap& g : r.gaps) {
        std::printf("gap: record %zu, offset %" PRIu64 ", %s -> %s, %" PRId64 " ms\n", g.record,
                    g.offset, formatRecordTime(g.before).c_str(), formatRecordTime(g.after).c_str(),
                    g.ms);
    }
    if (r.gapCount > r.gaps.size()) {
        std::printf("gaps not listed: %zu\n", r.gapCount - r.gaps.size());
    }
    std::printf("key pictures: %zu\n", r.keyPictures);
    if (r.keyIntervalRecords) {
        std::printf("key-picture interval: %zu records, %s s\n", *r.keyIntervalRecords,
                    seconds(*r.keyIntervalUs).c_str());
    } else {
        std::printf("key-picture interval: none\n");
    }
    std::printf("audio frames: %" PRIu64 "\n", r.audioFrames);
    std::printf("audio modes: %s\n",
                r.audioModes.empty() ? "none" : joined(r.audioModes, ", ").c_str());
    if (!r.damaged) {
        std::printf("damage: none\n");
        return;
    }
    std::printf("damage: at offset %" PRIu64 " (%s)\n", r.badOffset, r.badReason.c_str());
    std::printf("bytes from there to the end: %" PRIu64 "\n", r.bytesFromBad);
    if (r.resumesAt) {
        std::printf("records resume at: offset %" PRIu64 "\n", *r.resumesAt);
    } else {
        std::printf("records resume at: none\n");
    }
}

void printJson(const RecordingReport& r) {
    std::string gaps;
    for (const TimestampGap& g : r.gaps) {
        gaps += std::string(gaps.empty() ? "" : ",") + "{\"record\":" + std::to_string(g.record) +
                ",\"offset\":" + std::to_string(g.offset) +
                ",\"before\":" + jsonString(formatRecordTime(g.before)) +
                ",\"after\":" + jsonString(formatRecordTime(g.after)) +
                ",\"ms\":" + std::to_string(g.ms) + "}";
    }
    std::vector<std::string> modes;
    for (const std::string& mode : r.audioModes) {
        modes.push_back(jsonString(mode));
    }
    const bool any = r.records > 0;
    std::string line = "{\"file\":" + jsonString(r.file);
    line += ",\"codec_tag\":" + jsonString(r.codecTag);
    line += ",\"codec\":" + jsonString(r.h264 ? "h264" : "h263");
    line += ",\"declared_width\":" + std::to_string(r.declaredWidth);
    line += ",\"declared_height\":" + std::to_string(r.declaredHeight);
    line += ",\"picture_width\":" + jsonNumber(r.pictureWidth);
    line += ",\"picture_height\":" + jsonNumber(r.pictureHeight);
    line += ",\"records\":" + std::to_string(r.records);
    line += ",\"first_time\":" + (any ? jsonString(formatRecordTime(r.firstTime)) : "null");
    line += ",\"last_time\":" + (any ? jsonString(formatRecordTime(r.lastTime)) : "null");
    line += ",\"duration_seconds\":" + seconds(r.durationUs);
    line += ",\"duration\":" + jsonString(formatPlayTime(r.durationUs));
    line += ",\"gap_count\":" + std::to_string(r.gapCount);
    line += ",\"gaps\":[" + gaps + "]";
    line += ",\"key_pictures\":" + std::to_string(r.keyPictures);
    line += ",\"key_interval_records\":" + jsonNumber(r.keyIntervalRecords);
    line += ",\"key_interval_seconds\":" +
            (r.keyIntervalUs ? seconds(*r.keyIntervalUs) : std::string("null"));
    line += ",\"audio_frames\":" + std::to_string(r.audioFrames);
    line += ",\"audio_modes\":[" + joined(modes, ",") + "]";
    line += std::string(",\"damaged\":") + (r.damaged ? "true" : "false");
    line += ",\"bad_offset\":" + (r.damaged ? std::to_string(r.badOffset) : "null");
    line += ",\"bad_reason\":" + (r.damaged ? jsonString(r.badReason) : "null");
    line += ",\"bytes_from_bad\":" + (r.damaged ? std::to_string(r.bytesFromBad) : "null");
    line += ",\"resumes_at\":" + jsonNumber(r.resumesAt);
    std::printf("%s}\n", line.c_str());
}

}  // namespace

int infoCommand(const std::vector<std::string>& args) {
    bool json = false;
    bool options = true;
    std::vector<std::string> files;
    for (const std::string& arg : args) {
        if (options && arg == "--json") {
            json = true;
        } else if (options && arg == "--") {
            options = false;
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            return complain(kExitUsage, "info: unknown option " + arg);
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty()) {
        return complain(kExitUsage, "info: no file given (krmtool info FILE... [--json])");
    }
    int result = kExitOk;
    bool first = true;
    for (const std::string& file : files) {
        const RecordingReport report = inspectRecording(file, true);
        std::string problem;
        if (report.kind == RecordingReport::Kind::CannotOpen) {
            problem = "cannot open " + file + ": " + report.openError;
        } else if (report.kind == RecordingReport::Kind::NotARecording) {
            problem = file + ": not a recording";
        }
        if (!problem.empty()) {
            // The other files are still told about; stdout keeps a line per file for --json.
            std::fflush(stdout);
            result = complain(kExitFileProblem, problem);
            if (json) {
                std::printf("{\"file\":%s,\"error\":%s}\n", jsonString(file).c_str(),
                            jsonString(problem).c_str());
            }
            continue;
        }
        if (json) {
            printJson(report);
        } else {
            std::printf(first ? "" : "\n");
            printText(report);
            first = false;
        }
    }
    return result;
}

}  // namespace vidora
