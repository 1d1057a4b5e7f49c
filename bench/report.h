#pragma once
// The benchmark's results and their two write-ups: a Markdown table for people and a JSON file
// for tools.

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/process_stats.h"

namespace vidora::bench {

// The middle value (the mean of the two middle values for an even count); 0 for none.
double median(std::vector<double> values);
// The nearest-rank percentile: the smallest value with at least p % of the values at or below it.
double percentile(std::vector<double> values, double p);

struct ThroughputRow {
    std::string recording;
    std::string area;  // "normal 332x236" and so on
    int displayWidth = 0;
    int displayHeight = 0;
    std::vector<double> engineFps;  // one per run, in run order
    std::vector<double> limitFps;
    size_t enginePictures = 0;
    size_t limitPictures = 0;
    double ratio() const;
};

struct RealtimeRow {
    std::string recording;
    std::string area;
    double mediaSeconds = 0.0;
    // CPU seconds per second of media, one per run.
    std::vector<double> engineCpu;
    std::vector<double> decodeCpu;
    // Decoding and scaling to the display size, the video part of the throughput limit; shown
    // for reference.
    std::vector<double> decodeScaleCpu;
    std::vector<double> peakMib;  // the playing process's peak resident size, per run
    bool showMemory = false;      // listed in the memory table
    uint32_t pictures = 0;
    double ratio() const;
    double ratioToScaled() const;
};

struct PausedResult {
    bool measured = false;
    std::string recording;
    double seconds = 0.0;
    std::vector<double> coreShare;  // CPU time over wall time while paused, per run
};

struct SeekResult {
    bool measured = false;
    std::string recording;
    std::string area;
    std::vector<double> latencySeconds;
    int failed = 0;
    int inexact = 0;
};

// One player's runs of one recording in one window size.
struct PeerSeries {
    std::vector<double> cpu;  // CPU seconds of the whole process per second of media, per run
    std::vector<std::string> failures;  // why runs failed, one per failed run
    int64_t dropped = -1;               // most pictures one run dropped; -1: not known
    bool dropsOff = false;              // the player was told never to drop a picture
};

struct PeerRow {
    std::string recording;
    std::string area;  // the window (or fullscreen video area) size
    double mediaSeconds = 0.0;
    PeerSeries vidora;
    PeerSeries mpv;
    PeerSeries ffplay;
    // Vidora's median over the peer's; 0 when either has no run.
    static double ratio(const PeerSeries& mine, const PeerSeries& theirs);
};

struct PeerComparison {
    bool measured = false;
    std::string vidoraBinary;
    std::string mpvVersion;     // empty: not installed
    std::string ffplayVersion;  // empty: not installed
    std::string mpvCommand;
    std::string ffplayCommand;
    std::string note;  // why nothing could be measured, if so
    std::vector<PeerRow> rows;
};

// The real player playing one recording again and again: its resident size through the run.
struct LongPlayResult {
    bool measured = false;
    std::string recording;
    std::string area;
    double mediaSeconds = 0.0;
    double minutes = 0.0;             // the run's length, as asked
    std::vector<RssSample> samples;   // VmRSS through the run
    std::vector<RssSample> passEnds;  // VmRSS at the end of each pass
    std::string note;                 // why the run failed, if it did
};

// What a long run's samples say, in KiB; -1 or NaN where the run was too short to tell.
struct LongPlayGrowth {
    int64_t firstPassKib = -1;         // at the end of the first pass
    int64_t endKib = -1;               // at the last sample
    std::vector<double> perPassKib;    // from the end of each pass to the end of the next
    double per10MinutesKib = NAN;      // from the end of the first pass to the last sample
    double latePer10MinutesKib = NAN;  // over the second half of that time
};
LongPlayGrowth longPlayGrowth(const LongPlayResult& result);

// Building the record index of a long recording with the page cache warm.
struct RecordIndexResult {
    bool measured = false;
    std::string recording;
    uint64_t fileBytes = 0;
    size_t records = 0;
    size_t keys = 0;
    std::vector<double> seconds;  // one build per run
    double bytesPerRecord = 0.0;
    std::string note;  // why it could not be measured, if so
};

struct ExportResult {
    bool measured = false;
    std::string recording;
    uint64_t fileBytes = 0;
    double footageSeconds = 0.0;
    uint64_t mp4Bytes = 0;
    std::vector<double> seconds;  // one export per run
    std::string note;             // why it could not be measured, if so
};

struct Report {
    MachineInfo machine;
    std::string buildType;
    std::string audioDriver;
    std::string startedAt;
    std::string loadAtStart;
    std::string loadAtEnd;
    int repetitions = 0;
    std::vector<ThroughputRow> throughput;
    std::vector<RealtimeRow> realtime;
    PausedResult paused;
    SeekResult seek;
    PeerComparison peers;
    LongPlayResult longPlay;
    RecordIndexResult recordIndex;
    ExportResult exportRun;
};

std::string markdown(const Report& report);
std::string json(const Report& report);

}  // namespace vidora::bench
