#pragma once
// A recording played through the engine's parts on the calling thread, as fast as they decode,
// on virtual time: the reader delivers a record, then the video path and the audio decoder take
// all they can. What a threaded run does in its own time happens here in a fixed order, so a
// test (or a fuzzer, or a measurement) sees the same run every time. The decoded sound is taken
// out of the PCM ring as it comes, as the sound output would.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/playback_engine.h"

namespace vidora::test {

class InlineRun {
  public:
    // On an engine of its own, or on `shared` (made with virtual time), which a fuzzer keeps for
    // all of its inputs.
    InlineRun(Surface* surface, Rect rect)
        : owned_(std::make_unique<PlaybackEngine>(Pacer::Kind::Virtual)), engine(*owned_) {
        prepared_ = engine.prepare(surface, rect);
    }
    InlineRun(PlaybackEngine& shared, Surface* surface, Rect rect) : engine(shared) {
        prepared_ = engine.prepare(surface, rect);
    }

    // Opens `path`; false when the reader refuses it.
    bool start(const std::string& path) { return prepared_ && engine.reader().start(path); }

    // Delivers up to `most` records, calling `beforeRecord(n)` before the n-th (counted from 0
    // over the whole run) and decoding after each; the count delivered. After the last record
    // the decoders give up what they hold back.
    size_t play(size_t most = SIZE_MAX, const std::function<void(size_t)>& beforeRecord = {}) {
        size_t delivered = 0;
        bool more = true;
        while (delivered < most && more) {
            if (beforeRecord) {
                beforeRecord(records_);
            }
            more = engine.reader().step();
            if (more) {
                ++delivered;
                ++records_;
            }
            decode();
        }
        if (!more) {
            engine.reader().finish();
            decode();
        }
        return delivered;
    }

    // Lets the video path and the audio decoder take everything delivered so far.
    void decode() {
        for (;;) {
            bool busy = false;
            while (engine.video().step()) {
                busy = true;
            }
            if (engine.audioDecoder().decodeAvailable(100000) > 0) {
                busy = true;
            }
            StreamMark frame;
            uint8_t bytes[kPcmFrameBytes];
            uint32_t n = 0;
            while (engine.pcmRing().takeRecord(bytes, sizeof bytes, &frame, &n)) {
                frames.push_back(frame);
                pcm.insert(pcm.end(), bytes, bytes + n);
                busy = true;
            }
            if (!busy) {
                return;
            }
        }
    }

  private:
    std::unique_ptr<PlaybackEngine> owned_;

  public:
    PlaybackEngine& engine;
    std::vector<StreamMark> frames;  // every sound frame taken, and every flush
    std::vector<uint8_t> pcm;        // the sound of every frame, in order

  private:
    bool prepared_ = false;
    size_t records_ = 0;
};

}  // namespace vidora::test
