#include "bench/peer_runs.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench/process_stats.h"

extern char** environ;

namespace vidora::bench {

namespace {

constexpr auto kPoll = std::chrono::milliseconds(100);
// Vidora's sound has ended once nothing loud has come for this long.
constexpr double kQuietToEnd = 1.5;
// A pass that starts is heard within this long.
constexpr double kSoundStartSeconds = 15.0;

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// The environment a child gets: ours, with `changes` applied ("NAME=VALUE" sets, "NAME" unsets).
std::vector<std::string> childEnvironment(const std::vector<std::string>& changes) {
    std::vector<std::string> env;
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const std::string& change : changes) {
            replaced = replaced || nameOf(change) == nameOf(entry);
        }
        if (!replaced) {
            env.push_back(entry);
        }
    }
    for (const std::string& change : changes) {
        if (change.find('=') != std::string::npos) {
            env.push_back(change);
        }
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

// Starts the launch; -1 when fork fails. A program that cannot be started exits with 127 at once.
// The child stays in the benchmark's process group, so that an interrupt reaches it too.
pid_t spawn(const Launch& launch, int keepFd = -1) {
    std::vector<std::string> argv = launch.argv;
    std::vector<std::string> env = childEnvironment(launch.env);
    std::vector<char*> argvp = pointers(argv);
    std::vector<char*> envp = pointers(env);
    pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    int in = open("/dev/null", O_RDONLY);
    int log = open(launch.logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in >= 0) {
        dup2(in, 0);
    }
    if (log >= 0) {
        dup2(log, 1);
        dup2(log, 2);
    }
    for (int fd = 3; fd < 1024; ++fd) {
        if (fd != keepFd) {
            close(fd);
        }
    }
    execvpe(argvp[0], argvp.data(), envp.data());
    _exit(127);
}

// Ends a child: SIGTERM, then SIGKILL after `graceSeconds`; reaps it.
void endProcess(pid_t pid, double graceSeconds) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    const Clock::time_point start = Clock::now();
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (secondsSince(start) > graceSeconds) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// User and system CPU seconds of a running process, from /proc.
double procCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t paren = text.rfind(')');
    if (paren == std::string::npos) {
        return -1.0;
    }
    std::istringstream fields(text.substr(paren + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n == 14) {
            utime = std::strtoull(field.c_str(), nullptr, 10);
        } else if (n == 15) {
            stime = std::strtoull(field.c_str(), nullptr, 10);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string xdotool(const std::string& display, const std::string& arguments) {
    std::string out;
    std::string command = "DISPLAY=" + display + " xdotool " + arguments + " 2>/dev/null";
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            out += buffer;
        }
        pclose(pipe);
    }
    return out;
}

int shellValue(const std::string& text, const std::string& key) {
    size_t at = text.find(key + "=");
    return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + key.size() + 1);
}

// Clicks (`clicks` times) at (x, y) in the player's window; its window id, empty when it has no
// window to click.
std::string clickInWindow(const std::string& display, pid_t pid, int x, int y, int clicks) {
    std::string window = xdotool(display, "search --onlyvisible --pid " + std::to_string(pid));
    window = window.substr(0, window.find('\n'));
    if (window.empty()) {
        return window;
    }
    std::string geometry = xdotool(display, "getwindowgeometry --shell " + window);
    int left = shellValue(geometry, "X");
    int top = shellValue(geometry, "Y");
    if (left < 0 || top < 0) {
        return std::string();
    }
    xdotool(display, "mousemove " + std::to_string(left + x) + " " + std::to_string(top + y) +
                         " click --repeat " + std::to_string(clicks) + " --delay 120 1");
    return window;
}

// Double-clicks the normal skin's video area; true once the window fills the screen.
bool enterFullscreen(const std::string& display, pid_t pid) {
    int screenWidth = std::atoi(xdotool(display, "getdisplaygeometry").c_str());
    if (screenWidth <= 0) {
        return false;
    }
    // The middle of the normal skin's video area, (88, 20)-(420, 256) in the window.
    std::string window = clickInWindow(display, pid, 254, 138, 2);
    if (window.empty()) {
        return false;
    }
    for (int i = 0; i < 30; ++i) {
        std::string after = xdotool(display, "getwindowgeometry --shell " + window);
        if (shellValue(after, "WIDTH") == screenWidth) {
            return true;
        }
        std::this_thread::sleep_for(kPoll);
    }
    return false;
}

// Feeds the sound written into `path` since `offset` to `watch`; true when some of it was loud.
bool readSound(const std::string& path, long long* offset, SoundEndWatch* watch) {
    bool loud = false;
    if (std::FILE* sound = std::fopen(path.c_str(), "rb")) {
        if (fseeko(sound, *offset, SEEK_SET) == 0) {
            uint8_t buffer[1 << 16];
            size_t got = 0;
            while ((got = std::fread(buffer, 1, sizeof buffer, sound)) > 0) {
                *offset += static_cast<long long>(got);
                loud = watch->feed(buffer, got) || loud;
            }
        }
        std::fclose(sound);
    }
    return loud;
}

}  // namespace

