#pragma once
// Players as whole processes on an X server of their own: the real vidora binary and two
// general-purpose players, each timed by the CPU its process used per second of media.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/process_stats.h"

namespace vidora::bench {

// An Xvfb on a display number it picks itself; stopped when this goes.
class XServer {
  public:
    XServer() = default;
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;
    bool start(int width, int height, const std::string& logPath, std::string* error);
    const std::string& display() const { return display_; }

  private:
    pid_t pid_ = -1;
    std::string display_;
};

struct PlayerRun {
    bool ok = false;
    double cpuSeconds = 0.0;
    double wallSeconds = 0.0;
    int64_t dropped = -1;  // pictures the player says it dropped; -1 when it does not say
    std::string note;      // why a run failed
};

// Tells when a recording's sound has ended in the 16-bit samples a player writes into a file:
// once no sample above the silence level has come for a while, the end was the last loud one.
class SoundEndWatch {
  public:
    static constexpr int kSilenceLevel = 16;
    // Takes the bytes written since the last call; true when one of them was loud.
    bool feed(const uint8_t* bytes, size_t count);
    bool heardAny() const { return heard_; }

  private:
    bool heard_ = false;
    bool oddByte_ = false;
    uint8_t low_ = 0;
};

struct Launch {
    std::vector<std::string> argv;
    std::vector<std::string> env;  // NAME=VALUE over the benchmark's own environment
    std::string logPath;           // standard error (and output) go here
};

// Runs until the player exits by itself; its CPU time is the whole process's, from wait4.
PlayerRun runToExit(const Launch& launch, double timeoutSeconds);

// Runs vidora until the recording's sound, written by SDL's disk driver into `soundPath`, has
// ended; its CPU time is read from /proc up to the last sound heard, then it is sent SIGTERM.
// With `fullscreen` its window is double-clicked on the video area first (xdotool).
PlayerRun runVidora(const Launch& launch, const std::string& soundPath, double mediaSeconds,
                    bool fullscreen, const std::string& display);

struct ReplayRun {
    std::string note;                 // why the run failed, if it did
    std::vector<RssSample> samples;   // vidora's resident size, every sampleSeconds
    std::vector<RssSample> passEnds;  // and at the end of each pass, before it plays again
};

// Runs vidora for `totalSeconds` in the normal skin, clicking its play button to play the
// recording again each time its sound (as for runVidora) has ended, and reads its resident size.
ReplayRun runVidoraReplaying(const Launch& launch, const std::string& soundPath,
                             double mediaSeconds, double totalSeconds, double sampleSeconds,
                             const std::string& display);

// The first line a command prints (its version), or empty when it cannot run.
std::string firstLineOf(const std::string& command);

// The "bench-drops vo=N decoder=N" line the mpv script prints at its end: their sum, or -1.
int64_t mpvDrops(const std::string& log);

}  // namespace vidora::bench
