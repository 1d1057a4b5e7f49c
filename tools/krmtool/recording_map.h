#pragma once
// The records `krmtool export` copies: every readable record of a recording, over the stretches
// that damaged bytes separate when salvaging, with the time into the recording at which each
// plays; and the reading of one record's bytes at a time.

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "recording/record_index.h"
#include "recording/record_scan.h"
#include "recording/recording_format.h"
#include "recording/time_text.h"
#include "tools/krmtool/export_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vidora::exporting {

// One record to export, its play time counted over every stretch of the file.
struct Record {
    uint64_t offset = 0;
    uint32_t timestamp = 0;
    RecordTime time;
    bool key = false;
    bool stretchStart = false;  // the first record after damaged bytes
    int64_t playUs = 0;
};

struct Stretch {
    RecordIndex index;
    size_t first = 0;  // its first record in the list of all records
    int64_t startUs = 0;
};

// Every readable record of the file; with salvage, the stretches after damaged bytes too.
class RecordingMap {
  public:
    // Every readable record of `input`; with `salvage`, past damaged stretches too. False, having
    // said why, when there is none.
    bool build(const std::string& input, bool salvage) {
        File file;
        std::string reason = "not a regular file";
        file.open(input, &reason);
        const uint64_t fileBytes = file.size();
        uint64_t from = kRecordingHeaderBytes;
        for (;;) {
            Stretch s;
            const RecordIndex::End end = s.index.build(input, from);
            if (end == RecordIndex::End::CannotOpen) {
                say("cannot open %s: %s", input.c_str(), reason.c_str());
                return false;
            }
            if (end == RecordIndex::End::NotARecording) {
                say("%s is not a recording", input.c_str());
                return false;
            }
            h264_ = s.index.h264();
            // Taken before the stretch goes: one without records is not kept.
            const uint64_t bad = s.index.badOffset();
            const char* reason = s.index.badReason();
            append(std::move(s));
            if (end != RecordIndex::End::BadRecord) {
                break;
            }
            if (!salvage) {
                say("the recording is damaged at offset %llu (%s): the export ends there "
                    "(--salvage goes on past it)",
                    static_cast<unsigned long long>(bad), reason);
                break;
            }
            const std::string before =
                records_.empty() ? "its start" : formatRecordTime(records_.back().time);
            const std::optional<uint64_t> next = nextValidRecord(input, bad + 1);
            if (!next) {
                say("skipped %llu damaged bytes at offset %llu, from %s to the end of the file",
                    static_cast<unsigned long long>(fileBytes - std::min(fileBytes, bad)),
                    static_cast<unsigned long long>(bad), before.c_str());
                break;
            }
            const size_t known = records_.size();
            from = *next;
            skipped_.push_back({bad, *next, before, known});
        }
        for (const Skipped& s : skipped_) {
            const std::string after = s.recordsBefore < records_.size()
                                          ? formatRecordTime(records_[s.recordsBefore].time)
                                          : "the end";
            say("skipped %llu damaged bytes at offset %llu, between %s and %s",
                static_cast<unsigned long long>(s.next - s.bad),
                static_cast<unsigned long long>(s.bad), s.before.c_str(), after.c_str());
        }
        if (records_.empty()) {
            say("%s holds no readable record", input.c_str());
            return false;
        }
        return true;
    }

    bool h264() const { return h264_; }
    const std::vector<Record>& records() const { return records_; }

    // The record playing at `us` into the recording.
    size_t atPlayTime(int64_t us) const {
        size_t k = 0;
        while (k + 1 < stretches_.size() && stretches_[k + 1].startUs <= us) {
            ++k;
        }
        const Stretch& s = stretches_[k];
        return s.first + s.index.atPlayTime(us - s.startUs);
    }
    // The first record of the clock second `t` (or just after it, when it fell in a gap).
    size_t atClock(const RecordTime& t) const {
        for (const Stretch& s : stretches_) {
            const size_t i = s.index.atClock(t);
            if (i != RecordIndex::npos) {
                return s.first + i;
            }
        }
        return RecordIndex::npos;
    }
    // The key record at or before i, in i's stretch; npos when there is none.
    size_t keyAtOrBefore(size_t i) const {
        for (const Stretch& s : stretches_) {
            if (i >= s.first && i < s.first + s.index.size()) {
                const size_t key = s.index.keyAtOrBefore(i - s.first);
                return key == RecordIndex::npos ? key : s.first + key;
            }
        }
        return RecordIndex::npos;
    }

  private:
    struct Skipped {
        uint64_t bad;
        uint64_t next;
        std::string before;
        size_t recordsBefore;
    };

    void append(Stretch&& s) {
        if (s.index.size() == 0) {
            return;
        }
        s.first = records_.size();
        if (!records_.empty()) {
            // The pacing rule carries on over the damage: at most a second between them.
            const uint32_t gapMs = s.index.at(0).timestamp - records_.back().timestamp;
            s.startUs = records_.back().playUs + int64_t{std::min<uint32_t>(gapMs, 1000)} * 1000;
        }
        for (size_t i = 0; i < s.index.size(); ++i) {
            const IndexedRecord r = s.index.at(i);
            records_.push_back(Record{r.offset, r.timestamp, r.time, r.key, i == 0 && s.first > 0,
                                      s.startUs + r.playUs});
        }
        stretches_.push_back(std::move(s));
    }

    bool h264_ = false;
    std::vector<Stretch> stretches_;
    std::vector<Record> records_;
    std::vector<Skipped> skipped_;
};

// Reads one record's payload at a time.
class RecordReader {
  public:
    explicit RecordReader(const std::string& path) { file_.open(path); }

    // The video and the audio bytes of the record at `offset`, each followed by decoder padding.
    bool read(uint64_t offset) {
        uint8_t header[kRecordHeaderBytes];
        if (!readAt(offset, header, kRecordHeaderBytes)) {
            return false;
        }
        const RecordHeader h = parseRecordHeader(header);
        video.assign(h.videoBytes + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        audio.assign(h.audioBytes + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        videoBytes = h.videoBytes;
        audioBytes = h.audioBytes;
        return readAt(offset + kRecordHeaderBytes, video.data(), videoBytes) &&
               readAt(offset + kRecordHeaderBytes + videoBytes, audio.data(), audioBytes);
    }

    std::vector<uint8_t> video;
    std::vector<uint8_t> audio;
    size_t videoBytes = 0;
    size_t audioBytes = 0;

  private:
    bool readAt(uint64_t offset, uint8_t* to, size_t n) { return file_.readAt(offset, to, n) == n; }

    File file_;
};

}  // namespace vidora::exporting
