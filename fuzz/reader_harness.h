#pragma once
// The reader on arbitrary bytes, alone on the calling thread with virtual time. An input is four
// control bytes and then the file itself:
//
//   byte 0   bits 0-1: unused; bits 2-3: how many of the seek requests below to make (0 to 3)
//   bytes 1-3  seek requests, made before records 1, 2 and 3: 0..200 is that percentage,
//            201..255 a negative one (-1..-55)
//
// Without seeks, what the reader did is compared with what the file format says it must do,
// worked out here independently of the player's parser: which header passes, which record ends
// playback, the delay before each record, every byte that reaches the rings with the mark of
// its record, the record time on show and the progress. With seeks, only what holds for any run
// is checked. A run ends by itself: every record or seek step consumes file bytes.

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/memory_file.h"
#include "fuzz/run_support.h"
#include "recording/reader.h"

namespace vidora::fuzz {

constexpr size_t kReaderControlBytes = 4;
// Larger inputs are cut: with no consumer, more than this could fill a ring, and the drops
// that follow are the ring's business, not the reader's.
constexpr size_t kReaderMaxFileBytes = 512 * 1024;

struct ReaderControls {
    int seekCount = 0;
    int32_t seekPercent[3] = {};
};

inline ReaderControls readerControls(const uint8_t* data, size_t size) {
    ReaderControls c;
    if (size < kReaderControlBytes) {
        return c;
    }
    c.seekCount = (data[0] >> 2) & 3;
    for (int i = 0; i < 3; ++i) {
        int v = data[1 + i];
        c.seekPercent[i] = v <= 200 ? v : 200 - v;
    }
    return c;
}

// Record marks a ring's mark queue holds while nobody takes them: one place holds the flush
// with which a reader starts, one stays free for a seek's flush.
constexpr size_t kReaderMarksHeld = StreamMarks::kCapacity - 2;

// What a reader must do with a file that nobody seeks in.
struct ExpectedReading {
    bool accepted = false;
    bool h264 = false;
    std::vector<uint32_t> delays;  // one per delivered record
    std::vector<uint8_t> video;    // every delivered video byte, in order
    std::vector<uint8_t> audio;
    // Where each record's bytes begin in its ring and the stream time they play at.
    std::vector<StreamMark> videoMarks;
    std::vector<StreamMark> audioMarks;
    uint64_t consumed = 0;  // bytes of the delivered records, headers included
    bool recordTimeSeen = false;
    RecordTime lastRecordTime;  // of the last record whose sync and kind words matched
};

inline bool calendarValid(const RecordTime& t) {
    if (t.year < 2012 || t.year > 2018 || t.month < 1 || t.month > 12) {
        return false;
    }
    int days = 31;
    if (t.month == 4 || t.month == 6 || t.month == 9 || t.month == 11) {
        days = 30;
    } else if (t.month == 2) {
        bool leap = t.year % 400 == 0 || (t.year % 4 == 0 && t.year % 100 != 0);
        days = leap ? 29 : 28;
    }
    return t.day >= 1 && t.day <= days && t.hour <= 23 && t.minute <= 59 && t.second <= 59;
}

inline ExpectedReading expectReading(const uint8_t* file, size_t size) {
    ExpectedReading e;
    uint8_t header[1024] = {};
    std::memcpy(header, file, std::min<size_t>(size, sizeof header));
    // "h26" must lie wholly before the first zero byte of the header.
    size_t firstZero = 0;
    while (firstZero < sizeof header && header[firstZero] != 0) {
        ++firstZero;
    }
    for (size_t i = 0; i + 3 <= firstZero && !e.accepted; ++i) {
        e.accepted = header[i] == 'h' && header[i + 1] == '2' && header[i + 2] == '6';
    }
    if (!e.accepted) {
        return e;
    }
    e.h264 =
        std::tolower(header[0]) == 'h' && header[1] == '2' && header[2] == '6' && header[3] == '4';
    size_t at = 1024;
    uint32_t previous = 0;
    uint32_t delay = 10;
    int64_t streamTime = 0;
    bool first = true;
    while (size >= 1024 && size - at >= 32) {
        const uint8_t* r = file + at;
        if (le32(r) != 0x12345678 || le32(r + 4) != 0x12340008) {
            break;
        }
        RecordTime t{le16(r + 8),  le16(r + 10), le16(r + 12),
                     le16(r + 14), le16(r + 16), le16(r + 18)};
        e.recordTimeSeen = true;
        e.lastRecordTime = t;
        if (!calendarValid(t)) {
            break;
        }
        uint32_t timestamp = le32(r + 20);
        uint64_t v = le32(r + 24);
        uint64_t a = le32(r + 28);
        if (!first) {
            delay = timestamp - previous;
        }
        first = false;
        delay = std::min<uint32_t>(delay, 1000);
        previous = timestamp;
        if (v + a > 65536 || size - at - 32 < v + a) {
            break;
        }
        e.delays.push_back(delay);
        streamTime += int64_t{delay} * 1000;
        // With nobody taking them, the marks run out before the rings do: a record whose mark
        // finds no room is dropped from that ring.
        if (v > 0 && e.videoMarks.size() < kReaderMarksHeld) {
            e.videoMarks.push_back(StreamMark{static_cast<uint32_t>(e.video.size()), streamTime});
            e.video.insert(e.video.end(), r + 32, r + 32 + v);
        }
        if (a > 0 && e.audioMarks.size() < kReaderMarksHeld) {
            e.audioMarks.push_back(StreamMark{static_cast<uint32_t>(e.audio.size()), streamTime});
            e.audio.insert(e.audio.end(), r + 32 + v, r + 32 + v + a);
        }
        e.consumed += 32 + v + a;
        at += 32 + v + a;
    }
    return e;
}

// A reader with the rings it fills, on virtual time, kept for all the inputs of a process.
struct ReaderRig {
    Pacer pacer{Pacer::Kind::Virtual};
    PlaybackClock clock;
    ByteRing video{kVideoRingBytes};
    ByteRing audio{kAudioRingBytes};
    Reader reader{video, audio, clock, pacer};
    bool told = false;
    StreamFormat format;

