// vidora-bench: how much of the machine playing a recording takes, against the least that
// decoding it can cost. `make bench` builds it with its recordings and runs it (BENCH_ARGS
// passes options, see kUsage); report.h says what is written.
//
// Measurements that need a process of their own (CPU time of a whole playback, the peak resident
// size, a pause) run this program again as a child with --child; everything else runs here.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_recording.h"
#include "bench/engine_runs.h"
#include "bench/ffmpeg_limit.h"
#include "bench/peer_media.h"
#include "bench/peer_runs.h"
#include "bench/process_stats.h"
#include "bench/report.h"
#include "engine/playback_engine.h"
#include "recording/record_index.h"
#include "recording/recording_format.h"
#include "video/presenter.h"

#ifndef VIDORA_BENCH_BUILD_TYPE
#define VIDORA_BENCH_BUILD_TYPE "unknown"
#endif

namespace vidora::bench {
namespace {

constexpr char kUsage[] =
    "usage: vidora-bench --data DIR [--out DIR] [--runs N] [--only LIST] [--recordings NAMES]\n"
    "                    [--seeks N] [--paused-seconds S] [--memory-minutes M] [--vidora PATH]\n"
    "  DIR holds the recordings of make-bench-data.sh; RESULTS.md and results.json go to --out\n"
    "  (default: the current folder). LIST is any of throughput,realtime,seek,paused,peers,\n"
    "  longplay,index,export; NAMES limits throughput, real-time and peer runs to some of "
    "h264_320x240,\n"
    "  h264_1280x720, h264_1920x1080 and h263_352x288. M is how long the long playback runs\n"
    "  (default 30 minutes; BENCH_LONGPLAY=0 in the environment leaves it out). PATH is the\n"
    "  player the peer and long playback runs start (default: vidora in the build folder above\n"
    "  this program).\n";

struct Area {
    const char* name;
    Rect rect;
};

// The normal and large skins' video areas, and a whole 1080p screen.
constexpr Area kNormal{"normal 332x236", Rect{0, 0, 332, 236}};
constexpr Area kLarge{"large 512x324", Rect{0, 0, 512, 324}};
constexpr Area kFullscreen{"fullscreen 1920x1080", Rect{0, 0, 1920, 1080}};

const char* const kRecordings[] = {"h264_320x240", "h264_1280x720", "h264_1920x1080",
                                   "h263_352x288"};
const char kSeekRecording[] = "h264_1280x720_long";
const char kLongPlayRecording[] = "h264_1280x720_long";
// The record index is built over this recording's records repeated up to a GiB.
const char kIndexSource[] = "h264_1280x720";
const char kIndexRecording[] = "h264_1280x720_1gib";
constexpr uint64_t kIndexRecordingBytes = uint64_t{1} << 30;
// `krmtool export` is timed on ten minutes of the same records.
const char kExportRecording[] = "h264_1280x720_10min";
constexpr uint32_t kExportRecordingMs = 10 * 60 * 1000;

struct Options {
    std::string dataDir;
    std::string outDir = ".";
    int runs = 5;
    int seeks = 20;
    double pausedSeconds = 10.0;
    bool throughput = true;
    bool realtime = true;
    bool seek = true;
    bool paused = true;
    bool peers = true;
    bool longPlay = true;
    bool recordIndex = true;
    bool exportRun = true;
    int memoryMinutes = 30;
    std::string vidora;      // the player binary; empty: beside the bench's folder
    std::string recordings;  // comma-separated names; empty: all
    bool wanted(const std::string& name) const {
        return recordings.empty() ||
               ("," + recordings + ",").find("," + name + ",") != std::string::npos;
    }
};

void progress(const std::string& line) {
    std::fprintf(stderr, "[bench %s] %s\n", loadAverage().c_str(), line.c_str());
}

std::string shellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

std::string selfPath() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

// Runs this program as a child with `arguments` and reads its "key=value ..." result line.
std::map<std::string, double> runChild(const std::vector<std::string>& arguments) {
    std::string command = shellQuote(selfPath()) + " --child";
    for (const std::string& a : arguments) {
        command += " " + shellQuote(a);
    }
    std::map<std::string, double> values;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return values;
    }
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    if (pclose(pipe) != 0) {
        values.clear();
        return values;
    }
    std::istringstream words(output);
    std::string word;
    while (words >> word) {
        size_t eq = word.find('=');
        if (eq != std::string::npos) {
            values[word.substr(0, eq)] = std::atof(word.c_str() + eq + 1);
        }
    }
    return values;
}

bool load(const std::string& path, BenchRecording* recording) {
    std::string error;
    if (!loadRecording(path, recording, &error)) {
        std::fprintf(stderr, "vidora-bench: %s\n", error.c_str());
        return false;
    }
    return true;
}

// The display size the engine fits this stream to in `area`.
void displaySize(const BenchRecording& recording, Rect area, int* width, int* height) {
    Presenter fit;
    fit.setTarget(nullptr, area);
    fit.fitDisplaySize(recording.width, recording.height);
    *width = fit.displayWidth();
    *height = fit.displayHeight();
}

// --- Child modes: one measurement, one result line on standard output ------------------------

int childMain(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    const std::string mode = argv[0];
    BenchRecording recording;
    if (!load(argv[1], &recording)) {
        return 1;
    }
    auto area = [&](int at) {
        return argc > at + 1 ? Rect{0, 0, std::atoi(argv[at]), std::atoi(argv[at + 1])} : Rect{};
    };
    if (mode == "realtime" && argc >= 4) {
        RealtimePlay play = playAtRecordedSpeed(recording, area(2));
        if (!play.ok) {
            return 1;
        }
        std::printf("cpu=%.6f wall=%.6f pictures=%u media=%.6f peak_kib=%lld\n", play.cpuSeconds,
                    play.wallSeconds, play.pictures, recording.mediaSeconds(),
                    static_cast<long long>(peakResidentKib()));
        return 0;
    }
    if (mode == "decode" && argc >= 4) {
        // Decoding alone, then decoding and scaling to the area's display size (for reference).
        std::vector<Bytes> packets;
        if (!videoPackets(recording, &packets)) {
            return 1;
        }
        PaddedPackets padded(packets);
        std::vector<Bytes> frames = audioFrames(recording);
        double cpuStart = processCpuSeconds();
        LoopResult decoded = decodeOnly(recording, padded, frames);
        const double cpu = processCpuSeconds() - cpuStart;
        int width = 0;
        int height = 0;
        displaySize(recording, area(2), &width, &height);
        cpuStart = processCpuSeconds();
        LoopResult scaled = decodeAndScale(recording, padded, width, height);
        const double cpuScaled = processCpuSeconds() - cpuStart;
        if (!decoded.ok || !scaled.ok) {
            return 1;
        }
        std::printf("cpu=%.6f cpu_scaled=%.6f pictures=%zu media=%.6f\n", cpu, cpuScaled,
                    decoded.pictures, recording.mediaSeconds());
        return 0;
    }
    if (mode == "paused" && argc >= 5) {
        double share = pausedCpuShare(recording, area(2), std::atof(argv[4]));
        if (share < 0.0) {
            return 1;
        }
        std::printf("share=%.6f\n", share);
        return 0;
    }
    return 2;
}

// --- The measurements ------------------------------------------------------------------------

// A run of either side lasts at least this long in measured time, in as many passes over the
// recording as that takes: one pass of a small picture is over in a fifth of a second, short
// enough for the machine's other work to decide its rate.
constexpr double kLeastRunSeconds = 1.0;
constexpr int kMostPasses = 20;

struct Run {
    bool ok = true;
    double pictures = 0.0;  // measured, over all passes
    double seconds = 0.0;
    size_t picturesPerPass = 0;
    double framesPerSecond() const { return seconds > 0.0 ? pictures / seconds : 0.0; }
};

template <typename Pass>
Run passesOver(Pass pass) {
    Run run;
    for (int n = 0; run.ok && n < kMostPasses && run.seconds < kLeastRunSeconds; ++n) {
        pass(&run);
    }
    return run;
}

Run engineRun(const BenchRecording& recording, Rect area) {
    return passesOver([&](Run* run) {
        EngineThroughput engine = engineThroughput(recording, area);
        run->ok = engine.ok && engine.firstToLastSeconds > 0.0;
        run->pictures += static_cast<double>(engine.measuredPictures);
        run->seconds += engine.firstToLastSeconds;
        run->picturesPerPass = engine.pictures;
    });
}

Run limitRun(const BenchRecording& recording, const PaddedPackets& packets, int width, int height) {
    return passesOver([&](Run* run) {
        LoopResult limit = decodeAndScale(recording, packets, width, height);
        run->ok = limit.ok && limit.pictures > 1 && limit.firstToLastSeconds > 0.0;
        run->pictures += static_cast<double>(limit.pictures) - 1.0;
        run->seconds += limit.firstToLastSeconds;
        run->picturesPerPass = limit.pictures;
    });
}

void measureThroughput(const Options& options, const BenchRecording& recording, Report* report) {
    std::vector<Bytes> packets;
    if (!videoPackets(recording, &packets)) {
        progress(recording.name + ": cannot cut the video into packets");
        return;
    }
    PaddedPackets padded(packets);
    for (const Area& area : {kNormal, kLarge, kFullscreen}) {
        ThroughputRow row;
        row.recording = recording.name;
        row.area = area.name;
        displaySize(recording, area.rect, &row.displayWidth, &row.displayHeight);
        for (int run = 0; run < options.runs; ++run) {
            const Run engine = engineRun(recording, area.rect);
            const Run limit = limitRun(recording, padded, row.displayWidth, row.displayHeight);
            if (!engine.ok || !limit.ok) {
                progress(recording.name + " " + area.name + ": a run failed");
                continue;
            }
            row.engineFps.push_back(engine.framesPerSecond());
            row.limitFps.push_back(limit.framesPerSecond());
            row.enginePictures = engine.picturesPerPass;
            row.limitPictures = limit.picturesPerPass;
            progress(recording.name + " " + area.name + ": engine " +
                     std::to_string(engine.framesPerSecond()) + " fps (" +
                     std::to_string(engine.picturesPerPass) + " a pass), limit " +
                     std::to_string(limit.framesPerSecond()) + " fps (" +
                     std::to_string(limit.picturesPerPass) + " a pass)");
        }
        report->throughput.push_back(row);
    }
}

void measureRealtime(const Options& options, const BenchRecording& recording, const Area& area,
                     bool showMemory, Report* report) {
    RealtimeRow row;
    row.recording = recording.name;
    row.area = area.name;
    row.mediaSeconds = recording.mediaSeconds();
    row.showMemory = showMemory;
    for (int run = 0; run < options.runs; ++run) {
        auto play = runChild({"realtime", recording.path, std::to_string(area.rect.width()),
                              std::to_string(area.rect.height())});
        auto decode = runChild({"decode", recording.path, std::to_string(area.rect.width()),
                                std::to_string(area.rect.height())});
        if (play.empty() || decode.empty() || play["media"] <= 0.0) {
            progress(recording.name + " " + area.name + ": a real-time run failed");
            continue;
        }
        row.engineCpu.push_back(play["cpu"] / play["media"]);
        row.decodeCpu.push_back(decode["cpu"] / decode["media"]);
        row.decodeScaleCpu.push_back(decode["cpu_scaled"] / decode["media"]);
        row.peakMib.push_back(play["peak_kib"] / 1024.0);
        row.pictures = static_cast<uint32_t>(play["pictures"]);
        progress(recording.name + " " + area.name + ": playing " +
                 std::to_string(row.engineCpu.back()) + " CPU s/s, decoding alone " +
                 std::to_string(row.decodeCpu.back()) + " CPU s/s (with scaling " +
                 std::to_string(row.decodeScaleCpu.back()) + "), peak " +
                 std::to_string(row.peakMib.back()) + " MiB");
    }
    report->realtime.push_back(row);
}

// --- Against general-purpose players ---------------------------------------------------------

struct PeerArea {
    const char* name;
    int width;
    int height;
    bool fullscreen;
};

// Every player's X screen; Vidora's fullscreen video area on it is 1280x672.
constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 800;
constexpr PeerArea kPeerNormal{"normal 332x236", 332, 236, false};
constexpr PeerArea kPeerFullscreen{"fullscreen 1280x672", 1280, 672, true};

// Prints what mpv counted as dropped when it ends.
constexpr char kMpvDropScript[] =
    "local vo, dec = '?', '?'\n"
    "mp.observe_property('frame-drop-count', 'native', function(_, v) if v then vo = v end end)\n"
    "mp.observe_property('decoder-frame-drop-count', 'native',\n"
    "    function(_, v) if v then dec = v end end)\n"
    "mp.register_event('shutdown', function()\n"
    "    io.stderr:write('bench-drops vo=' .. tostring(vo) .. ' decoder=' .. tostring(dec) .. "
    "'\\n')\n"
    "end)\n";

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool writeFile(const std::string& path, const std::string& text);

std::vector<std::string> mpvArguments(const PeerArea& area, const std::string& script) {
    return {"mpv",
            "--no-config",
            "--really-quiet",
            "--vo=x11",
            "--hwdec=no",
            "--vd-lavc-threads=1",
            "--ao=null",
            "--geometry=" + std::to_string(area.width) + "x" + std::to_string(area.height) + "+0+0",
            "--script=" + script};
}

std::vector<std::string> ffplayArguments(const PeerArea& area) {
    return {"ffplay",
            "-hide_banner",
            "-loglevel",
            "error",
            "-nostats",
            "-autoexit",
            "-noframedrop",
            "-threads",
            "1",
            "-x",
            std::to_string(area.width),
            "-y",
            std::to_string(area.height),
            "-left",
            "0",
            "-top",
            "0"};
}

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) {
        out += (out.empty() ? "" : " ") + w;
    }
    return out;
}

