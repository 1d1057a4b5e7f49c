#pragma once
// The record index on arbitrary bytes. An input is four control bytes and then the file itself,
// laid out as the reader's inputs are so that the two share their seeds; the control bytes are
// one more value to look up (a play time, a clock time, a time of day and a file offset).
//
// The index built from the file is compared with a reading of the whole file done here, record
// by record and independently of the index's parser: which header passes, where reading ends
// and why, every record's offset, timestamp, date and time, key flag and play time, and the
// answers of every lookup, worked out by walking all the records.

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>
#include <unordered_set>
#include <vector>

#include "fuzz/memory_file.h"
#include "fuzz/reader_harness.h"
#include "fuzz/run_support.h"
#include "recording/record_index.h"

namespace vidora::fuzz {

constexpr size_t kIndexControlBytes = 4;
constexpr size_t kIndexMaxFileBytes = 512 * 1024;
constexpr size_t kNone = RecordIndex::npos;

// A bit reader over bytes that may run out: `ok` falls once a read goes past them.
struct Bits {
    const uint8_t* bytes;
    size_t size;
    size_t at = 0;
    bool ok = true;
    uint32_t take(int count) {
        uint32_t value = 0;
        for (int n = 0; n < count; ++n, ++at) {
            if (at / 8 >= size) {
                ok = false;
                return 0;
            }
            value = (value << 1) | ((bytes[at / 8] >> (7 - at % 8)) & 1);
        }
        return value;
    }
};

inline bool beginsWithStartCode(const uint8_t* v, size_t n) {
    return (n >= 3 && v[0] == 0 && v[1] == 0 && v[2] == 1) ||
           (n >= 4 && v[0] == 0 && v[1] == 0 && v[2] == 0 && v[3] == 1);
}

// The NAL unit types in order: each is the byte after a start code; the search for the next
// start code resumes after that byte.
inline std::vector<int> nalTypes(const uint8_t* s, size_t n) {
    std::vector<int> types;
    for (size_t i = 0; i + 3 < n;) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            types.push_back(s[i + 3] & 0x1F);
            i += 4;
        } else {
            ++i;
        }
    }
    return types;
}

inline bool expectKeyH264(const uint8_t* v, size_t n) {
    const uint8_t* stream = v;
    size_t length = n;
    if (!beginsWithStartCode(v, n)) {
        // A length-prefixed packet: only the first one counts, cut at the record's end.
        if (n < 4) {
            return false;
        }
        stream = v + 4;
        length = std::min<size_t>(le32(v), n - 4);
    }
    if (!beginsWithStartCode(stream, length)) {
        return false;
    }
    bool sps = false;
    for (int type : nalTypes(stream, length)) {
        if (type >= 1 && type <= 5) {
            return type == 5;
        }
        sps = sps || type == 7;
    }
    return sps;
}

inline bool expectKeyH263(const uint8_t* v, size_t n) {
    Bits bits{v, n};
    if (bits.take(22) != 0x20) {
        return false;
    }
    bits.take(8);  // temporal reference
    const bool marks = bits.take(1) == 1 && bits.take(1) == 0;
    bits.take(3);
    const uint32_t format = bits.take(3);
    if (!bits.ok || !marks) {
        return false;
    }
    if (format >= 1 && format <= 5) {
        return bits.take(1) == 0 && bits.ok;
    }
    if (format != 7) {
        return false;
    }
    const uint32_t ufep = bits.take(3);
    if (ufep == 1) {
        bits.take(18);
    } else if (ufep != 0) {
        return false;
    }
    return bits.take(3) == 0 && bits.ok;
}

