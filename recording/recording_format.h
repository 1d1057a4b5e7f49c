#pragma once
// The layout of a recording: a 1024-byte header naming the codec and the picture size, then
// records of a 32-byte header (sync word, kind word, date and time, a millisecond timestamp and
// the video and audio byte counts) followed by their video and audio bytes. Little-endian.

#include <cstdint>

#include "engine/engine_types.h"

namespace vidora {

constexpr uint32_t kRecordingHeaderBytes = 1024;
constexpr uint32_t kRecordHeaderBytes = 32;
constexpr uint32_t RECORD_SYNC = 0x12345678;
constexpr uint32_t RECORD_KIND = 0x12340008;
// One record's video and audio bytes together; the reader holds one record at a time.
constexpr uint32_t kMaxRecordPayloadBytes = 65536;
constexpr uint32_t kHeaderWidthOffset = 1016;
constexpr uint32_t kHeaderHeightOffset = 1020;

struct RecordHeader {
    uint32_t sync = 0;
    uint32_t kind = 0;
    RecordTime time;
    uint32_t timestamp = 0;
    uint32_t videoBytes = 0;
    uint32_t audioBytes = 0;
};

uint32_t readLe32(const uint8_t* bytes);
uint16_t readLe16(const uint8_t* bytes);

// A header is a recording's when its bytes up to the first zero byte contain "h26" (lower case).
bool acceptRecordingHeader(const uint8_t header[kRecordingHeaderBytes]);
// "h264" in any case selects H.264; any other tag H.263.
bool isH264Tag(const uint8_t tag[4]);

RecordHeader parseRecordHeader(const uint8_t bytes[kRecordHeaderBytes]);
int daysInMonth(uint16_t year, uint16_t month);
// Years 2012 to 2018, real calendar days, hours, minutes and seconds.
bool isValidRecordTime(const RecordTime& time);

}  // namespace vidora
