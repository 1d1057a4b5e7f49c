#pragma once
// Finding where valid records begin again after damage: a camera that lost power or a copy that
// dropped a block leaves bytes that are no record, after which whole records often follow.

#include <cstdint>
#include <optional>
#include <string>

#include "recording/recording_format.h"

namespace vidora {

// Whether a record header alone passes the checks the reader makes: sync and kind words, a date
// and time the camera could have written, and a payload of at most 64 KiB.
bool isPlausibleRecordHeader(const RecordHeader& header);

// The file offset of the first record at or after `from` (never inside the recording header)
// whose header is plausible, whose payload fits in the file, and after which either the file
// ends or a second such record follows, so that a stray sync word inside a payload is not taken
// for a record. Nothing when there is none, or the file cannot be read. Reads in large blocks
// through one buffer: memory stays bounded whatever the file's size.
std::optional<uint64_t> nextValidRecord(const std::string& path, uint64_t from);

}  // namespace vidora
