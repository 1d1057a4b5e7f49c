#pragma once
// What krmtool tells about one recording: gathered once, then printed as text or JSON by `info`
// and summed up in one line by `check`.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine_types.h"

namespace vidora {

// A jump between two records' timestamps that the player plays as one second.
struct TimestampGap {
    size_t record = 0;    // the record after the gap
    uint64_t offset = 0;  // its file offset
    RecordTime before;    // the camera's time of the record before it
    RecordTime after;     // and of the record itself
    int64_t ms = 0;       // the timestamps' difference (negative when they go backwards)
};

struct RecordingReport {
    enum class Kind { Recording, CannotOpen, NotARecording };
    static constexpr size_t kGapsListed = 20;

    std::string file;
    Kind kind = Kind::Recording;
    std::string openError;  // CannotOpen: why, in words

    std::string codecTag;  // the header's first bytes up to a zero, unprintable ones as \xNN
    bool h264 = false;
    uint32_t declaredWidth = 0;
    uint32_t declaredHeight = 0;
    // The size of the first picture the decoder gives; nothing when none decodes.
    std::optional<int> pictureWidth;
    std::optional<int> pictureHeight;

    size_t records = 0;
    RecordTime firstTime;
    RecordTime lastTime;
    int64_t durationUs = 0;  // the last record's play time

    std::vector<TimestampGap> gaps;  // the first kGapsListed
    size_t gapCount = 0;

    size_t keyPictures = 0;
    // Median distance between consecutive key pictures; nothing below two key pictures.
    std::optional<size_t> keyIntervalRecords;
    std::optional<int64_t> keyIntervalUs;

    uint64_t audioFrames = 0;
    std::vector<std::string> audioModes;  // in frame-type order, e.g. "12.2 kbit/s"

    bool damaged = false;
    uint64_t badOffset = 0;
    std::string badReason;
    uint64_t bytesFromBad = 0;  // from the bad record to the end of the file
    std::optional<uint64_t> resumesAt;
};

// Reads `path`. With `full` false only what `check` needs: the kind, the records and the damage.
RecordingReport inspectRecording(const std::string& path, bool full);

}  // namespace vidora
