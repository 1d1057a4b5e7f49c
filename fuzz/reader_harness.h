#pragma once
// The reader on arbitrary bytes. An input is four control bytes and then the file itself:
//
//   byte 0   bit 0: give the reader a surface to draw the invalid-file text on
//            bit 1: pause at the first record and resume after three pause turns
//            bits 2-3: how many of the seek requests below to make (0 to 3)
//   bytes 1-3  seek requests, made while the reader waits before records 1, 2 and 3:
//            0..200 is that percentage, 201..255 a negative one (-1..-55)
//
// The engine runs with its pacing injected away and its other three threads held idle, so the
// reader alone works on the rings. Without seeks, what the reader did is compared with what the
// file format says it must do, worked out here independently of the player's parser: which
// header passes, which record ends playback, the delay before each record, every byte that
// reaches the rings with the mark of its record, the record time on show and the progress.
// With seeks, only what holds for any run is checked. A run ends by itself (every record or
// seek step consumes file bytes); a reader still running after 20 s is reported as a hang.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/playback_engine.h"
#include "fuzz/memory_file.h"
#include "fuzz/run_support.h"
#include "platform/surface.h"

namespace vidora::fuzz {

constexpr size_t kReaderControlBytes = 4;
// Larger inputs are cut: with no consumer, more than this could fill a ring, and the drops
// that follow are the ring's business, not the reader's.
constexpr size_t kReaderMaxFileBytes = 512 * 1024;

struct ReaderControls {
    bool drawTarget = false;
    bool pauseOnce = false;
    int seekCount = 0;
    int32_t seekPercent[3] = {};
};

inline ReaderControls readerControls(const uint8_t* data, size_t size) {
    ReaderControls c;
    if (size < kReaderControlBytes) {
        return c;
    }
    c.drawTarget = (data[0] & 1) != 0;
    c.pauseOnce = (data[0] & 2) != 0;
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

// Runs one input; returns the failed checks (empty when none failed).
inline std::string runReaderCase(PlaybackEngine& engine, MemoryFile& file, Surface& surface,
                                 const uint8_t* data, size_t size) {
    Findings findings;
    const ReaderControls controls = readerControls(data, size);
    const uint8_t* fileBytes = size >= kReaderControlBytes ? data + kReaderControlBytes : data;
    size_t fileSize = size >= kReaderControlBytes ? size - kReaderControlBytes : size;
    fileSize = std::min(fileSize, kReaderMaxFileBytes);
    if (!file.write(fileBytes, fileSize)) {
        return std::string();  // nothing to test without a file
    }

    std::mutex mutex;
    std::vector<uint32_t> delays;
    std::atomic<int> pauseTurns{0};
    engine.setSleepFunction([&](SleepSite site, uint32_t ms) {
        switch (site) {
            case SleepSite::ReaderPacing: {
                size_t n;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    delays.push_back(ms);
                    n = delays.size();
                }
                if (controls.pauseOnce && n == 1) {
                    engine.paused.store(1);
                }
                if (n <= static_cast<size_t>(controls.seekCount)) {
                    engine.requestSeek(controls.seekPercent[n - 1]);
                }
                return;
            }
            case SleepSite::ReaderPause:
                if (pauseTurns.fetch_add(1) + 1 >= 3) {
                    engine.paused.store(0);
                }
                return;
            case SleepSite::ToggleDelay:
            case SleepSite::AudioOutGrace:
                std::this_thread::sleep_for(std::chrono::microseconds(50));
                return;
            default:
                // The video and audio threads stay where they are until the run is stopped.
                waitUntil([&] { return engine.stopRequested.load() != 0; },
                          std::chrono::seconds(60), std::chrono::microseconds(500));
                return;
        }
    });

    Surface* target = controls.drawTarget ? &surface : nullptr;
    if (target != nullptr) {
        surface.fill(Rect{0, 0, surface.width(), surface.height()}, 0);
    }
    engine.open(file.path(), target, Rect{0, 0, surface.width(), surface.height()});
    bool ended =
        waitUntil([&] { return engine.readerRunning.load() == 0; }, std::chrono::seconds(20));
    findings.check(ended, "the reader did not end within 20 s");

    if (ended) {
        findings.check(engine.isPlaying() == 0, "playing is still set after the reader ended");
        int progress = engine.progress();
        findings.check(progress >= 0 && progress <= 99,
                       "progress " + std::to_string(progress) + " outside 0..99");
    }
    if (ended && controls.seekCount == 0) {
        const ExpectedReading e = expectReading(fileBytes, fileSize);
        std::vector<uint32_t> seen;
        {
            std::lock_guard<std::mutex> lock(mutex);
            seen = delays;
        }
        findings.check(seen == e.delays, "delivered " + std::to_string(seen.size()) +
                                             " records with their delays, " + "expected " +
                                             std::to_string(e.delays.size()));
        findings.check(engine.streamConfigured.load() == (e.accepted ? 1 : 0),
                       "stream configured although the header is invalid, or not although valid");
        if (e.accepted) {
            findings.check(engine.isH263.load() == (e.h264 ? 0 : 1), "wrong codec chosen");
            findings.check(engine.currentRecordTime() == e.lastRecordTime,
                           "the record time on show is not the last record's");
        }
        const uint32_t video = engine.videoRing.written.load();
        const uint32_t audio = engine.audioRing.written.load();
        // Where the marks ran out, which records were dropped depends on whether a consumer
        // took marks meanwhile (see below); the rings are then not compared.
        const bool marksRanOut =
            e.videoMarks.size() >= kReaderMarksHeld || e.audioMarks.size() >= kReaderMarksHeld;
        findings.check((marksRanOut && engine.decodersReady.load() != 0) ||
                           (video == e.video.size() &&
                            std::equal(e.video.begin(), e.video.end(), engine.videoRing.data())),
                       "the video ring does not hold exactly the records' video bytes");
        findings.check((marksRanOut && engine.decodersReady.load() != 0) ||
                           (audio == e.audio.size() &&
                            std::equal(e.audio.begin(), e.audio.end(), engine.audioRing.data())),
                       "the audio ring does not hold exactly the records' audio bytes");
        const uint64_t progress = e.delays.empty() ? 0 : e.consumed * 100 / fileSize;
        findings.check(static_cast<uint64_t>(engine.progress()) == progress,
                       "progress " + std::to_string(engine.progress()) + ", expected " +
                           std::to_string(progress));
    }

    engine.close();
    // The video thread sets the decoders up when it sees the stream configured before its first
    // sleep; only while it has not, nobody has taken a mark.
    if (ended && controls.seekCount == 0 && engine.decodersReady.load() == 0) {
        // The marks are all still queued, each at its record's bytes and time, behind the flush
        // with which a reader starts.
        const ExpectedReading e = expectReading(fileBytes, fileSize);
        auto marksMatch = [](StreamMarks& marks, const std::vector<StreamMark>& expected) {
            bool first = true;
            for (const StreamMark& mark : expected) {
                StreamMark current{~0u, -1, false};
                StreamMark flush;
                while (marks.advanceTo(mark.position, &current, &flush)) {
                    if (!first || flush.position != 0 || current.position != ~0u) {
                        return false;
                    }
                }
                first = false;
                if (current.position != mark.position || current.streamTime != mark.streamTime) {
                    return false;
                }
            }
            uint32_t next = 0;
            return !marks.nextRecordPosition(&next);
        };
        findings.check(marksMatch(engine.videoRing.marks, e.videoMarks),
                       "the video marks do not give each record's position and stream time");
        findings.check(marksMatch(engine.audioRing.marks, e.audioMarks),
                       "the audio marks do not give each record's position and stream time");
    }
    checkClosed(engine, findings);
    engine.setSleepFunction(nullptr);
    return findings.text();
}

}  // namespace vidora::fuzz
