#include "recording/record_index.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <set>
#include <unordered_map>

#include "platform/file.h"
#include "recording/pacing_schedule.h"
#include "recording/recording_format.h"

namespace vidora {

namespace {

constexpr int64_t kSecondsPerDay = 86400;

// How much of a record's video the key test looks at, step by step: nearly every record is told
// by its first bytes, and only a long SEI or parameter set makes it read further.
constexpr size_t kKeyReadSteps[] = {512, 4096, kMaxRecordPayloadBytes};

enum class KeyScan { Key, NotKey, NeedMore };

// The scans see the first `have` of a payload's `total` bytes; they answer NeedMore only while
// have < total and the bytes seen cannot tell.
KeyScan outOfBytes(size_t have, size_t total, bool keyIfComplete) {
    if (have < total) {
        return KeyScan::NeedMore;
    }
    return keyIfComplete ? KeyScan::Key : KeyScan::NotKey;
}

size_t startCodeBytes(const uint8_t* b, size_t have) {
    if (have >= 3 && b[0] == 0 && b[1] == 0 && b[2] == 1) {
        return 3;
    }
    if (have >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 1) {
        return 4;
    }
    return 0;
}

KeyScan scanAnnexB(const uint8_t* b, size_t have, size_t total) {
    if (have < 4 && have < total) {
        return KeyScan::NeedMore;
    }
    size_t nal = startCodeBytes(b, have);
    if (nal == 0) {
        return KeyScan::NotKey;  // the tail of a NAL unit begun in an earlier record
    }
    bool sawSps = false;
    for (;;) {
        if (nal >= have) {
            return outOfBytes(have, total, sawSps);
        }
        const int type = b[nal] & 0x1F;
        if (type == 5) {
            return KeyScan::Key;
        }
        if (type >= 1 && type <= 4) {
            return KeyScan::NotKey;
        }
        sawSps = sawSps || type == 7;
        // On to the next start code.
        size_t i = nal + 1;
        while (i + 3 <= have && !(b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1)) {
            ++i;
        }
        if (i + 3 > have) {
            return outOfBytes(have, total, sawSps);
        }
        nal = i + 3;
    }
}

KeyScan scanH264(const uint8_t* b, size_t have, size_t total) {
    if (have < 4 && have < total) {
        return KeyScan::NeedMore;
    }
    if (startCodeBytes(b, have) != 0) {
        return scanAnnexB(b, have, total);
    }
    if (total < 4) {
        return KeyScan::NotKey;
    }
    // The first packet decides; its length word may claim more than the record holds.
    const size_t packetTotal = std::min<uint64_t>(readLe32(b), total - 4);
    return scanAnnexB(b + 4, std::min(have - 4, packetTotal), packetTotal);
}

KeyScan scanH263(const uint8_t* b, size_t have, size_t total) {
    // `count` bits from bit `first` on, most significant bit first; -1 when not seen yet.
    auto bits = [&](size_t first, size_t count) -> int {
        if ((first + count + 7) / 8 > have) {
            return -1;
        }
        int value = 0;
        for (size_t n = first; n < first + count; ++n) {
            value = (value << 1) | ((b[n / 8] >> (7 - n % 8)) & 1);
        }
        return value;
    };
    // Picture start code (22 bits), temporal reference (8), then PTYPE: a marker 1, a 0, three
    // flags, the source format (3) and, in the plain form, the coding type (0 = INTRA).
    const int marks = bits(30, 2);
    const int format = bits(35, 3);
    const int coding = bits(38, 1);
    if (have >= 3 && (b[0] != 0 || b[1] != 0 || (b[2] & 0xFC) != 0x80)) {
        return KeyScan::NotKey;
    }
    if (marks < 0 || format < 0 || coding < 0) {
        return outOfBytes(have, total, false);
    }
    if (marks != 0b10 || format == 0 || format == 6) {
        return KeyScan::NotKey;  // not a picture header, or a forbidden or reserved format
    }
    if (format != 7) {
        return coding == 0 ? KeyScan::Key : KeyScan::NotKey;
    }
    // PLUSPTYPE: UFEP (3), the 18-bit OPPTYPE when UFEP is 001, then MPPTYPE, whose first three
    // bits are the picture type.
    const int ufep = bits(38, 3);
    if (ufep > 1) {
        return KeyScan::NotKey;
    }
    const int type = ufep < 0 ? -1 : bits(ufep == 1 ? 59 : 41, 3);
    if (type < 0) {
        return outOfBytes(have, total, false);
    }
    return type == 0 ? KeyScan::Key : KeyScan::NotKey;
}

KeyScan scanKey(const uint8_t* video, size_t have, size_t total, bool h264) {
    return h264 ? scanH264(video, have, total) : scanH263(video, have, total);
}

int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0) ? 1 : 0);
}

