#pragma once
// The least that playing a recording can cost: plain FFmpeg loops over the recording's own
// packets, with the decoder set up as the player sets it up. One decodes and scales every
// picture bicubically to the display size, as the player must; one only decodes video and sound.

#include <cstddef>

#include "bench/bench_recording.h"

namespace vidora::bench {

struct LoopResult {
    bool ok = false;
    size_t pictures = 0;
    // From the first finished picture to the last: the steady rate, without the decoder's set-up.
    double firstToLastSeconds = 0.0;
    double cpuSeconds = 0.0;  // the whole loop, on this thread
    double framesPerSecond() const {
        return pictures > 1 && firstToLastSeconds > 0.0 ? (pictures - 1) / firstToLastSeconds : 0.0;
    }
};

// Packets ready for the decoder: each followed by the zeroed padding it may read past its end.
class PaddedPackets {
  public:
    explicit PaddedPackets(const std::vector<Bytes>& packets);
    size_t count() const { return sizes_.size(); }
    const uint8_t* data(size_t i) const { return storage_[i].data(); }
    int size(size_t i) const { return sizes_[i]; }

  private:
    std::vector<Bytes> storage_;
    std::vector<int> sizes_;
};

// Decodes every picture and scales it to width × height packed BGR with bicubic filtering.
LoopResult decodeAndScale(const BenchRecording& recording, const PaddedPackets& packets, int width,
                          int height);

// Decodes the video and the sound, nothing else.
LoopResult decodeOnly(const BenchRecording& recording, const PaddedPackets& packets,
                      const std::vector<Bytes>& audioFrames);

}  // namespace vidora::bench