XServer::~XServer() {
    endProcess(pid_, 3.0);
}

bool XServer::start(int width, int height, const std::string& logPath, std::string* error) {
    int fds[2];
    if (pipe(fds) != 0) {
        *error = "no pipe for Xvfb";
        return false;
    }
    Launch launch;
    launch.argv = {
        "Xvfb",      "-displayfd", std::to_string(fds[1]),
        "-screen",   "0",          std::to_string(width) + "x" + std::to_string(height) + "x24",
        "-nolisten", "tcp",        "-noreset"};
    launch.logPath = logPath;
    pid_ = spawn(launch, fds[1]);
    close(fds[1]);
    std::string number;
    pollfd wait{fds[0], POLLIN, 0};
    const Clock::time_point start = Clock::now();
    while (pid_ > 0 && secondsSince(start) < 10.0 && number.find('\n') == std::string::npos) {
        if (poll(&wait, 1, 200) > 0) {
            char c = 0;
            if (read(fds[0], &c, 1) != 1) {
                break;
            }
            number += c;
        }
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) {
        *error = "Xvfb did not start (see " + logPath + ")";
        endProcess(pid_, 1.0);
        pid_ = -1;
        return false;
    }
    display_ = ":" + number.substr(0, number.find('\n'));
    return true;
}

bool SoundEndWatch::feed(const uint8_t* bytes, size_t count) {
    bool loud = false;
    for (size_t i = 0; i < count; ++i) {
        if (!oddByte_) {
            low_ = bytes[i];
            oddByte_ = true;
            continue;
        }
        oddByte_ = false;
        int sample = static_cast<int16_t>(static_cast<uint16_t>(low_ | (bytes[i] << 8)));
        loud = loud || sample > kSilenceLevel || sample < -kSilenceLevel;
    }
    heard_ = heard_ || loud;
    return loud;
}

PlayerRun runToExit(const Launch& launch, double timeoutSeconds) {
    PlayerRun run;
    const Clock::time_point start = Clock::now();
    pid_t pid = spawn(launch);
    if (pid < 0) {
        run.note = "cannot fork";
        return run;
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, WNOHANG, &usage) == 0) {
        if (secondsSince(start) > timeoutSeconds) {
            endProcess(pid, 3.0);
            run.note =
                "still playing after " + std::to_string(static_cast<int>(timeoutSeconds)) + " s";
            return run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    run.wallSeconds = secondsSince(start);
    run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
        run.note = "cannot start " + launch.argv[0];
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        run.note = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                     : "killed by signal " + std::to_string(WTERMSIG(status));
    } else {
        run.ok = true;
    }
    return run;
}

