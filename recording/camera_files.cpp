#include "recording/camera_files.h"

#include <chrono>
#include <filesystem>
#include <system_error>

#include "platform/file.h"
#include "recording/recording_file.h"
#include "recording/recording_format.h"

namespace vidora {

namespace {

namespace fs = std::filesystem;

bool hasRecordingExtension(const fs::path& name) {
    const std::string ext = utf8FromPath(name.extension());
    if (ext.size() != 4 || ext[0] != '.') {
        return false;
    }
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(ext[1]) == 'k' && lower(ext[2]) == 'r' && lower(ext[3]) == 'm';
}

int64_t daysSinceEpoch(const RecordTime& t) {
    using namespace std::chrono;
    return sys_days{year{t.year} / month{t.month} / day{t.day}}.time_since_epoch().count();
}

}  // namespace

std::optional<std::string> neighbourRecording(const std::string& path, int direction) {
    if (direction == 0) {
        return std::nullopt;
    }
    const fs::path current = pathFromUtf8(path);
    const std::string currentName = utf8FromPath(current.filename());
    const fs::path folder = current.parent_path();
    std::error_code error;
    fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, error);
    std::optional<std::string> best;
    // std::string compares its characters as unsigned bytes: the file names' byte order.
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        std::string name = utf8FromPath(it->path().filename());
        const bool onTheSide = direction > 0 ? name > currentName : name < currentName;
        if (!onTheSide || !hasRecordingExtension(pathFromUtf8(name))) {
            continue;
        }
        const bool closer = !best || (direction > 0 ? name < *best : name > *best);
        std::error_code statError;
        if (closer && it->is_regular_file(statError)) {
            best = std::move(name);
        }
    }
    if (!best) {
        return std::nullopt;
    }
    return utf8FromPath(folder / pathFromUtf8(*best));
}

std::optional<RecordTime> firstRecordTime(const std::string& path) {
    RecordingFile file;
    if (!file.open(path)) {
        return std::nullopt;
    }
    uint8_t header[kRecordingHeaderBytes];
    uint8_t recordBytes[kRecordHeaderBytes];
    if (file.read(header, sizeof header) < sizeof header || !acceptRecordingHeader(header) ||
        file.read(recordBytes, sizeof recordBytes) < sizeof recordBytes) {
        return std::nullopt;
    }
    const RecordHeader record = parseRecordHeader(recordBytes);
    const uint64_t payloadBytes = uint64_t{record.videoBytes} + record.audioBytes;
    if (record.sync != RECORD_SYNC || record.kind != RECORD_KIND ||
        !isValidRecordTime(record.time) || payloadBytes > kMaxRecordPayloadBytes ||
        file.size() < kRecordingHeaderBytes + kRecordHeaderBytes + payloadBytes) {
        return std::nullopt;
    }
    return record.time;
}

int64_t secondsBetween(const RecordTime& a, const RecordTime& b) {
    auto secondOfDay = [](const RecordTime& t) {
        return int64_t{t.hour} * 3600 + int64_t{t.minute} * 60 + t.second;
    };
    return (daysSinceEpoch(b) - daysSinceEpoch(a)) * 86400 + secondOfDay(b) - secondOfDay(a);
}

}  // namespace vidora
