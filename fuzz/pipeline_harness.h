#pragma once
// The whole headless pipeline on arbitrary bytes behind a valid header: reader, video decoding,
// scaling and presenting into an off-screen surface, AMR-NB decoding into the PCM ring and the
// wave output (silent when the process has no sound device). An input is six control bytes and
// then everything that follows the 1024-byte header of a recording (its records):
//
//   byte 0   bit 0: H.263 (else H.264)
//            bits 1-2: picture size in the header: bytes 2-5, 320x240, 352x288, 1280x720
//            bits 3-4: video area: 332x236, 512x324, 501x301, 3x2
//            bit 5: seek while the third record waits, to the percentage in byte 1 (mod 101)
//            bit 6: pause and resume once while playing
//            bit 7: once the reader has ended, play the file again from the start
//   byte 1   seek percentage
//   bytes 2-5  width and height for the header, signed 16-bit each, when bits 1-2 ask for them
//
// Each run is bounded: at most kPipelineMaxRecords records are delivered and at most
// kPipelineMaxRunTime passes before the engine is closed, whatever is still being decoded.
// A close that does not return is a hang for the fuzzer's own timeout to report.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/playback_engine.h"
#include "fuzz/memory_file.h"
#include "fuzz/run_support.h"
#include "platform/surface.h"

namespace vidora::fuzz {

constexpr size_t kPipelineControlBytes = 6;
constexpr size_t kPipelineMaxBodyBytes = 256 * 1024;
constexpr int kPipelineMaxRecords = 400;
constexpr auto kPipelineMaxRunTime = std::chrono::seconds(4);

struct PipelineControls {
    bool h263 = false;
    int width = 0;
    int height = 0;
    Rect videoArea{0, 0, 332, 236};
    int seekPercent = 0;  // 0: no seek
    bool pauseOnce = false;
    bool playAgain = false;
};

inline PipelineControls pipelineControls(const uint8_t* data, size_t size) {
    PipelineControls c;
    if (size < kPipelineControlBytes) {
        return c;
    }
    const uint8_t flags = data[0];
    c.h263 = (flags & 1) != 0;
    static constexpr int kSizes[4][2] = {{0, 0}, {320, 240}, {352, 288}, {1280, 720}};
    c.width = kSizes[(flags >> 1) & 3][0];
    c.height = kSizes[(flags >> 1) & 3][1];
    if (((flags >> 1) & 3) == 0) {
        c.width = static_cast<int16_t>(data[2] | (data[3] << 8));
        c.height = static_cast<int16_t>(data[4] | (data[5] << 8));
    }
    static constexpr Rect kAreas[4] = {
        {0, 0, 332, 236}, {0, 0, 512, 324}, {0, 0, 501, 301}, {0, 0, 3, 2}};
    c.videoArea = kAreas[(flags >> 3) & 3];
    if ((flags & 0x20) != 0) {
        c.seekPercent = data[1] % 101;
    }
    c.pauseOnce = (flags & 0x40) != 0;
    c.playAgain = (flags & 0x80) != 0;
    return c;
}

inline std::vector<uint8_t> pipelineHeader(const PipelineControls& c) {
    std::vector<uint8_t> h(1024, 0);
    std::memcpy(h.data(), c.h263 ? "h263" : "h264", 4);
    for (int i = 0; i < 4; ++i) {
        h[1016 + i] = static_cast<uint8_t>(static_cast<uint32_t>(c.width) >> (8 * i));
        h[1020 + i] = static_cast<uint8_t>(static_cast<uint32_t>(c.height) >> (8 * i));
    }
    return h;
}

// Waits until the decoding threads stop making progress: nothing new taken from the rings,
// decoded or played for a while.
inline void waitForQuiet(PlaybackEngine& engine, std::chrono::steady_clock::time_point deadline) {
    auto snapshot = [&engine] {
        return std::vector<uint32_t>{engine.videoRing.read.load(), engine.audioRing.read.load(),
                                     engine.picturesScaled.load(), engine.pcmRing.taken.load(),
                                     engine.pcmRing.written.load()};
    };
    std::vector<uint32_t> last = snapshot();
    int quietTurns = 0;
    while (quietTurns < 10 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::vector<uint32_t> now = snapshot();
        quietTurns = now == last ? quietTurns + 1 : 0;
        last = now;
    }
}

inline std::string runPipelineCase(PlaybackEngine& engine, MemoryFile& file, Surface& surface,
                                   const uint8_t* data, size_t size) {
    Findings findings;
    const PipelineControls controls = pipelineControls(data, size);
    const uint8_t* body = size >= kPipelineControlBytes ? data + kPipelineControlBytes : data;
    size_t bodySize = size >= kPipelineControlBytes ? size - kPipelineControlBytes : 0;
    bodySize = std::min(bodySize, kPipelineMaxBodyBytes);
    const std::vector<uint8_t> header = pipelineHeader(controls);
    if (!file.write(header.data(), header.size(), body, bodySize)) {
        return std::string();
    }

    std::atomic<int> records{0};
    std::atomic<bool> recordLimit{false};
    engine.setSleepFunction([&](SleepSite site, uint32_t) {
        switch (site) {
            case SleepSite::ReaderPacing: {
                int n = records.fetch_add(1) + 1;
                if (n == 3 && controls.seekPercent != 0) {
                    engine.requestSeek(controls.seekPercent);
                }
                if (n >= kPipelineMaxRecords) {
                    recordLimit.store(true);
                }
                std::this_thread::sleep_for(std::chrono::microseconds(20));
                return;
            }
            case SleepSite::AudioOutGrace:
                return;
            default:
                // Polling threads keep polling, without taking a core each.
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                return;
        }
    });

    surface.fill(Rect{0, 0, surface.width(), surface.height()}, 0);
    const auto deadline = std::chrono::steady_clock::now() + kPipelineMaxRunTime;
    engine.open(file.path(), &surface, controls.videoArea);
    auto readerDone = [&] {
        return engine.readerRunning.load() == 0 || recordLimit.load() ||
               std::chrono::steady_clock::now() > deadline;
    };
    if (controls.pauseOnce) {
        waitUntil([&] { return engine.isPlaying() != 0 || readerDone(); }, kPipelineMaxRunTime);
        if (engine.isPlaying() != 0) {
            engine.togglePlay();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            engine.togglePlay();
        }
    }
    waitUntil(readerDone, kPipelineMaxRunTime);
    if (controls.playAgain && !recordLimit.load()) {
        waitForQuiet(engine, deadline);
        engine.togglePlay();  // the reader has ended: a new one starts from the first record
        waitUntil(readerDone, kPipelineMaxRunTime);
    }
    waitForQuiet(engine, deadline);
    findings.check(engine.framesPresented.load() <= engine.picturesScaled.load(),
                   "more frames presented than decoded");

    engine.close();
    checkClosed(engine, findings);
    engine.setSleepFunction(nullptr);
    return findings.text();
}

}  // namespace vidora::fuzz