void addRun(const PlayerRun& run, double mediaSeconds, PeerSeries* series) {
    if (run.ok && mediaSeconds > 0.0) {
        series->cpu.push_back(run.cpuSeconds / mediaSeconds);
        series->dropped = std::max(series->dropped, run.dropped);
    } else {
        series->failures.push_back(run.note.empty() ? "failed" : run.note);
    }
}

std::string runText(const PlayerRun& run, double mediaSeconds) {
    return run.ok ? std::to_string(run.cpuSeconds / mediaSeconds) + " CPU s/s"
                  : "failed (" + run.note + ")";
}

// One run of each player, in turn, each on an X server of its own.
void peerRuns(const std::string& work, const std::string& vidora, const std::string& peerFile,
              const BenchRecording& recording, const PeerArea& area, PeerRow* row,
              bool* anyFailed) {
    const double media = recording.mediaSeconds();
    const std::string sound = work + "/sound.raw";
    auto onServer = [&](const std::string& player, auto play) {
        XServer x;
        std::string error;
        PlayerRun run;
        if (!x.start(kScreenWidth, kScreenHeight, work + "/xvfb-" + player + ".log", &error)) {
            run.note = error;
        } else {
            std::filesystem::remove(sound);
            run = play(x.display());
        }
        *anyFailed = *anyFailed || !run.ok;
        return run;
    };
    PlayerRun mine = onServer("vidora", [&](const std::string& display) {
        Launch launch{{vidora, recording.path},
                      {"DISPLAY=" + display, "SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=" + sound,
                       "SDL_VIDEODRIVER"},
                      work + "/vidora.log"};
        return runVidora(launch, sound, media, area.fullscreen, display);
    });
    addRun(mine, media, &row->vidora);
    PlayerRun mpv;
    PlayerRun ffplay;
    if (!peerFile.empty()) {
        mpv = onServer("mpv", [&](const std::string& display) {
            std::vector<std::string> argv = mpvArguments(area, work + "/drops.lua");
            argv.push_back(peerFile);
            Launch launch{argv, {"DISPLAY=" + display}, work + "/mpv.log"};
            PlayerRun run = runToExit(launch, media + 30.0);
            run.dropped = mpvDrops(readText(launch.logPath));
            return run;
        });
        ffplay = onServer("ffplay", [&](const std::string& display) {
            std::vector<std::string> argv = ffplayArguments(area);
            argv.push_back(peerFile);
            Launch launch{
                argv,
                {"DISPLAY=" + display, "SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=" + sound,
                 "SDL_RENDER_DRIVER=software", "SDL_VIDEODRIVER"},
                work + "/ffplay.log"};
            return runToExit(launch, media + 30.0);
        });
    } else {
        mpv.note = ffplay.note = "no 3GP file";
    }
    addRun(mpv, media, &row->mpv);
    addRun(ffplay, media, &row->ffplay);
    row->ffplay.dropsOff = true;
    progress(recording.name + " " + area.name + ": vidora " + runText(mine, media) + ", mpv " +
             runText(mpv, media) + ", ffplay " + runText(ffplay, media));
}