// Positioned reads through one buffer: a record's header and the first bytes of its video come
// in one read, and the next record's header too when the record is small.
class ReadWindow {
  public:
    ReadWindow(const File& file, uint64_t fileSize)
        : file_(file), fileSize_(fileSize), buffer_(kRecordHeaderBytes + kMaxRecordPayloadBytes) {}

    uint64_t fileSize() const { return fileSize_; }

    // Up to `want` bytes at `offset` (fewer at the end of the file); their count in *got.
    const uint8_t* bytes(uint64_t offset, size_t want, size_t* got) {
        want = static_cast<size_t>(std::min<uint64_t>(want, fileSize_ - offset));
        if (offset >= start_ && offset + want <= start_ + length_) {
            *got = want;
            return buffer_.data() + (offset - start_);
        }
        const size_t ask = static_cast<size_t>(
            std::min<uint64_t>(std::max(want, kHeaderAndFirstVideo), fileSize_ - offset));
        start_ = offset;
        length_ = readAt(offset, ask);
        if (length_ < ask) {
            // The file has shrunk since it was measured: it ends here now.
            fileSize_ = offset + length_;
        }
        *got = std::min(want, length_);
        return buffer_.data();
    }

  private:
    static constexpr size_t kHeaderAndFirstVideo = kRecordHeaderBytes + kKeyReadSteps[0];

    size_t readAt(uint64_t offset, size_t n) { return file_.readAt(offset, buffer_.data(), n); }

    const File& file_;
    uint64_t fileSize_;
    std::vector<uint8_t> buffer_;
    uint64_t start_ = 0;
    size_t length_ = 0;
};

}  // namespace

bool startsWithKeyPicture(const uint8_t* video, size_t size, bool h264) {
    return scanKey(video, size, size, h264) == KeyScan::Key;
}

uint32_t recordClockSeconds(const RecordTime& t) {
    using namespace std::chrono;
    constexpr sys_days kEpoch{year{2012} / January / 1};
    const sys_days date{year{t.year} / month{t.month} / day{t.day}};
    return static_cast<uint32_t>((date - kEpoch).count() * kSecondsPerDay + t.hour * 3600 +
                                 t.minute * 60 + t.second);
}

RecordTime recordTimeFromClockSeconds(uint32_t seconds) {
    using namespace std::chrono;
    constexpr sys_days kEpoch{year{2012} / January / 1};
    const year_month_day date{kEpoch + days{seconds / kSecondsPerDay}};
    const uint32_t inDay = static_cast<uint32_t>(seconds % kSecondsPerDay);
    return RecordTime{static_cast<uint16_t>(static_cast<int>(date.year())),
                      static_cast<uint16_t>(static_cast<unsigned>(date.month())),
                      static_cast<uint16_t>(static_cast<unsigned>(date.day())),
                      static_cast<uint16_t>(inDay / 3600),
                      static_cast<uint16_t>(inDay / 60 % 60),
                      static_cast<uint16_t>(inDay % 60)};
}

void RecordIndex::clear() {
    h264_ = false;
    records_.clear();
    checkpoints_.clear();
    endOffset_ = 0;
    badOffset_ = 0;
    badReason_ = "";
}

RecordIndex::End RecordIndex::bad(uint64_t offset, const char* reason) {
    badOffset_ = offset;
    badReason_ = reason;
    return End::BadRecord;
}

RecordIndex::End RecordIndex::build(const std::string& path, std::stop_token stop) {
    return build(path, kRecordingHeaderBytes, stop);
}