// Seconds since 2012-01-01 00:00:00 of a valid time, counted day by day.
constexpr int64_t kIndexClockDays = 2557;  // 2012 to 2018
inline int64_t clockOf(const RecordTime& t) {
    int64_t days = t.day - 1;
    for (int y = 2012; y < t.year; ++y) {
        days += calendarValid(RecordTime{static_cast<uint16_t>(y), 2, 29, 0, 0, 0}) ? 366 : 365;
    }
    for (int m = 1; m < t.month; ++m) {
        int length = 31;
        while (!calendarValid(
            RecordTime{t.year, static_cast<uint16_t>(m), static_cast<uint16_t>(length), 0, 0, 0})) {
            --length;
        }
        days += length;
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

struct ExpectedIndex {
    RecordIndex::End end = RecordIndex::End::NotARecording;
    bool h264 = false;
    uint64_t badOffset = 0;
    uint64_t endOffset = 0;
    std::vector<ExpectedRecord> records;
};

inline ExpectedIndex expectIndex(const uint8_t* file, size_t size) {
    ExpectedIndex e;
    uint8_t header[1024] = {};
    std::copy(file, file + std::min<size_t>(size, sizeof header), header);
    bool accepted = false;
    const size_t firstZero = std::find(header, header + sizeof header, 0) - header;
    for (size_t i = 0; i + 3 <= firstZero && !accepted; ++i) {
        accepted = header[i] == 'h' && header[i + 1] == '2' && header[i + 2] == '6';
    }
    if (!accepted) {
        return e;
    }
    e.h264 =
        std::tolower(header[0]) == 'h' && header[1] == '2' && header[2] == '6' && header[3] == '4';
    if (size < 1024) {
        e.end = RecordIndex::End::BadRecord;
        return e;
    }
    size_t at = 1024;
    int64_t playUs = 0;
    e.end = RecordIndex::End::Complete;
    while (at < size) {
        const uint8_t* r = file + at;
        e.end = RecordIndex::End::BadRecord;
        e.badOffset = at;
        if (size - at < 32) {
            break;
        }
        const RecordTime t{le16(r + 8),  le16(r + 10), le16(r + 12),
                           le16(r + 14), le16(r + 16), le16(r + 18)};
        const uint64_t v = le32(r + 24);
        const uint64_t a = le32(r + 28);
        if (le32(r) != 0x12345678 || le32(r + 4) != 0x12340008 || !calendarValid(t) ||
            v + a > 65536 || size - at - 32 < v + a) {
            break;
        }
        e.end = RecordIndex::End::Complete;
        e.badOffset = 0;
        const uint32_t timestamp = le32(r + 20);
        if (!e.records.empty()) {
            playUs += std::min<uint32_t>(timestamp - e.records.back().timestamp, 1000) * 1000;
        }
        const bool key = e.h264 ? expectKeyH264(r + 32, v) : expectKeyH263(r + 32, v);
        e.records.push_back(ExpectedRecord{at, timestamp, t, key, playUs, clockOf(t)});
        at += 32 + v + a;
    }
    e.endOffset = at;
    return e;
}

// The lookups, each by walking every record.
inline size_t walkPlayTime(const ExpectedIndex& e, int64_t us) {
    if (e.records.empty()) {
        return kNone;
    }
    size_t found = 0;
    for (size_t i = 0; i < e.records.size(); ++i) {
        if (e.records[i].playUs <= us) {
            found = i;
        }
    }
    return found;
}

inline size_t walkClock(const ExpectedIndex& e, int64_t clock) {
    for (size_t i = 0; i < e.records.size(); ++i) {
        if (e.records[i].clock == clock) {
            return i;
        }
    }
    for (size_t i = 1; i < e.records.size(); ++i) {
        if (e.records[i - 1].clock < clock && e.records[i].clock > clock) {
            return i;
        }
    }
    return kNone;
}

inline size_t walkTimeOfDay(const ExpectedIndex& e, int64_t inDay) {
    std::unordered_set<int64_t> tried;
    for (const ExpectedRecord& r : e.records) {
        const int64_t day = r.clock / 86400;
        if (tried.insert(day).second) {
            const size_t found = walkClock(e, day * 86400 + inDay);
            if (found != kNone) {
                return found;
            }
        }
    }
    return kNone;
}

// Compares an index built from `file` with the reading of it done here; `probe` is one more
// value to look up. Returns the failed checks, empty when none failed.
inline std::string compareIndex(const RecordIndex& index, RecordIndex::End end, const uint8_t* file,
                                size_t size, uint32_t probe) {
    Findings findings;
    const ExpectedIndex e = expectIndex(file, size);
    findings.check(end == e.end, "the index ended as " + std::to_string(static_cast<int>(end)) +
                                     ", expected " + std::to_string(static_cast<int>(e.end)));
    if (e.end == RecordIndex::End::NotARecording) {
        return findings.text();
    }
    findings.check(index.h264() == e.h264, "the codec is not the header's");
    if (e.end == RecordIndex::End::BadRecord) {
        findings.check(index.badOffset() == e.badOffset && index.badReason()[0] != 0,
                       "bad record at " + std::to_string(index.badOffset()) + ", expected at " +
                           std::to_string(e.badOffset));
    }
    findings.check(
        index.size() == e.records.size(),
        std::to_string(index.size()) + " records, expected " + std::to_string(e.records.size()));
    if (index.size() != e.records.size()) {
        return findings.text();
    }
    findings.check(e.records.empty() || index.endOffset() == e.endOffset, "wrong end offset");
    size_t lastKey = kNone;
    for (size_t i = 0; i < e.records.size(); ++i) {
        const ExpectedRecord& x = e.records[i];
        const IndexedRecord r = index.at(i);
        const std::string which = "record " + std::to_string(i) + ": ";
        findings.check(r.offset == x.offset && r.timestamp == x.timestamp && r.time == x.time,
                       which + "offset, timestamp or time differ");
        findings.check(r.key == x.key, which + "key flag " + std::to_string(r.key));
        findings.check(r.playUs == x.playUs, which + "play time " + std::to_string(r.playUs) +
                                                 ", expected " + std::to_string(x.playUs));
        lastKey = x.key ? i : lastKey;
        // Asked of every record, a stream without keys would take as long as its square.
        if (e.records.size() <= 2048 || i % 64 == 0) {
            findings.check(index.keyAtOrBefore(i) == lastKey, which + "wrong key at or before");
        }
        findings.check(index.firstAtOrAfterOffset(x.offset) == i &&
                           index.firstAtOrAfterOffset(x.offset + 1) == i + 1,
                       which + "wrong record at an offset");
    }
    findings.check(index.keyAtOrBefore(e.records.size()) == lastKey,
                   "wrong key at or before the end");
    // Lookups around a sample of the records, and at the probe.
    std::vector<int64_t> times{-1, probe * int64_t{1000}};
    std::vector<int64_t> clocks{probe % (kIndexClockDays * 86400)};
    const size_t step = std::max<size_t>(1, e.records.size() / 48);
    for (size_t i = 0; i < e.records.size(); i += step) {
        for (int64_t d : {-1, 0, 1}) {
            times.push_back(e.records[i].playUs + d);
            clocks.push_back(e.records[i].clock + d);
        }
    }
    for (int64_t us : times) {
        findings.check(index.atPlayTime(us) == walkPlayTime(e, us),
                       "wrong record at play time " + std::to_string(us));
    }
    // Walking each date costs a walk over all the records: times of day only for a few dates.
    std::unordered_set<int64_t> dates;
    for (size_t i = 0; i < e.records.size() && dates.size() <= 16; ++i) {
        dates.insert(e.records[i].clock / 86400);
    }
    for (int64_t clock : clocks) {
        if (clock < 0 || clock >= kIndexClockDays * 86400) {
            continue;
        }
        const RecordTime t = recordTimeFromClockSeconds(static_cast<uint32_t>(clock));
        findings.check(index.atClock(t) == walkClock(e, clock),
                       "wrong record at clock " + std::to_string(clock));
        if (dates.size() <= 16) {
            const int64_t inDay = clock % 86400;
            findings.check(
                index.atTimeOfDay(static_cast<int>(inDay / 3600), static_cast<int>(inDay / 60 % 60),
                                  static_cast<int>(inDay % 60)) == walkTimeOfDay(e, inDay),
                "wrong record at time of day " + std::to_string(inDay));
        }
    }
    // 16 bytes a record, and 8 for a play time every 64 records.
    const double n = static_cast<double>(e.records.size());
    findings.check(
        e.records.empty() || index.bytesPerRecord() * n <= 16 * n + 8 * std::ceil(n / 64) + 0.5,
        "more than 16 bytes a record");
    return findings.text();
}

// Runs one input; returns the failed checks, empty when none failed.
inline std::string runIndexCase(MemoryFile& file, const uint8_t* data, size_t size) {
    const uint32_t probe = size >= kIndexControlBytes ? le32(data) : 0;
    const uint8_t* fileBytes = size >= kIndexControlBytes ? data + kIndexControlBytes : data;
    size_t fileSize = size >= kIndexControlBytes ? size - kIndexControlBytes : size;
    fileSize = std::min(fileSize, kIndexMaxFileBytes);
    if (!file.write(fileBytes, fileSize)) {
        return std::string();  // nothing to test without a file
    }
    RecordIndex index;
    const RecordIndex::End end = index.build(file.path());
    return compareIndex(index, end, fileBytes, fileSize, probe);
}

}  // namespace vidora::fuzz
