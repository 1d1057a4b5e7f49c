#pragma once
// The headless pipeline on arbitrary records behind a valid header, on the calling thread with
// virtual time: reader, video decoding, scaling and presenting into an off-screen surface, and
// AMR-NB decoding into the PCM ring. An input is six control bytes and then everything that
// follows the 1024-byte header of a recording (its records):
//
//   byte 0   bit 0: H.263 (else H.264)
//            bits 1-2: picture size in the header: bytes 2-5, 320x240, 352x288, 1280x720
//            bits 3-4: video area: 332x236, 512x324, 501x301, 3x2
//            bit 5: seek before the third record, to the percentage in byte 1 (mod 101);
//                   with byte 1's top bit, exactly (with the record index of the input)
//            bit 6: move the drawing target to a second surface once, halfway
//            bit 7: once the reader has ended, play the file again from the start
//   byte 1   seek percentage
//   bytes 2-5  width and height for the header, signed 16-bit each, when bits 1-2 ask for them
//
// At most kPipelineMaxRecords records are delivered in a run.

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/playback_engine.h"
#include "fuzz/memory_file.h"
#include "fuzz/run_support.h"
#include "platform/surface.h"
#include "recording/record_index.h"
#include "tests/support/inline_run.h"

namespace vidora::fuzz {

constexpr size_t kPipelineControlBytes = 6;
constexpr size_t kPipelineMaxBodyBytes = 256 * 1024;
constexpr int kPipelineMaxRecords = 400;

struct PipelineControls {
    bool h263 = false;
    int width = 0;
    int height = 0;
    Rect videoArea{0, 0, 332, 236};
    int seekPercent = 0;  // 0: no seek
    bool exact = false;
    bool moveTarget = false;
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
        c.seekPercent = (data[1] & 0x7F) % 101;
        c.exact = (data[1] & 0x80) != 0;
    }
    c.moveTarget = (flags & 0x40) != 0;
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

// Runs one input on `engine` (with virtual time); returns the failed checks, empty when none
// failed. `second` is the surface the target moves to.
inline std::string runPipelineCase(PlaybackEngine& engine, MemoryFile& file, Surface& surface,
                                   Surface& second, const uint8_t* data, size_t size) {
    Findings findings;
    const PipelineControls controls = pipelineControls(data, size);
    const uint8_t* body = size >= kPipelineControlBytes ? data + kPipelineControlBytes : data;
    size_t bodySize = size >= kPipelineControlBytes ? size - kPipelineControlBytes : 0;
    bodySize = std::min(bodySize, kPipelineMaxBodyBytes);
    const std::vector<uint8_t> header = pipelineHeader(controls);
    if (!file.write(header.data(), header.size(), body, bodySize)) {
        return std::string();
    }
    surface.fill(Rect{0, 0, surface.width(), surface.height()}, 0);
    test::InlineRun run(engine, &surface, controls.videoArea);
    auto index = std::make_shared<RecordIndex>();
    if (controls.exact) {
        index->build(file.path());
    }
    run.engine.reader().index = [&] {
        return controls.exact ? std::shared_ptr<const RecordIndex>(index) : nullptr;
    };
    findings.check(run.start(file.path()), "a valid header was refused");
    auto control = [&](size_t record) {
        if (record == 2 && controls.seekPercent != 0) {
            run.engine.requestSeek(controls.seekPercent);
        }
        if (record == 20 && controls.moveTarget) {
            run.engine.video().setTarget(&second, Rect{0, 0, second.width(), second.height()});
        }
    };
    size_t played = run.play(kPipelineMaxRecords, control);
    if (controls.playAgain && played < kPipelineMaxRecords && run.start(file.path())) {
        played += run.play(kPipelineMaxRecords - played, control);
    }
    // The engine's own index comes back for the next input.
    run.engine.reader().index = [&engine] { return engine.index(); };
    // Beyond what the sanitizers watch: the sound comes in whole samples.
    findings.check(run.pcm.size() % 2 == 0, "the sound is not whole 16-bit samples");
    return findings.text();
}

}  // namespace vidora::fuzz
