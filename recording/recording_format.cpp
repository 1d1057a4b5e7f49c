#include "recording/recording_format.h"

namespace vidora {

uint32_t readLe32(const uint8_t* b) {
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

uint16_t readLe16(const uint8_t* b) {
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

bool acceptRecordingHeader(const uint8_t header[kRecordingHeaderBytes]) {
    uint32_t end = 0;
    while (end < kRecordingHeaderBytes && header[end] != 0) {
        ++end;
    }
    for (uint32_t i = 0; i + 3 <= end; ++i) {
        if (header[i] == 'h' && header[i + 1] == '2' && header[i + 2] == '6') {
            return true;
        }
    }
    return false;
}

bool isH264Tag(const uint8_t tag[4]) {
    auto lower = [](uint8_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    return lower(tag[0]) == 'h' && tag[1] == '2' && tag[2] == '6' && tag[3] == '4';
}

RecordHeader parseRecordHeader(const uint8_t bytes[kRecordHeaderBytes]) {
    RecordHeader h;
    h.sync = readLe32(bytes);
    h.kind = readLe32(bytes + 4);
    h.time.year = readLe16(bytes + 8);
    h.time.month = readLe16(bytes + 10);
    h.time.day = readLe16(bytes + 12);
    h.time.hour = readLe16(bytes + 14);
    h.time.minute = readLe16(bytes + 16);
    h.time.second = readLe16(bytes + 18);
    h.timestamp = readLe32(bytes + 20);
    h.videoBytes = readLe32(bytes + 24);
    h.audioBytes = readLe32(bytes + 28);
    return h;
}

int daysInMonth(uint16_t year, uint16_t month) {
    switch (month) {
        case 4:
        case 6:
        case 9:
        case 11:
            return 30;
        case 2:
            return (year % 400 == 0 || (year % 4 == 0 && year % 100 != 0)) ? 29 : 28;
        default:
            return 31;
    }
}

bool isValidRecordTime(const RecordTime& t) {
    return t.year >= 2012 && t.year <= 2018 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
           t.day <= daysInMonth(t.year, t.month) && t.hour <= 23 && t.minute <= 59 &&
           t.second <= 59;
}

}  // namespace vidora