// The player the runs of whole processes start.
std::string vidoraBinary(const Options& options) {
    std::string vidora = options.vidora;
    if (vidora.empty()) {
        vidora = std::filesystem::path(selfPath()).parent_path().parent_path() / "vidora";
    }
    std::error_code ignored;
    std::filesystem::path canonical = std::filesystem::weakly_canonical(vidora, ignored);
    return canonical.empty() ? vidora : canonical.string();
}

void measurePeers(const Options& options, const std::vector<BenchRecording>& recordings,
                  Report* report) {
    PeerComparison& peers = report->peers;
    peers.measured = true;
    std::error_code ignored;
    peers.vidoraBinary = vidoraBinary(options);
    peers.mpvVersion = firstLineOf("mpv --no-config --version");
    peers.ffplayVersion = firstLineOf("ffplay -hide_banner -version");
    peers.mpvCommand = joined(mpvArguments(kPeerNormal, "DROPS.lua")) + " FILE.3gp";
    peers.ffplayCommand = "SDL_AUDIODRIVER=disk SDL_RENDER_DRIVER=software " +
                          joined(ffplayArguments(kPeerNormal)) + " FILE.3gp";
    if (access(peers.vidoraBinary.c_str(), X_OK) != 0) {
        peers.note = "Not measured: no vidora binary at " + peers.vidoraBinary + ".";
        progress(peers.note);
        return;
    }
    char pattern[] = "/tmp/vidora-bench-peers.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        peers.note = "Not measured: no temporary folder.";
        return;
    }
    const std::string work = pattern;
    writeFile(work + "/drops.lua", kMpvDropScript);
    bool anyFailed = false;
    for (const BenchRecording& recording : recordings) {
        if (!options.wanted(recording.name)) {
            continue;
        }
        std::string peerFile = work + "/" + recording.name + ".3gp";
        std::string error;
        if (!writePeerMedia(recording, peerFile, &error)) {
            progress(recording.name + ": " + error);
            peerFile.clear();
        }
        std::vector<PeerArea> areas{kPeerNormal};
        if (recording.height >= 720) {
            areas.push_back(kPeerFullscreen);
        }
        for (const PeerArea& area : areas) {
            PeerRow row;
            row.recording = recording.name;
            row.area = area.name;
            row.mediaSeconds = recording.mediaSeconds();
            for (int run = 0; run < options.runs; ++run) {
                peerRuns(work, peers.vidoraBinary, peerFile, recording, area, &row, &anyFailed);
            }
            peers.rows.push_back(row);
        }
    }
    if (anyFailed) {
        progress("some peer runs failed; their logs are in " + work);
    } else {
        std::filesystem::remove_all(work, ignored);
    }
}

