#include "bench/process_stats.h"

#include <sys/resource.h>
#include <sys/utsname.h>

#include <ctime>
#include <fstream>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

namespace vidora::bench {

namespace {

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double cpuOf(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int64_t statusKib(const std::string& key, const std::string& path = "/proc/self/status",
                  int64_t missing = 0) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) == 0 && line.size() > key.size() &&
            line[key.size()] == ':') {
            return std::stoll(line.substr(key.size() + 1));
        }
    }
    return missing;
}

std::string version(unsigned v) {
    return std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xFF) + "." +
           std::to_string(v & 0xFF);
}

}  // namespace

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double processCpuSeconds() {
    return cpuOf(RUSAGE_SELF);
}

double threadCpuSeconds() {
    return cpuOf(RUSAGE_THREAD);
}

int64_t peakResidentKib() {
    return statusKib("VmHWM");
}

int64_t residentKib() {
    return statusKib("VmRSS");
}

int64_t residentKibOf(pid_t pid) {
    return statusKib("VmRSS", "/proc/" + std::to_string(pid) + "/status", -1);
}

MachineInfo machineInfo() {
    MachineInfo info;
    std::ifstream cpu("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpu, line)) {
        if (line.compare(0, 10, "model name") == 0) {
            size_t colon = line.find(':');
            if (colon != std::string::npos) {
                info.cpuModel = line.substr(colon + 2);
            }
            break;
        }
    }
    info.cores = std::thread::hardware_concurrency();
    utsname name{};
    if (uname(&name) == 0) {
        info.kernel = std::string(name.sysname) + " " + name.release + " " + name.machine;
    }
    info.libraries =
        "libavcodec " + version(avcodec_version()) + ", libswscale " + version(swscale_version());
    return info;
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string utcTimestamp() {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &utc);
    return text;
}

}  // namespace vidora::bench
