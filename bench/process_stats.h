#pragma once
// What the benchmark reads about its own process and the machine.

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