// --- Long playback -----------------------------------------------------------------------------

constexpr double kMemorySampleSeconds = 10.0;

// The real player plays the recording again and again for the minutes asked, in the normal skin.
void measureLongPlay(const Options& options, const BenchRecording& recording, Report* report) {
    LongPlayResult& result = report->longPlay;
    result.measured = true;
    result.recording = recording.name;
    result.area = kPeerNormal.name;
    result.mediaSeconds = recording.mediaSeconds();
    result.minutes = options.memoryMinutes;
    const std::string vidora = vidoraBinary(options);
    char pattern[] = "/tmp/vidora-bench-longplay.XXXXXX";
    if (access(vidora.c_str(), X_OK) != 0) {
        result.note = "no vidora binary at " + vidora;
    } else if (mkdtemp(pattern) == nullptr) {
        result.note = "no temporary folder";
    }
    if (!result.note.empty()) {
        progress("long playback: " + result.note);
        return;
    }
    const std::string work = pattern;
    const std::string sound = work + "/sound.raw";
    progress("long playback: " + recording.name + " for " + std::to_string(options.memoryMinutes) +
             " minutes");
    XServer x;
    std::string error;
    if (!x.start(kScreenWidth, kScreenHeight, work + "/xvfb.log", &error)) {
        result.note = error;
    } else {
        Launch launch{{vidora, recording.path},
                      {"DISPLAY=" + x.display(), "SDL_AUDIODRIVER=disk",
                       "SDL_DISKAUDIOFILE=" + sound, "SDL_VIDEODRIVER"},
                      work + "/vidora.log"};
        ReplayRun run =
            runVidoraReplaying(launch, sound, result.mediaSeconds, options.memoryMinutes * 60.0,
                               kMemorySampleSeconds, x.display());
        result.samples = std::move(run.samples);
        result.passEnds = std::move(run.passEnds);
        result.note = run.note;
    }
    const LongPlayGrowth growth = longPlayGrowth(result);
    progress("long playback: passes ended " + std::to_string(result.passEnds.size()) +
             ", resident " + std::to_string(growth.firstPassKib) + " KiB after the first, " +
             std::to_string(growth.endKib) + " KiB at the end" +
             (result.note.empty() ? "" : " (" + result.note + ")"));
    std::error_code ignored;
    if (result.note.empty()) {
        std::filesystem::remove_all(work, ignored);
    } else {
        progress("long playback: its logs are in " + work);
    }
}