RecordIndex::End RecordIndex::build(const std::string& path, uint64_t firstRecordOffset,
                                    std::stop_token stop, IndexLimit limit) {
    clear();
    File opened;
    if (!opened.open(path)) {
        return End::CannotOpen;
    }
    ReadWindow file(opened, opened.size());
    // As the reader does, a header cut short is judged with zeros behind it.
    uint8_t header[kRecordingHeaderBytes] = {};
    size_t got = 0;
    const uint8_t* bytes = file.bytes(0, kRecordingHeaderBytes, &got);
    std::copy(bytes, bytes + got, header);
    if (!acceptRecordingHeader(header)) {
        return End::NotARecording;
    }
    h264_ = isH264Tag(header);
    if (got < kRecordingHeaderBytes) {
        return bad(0, "recording header cut short");
    }

    uint64_t at = std::max<uint64_t>(firstRecordOffset, kRecordingHeaderBytes);
    if (at > file.fileSize()) {
        return bad(at, "record offset past the end of the file");
    }
    const uint64_t first = at;
    int64_t playUs = 0;
    uint32_t previousTimestamp = 0;
    const auto finish = [&](End end) {
        endOffset_ = at;
        records_.shrink_to_fit();
        checkpoints_.shrink_to_fit();
        return end;
    };
    for (;;) {
        if (stop.stop_requested() || records_.size() >= limit.records ||
            at - first >= limit.bytes) {
            return finish(End::Stopped);
        }
        bytes = file.bytes(at, kRecordHeaderBytes + kKeyReadSteps[0], &got);
        if (got == 0) {
            return finish(End::Complete);
        }
        if (got < kRecordHeaderBytes) {
            return finish(bad(at, "record header cut short"));
        }
        const RecordHeader record = parseRecordHeader(bytes);
        if (record.sync != RECORD_SYNC) {
            return finish(bad(at, "bad sync word"));
        }
        if (record.kind != RECORD_KIND) {
            return finish(bad(at, "bad record kind"));
        }
        if (!isValidRecordTime(record.time)) {
            return finish(bad(at, "invalid date or time"));
        }
        const uint64_t payload = uint64_t{record.videoBytes} + record.audioBytes;
        if (payload > kMaxRecordPayloadBytes) {
            return finish(bad(at, "payload over 64 KiB"));
        }
        if (file.fileSize() - at - kRecordHeaderBytes < payload) {
            return finish(bad(at, "payload cut short by the end of the file"));
        }
        const size_t video = record.videoBytes;
        KeyScan key = scanKey(bytes + kRecordHeaderBytes, std::min(got - kRecordHeaderBytes, video),
                              video, h264_);
        for (size_t step = 1; key == KeyScan::NeedMore && step < std::size(kKeyReadSteps); ++step) {
            const size_t want = std::min(video, kKeyReadSteps[step]);
            bytes = file.bytes(at, kRecordHeaderBytes + want, &got);
            const size_t have = got - std::min(got, size_t{kRecordHeaderBytes});
            // A file that shrank meanwhile ends the scan with what is still there.
            key = scanKey(bytes + kRecordHeaderBytes, std::min(have, want),
                          have < want ? have : video, h264_);
        }

        if (!records_.empty()) {
            const uint32_t gapMs = record.timestamp - previousTimestamp;
            playUs += int64_t{std::min(gapMs, PacingSchedule::kMaxDelayMs)} * 1000;
        }
        if (records_.size() % kCheckpointEvery == 0) {
            checkpoints_.push_back(playUs);
        }
        previousTimestamp = record.timestamp;
        records_.push_back(Entry{(at << 1) | (key == KeyScan::Key ? 1u : 0u), record.timestamp,
                                 recordClockSeconds(record.time)});
        at += kRecordHeaderBytes + payload;
    }
}

IndexedRecord RecordIndex::at(size_t i) const {
    const Entry& e = records_[i];
    IndexedRecord r;
    r.offset = e.offsetKey >> 1;
    r.key = (e.offsetKey & 1) != 0;
    r.timestamp = e.timestamp;
    r.time = recordTimeFromClockSeconds(e.clock);
    r.playUs = playUs(i);
    return r;
}

int64_t RecordIndex::gapUs(size_t i) const {
    const uint32_t gapMs = records_[i].timestamp - records_[i - 1].timestamp;
    return int64_t{std::min(gapMs, PacingSchedule::kMaxDelayMs)} * 1000;
}

