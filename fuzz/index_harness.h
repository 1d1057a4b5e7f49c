#pragma once
// The record index on arbitrary bytes: four control bytes (one more play time and clock time to
// look up), then the file, laid out as the reader's inputs so that the two share their seeds.
// The index is compared with a reading of the whole file done here, independently of the index's
// parser: how and where reading ends, every record's offset, timestamp, date and time, key flag
// and play time, and the lookups around a sample of the records, answered by walking them all.

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/memory_file.h"
#include "fuzz/reader_harness.h"
#include "fuzz/run_support.h"
#include "recording/record_index.h"

namespace vidora::fuzz {

constexpr size_t kIndexControlBytes = 4;
constexpr size_t kIndexMaxFileBytes = 512 * 1024;
constexpr size_t kNone = RecordIndex::npos;

// H.264: a bare Annex B stream or else the first length-prefixed packet, cut at the record's end;
// the first slice decides, and bytes that end after an SPS without a slice count as key.
inline bool expectKeyH264(const uint8_t* v, size_t n) {
    auto startCode = [](const uint8_t* s, size_t k) {
        return (k >= 3 && s[0] == 0 && s[1] == 0 && s[2] == 1) ||
               (k >= 4 && s[0] == 0 && s[1] == 0 && s[2] == 0 && s[3] == 1);
    };
    if (!startCode(v, n)) {
        n = n < 4 ? 0 : std::min<size_t>(le32(v), n - 4);
        v += 4;
        if (!startCode(v, n)) {
            return false;
        }
    }
    bool sps = false;
    for (size_t i = 0; i + 3 < n; ++i) {
        if (v[i] == 0 && v[i + 1] == 0 && v[i + 2] == 1) {
            const int type = v[i + 3] & 0x1F;
            if (type >= 1 && type <= 5) {
                return type == 5;
            }
            sps = sps || type == 7;
            i += 3;  // the search goes on after the type byte
        }
    }
    return sps;
}

// H.263: a picture start code, then INTRA in the plain PTYPE, or picture type 000 in PLUSPTYPE
// (after the 18-bit OPPTYPE when UFEP is 001).
inline bool expectKeyH263(const uint8_t* v, size_t n) {
    uint64_t word = 0;  // the first 8 bytes, most significant first
    for (size_t i = 0; i < 8; ++i) {
        word = word << 8 | (i < n ? v[i] : 0);
    }
    auto bits = [&](size_t first, size_t count) -> int {  // -1 past the bytes
        return first + count > 8 * n ? -1 : static_cast<int>(word << first >> (64 - count));
    };
    const int format = bits(35, 3);
    if (bits(0, 22) != 0x20 || bits(30, 2) != 0b10) {
        return false;
    }
    if (format >= 1 && format <= 5) {
        return bits(38, 1) == 0;
    }
    const int ufep = format == 7 ? bits(38, 3) : -1;
    return (ufep == 0 || ufep == 1) && bits(ufep == 1 ? 59 : 41, 3) == 0;
}

// Seconds since 2012-01-01 00:00:00 of a valid time; in 2012 to 2018 every fourth year leaps.
constexpr int64_t kIndexClockDays = 2557;
inline int64_t clockOf(const RecordTime& t) {
    int64_t days = t.day - 1;
    for (int y = 2012; y < t.year; ++y) {
        days += y % 4 == 0 ? 366 : 365;
    }
    for (int m = 1; m < t.month; ++m) {
        days += m == 2 ? 28 + (t.year % 4 == 0) : 30 + (m + m / 8) % 2;
    }
    return days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

struct ExpectedRecord {
    uint64_t offset;
    uint32_t timestamp;
    RecordTime time;
    bool key;
    int64_t playUs;
    int64_t clock;
};

// Reads the records after a recording header into `x`; returns how reading ends, with where in
// *stop (the bad record, or the end of the file).
inline RecordIndex::End readRecords(const uint8_t* file, size_t size, bool h264,
                                    std::vector<ExpectedRecord>& x, uint64_t* stop) {
    for (*stop = 1024; *stop < size;
         *stop += 32 + uint64_t{le32(file + *stop + 24)} + le32(file + *stop + 28)) {
        const uint8_t* r = file + *stop;
        if (size - *stop < 32) {
            return RecordIndex::End::BadRecord;
        }
        const RecordTime t{le16(r + 8),  le16(r + 10), le16(r + 12),
                           le16(r + 14), le16(r + 16), le16(r + 18)};
        const uint64_t video = le32(r + 24);
        const uint64_t payload = video + le32(r + 28);
        if (le32(r) != 0x12345678 || le32(r + 4) != 0x12340008 || !calendarValid(t) ||
            payload > 65536 || size - *stop - 32 < payload) {
            return RecordIndex::End::BadRecord;
        }
        const uint32_t stamp = le32(r + 20);
        // Gaps over a second, or backwards, count as a second.
        const int64_t gapUs =
            x.empty() ? 0 : std::min<uint32_t>(stamp - x.back().timestamp, 1000) * 1000;
        x.push_back(ExpectedRecord{
            *stop, stamp, t, h264 ? expectKeyH264(r + 32, video) : expectKeyH263(r + 32, video),
            (x.empty() ? 0 : x.back().playUs) + gapUs, clockOf(t)});
    }
    return RecordIndex::End::Complete;
}

// The first record at `clock`, failing that the first just after a gap over it.
inline size_t walkClock(const std::vector<ExpectedRecord>& x, int64_t clock) {
    const auto at = std::find_if(x.begin(), x.end(), [&](auto& r) { return r.clock == clock; });
    const auto gap = std::adjacent_find(
        x.begin(), x.end(), [&](auto& a, auto& b) { return a.clock < clock && b.clock > clock; });
    return at != x.end() ? at - x.begin() : gap != x.end() ? gap - x.begin() + 1 : kNone;
}

// Compares an index built from `file` with the reading of it done here; `probe` is one more
// value to look up. Returns the failed checks, empty when none failed.
inline std::string compareIndex(const RecordIndex& index, RecordIndex::End end, const uint8_t* file,
                                size_t size, uint32_t probe) {
    Findings f;
    // The header: "h26" before its first zero byte, H.264 when it begins with "h264" (any case h).
    uint8_t h[1024] = {};
    std::copy(file, file + std::min<size_t>(size, sizeof h), h);
    uint8_t* tagEnd = std::find(h, h + sizeof h, 0);
    const std::string_view tag = "h26";
    if (std::search(h, tagEnd, tag.begin(), tag.end()) == tagEnd) {
        f.check(end == RecordIndex::End::NotARecording, "took a recording");
        return f.text();
    }
    const bool h264 = (h[0] | 0x20) == 'h' && h[1] == '2' && h[2] == '6' && h[3] == '4';
    std::vector<ExpectedRecord> x;
    uint64_t stop = 0;
    const RecordIndex::End expected =
        size < 1024 ? RecordIndex::End::BadRecord : readRecords(file, size, h264, x, &stop);
    const size_t n = x.size();
    f.check(end == expected && index.size() == n && index.endOffset() == stop &&
                index.h264() == h264 &&
                (end != RecordIndex::End::BadRecord ||
                 (index.badOffset() == stop && index.badReason()[0] != 0)),
            "ended as " + std::to_string(static_cast<int>(end)) + " after " +
                std::to_string(index.size()) + " records at " + std::to_string(index.endOffset()) +
                ", or took the wrong codec");
    if (index.size() != n) {
        return f.text();
    }
    for (size_t i = 0; i < n; ++i) {
        const IndexedRecord r = index.at(i);
        f.check(r.offset == x[i].offset && r.timestamp == x[i].timestamp && r.time == x[i].time &&
                    r.key == x[i].key && r.playUs == x[i].playUs,
                "record " + std::to_string(i) + " differs");
    }
    // Each date walked costs a walk over all the records: times of day only for a few dates.
    std::vector<int64_t> dates;  // in the order they first appear
    for (size_t i = 0; i < n && dates.size() <= 16; ++i) {
        if (std::find(dates.begin(), dates.end(), x[i].clock / 86400) == dates.end()) {
            dates.push_back(x[i].clock / 86400);
        }
    }
    auto lookUp = [&](int64_t us, int64_t clock) {
        const auto after =
            std::find_if(x.begin() + (n > 0), x.end(), [&](auto& r) { return r.playUs > us; });
        f.check(index.atPlayTime(us) == (n == 0 ? kNone : after - x.begin() - 1),
                "play time " + std::to_string(us));
        if (clock < 0 || clock >= kIndexClockDays * 86400) {
            return;
        }
        const RecordTime t = recordTimeFromClockSeconds(static_cast<uint32_t>(clock));
        f.check(index.atClock(t) == walkClock(x, clock), "clock " + std::to_string(clock));
        size_t atDay = kNone;
        for (size_t d = 0; dates.size() <= 16 && d < dates.size() && atDay == kNone; ++d) {
            atDay = walkClock(x, dates[d] * 86400 + clock % 86400);
        }
        f.check(dates.size() > 16 || index.atTimeOfDay(t.hour, t.minute, t.second) == atDay,
                "time of day at clock " + std::to_string(clock));
    };
    auto keyAtOrBefore = [&](size_t i) -> size_t {
        const auto key =
            std::find_if(x.rend() - std::min(i + 1, n), x.rend(), [](auto& r) { return r.key; });
        return key == x.rend() ? kNone : x.rend() - key - 1;
    };
    lookUp(-1, probe % (kIndexClockDays * 86400));
    lookUp(probe * int64_t{1000}, -1);
    f.check(index.keyAtOrBefore(n) == keyAtOrBefore(n), "key at or before the end");
    // Around a sample of the records: the key search walks back, so not at every one.
    for (size_t i = 0; i < n; i += std::max<size_t>(1, n / 48)) {
        f.check(index.keyAtOrBefore(i) == keyAtOrBefore(i) &&
                    index.firstAtOrAfterOffset(x[i].offset) == i &&
                    index.firstAtOrAfterOffset(x[i].offset + 1) == i + 1,
                "key or offset lookup at record " + std::to_string(i));
        for (int64_t d : {-1, 0, 1}) {
            lookUp(x[i].playUs + d, x[i].clock + d);
        }
    }
    return f.text();
}

// Runs one input; returns the failed checks, empty when none failed.
inline std::string runIndexCase(MemoryFile& file, const uint8_t* data, size_t size) {
    const size_t skip = size >= kIndexControlBytes ? kIndexControlBytes : 0;
    const size_t fileSize = std::min(size - skip, kIndexMaxFileBytes);
    if (!file.write(data + skip, fileSize)) {
        return std::string();  // nothing to test without a file
    }
    RecordIndex index;
    return compareIndex(index, index.build(file.path()), data + skip, fileSize,
                        skip ? le32(data) : 0);
}

}  // namespace vidora::fuzz
