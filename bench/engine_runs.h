#pragma once
// The player's real engine driven headless: the reader, the decoders, the scaler and the
// presenter drawing into an off-screen video surface, and the sound going to whatever SDL audio
// driver the environment names (the benchmark picks the dummy driver). Throughput drives the
// reader and the video path itself; the other runs use the engine's four threads, as the player
// does.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bench/bench_recording.h"
#include "platform/geometry.h"

namespace vidora::bench {

struct EngineThroughput {
    bool ok = false;
    size_t pictures = 0;          // presented in all
    size_t measuredPictures = 0;  // presented after the first one was seen
    double firstToLastSeconds = 0.0;
    double framesPerSecond() const {
        return firstToLastSeconds > 0.0 ? measuredPictures / firstToLastSeconds : 0.0;
    }
};

// Plays the recording as fast as the video path goes: the reader runs unpaced on virtual time,
// held back only while the video ring is half full (so that no record is ever dropped for a
// full ring).
EngineThroughput engineThroughput(const BenchRecording& recording, Rect area);

struct RealtimePlay {
    bool ok = false;
    double cpuSeconds = 0.0;   // the whole process, from open to the reader's end
    double wallSeconds = 0.0;  // the same span
    uint32_t pictures = 0;
};

// Plays the recording at recorded speed, as the player does.
RealtimePlay playAtRecordedSpeed(const BenchRecording& recording, Rect area);

// Plays a little, pauses, and returns the process's CPU time over `seconds` of the pause as a
// share of one core; negative when the engine never got to play.
double pausedCpuShare(const BenchRecording& recording, Rect area, double seconds);

struct SeekLatencies {
    std::vector<double> seconds;  // one per seek that showed a picture
    int failed = 0;               // seeks after which no picture came within the timeout
    int inexact = 0;              // seeks whose first picture was not the landing record's
};

// Plays at recorded speed and seeks `count` times to spread-out percentages, each once the
// previous seek has shown its first picture and played on a little, once the record index is
// ready. A seek's latency runs from requestSeek to the first picture presented from the new
// position, which is the picture of the record the seek lands on.
SeekLatencies seekLatencies(const BenchRecording& recording, Rect area, int count);

}  // namespace vidora::bench