PlayerRun runVidora(const Launch& launch, const std::string& soundPath, double mediaSeconds,
                    bool fullscreen, const std::string& display) {
    PlayerRun run;
    const Clock::time_point start = Clock::now();
    pid_t pid = spawn(launch);
    if (pid < 0) {
        run.note = "cannot fork";
        return run;
    }
    SoundEndWatch watch;
    long long offset = 0;
    double lastLoudAt = 0.0;
    double cpuAtLastLoud = 0.0;
    bool inFullscreen = !fullscreen;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) != 0) {
            run.note = "exited before its sound ended";
            return run;
        }
        const double cpu = procCpuSeconds(pid);
        const double now = secondsSince(start);
        if (readSound(soundPath, &offset, &watch)) {
            lastLoudAt = now;
            cpuAtLastLoud = cpu;
        }
        if (!inFullscreen && now > 0.3) {
            inFullscreen = enterFullscreen(display, pid);
            if (!inFullscreen && now > 10.0) {
                run.note = "did not go fullscreen";
                break;
            }
        }
        if (watch.heardAny() && now - lastLoudAt >= kQuietToEnd) {
            run.ok = inFullscreen;
            run.cpuSeconds = cpuAtLastLoud;
            run.wallSeconds = lastLoudAt;
            break;
        }
        if (now > mediaSeconds + 15.0) {
            run.note = watch.heardAny() ? "its sound did not end" : "it wrote no sound";
            break;
        }
        std::this_thread::sleep_for(kPoll);
    }
    endProcess(pid, 5.0);
    return run;
}

ReplayRun runVidoraReplaying(const Launch& launch, const std::string& soundPath,
                             double mediaSeconds, double totalSeconds, double sampleSeconds,
                             const std::string& display) {
    ReplayRun run;
    const Clock::time_point start = Clock::now();
    pid_t pid = spawn(launch);
    if (pid < 0) {
        run.note = "cannot fork";
        return run;
    }
    SoundEndWatch watch;
    long long offset = 0;
    double passStart = 0.0;
    double lastLoudAt = 0.0;
    bool heardThisPass = false;
    double nextSample = 0.0;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) != 0) {
            run.note = "exited after " + std::to_string(run.passEnds.size()) + " passes";
            return run;
        }
        const double now = secondsSince(start);
        if (readSound(soundPath, &offset, &watch)) {
            lastLoudAt = now;
            heardThisPass = true;
        }
        if (now >= nextSample) {
            run.samples.push_back({now, residentKibOf(pid)});
            nextSample += sampleSeconds;
        }
        if (now >= totalSeconds) {
            break;
        }
        // Over once its time has surely passed and its sound has stopped: a click any earlier
        // would pause it.
        if (heardThisPass && now - passStart >= mediaSeconds + 1.0 &&
            now - lastLoudAt >= kQuietToEnd) {
            run.passEnds.push_back({now, residentKibOf(pid)});
            // The play button of the normal skin, (440, 112)-(488, 160) in the window.
            if (clickInWindow(display, pid, 464, 136, 1).empty()) {
                run.note = "no window to click";
                break;
            }
            passStart = now;
            heardThisPass = false;
        } else if (!heardThisPass && now - passStart > kSoundStartSeconds) {
            run.note = "no sound in pass " + std::to_string(run.passEnds.size() + 1);
            break;
        } else if (now - passStart > mediaSeconds + 15.0) {
            run.note = "pass " + std::to_string(run.passEnds.size() + 1) + " did not end";
            break;
        }
        std::this_thread::sleep_for(kPoll);
    }
    endProcess(pid, 5.0);
    return run;
}

std::string firstLineOf(const std::string& command) {
    std::string line;
    if (std::FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
        char buffer[512];
        if (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            line = buffer;
        }
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        }
        pclose(pipe);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

int64_t mpvDrops(const std::string& log) {
    size_t at = log.rfind("bench-drops vo=");
    if (at == std::string::npos) {
        return -1;
    }
    long long vo = -1;
    long long decoder = -1;
    if (std::sscanf(log.c_str() + at, "bench-drops vo=%lld decoder=%lld", &vo, &decoder) != 2 ||
        vo < 0 || decoder < 0) {
        return -1;
    }
    return vo + decoder;
}

}  // namespace vidora::bench