int64_t RecordIndex::playUs(size_t i) const {
    const size_t block = i / kCheckpointEvery;
    int64_t us = checkpoints_[block];
    for (size_t j = block * kCheckpointEvery + 1; j <= i; ++j) {
        us += gapUs(j);
    }
    return us;
}

size_t RecordIndex::firstAtOrAfterOffset(uint64_t fileOffset) const {
    const auto it = std::partition_point(records_.begin(), records_.end(), [&](const Entry& e) {
        return (e.offsetKey >> 1) < fileOffset;
    });
    return static_cast<size_t>(it - records_.begin());
}

size_t RecordIndex::keyAtOrBefore(size_t i) const {
    if (records_.empty()) {
        return npos;
    }
    for (size_t j = std::min(i, records_.size() - 1) + 1; j-- > 0;) {
        if ((records_[j].offsetKey & 1) != 0) {
            return j;
        }
    }
    return npos;
}

size_t RecordIndex::atPlayTime(int64_t us) const {
    if (records_.empty()) {
        return npos;
    }
    if (us < 0) {
        return 0;
    }
    // The last block that starts at or before `us`, then along its gaps.
    const size_t block =
        static_cast<size_t>(std::upper_bound(checkpoints_.begin(), checkpoints_.end(), us) -
                            checkpoints_.begin()) -
        1;
    size_t i = block * kCheckpointEvery;
    const size_t end = std::min(records_.size(), i + kCheckpointEvery);
    int64_t t = checkpoints_[block];
    while (i + 1 < end && t + gapUs(i + 1) <= us) {
        t += gapUs(++i);
    }
    return i;
}

size_t RecordIndex::atClock(const RecordTime& t) const {
    if (!isValidRecordTime(t)) {
        return npos;
    }
    const uint32_t wanted = recordClockSeconds(t);
    size_t gap = npos;
    for (size_t i = 0; i < records_.size(); ++i) {
        if (records_[i].clock == wanted) {
            return i;
        }
        if (gap == npos && i > 0 && records_[i - 1].clock < wanted && records_[i].clock > wanted) {
            gap = i;
        }
    }
    return gap;
}

size_t RecordIndex::atTimeOfDay(int hour, int minute, int second) const {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
        return npos;
    }
    const int64_t inDay = hour * 3600 + minute * 60 + second;
    // For every date the recording has, in the order they first appear: its first record at that
    // time of day, and its first record just after a gap over it.
    struct Found {
        size_t exact = npos;
        size_t gap = npos;
    };
    std::vector<int64_t> dates;
    std::unordered_map<int64_t, Found> found;
    for (size_t i = 0; i < records_.size(); ++i) {
        const int64_t day = records_[i].clock / kSecondsPerDay;
        auto [it, added] = found.try_emplace(day);
        if (added) {
            dates.push_back(day);
        }
        if (it->second.exact == npos && records_[i].clock % kSecondsPerDay == inDay) {
            it->second.exact = i;
        }
    }
    // A gap from clock a to clock b lies over the time of day on every date d with
    // a < d * 86400 + inDay < b; each date takes the first such gap and is then done.
    std::set<int64_t> open(dates.begin(), dates.end());
    for (size_t i = 1; i < records_.size() && !open.empty(); ++i) {
        const int64_t a = records_[i - 1].clock;
        const int64_t b = records_[i].clock;
        if (a >= b) {
            continue;
        }
        const int64_t first = floorDiv(a - inDay, kSecondsPerDay) + 1;
        const int64_t last = floorDiv(b - inDay - 1, kSecondsPerDay);
        for (auto it = open.lower_bound(first); it != open.end() && *it <= last;) {
            found[*it].gap = i;
            it = open.erase(it);
        }
    }
    for (int64_t day : dates) {
        const Found& f = found[day];
        if (f.exact != npos) {
            return f.exact;
        }
        if (f.gap != npos) {
            return f.gap;
        }
    }
    return npos;
}

double RecordIndex::bytesPerRecord() const {
    if (records_.empty()) {
        return 0.0;
    }
    const size_t bytes =
        records_.capacity() * sizeof(Entry) + checkpoints_.capacity() * sizeof(int64_t);
    return static_cast<double>(bytes) / static_cast<double>(records_.size());
}

}  // namespace vidora
