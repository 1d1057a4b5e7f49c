#pragma once
// The camera splits what it records onto a drive into consecutive files of one folder, named so
// that name order is recording order. These find a file's neighbours and when a file begins, so
// that playback and cutting can run from one file into the next.

#include <cstdint>
#include <optional>
#include <string>

#include "engine/engine_types.h"

namespace vidora {

// The .krm (any case of the extension) file of the same folder just after (+1) or before (-1)
// `path` in name order (byte order of the file names); nothing when there is none. Only regular
// files (or links to them) count; `path` itself need not exist any more.
std::optional<std::string> neighbourRecording(const std::string& path, int direction);

// The date and time of the first record of `path`, when its header is a recording's and that
// record is valid by the reader's rules (sync and kind words, a valid date, a payload that fits
// the reader's buffer and the file); nothing otherwise.
std::optional<RecordTime> firstRecordTime(const std::string& path);

// Seconds from a to b on the calendar (b - a), for real dates.
int64_t secondsBetween(const RecordTime& a, const RecordTime& b);

}  // namespace vidora