    ReaderRig() {
        reader.onStream = [this](const StreamFormat& found) {
            told = true;
            format = found;
        };
    }
};

// Runs one input; returns the failed checks, empty when none failed.
inline std::string runReaderCase(ReaderRig& rig, MemoryFile& file, const uint8_t* data,
                                 size_t size) {
    Findings findings;
    const ReaderControls controls = readerControls(data, size);
    const uint8_t* fileBytes = size >= kReaderControlBytes ? data + kReaderControlBytes : data;
    size_t fileSize = size >= kReaderControlBytes ? size - kReaderControlBytes : size;
    fileSize = std::min(fileSize, kReaderMaxFileBytes);
    if (!file.write(fileBytes, fileSize) || !rig.video.allocate() || !rig.audio.allocate()) {
        return std::string();  // nothing to test without a file
    }
    rig.video.reset();
    rig.audio.reset();
    rig.clock.reset();
    rig.reader.reset();
    rig.told = false;
    rig.format = StreamFormat{};
    Reader& reader = rig.reader;
    std::vector<uint32_t> delays;
    if (reader.start(file.path())) {
        for (;;) {
            const size_t n = delays.size();
            if (n >= 1 && n <= static_cast<size_t>(controls.seekCount)) {
                reader.requestSeek(controls.seekPercent[n - 1]);
            }
            const int64_t before = rig.pacer.nowUs();
            if (!reader.step()) {
                break;
            }
            delays.push_back(static_cast<uint32_t>((rig.pacer.nowUs() - before) / 1000));
        }
    }
    reader.finish();
    findings.check(!reader.playing(), "playing is still set after the reader ended");
    findings.check(reader.progress() >= 0 && reader.progress() <= 100,
                   "progress " + std::to_string(reader.progress()) + " outside 0..100");
    if (controls.seekCount > 0) {
        return findings.text();
    }
    const ExpectedReading e = expectReading(fileBytes, fileSize);
    auto list = [](const std::vector<uint32_t>& values) {
        std::string text;
        for (uint32_t v : values) {
            text += " " + std::to_string(v);
        }
        return text;
    };
    findings.check(delays == e.delays,
                   "delays before the records:" + list(delays) + ", expected:" + list(e.delays));
    findings.check((reader.problem() == FileProblem::NotARecording) != e.accepted,
                   "invalid header not told, or told for a valid one");
    findings.check(rig.told == e.accepted && rig.format.h264 == (e.accepted && e.h264),
                   "the stream found is not the header's");
    if (e.accepted) {
        findings.check(reader.recordTime() == e.lastRecordTime,
                       "the record time on show is not the last record's");
    }
    auto ringHolds = [](ByteRing& ring, const std::vector<uint8_t>& bytes,
                        const std::vector<StreamMark>& marks) {
        uint8_t flushSeen = 0;
        StreamMark current{~0u, -1, false};
        StreamMark flush;
        // The flush with which a reader starts, then each record's mark at its bytes and time.
        for (const StreamMark& mark : marks) {
            while (ring.marks().advanceTo(mark.position, &current, &flush)) {
                ++flushSeen;
            }
            if (current.position != mark.position || current.streamTime != mark.streamTime) {
                return false;
            }
        }
        uint32_t next = 0;
        return (marks.empty() || flushSeen == 1) && !ring.marks().nextRecordPosition(&next) &&
               ring.unread() == bytes.size() && std::equal(bytes.begin(), bytes.end(), ring.data());
    };
    if (e.accepted) {
        findings.check(ringHolds(rig.video, e.video, e.videoMarks),
                       "the video ring does not hold exactly the records' bytes and marks");
        findings.check(ringHolds(rig.audio, e.audio, e.audioMarks),
                       "the audio ring does not hold exactly the records' bytes and marks");
    }
    const uint64_t progress = e.delays.empty() ? 0 : e.consumed * 100 / fileSize;
    findings.check(
        static_cast<uint64_t>(reader.progress()) == progress,
        "progress " + std::to_string(reader.progress()) + ", expected " + std::to_string(progress));
    return findings.text();
}

}  // namespace vidora::fuzz
