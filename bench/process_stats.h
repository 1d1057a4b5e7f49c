#pragma once
// What the benchmark reads about its own process and the machine.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace vidora::bench {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start);
// CPU time of the whole process (every thread), user and system.
double processCpuSeconds();
// CPU time of the calling thread.
double threadCpuSeconds();
// Peak and current resident size of this process, in KiB (VmHWM and VmRSS).
int64_t peakResidentKib();
int64_t residentKib();
// Current resident size of another process, in KiB; -1 once it is gone.
int64_t residentKibOf(pid_t pid);

// A process's resident size at a time, in seconds from the start of its run.
struct RssSample {
    double seconds = 0.0;
    int64_t kib = 0;
};

struct MachineInfo {
    std::string cpuModel;
    unsigned cores = 0;
    std::string kernel;
    std::string libraries;  // FFmpeg's and SDL's versions
};
MachineInfo machineInfo();
// The 1, 5 and 15 minute load averages, as /proc/loadavg gives them.
std::string loadAverage();
std::string utcTimestamp();

}  // namespace vidora::bench
