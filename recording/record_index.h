#pragma once
// The record index: where every record of a recording lies, when it was taken, whether its video
// begins with a key picture and when it plays. Seeks to a time, a clock time or a key picture
// look it up instead of searching the file for sync words.
//
// It reads only record headers and the first bytes of each video payload, seeking over the rest,
// so a recording of a gigabyte is indexed in a fraction of a second. It ends where the player's
// reader would stop: at the end of the file or at the first bad record. Built once on one thread,
// then only read: every query is const and keeps no cache, so any number of threads may share it.

#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "engine/engine_types.h"

namespace vidora {

// Whether a record's video bytes begin with a key picture.
//
// H.264: a record holds length-prefixed packets (a little-endian byte count, then the access
// unit in Annex B form), as the video path reads them; bytes that begin with a start code are
// taken as a bare Annex B stream. The picture is key when the first slice NAL unit (after any
// access-unit delimiter, SEI, SPS, PPS or other non-slice unit) is an IDR slice (type 5); bytes
// that run out after an SPS without reaching a slice count as key, and bytes that do not begin
// with a start code (a NAL unit cut across records) are not key.
//
// H.263: a picture start code at the start whose picture coding type is INTRA, in the plain
// PTYPE or in the PLUSPTYPE form (picture type code 000).
bool startsWithKeyPicture(const uint8_t* video, size_t size, bool h264);

// Clock times as seconds since 2012-01-01 00:00:00, the first moment a record may carry; only
// for times that isValidRecordTime() accepts.
uint32_t recordClockSeconds(const RecordTime& time);
RecordTime recordTimeFromClockSeconds(uint32_t seconds);

// How far a build reads at most, for a caller that needs only the start of a recording.
struct IndexLimit {
    size_t records = SIZE_MAX;
    uint64_t bytes = UINT64_MAX;  // counted from the first record's offset
};

struct IndexedRecord {
    uint64_t offset = 0;     // file offset of the record header
    uint32_t timestamp = 0;  // the record's millisecond timestamp as written
    RecordTime time;         // the camera's date and time
    bool key = false;
    int64_t playUs = 0;  // time into the recording at which it plays
};

class RecordIndex {
  public:
    enum class End { Complete, BadRecord, Stopped, CannotOpen, NotARecording };
    static constexpr size_t npos = SIZE_MAX;

    // Reads every record header of `path` from the first record on (seeking over payloads and
    // reading only as much of each video payload as telling a key picture needs), until the end
    // of the file, the first bad record, or `stop`. Records read up to then stay usable. A file
    // shorter than its 1024-byte header is a bad record at offset 0.
    End build(const std::string& path, std::stop_token stop = {});
    // The same from the record at `firstRecordOffset` on (at least the recording header's end),
    // for a stretch that follows damage: its first record plays at 0 and the codec comes from
    // the recording's header as before. Past `limit` (more records, or a record that begins
    // that many bytes after the first) it reads nothing more and ends as Stopped.
    End build(const std::string& path, uint64_t firstRecordOffset, std::stop_token stop = {},
              IndexLimit limit = {});

    bool h264() const { return h264_; }
    size_t size() const { return records_.size(); }
    IndexedRecord at(size_t i) const;  // i < size()
    // Just past the last record indexed: where a file still being written goes on.
    uint64_t endOffset() const { return endOffset_; }

    // Where the first bad record is (its offset) and, in words, why; only for End::BadRecord.
    uint64_t badOffset() const { return badOffset_; }
    const char* badReason() const { return badReason_; }

    // First record whose offset is >= fileOffset; size() when none.
    size_t firstAtOrAfterOffset(uint64_t fileOffset) const;
    // The nearest key record at or before i (the last record for i >= size()); npos when none.
    size_t keyAtOrBefore(size_t i) const;
    // The time into the recording at which record i plays: record 0 at 0, each next one the gap
    // between their timestamps later, a gap over a second (or backwards) counting as a second.
    int64_t playUs(size_t i) const;
    // The last record whose playUs is <= us (0 for us before the first record); npos when empty.
    size_t atPlayTime(int64_t us) const;
    // The first record (in file order) whose clock second equals `t`; failing that, the first
    // record after a record that lies before `t` whose time lies after `t` (t fell in a gap);
    // npos when the recording does not cover t.
    size_t atClock(const RecordTime& t) const;
    // A time of day alone: the same rule on the first date (in file order) that has it.
    size_t atTimeOfDay(int hour, int minute, int second) const;

    // Memory the index holds per record, for the benchmark.
    double bytesPerRecord() const;

  private:
    // 16 bytes a record: the offset shifted left by one with the key flag in bit 0, the
    // timestamp, and the clock in seconds since 2012.
    struct Entry {
        uint64_t offsetKey;
        uint32_t timestamp;
        uint32_t clock;
    };
    static constexpr size_t kCheckpointEvery = 64;

    void clear();
    End bad(uint64_t offset, const char* reason);
    int64_t gapUs(size_t i) const;  // from record i - 1 to record i

    bool h264_ = false;
    std::vector<Entry> records_;
    // playUs of records 0, 64, 128, ...: a play time is a checkpoint plus at most 63 gaps.
    std::vector<int64_t> checkpoints_;
    uint64_t endOffset_ = 0;
    uint64_t badOffset_ = 0;
    const char* badReason_ = "";
};

}  // namespace vidora
