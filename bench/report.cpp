#include "bench/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace vidora::bench {

namespace {

// Throughput at or above this share of the limit, real-time CPU at 1280x720 at or below this
// multiple of decoding alone, and a pause at or below this share of a core are good enough.
constexpr double kThroughputTarget = 0.9;
constexpr double kRealtimeTarget = 1.15;
constexpr double kPausedTarget = 0.01;
// Vidora's real-time CPU cost at or below this share of each general-purpose player's.
constexpr double kPeerTarget = 0.8;
// A long run's resident size grows by at most this many KiB per 10 minutes in its second half.
constexpr double kLatePer10MinutesTarget = 64.0;
// Indexing a GiB with the page cache warm takes at most this long.
constexpr double kIndexSecondsTarget = 0.5;

std::string fixed(double value, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

std::string list(const std::vector<double>& values, int digits) {
    std::string out;
    for (double v : values) {
        out += (out.empty() ? "" : ", ") + fixed(v, digits);
    }
    return out;
}

std::string verdict(bool met) {
    return met ? "yes" : "**no**";
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string jsonNumber(double value) {
    return std::isfinite(value) ? fixed(value, 6) : "null";
}

std::string jsonKib(int64_t kib) {
    return kib < 0 ? "null" : std::to_string(kib);
}

std::string jsonArray(const std::vector<double>& values) {
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        out += (i == 0 ? "" : ", ") + jsonNumber(values[i]);
    }
    return out + "]";
}

// A player's median, or why there is none.
std::string peerCell(const PeerSeries& series, bool installed) {
    if (!series.cpu.empty()) {
        return fixed(median(series.cpu), 4) +
               (series.failures.empty()
                    ? ""
                    : " (" + std::to_string(series.failures.size()) + " runs failed)");
    }
    if (!installed) {
        return "not installed";
    }
    return series.failures.empty() ? "-" : "failed: " + series.failures.front();
}

std::string ratioCell(double ratio) {
    return ratio > 0.0 ? fixed(ratio, 3) : "-";
}

std::string dropCell(const PeerSeries& series) {
    if (series.dropsOff) {
        return "none (dropping off)";
    }
    return series.dropped < 0 ? "?" : std::to_string(series.dropped);
}

std::string jsonSeries(const PeerSeries& series) {
    std::string failures = "[";
    for (size_t i = 0; i < series.failures.size(); ++i) {
        failures += (i == 0 ? "" : ", ") + jsonString(series.failures[i]);
    }
    return "{\"cpu_per_media_second\": " + jsonArray(series.cpu) +
           ", \"median\": " + (series.cpu.empty() ? "null" : jsonNumber(median(series.cpu))) +
           ", \"failures\": " + failures + "]" + ", \"dropped_pictures\": " +
           (series.dropsOff      ? "0"
            : series.dropped < 0 ? "null"
                                 : std::to_string(series.dropped)) +
           "}";
}

}  // namespace

double PeerRow::ratio(const PeerSeries& mine, const PeerSeries& theirs) {
    double them = median(theirs.cpu);
    return !mine.cpu.empty() && them > 0.0 ? median(mine.cpu) / them : 0.0;
}

LongPlayGrowth longPlayGrowth(const LongPlayResult& r) {
    LongPlayGrowth g;
    if (!r.samples.empty()) {
        g.endKib = r.samples.back().kib;
    }
    if (r.passEnds.empty()) {
        return g;
    }
    g.firstPassKib = r.passEnds.front().kib;
    for (size_t i = 1; i < r.passEnds.size(); ++i) {
        g.perPassKib.push_back(static_cast<double>(r.passEnds[i].kib - r.passEnds[i - 1].kib));
    }
    auto per10Minutes = [](const RssSample& from, const RssSample& to) {
        const double seconds = to.seconds - from.seconds;
        return seconds > 0.0 ? static_cast<double>(to.kib - from.kib) * 600.0 / seconds : NAN;
    };
    const RssSample& after = r.passEnds.front();
    if (r.samples.empty() || r.samples.back().seconds <= after.seconds) {
        return g;
    }
    const RssSample& last = r.samples.back();
    g.per10MinutesKib = per10Minutes(after, last);
    const double middle = (after.seconds + last.seconds) / 2.0;
    for (const RssSample& sample : r.samples) {
        if (sample.seconds >= middle) {
            g.latePer10MinutesKib = per10Minutes(sample, last);
            break;
        }
    }
    return g;
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    size_t index = rank < 1.0 ? 0 : static_cast<size_t>(rank) - 1;
    return values[std::min(index, values.size() - 1)];
}

double ThroughputRow::ratio() const {
    double limit = median(limitFps);
    return limit > 0.0 ? median(engineFps) / limit : 0.0;
}

double RealtimeRow::ratio() const {
    double decode = median(decodeCpu);
    return decode > 0.0 ? median(engineCpu) / decode : 0.0;
}

double RealtimeRow::ratioToScaled() const {
    double scaled = median(decodeScaleCpu);
    return scaled > 0.0 ? median(engineCpu) / scaled : 0.0;
}

std::string markdown(const Report& r) {
    std::ostringstream out;
    out << "# Vidora benchmark results\n\n"
        << "Written by `make bench` (bench/vidora_bench.cpp); every run replaces this file and "
           "`results.json` beside it.\n\n"
        << "## Machine\n\n"
        << "| | |\n|---|---|\n"
        << "| CPU | " << r.machine.cpuModel << " |\n"
        << "| Cores | " << r.machine.cores << " |\n"
        << "| Load average (1, 5, 15 min) at start | " << r.loadAtStart << " |\n"
        << "| Load average at end | " << r.loadAtEnd << " |\n"
        << "| System | " << r.machine.kernel << " |\n"
        << "| Libraries | " << r.machine.libraries << " |\n"
        << "| Build | " << r.buildType << " |\n"
        << "| Sound | SDL audio driver `" << r.audioDriver << "` |\n"
        << "| Started | " << r.startedAt << " |\n"
        << "| Runs per measurement | " << r.repetitions << " |\n\n"
        << "The machine's cores are shared with other work; the load averages say how busy it "
           "was. Engine and limit runs alternate, and the tables give medians.\n\n";

    if (!r.throughput.empty()) {
        out << "## 1. Pipeline throughput\n\n"
            << "Pictures presented per second by the real engine (reader unpaced but never "
               "dropping a record, video decode, bicubic scaling and presenting into an off-screen "
               "video surface of the given size), against a plain FFmpeg loop over the same "
               "packets that only decodes and scales to the same display size. Rates are taken "
               "from the first picture to the last of each pass over the recording; a run makes "
               "as many passes as give at least a second of pictures (at most 20). Target: at "
               "least "
            << fixed(kThroughputTarget, 2) << " of the limit.\n\n"
            << "| Recording | Video area | Display | Engine fps | Limit fps | Ratio | Target met "
               "| Engine runs | Limit runs |\n"
            << "|---|---|---|---:|---:|---:|:-:|---|---|\n";
        for (const ThroughputRow& row : r.throughput) {
            out << "| " << row.recording << " | " << row.area << " | " << row.displayWidth << "x"
                << row.displayHeight << " | " << fixed(median(row.engineFps), 1) << " | "
                << fixed(median(row.limitFps), 1) << " | " << fixed(row.ratio(), 3) << " | "
                << verdict(row.ratio() >= kThroughputTarget) << " | " << list(row.engineFps, 1)
                << " | " << list(row.limitFps, 1) << " |\n";
        }
        out << "\n";
    }

    if (!r.realtime.empty()) {
        out << "## 2. Real-time playback cost\n\n"
            << "CPU seconds of the whole process per second of media while the recording plays "
               "at recorded speed with sound, against decoding the same video and sound alone "
               "(no scaling, no presenting) in a plain FFmpeg loop. For reference, the cost of "
               "decoding and scaling to the display size (the throughput limit's work) is given "
               "too. Each run is a process of its own. Target at 1280x720: at most "
            << fixed(kRealtimeTarget, 2) << " times decoding alone.\n\n"
            << "| Recording | Video area | Media s | Playing CPU s/s | Decode-only CPU s/s | "
               "Ratio | Target met | Decode + scale CPU s/s | Ratio to decode + scale | "
               "Playing runs | Decode-only runs |\n"
            << "|---|---|---:|---:|---:|---:|:-:|---:|---:|---|---|\n";
        for (const RealtimeRow& row : r.realtime) {
            out << "| " << row.recording << " | " << row.area << " | " << fixed(row.mediaSeconds, 1)
                << " | " << fixed(median(row.engineCpu), 4) << " | "
                << fixed(median(row.decodeCpu), 4) << " | " << fixed(row.ratio(), 3) << " | "
                << (row.recording.find("1280x720") != std::string::npos
                        ? verdict(row.ratio() <= kRealtimeTarget)
                        : std::string("-"))
                << " | " << fixed(median(row.decodeScaleCpu), 4) << " | "
                << fixed(row.ratioToScaled(), 3) << " | " << list(row.engineCpu, 4) << " | "
                << list(row.decodeCpu, 4) << " |\n";
        }
        out << "\n";
    }

    if (r.seek.measured) {
        out << "## 3. Seek latency\n\n"
            << "From `requestSeek` to the first picture presented from the new position, "
               "playing "
            << r.seek.recording << " at recorded speed in the " << r.seek.area
            << " video area, with the record index ready. The first picture after a seek is "
               "that of the record it lands on, decoded (not shown) from the key picture at or "
               "before it (one a second in these recordings); Inexact counts seeks whose first "
               "picture was another record's.\n\n"
            << "| Seeks | Median ms | 95th percentile ms | Fastest ms | Slowest ms | Failed | "
               "Inexact |\n"
            << "|---:|---:|---:|---:|---:|---:|---:|\n";
        const auto& l = r.seek.latencySeconds;
        double lo = l.empty() ? 0.0 : *std::min_element(l.begin(), l.end());
        double hi = l.empty() ? 0.0 : *std::max_element(l.begin(), l.end());
        out << "| " << l.size() << " | " << fixed(median(l) * 1000, 1) << " | "
            << fixed(percentile(l, 95) * 1000, 1) << " | " << fixed(lo * 1000, 1) << " | "
            << fixed(hi * 1000, 1) << " | " << r.seek.failed << " | " << r.seek.inexact << " |\n\n";
    }

    bool memory = std::any_of(r.realtime.begin(), r.realtime.end(),
                              [](const RealtimeRow& row) { return row.showMemory; });
    if (memory) {
        out << "## 4. Memory\n\n"
            << "Peak resident size (VmHWM) of the process that played the recording at recorded "
               "speed (section 2), the largest over its runs.\n\n"
            << "| Recording | Video area | Peak resident MiB |\n|---|---|---:|\n";
        for (const RealtimeRow& row : r.realtime) {
            if (!row.showMemory || row.peakMib.empty()) {
                continue;
            }
            double peak = *std::max_element(row.peakMib.begin(), row.peakMib.end());
            out << "| " << row.recording << " | " << row.area << " | " << fixed(peak, 1) << " |\n";
        }
        out << "\n";
    }

    if (r.paused.measured) {
        double share = median(r.paused.coreShare);
        out << "## 5. Paused\n\n"
            << "Process CPU time over " << fixed(r.paused.seconds, 0) << " s of a paused engine ("
            << r.paused.recording << "), as a share of one core. Target: at most "
            << fixed(kPausedTarget * 100, 1) << " %.\n\n"
            << "| Median % of a core | Target met | Runs |\n|---:|:-:|---|\n"
            << "| " << fixed(share * 100, 3) << " | " << verdict(share <= kPausedTarget) << " | "
            << list(r.paused.coreShare, 5) << " |\n\n";
    }

    const PeerComparison& p = r.peers;
    if (p.measured) {
        out << "## 6. Against general-purpose players\n\n"
            << "CPU seconds of the whole process per second of media for the real `vidora` "
               "binary and two general-purpose players playing the same pictures and sound, each "
               "on an Xvfb of its own with nothing else on it. The players get a 3GP file holding "
               "the recording's own H.264 or H.263 pictures and AMR-NB frames byte for byte; "
               "they decode on one thread and draw in software into a window the size of "
               "Vidora's video area (in the normal skin, or in fullscreen on a 1280x800 screen). "
               "mpv and ffplay run until they exit by themselves at the end; Vidora runs until "
               "its sound (SDL's disk driver, written into a file) has ended, and its CPU time "
               "is read from /proc at the last sound heard. The X server's own work is not "
               "counted for any of them. Target: Vidora at most "
            << fixed(kPeerTarget, 2) << " times each of them.\n\n"
            << "| | |\n|---|---|\n"
            << "| Vidora | `" << p.vidoraBinary << "` |\n"
            << "| mpv | " << (p.mpvVersion.empty() ? "not installed" : p.mpvVersion) << ", `"
            << p.mpvCommand << "` |\n"
            << "| ffplay | " << (p.ffplayVersion.empty() ? "not installed" : p.ffplayVersion)
            << ", `" << p.ffplayCommand << "` |\n\n";
        if (!p.note.empty()) {
            out << p.note << "\n\n";
        }
        out << "| Recording | Window | Media s | Vidora CPU s/s | mpv CPU s/s | ffplay CPU s/s "
               "| Vidora/mpv | Vidora/ffplay | Target met | mpv dropped | ffplay dropped | "
               "Vidora runs | mpv runs | ffplay runs |\n"
            << "|---|---|---:|---:|---:|---:|---:|---:|:-:|---:|---:|---|---|---|\n";
        for (const PeerRow& row : p.rows) {
            const double toMpv = PeerRow::ratio(row.vidora, row.mpv);
            const double toFfplay = PeerRow::ratio(row.vidora, row.ffplay);
            // Judged against the players that were measured, and said so when one was not.
            std::string met = "-";
            if (toMpv > 0.0 || toFfplay > 0.0) {
                met = verdict((toMpv == 0.0 || toMpv <= kPeerTarget) &&
                              (toFfplay == 0.0 || toFfplay <= kPeerTarget));
                if (toMpv == 0.0 || toFfplay == 0.0) {
                    met += toMpv == 0.0 ? " (ffplay only)" : " (mpv only)";
                }
            }
            out << "| " << row.recording << " | " << row.area << " | " << fixed(row.mediaSeconds, 1)
                << " | " << peerCell(row.vidora, true) << " | "
                << peerCell(row.mpv, !p.mpvVersion.empty()) << " | "
                << peerCell(row.ffplay, !p.ffplayVersion.empty()) << " | " << ratioCell(toMpv)
                << " | " << ratioCell(toFfplay) << " | " << met << " | " << dropCell(row.mpv)
                << " | " << dropCell(row.ffplay) << " | " << list(row.vidora.cpu, 4) << " | "
                << list(row.mpv.cpu, 4) << " | " << list(row.ffplay.cpu, 4) << " |\n";
        }
    }
    const LongPlayResult& l = r.longPlay;
    if (l.measured) {
        const LongPlayGrowth g = longPlayGrowth(l);
        auto kib = [](double value) -> std::string {
            return std::isfinite(value) ? fixed(value, 0) : "-";
        };
        auto mib = [](int64_t value) -> std::string {
            return value < 0 ? "-" : fixed(static_cast<double>(value) / 1024.0, 1);
        };
        out << "\n## 7. Long playback memory\n\n"
            << "The real `vidora` binary plays " << l.recording << " (" << fixed(l.mediaSeconds, 0)
            << " s) in the " << l.area << " video area on an Xvfb of its own, with SDL's disk "
            << "sound driver, for " << fixed(l.minutes, 0)
            << " minutes: each time the recording's sound has ended, its play button is clicked "
               "(xdotool) and it plays again. Its resident size (VmRSS) is read every 10 s and at "
               "the end of every pass; growth is given per pass and per 10 minutes, over all the "
               "time after the first pass and over the second half of it. The engine's rings are "
               "allocated once and become resident as they are first written, the AMR-NB ring "
               "only after about 11 minutes of 12.2 kbit/s sound, so the first minutes may grow "
               "without a leak (a run shorter than about 25 minutes still has that in its second "
               "half). Target: at most "
            << fixed(kLatePer10MinutesTarget, 0) << " KiB per 10 minutes in the second half.\n\n"
            << "| Recording | Minutes | Passes | RSS after pass 1 MiB | RSS at end MiB | Median "
               "growth per pass KiB | Per 10 min after pass 1 KiB | Per 10 min, second half KiB "
               "| Target met | Growth of each pass KiB |\n"
            << "|---|---:|---:|---:|---:|---:|---:|---:|:-:|---|\n";
        const double late = g.latePer10MinutesKib;
        out << "| " << l.recording << " | " << fixed(l.minutes, 0) << " | " << l.passEnds.size()
            << " | " << mib(g.firstPassKib) << " | " << mib(g.endKib) << " | "
            << (g.perPassKib.empty() ? "-" : fixed(median(g.perPassKib), 0)) << " | "
            << kib(g.per10MinutesKib) << " | " << kib(late) << " | "
            << (std::isfinite(late) ? verdict(late <= kLatePer10MinutesTarget) : "-") << " | "
            << list(g.perPassKib, 0) << " |\n";
        if (!l.note.empty()) {
            out << "\nThe run failed: " << l.note << ".\n";
        }
    }
    const RecordIndexResult& x = r.recordIndex;
    if (x.measured) {
        const double seconds = median(x.seconds);
        out << "\n## 8. Record index\n\n"
            << "Building the record index (recording/record_index.h) of " << x.recording
            << ": the records of the 1280x720 recording over and over, their timestamps and "
               "times going on. Each record header is read with one positioned read together with "
               "the first bytes of its video, which tell a key picture, and the payloads are "
               "skipped. The page cache is warm (one build first, not counted). Bytes a record: "
               "the index's memory over its records. Target: at most "
            << fixed(kIndexSecondsTarget, 1)
            << " s; 16 bytes a record, and a play-time checkpoint (8 bytes) every 64 records.\n\n";
        if (!x.note.empty()) {
            out << "Not measured: " << x.note << ".\n";
        } else {
            const double us = x.records > 0 ? seconds * 1e6 / static_cast<double>(x.records) : 0;
            out << "| Recording | MiB | Records | Key records | Median s | Target met | µs a "
                   "record "
                   "| Bytes a record | Runs s |\n"
                << "|---|---:|---:|---:|---:|:-:|---:|---:|---|\n"
                << "| " << x.recording << " | "
                << fixed(static_cast<double>(x.fileBytes) / (1 << 20), 0) << " | " << x.records
                << " | " << x.keys << " | " << fixed(seconds, 3) << " | "
                << verdict(seconds <= kIndexSecondsTarget) << " | " << fixed(us, 2) << " | "
                << fixed(x.bytesPerRecord, 3) << " | " << list(x.seconds, 3) << " |\n";
        }
    }
    const ExportResult& e = r.exportRun;
    if (e.measured) {
        out << "\n## 9. Export\n\n"
            << "`krmtool export` of " << e.recording
            << ": the records of the 1280x720 recording over and over for ten minutes, their "
               "timestamps and times going on, into an MP4 (the video copied, the sound turned "
               "into AAC, the camera's clock as subtitles). The whole process is timed, its "
               "start included; the page cache is warm (one export first, not counted).\n\n";
        if (!e.note.empty()) {
            out << "Not measured: " << e.note << ".\n";
        } else {
            const double seconds = median(e.seconds);
            const double minutes = e.footageSeconds / 60.0;
            out << "| Recording | MiB | Footage min | MP4 MiB | Median s | s a minute of footage | "
                   "Runs s |\n"
                << "|---|---:|---:|---:|---:|---:|---|\n"
                << "| " << e.recording << " | "
                << fixed(static_cast<double>(e.fileBytes) / (1 << 20), 1) << " | "
                << fixed(minutes, 2) << " | "
                << fixed(static_cast<double>(e.mp4Bytes) / (1 << 20), 1) << " | "
                << fixed(seconds, 2) << " | " << fixed(minutes > 0 ? seconds / minutes : 0, 3)
                << " | " << list(e.seconds, 2) << " |\n";
        }
    }
    return out.str();
}

std::string json(const Report& r) {
    std::ostringstream out;
    out << "{\n  \"machine\": {\"cpu\": " << jsonString(r.machine.cpuModel)
        << ", \"cores\": " << r.machine.cores << ", \"system\": " << jsonString(r.machine.kernel)
        << ", \"libraries\": " << jsonString(r.machine.libraries)
        << ", \"load_at_start\": " << jsonString(r.loadAtStart)
        << ", \"load_at_end\": " << jsonString(r.loadAtEnd) << "},\n"
        << "  \"build\": " << jsonString(r.buildType) << ",\n"
        << "  \"audio_driver\": " << jsonString(r.audioDriver) << ",\n"
        << "  \"started\": " << jsonString(r.startedAt) << ",\n"
        << "  \"repetitions\": " << r.repetitions << ",\n  \"throughput\": [";
    for (size_t i = 0; i < r.throughput.size(); ++i) {
        const ThroughputRow& row = r.throughput[i];
        out << (i == 0 ? "\n" : ",\n") << "    {\"recording\": " << jsonString(row.recording)
            << ", \"area\": " << jsonString(row.area) << ", \"display\": [" << row.displayWidth
            << ", " << row.displayHeight << "], \"engine_fps\": " << jsonArray(row.engineFps)
            << ", \"limit_fps\": " << jsonArray(row.limitFps)
            << ", \"engine_pictures\": " << row.enginePictures
            << ", \"limit_pictures\": " << row.limitPictures
            << ", \"median_engine_fps\": " << jsonNumber(median(row.engineFps))
            << ", \"median_limit_fps\": " << jsonNumber(median(row.limitFps))
            << ", \"ratio\": " << jsonNumber(row.ratio()) << "}";
    }
    out << "\n  ],\n  \"realtime\": [";
    for (size_t i = 0; i < r.realtime.size(); ++i) {
        const RealtimeRow& row = r.realtime[i];
        out << (i == 0 ? "\n" : ",\n") << "    {\"recording\": " << jsonString(row.recording)
            << ", \"area\": " << jsonString(row.area)
            << ", \"media_seconds\": " << jsonNumber(row.mediaSeconds)
            << ", \"pictures\": " << row.pictures
            << ", \"engine_cpu_per_media_second\": " << jsonArray(row.engineCpu)
            << ", \"decode_only_cpu_per_media_second\": " << jsonArray(row.decodeCpu)
            << ", \"decode_scale_cpu_per_media_second\": " << jsonArray(row.decodeScaleCpu)
            << ", \"peak_resident_mib\": " << jsonArray(row.peakMib)
            << ", \"ratio\": " << jsonNumber(row.ratio())
            << ", \"ratio_to_decode_scale\": " << jsonNumber(row.ratioToScaled()) << "}";
    }
    out << "\n  ],\n  \"seek\": ";
    if (r.seek.measured) {
        out << "{\"recording\": " << jsonString(r.seek.recording)
            << ", \"area\": " << jsonString(r.seek.area)
            << ", \"latency_seconds\": " << jsonArray(r.seek.latencySeconds)
            << ", \"median_seconds\": " << jsonNumber(median(r.seek.latencySeconds))
            << ", \"p95_seconds\": " << jsonNumber(percentile(r.seek.latencySeconds, 95))
            << ", \"failed\": " << r.seek.failed << ", \"inexact\": " << r.seek.inexact << "}";
    } else {
        out << "null";
    }
    out << ",\n  \"paused\": ";
    if (r.paused.measured) {
        out << "{\"recording\": " << jsonString(r.paused.recording)
            << ", \"seconds\": " << jsonNumber(r.paused.seconds)
            << ", \"core_share\": " << jsonArray(r.paused.coreShare)
            << ", \"median_core_share\": " << jsonNumber(median(r.paused.coreShare)) << "}";
    } else {
        out << "null";
    }
    out << ",\n  \"peers\": ";
    if (r.peers.measured) {
        const PeerComparison& p = r.peers;
        out << "{\"vidora\": " << jsonString(p.vidoraBinary)
            << ", \"mpv_version\": " << jsonString(p.mpvVersion)
            << ", \"ffplay_version\": " << jsonString(p.ffplayVersion)
            << ", \"mpv_command\": " << jsonString(p.mpvCommand)
            << ", \"ffplay_command\": " << jsonString(p.ffplayCommand)
            << ", \"note\": " << jsonString(p.note) << ", \"rows\": [";
        for (size_t i = 0; i < p.rows.size(); ++i) {
            const PeerRow& row = p.rows[i];
            const double toMpv = PeerRow::ratio(row.vidora, row.mpv);
            const double toFfplay = PeerRow::ratio(row.vidora, row.ffplay);
            out << (i == 0 ? "\n" : ",\n") << "    {\"recording\": " << jsonString(row.recording)
                << ", \"window\": " << jsonString(row.area)
                << ", \"media_seconds\": " << jsonNumber(row.mediaSeconds)
                << ", \"vidora\": " << jsonSeries(row.vidora)
                << ", \"mpv\": " << jsonSeries(row.mpv)
                << ", \"ffplay\": " << jsonSeries(row.ffplay)
                << ", \"ratio_to_mpv\": " << (toMpv > 0.0 ? jsonNumber(toMpv) : "null")
                << ", \"ratio_to_ffplay\": " << (toFfplay > 0.0 ? jsonNumber(toFfplay) : "null")
                << "}";
        }
        out << "\n  ]}";
    } else {
        out << "null";
    }
    out << ",\n  \"long_playback\": ";
    if (r.longPlay.measured) {
        const LongPlayResult& l = r.longPlay;
        const LongPlayGrowth g = longPlayGrowth(l);
        auto samples = [](const std::vector<RssSample>& list) {
            std::string text = "[";
            for (size_t i = 0; i < list.size(); ++i) {
                text += (i == 0 ? "[" : ", [") + fixed(list[i].seconds, 1) + ", " +
                        std::to_string(list[i].kib) + "]";
            }
            return text + "]";
        };
        out << "{\"recording\": " << jsonString(l.recording) << ", \"area\": " << jsonString(l.area)
            << ", \"media_seconds\": " << jsonNumber(l.mediaSeconds)
            << ", \"minutes\": " << jsonNumber(l.minutes) << ", \"note\": " << jsonString(l.note)
            << ", \"rss_after_first_pass_kib\": " << jsonKib(g.firstPassKib)
            << ", \"rss_at_end_kib\": " << jsonKib(g.endKib)
            << ", \"growth_per_pass_kib\": " << jsonArray(g.perPassKib)
            << ", \"growth_per_10_minutes_kib\": " << jsonNumber(g.per10MinutesKib)
            << ", \"second_half_growth_per_10_minutes_kib\": " << jsonNumber(g.latePer10MinutesKib)
            << ",\n    \"pass_ends_seconds_kib\": " << samples(l.passEnds)
            << ",\n    \"samples_seconds_kib\": " << samples(l.samples) << "}";
    } else {
        out << "null";
    }
    out << ",\n  \"record_index\": ";
    if (r.recordIndex.measured) {
        const RecordIndexResult& x = r.recordIndex;
        out << "{\"recording\": " << jsonString(x.recording) << ", \"file_bytes\": " << x.fileBytes
            << ", \"records\": " << x.records << ", \"key_records\": " << x.keys
            << ", \"seconds\": " << jsonArray(x.seconds)
            << ", \"median_seconds\": " << jsonNumber(median(x.seconds))
            << ", \"bytes_per_record\": " << jsonNumber(x.bytesPerRecord)
            << ", \"note\": " << jsonString(x.note) << "}";
    } else {
        out << "null";
    }
    out << ",\n  \"export\": ";
    if (r.exportRun.measured) {
        const ExportResult& e = r.exportRun;
        const double minutes = e.footageSeconds / 60.0;
        out << "{\"recording\": " << jsonString(e.recording) << ", \"file_bytes\": " << e.fileBytes
            << ", \"footage_seconds\": " << jsonNumber(e.footageSeconds)
            << ", \"mp4_bytes\": " << e.mp4Bytes << ", \"seconds\": " << jsonArray(e.seconds)
            << ", \"median_seconds\": " << jsonNumber(median(e.seconds))
            << ", \"seconds_per_footage_minute\": "
            << jsonNumber(minutes > 0 ? median(e.seconds) / minutes : 0.0)
            << ", \"note\": " << jsonString(e.note) << "}";
    } else {
        out << "null";
    }
    out << "\n}\n";
    return out.str();
}

}  // namespace vidora::bench