// --- The record index ------------------------------------------------------------------------

// Writes `path`: the records of the recording `source` over and over until the file holds
// `maxBytes` or plays `maxMs`, each pass's timestamps and times going on from where the last pass
// ended.
bool writeLongRecording(const std::string& source, const std::string& path, uint64_t maxBytes,
                        uint64_t maxMs, std::string* error) {
    const std::string bytes = readText(source);
    if (bytes.size() < kRecordingHeaderBytes) {
        *error = "cannot read " + source;
        return false;
    }
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    struct Piece {
        size_t offset;
        size_t length;
    };
    std::vector<Piece> records;
    for (size_t at = kRecordingHeaderBytes; at + kRecordHeaderBytes <= bytes.size();) {
        const RecordHeader h = parseRecordHeader(data + at);
        const size_t length = kRecordHeaderBytes + h.videoBytes + h.audioBytes;
        if (h.sync != RECORD_SYNC || !isValidRecordTime(h.time) || at + length > bytes.size()) {
            break;
        }
        records.push_back(Piece{at, length});
        at += length;
    }
    if (records.size() < 2) {
        *error = source + " holds too few records";
        return false;
    }
    const RecordHeader first = parseRecordHeader(data + records.front().offset);
    const RecordHeader second = parseRecordHeader(data + records[1].offset);
    const RecordHeader last = parseRecordHeader(data + records.back().offset);
    // A pass lasts from its first record to one record gap after its last, in whole seconds so
    // that the times go on as the timestamps do.
    const uint32_t passMs =
        (last.timestamp - first.timestamp + second.timestamp - first.timestamp + 999) / 1000 * 1000;
    const std::string part = path + ".part";
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), kRecordingHeaderBytes);
    uint64_t written = kRecordingHeaderBytes;
    std::string pass;
    for (uint32_t n = 0; out && written < maxBytes && uint64_t{n} * passMs < maxMs; ++n) {
        pass.clear();
        for (const Piece& r : records) {
            std::string record = bytes.substr(r.offset, r.length);
            auto* header = reinterpret_cast<uint8_t*>(record.data());
            RecordHeader h = parseRecordHeader(header);
            const uint32_t timestamp = h.timestamp + n * passMs;
            const RecordTime time =
                recordTimeFromClockSeconds(recordClockSeconds(h.time) + n * (passMs / 1000));
            const uint16_t fields[] = {time.year, time.month,  time.day,
                                       time.hour, time.minute, time.second};
            for (int f = 0; f < 6; ++f) {
                header[8 + 2 * f] = static_cast<uint8_t>(fields[f]);
                header[9 + 2 * f] = static_cast<uint8_t>(fields[f] >> 8);
            }
            for (int b = 0; b < 4; ++b) {
                header[20 + b] = static_cast<uint8_t>(timestamp >> (8 * b));
            }
            pass += record;
        }
        out.write(pass.data(), static_cast<std::streamsize>(pass.size()));
        written += pass.size();
    }
    out.close();
    std::error_code failed;
    if (!out || (std::filesystem::rename(part, path, failed), failed)) {
        std::filesystem::remove(part, failed);
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

void measureRecordIndex(const Options& options, Report* report) {
    RecordIndexResult& result = report->recordIndex;
    result.measured = true;
    result.recording = kIndexRecording;
    const std::string path = options.dataDir + "/" + kIndexRecording + ".krm";
    std::error_code error;
    // Written once into the data folder and kept for later runs.
    if (std::filesystem::file_size(path, error) < kIndexRecordingBytes || error) {
        progress("record index: writing " + path);
        if (!writeLongRecording(options.dataDir + "/" + kIndexSource + ".krm", path,
                                kIndexRecordingBytes, UINT64_MAX, &result.note)) {
            progress("record index: " + result.note);
            return;
        }
    }
    result.fileBytes = std::filesystem::file_size(path, error);
    RecordIndex index;
    // The first build brings the file into the page cache.
    if (index.build(path) != RecordIndex::End::Complete) {
        result.note = path + " does not index to its end";
        progress("record index: " + result.note);
        return;
    }
    for (int run = 0; run < options.runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        const RecordIndex::End end = index.build(path);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (end == RecordIndex::End::Complete) {
            result.seconds.push_back(took.count());
        }
        progress("record index: " + std::to_string(index.size()) + " records in " +
                 std::to_string(took.count()) + " s");
    }
    result.records = index.size();
    result.bytesPerRecord = index.bytesPerRecord();
    for (size_t i = 0; i < index.size(); ++i) {
        result.keys += index.at(i).key ? 1 : 0;
    }
}

// --- krmtool export ---------------------------------------------------------------------------

// Runs `args` and waits; true when it exited with 0.
bool runProcess(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void measureExport(const Options& options, Report* report) {
    ExportResult& result = report->exportRun;
    result.measured = true;
    result.recording = kExportRecording;
    const std::string path = options.dataDir + "/" + kExportRecording + ".krm";
    RecordIndex index;
    // Written once into the data folder and kept for later runs.
    if (index.build(path) != RecordIndex::End::Complete || index.size() < 2) {
        progress("export: writing " + path);
        if (!writeLongRecording(options.dataDir + "/" + kIndexSource + ".krm", path, UINT64_MAX,
                                kExportRecordingMs, &result.note)) {
            progress("export: " + result.note);
            return;
        }
        if (index.build(path) != RecordIndex::End::Complete || index.size() < 2) {
            result.note = path + " does not index to its end";
            return;
        }
    }
    std::error_code error;
    result.fileBytes = std::filesystem::file_size(path, error);
    // The footage lasts to one record's length after its last record.
    const int64_t lastUs = index.at(index.size() - 1).playUs;
    result.footageSeconds =
        static_cast<double>(lastUs + lastUs / static_cast<int64_t>(index.size() - 1)) / 1e6;
    const std::string krmtool =
        std::filesystem::path(selfPath()).parent_path().parent_path() / "tools" / "krmtool";
    char pattern[] = "/tmp/vidora-bench-export.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        result.note = "no temporary folder";
        return;
    }
    const std::string out = std::string(pattern) + "/out.mp4";
    // The first export brings the recording into the page cache.
    for (int run = -1; run < options.runs; ++run) {
        std::filesystem::remove(out, error);
        const auto start = std::chrono::steady_clock::now();
        const bool ok = runProcess({krmtool, "export", path, out});
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (!ok) {
            result.note = krmtool + " export " + path + " failed";
            progress("export: " + result.note);
            break;
        }
        result.mp4Bytes = std::filesystem::file_size(out, error);
        if (run >= 0) {
            result.seconds.push_back(took.count());
        }
        progress("export: " + std::to_string(took.count()) + " s");
    }
    std::filesystem::remove_all(pattern, error);
}

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (flag == "--data" && (v = value()) != nullptr) {
            options->dataDir = v;
        } else if (flag == "--out" && (v = value()) != nullptr) {
            options->outDir = v;
        } else if (flag == "--runs" && (v = value()) != nullptr) {
            options->runs = std::max(1, std::atoi(v));
        } else if (flag == "--seeks" && (v = value()) != nullptr) {
            options->seeks = std::max(1, std::atoi(v));
        } else if (flag == "--paused-seconds" && (v = value()) != nullptr) {
            options->pausedSeconds = std::max(1.0, std::atof(v));
        } else if (flag == "--recordings" && (v = value()) != nullptr) {
            options->recordings = v;
        } else if (flag == "--only" && (v = value()) != nullptr) {
            std::string only = std::string(",") + v + ",";
            options->throughput = only.find(",throughput,") != std::string::npos;
            options->realtime = only.find(",realtime,") != std::string::npos;
            options->seek = only.find(",seek,") != std::string::npos;
            options->paused = only.find(",paused,") != std::string::npos;
            options->peers = only.find(",peers,") != std::string::npos;
            options->longPlay = only.find(",longplay,") != std::string::npos;
            options->recordIndex = only.find(",index,") != std::string::npos;
            options->exportRun = only.find(",export,") != std::string::npos;
        } else if (flag == "--memory-minutes" && (v = value()) != nullptr) {
            options->memoryMinutes = std::max(1, std::atoi(v));
        } else if (flag == "--vidora" && (v = value()) != nullptr) {
            options->vidora = v;
        } else {
            return false;
        }
    }
    // As BENCH_SCREEN=0 leaves out the screen report, BENCH_LONGPLAY=0 leaves out the long run.
    const char* longPlay = std::getenv("BENCH_LONGPLAY");
    if (longPlay != nullptr && std::strcmp(longPlay, "0") == 0) {
        options->longPlay = false;
    }
    return !options->dataDir.empty();
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

int benchMain(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    Report report;
    report.machine = machineInfo();
    report.buildType = VIDORA_BENCH_BUILD_TYPE;
    report.audioDriver = std::getenv("SDL_AUDIODRIVER");
    report.startedAt = utcTimestamp();
    report.loadAtStart = loadAverage();
    report.repetitions = options.runs;

    std::vector<BenchRecording> recordings;
    for (const char* name : kRecordings) {
        BenchRecording recording;
        if (!load(options.dataDir + "/" + name + ".krm", &recording)) {
            return 1;
        }
        recordings.push_back(std::move(recording));
    }

    if (options.throughput) {
        for (const BenchRecording& recording : recordings) {
            if (options.wanted(recording.name)) {
                measureThroughput(options, recording, &report);
            }
        }
    }
    if (options.realtime) {
        for (const BenchRecording& recording : recordings) {
            if (!options.wanted(recording.name)) {
                continue;
            }
            bool large = recording.height >= 720;
            measureRealtime(options, recording, kNormal, large, &report);
            if (large) {
                measureRealtime(options, recording, kFullscreen, true, &report);
            }
        }
    }
    if (options.paused) {
        report.paused.measured = true;
        report.paused.recording = recordings[1].name + ", " + kNormal.name;
        report.paused.seconds = options.pausedSeconds;
        for (int run = 0; run < options.runs; ++run) {
            auto result = runChild(
                {"paused", recordings[1].path, std::to_string(kNormal.rect.width()),
                 std::to_string(kNormal.rect.height()), std::to_string(options.pausedSeconds)});
            if (!result.empty()) {
                report.paused.coreShare.push_back(result["share"]);
                progress("paused: " + std::to_string(result["share"] * 100) + " % of a core");
            }
        }
    }
    if (options.seek) {
        BenchRecording recording;
        if (!load(options.dataDir + "/" + kSeekRecording + ".krm", &recording)) {
            return 1;
        }
        SeekLatencies seeks = seekLatencies(recording, kNormal.rect, options.seeks);
        report.seek.measured = true;
        report.seek.recording = recording.name;
        report.seek.area = kNormal.name;
        report.seek.latencySeconds = seeks.seconds;
        report.seek.failed = seeks.failed;
        report.seek.inexact = seeks.inexact;
        progress("seeks: median " + std::to_string(median(seeks.seconds) * 1000) + " ms, p95 " +
                 std::to_string(percentile(seeks.seconds, 95) * 1000) + " ms");
    }

    if (options.peers) {
        measurePeers(options, recordings, &report);
    }
    if (options.longPlay) {
        BenchRecording recording;
        if (!load(options.dataDir + "/" + kLongPlayRecording + ".krm", &recording)) {
            return 1;
        }
        measureLongPlay(options, recording, &report);
    }

    if (options.recordIndex) {
        measureRecordIndex(options, &report);
    }
    if (options.exportRun) {
        measureExport(options, &report);
    }

    report.loadAtEnd = loadAverage();
    const std::string md = markdown(report);
    if (!writeFile(options.outDir + "/RESULTS.md", md) ||
        !writeFile(options.outDir + "/results.json", json(report))) {
        std::fprintf(stderr, "vidora-bench: cannot write the results into %s\n",
                     options.outDir.c_str());
        return 1;
    }
    std::fputs(md.c_str(), stdout);
    return 0;
}

}  // namespace
}  // namespace vidora::bench

int main(int argc, char** argv) {
    // Headless: no window, and the sound goes to SDL's dummy driver unless told otherwise.
    setenv("SDL_VIDEODRIVER", "dummy", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    if (argc >= 2 && std::strcmp(argv[1], "--child") == 0) {
        return vidora::bench::childMain(argc - 2, argv + 2);
    }
    return vidora::bench::benchMain(argc, argv);
}
