// The audio decode thread: AMR-NB from the audio ring to 16-bit PCM in the PCM ring.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "audio/amr_frame_decoder.h"
#include "audio/audio_decode.h"
#include "engine/playback_engine.h"

namespace vidora {

namespace {

constexpr uint32_t kWaitDecodersMs = 100;
constexpr uint32_t kTurnMs = 1;
// Frames decoded in one turn before the thread looks at its stop flag again: 2 s of sound.
constexpr uint32_t kFramesPerTurn = 100;

// Frames whose headers must be well formed, one after another, before a place out of step counts
// as a frame's start.
constexpr int32_t kFramesToFindStep = 4;

// A storage frame header as an encoder writes it: padding bits zero, a speech, comfort-noise or
// no-data frame type.
bool wellFormedHeader(uint8_t header) {
    const int type = (header >> 3) & 0x0F;
    return (header & 0x83) == 0 && (type <= 8 || type == 15);
}

enum class Step { Found, NotHere, NeedMore };

// Whether the bytes at the read position begin a run of well-formed frames. Once the reader has
// delivered its last record, a shorter run that ends exactly where the sound ends will do.
Step findsStep(PlaybackEngine& engine, int32_t unread) {
    uint8_t bytes[kFramesToFindStep * kAmrMaxFrameBytes + 1];
    const int32_t have = std::min<int32_t>(unread, static_cast<int32_t>(sizeof bytes));
    engine.audioRing.peekExactly(bytes, static_cast<uint32_t>(have));
    const bool readerDone = engine.readerRunning.load() == 0;
    int32_t at = 0;
    for (int32_t frame = 0; frame < kFramesToFindStep; ++frame) {
        if (at >= have) {
            return readerDone && at == unread && frame > 0 ? Step::Found : Step::NeedMore;
        }
        if (!wellFormedHeader(bytes[at])) {
            return Step::NotHere;
        }
        at += amrStorageFrameBytes(bytes[at]);
    }
    return Step::Found;
}

}  // namespace

uint32_t decodeAudioFrames(PlaybackEngine& engine, AudioDecodeState& state,
                           const AudioDecodeCall& decode, uint32_t most) {
    uint32_t decoded = 0;
    while (decoded < most && engine.stopRequested.load() == 0) {
        // With the output behind, neither a frame nor a flush can be passed on: nothing is taken
        // (a frame decoded and then kept back would go through the decoder twice).
        if (!engine.pcmRing.hasRoom()) {
            break;
        }
        uint32_t read = engine.audioRing.read.load(std::memory_order_relaxed);
        StreamMark flush;
        const uint32_t previousRecord = state.record.position;
        if (engine.audioRing.marks.advanceTo(read, &state.record, &flush)) {
            // A seek: the sound before it is not played, here or in the output. There is room
            // for the flush: this thread alone fills the ring, and found room above.
            engine.pcmRing.putFlush();
            engine.audioOutWake.notify();
            engine.audioRing.read.store(flush.position, std::memory_order_release);
            state.record = StreamMark{flush.position, 0, false};
            state.framesInRecord = 0;
            state.inStep = false;
            state.counting = false;
            continue;
        }
        // Every record's mark stands at a position of its own.
        if (state.record.position != previousRecord) {
            state.framesInRecord = 0;
        }
        const int32_t unread =
            static_cast<int32_t>(engine.audioRing.written.load(std::memory_order_acquire) - read);
        if (unread < 1) {
            break;
        }
        if (!state.inStep) {
            const Step step = findsStep(engine, unread);
            if (step == Step::NeedMore) {
                break;
            }
            if (step == Step::NotHere) {
                engine.audioRing.read.store(read + 1, std::memory_order_release);
                continue;
            }
            state.inStep = true;
        }
        uint8_t header = 0;
        engine.audioRing.peekExactly(&header, 1);
        const int32_t frameBytes = amrStorageFrameBytes(header);
        if (frameBytes < 0) {
            // Not a frame header: the stream is out of step.
            state.inStep = false;
            continue;
        }
        if (unread < frameBytes) {
            break;  // the rest of the frame comes with the next record
        }
        std::memset(state.frame, 0, sizeof state.frame);
        engine.audioRing.peekExactly(state.frame, static_cast<uint32_t>(frameBytes));
        int32_t outputBytes = static_cast<int32_t>(sizeof state.pcm);
        const int32_t result = decode(state.pcm, &outputBytes, state.frame, frameBytes);
        if (result <= 0 || outputBytes <= 0) {
            std::memset(state.pcm, 0, kPcmSlotBytes);
            outputBytes = static_cast<int32_t>(kPcmSlotBytes);
        }
        const int64_t byRecord =
            state.record.streamTime + int64_t{state.framesInRecord} * kAmrFrameUs;
        const int64_t streamTime =
            state.counting && std::abs(state.nextStreamTime - byRecord) <= kAmrTimingSlackUs
                ? state.nextStreamTime
                : byRecord;
        engine.pcmRing.put(state.pcm, static_cast<uint32_t>(outputBytes), streamTime);
        engine.audioOutWake.notify();
        ++state.framesInRecord;
        state.counting = true;
        state.nextStreamTime = streamTime + kAmrFrameUs;
        engine.audioRing.read.store(read + static_cast<uint32_t>(frameBytes),
                                    std::memory_order_release);
        ++decoded;
    }
    return decoded;
}

namespace {

void decodeUntilStopped(PlaybackEngine& engine) {
    auto state = std::make_unique<AudioDecodeState>();
    // The thread's own decoder, kept for the thread's life. Decoding starts with the run's
    // decoding as a whole: once the video thread has set up for the stream the reader found.
    AmrFrameDecoder frameDecoder;
    AudioDecodeCall decode = [&frameDecoder](uint8_t* output, int32_t* outputBytes,
                                             const uint8_t* input, int32_t inputLength) {
        return frameDecoder.decode(output, outputBytes, input, inputLength);
    };
    while (engine.stopRequested.load() == 0) {
        // Read before looking: a delivery, or the decoders' set-up, meanwhile ends the wait.
        const uint64_t seen = engine.audioDecodeWake.count();
        if (engine.decodersReady.load(std::memory_order_acquire) == 0 || !frameDecoder.open()) {
            engine.endPollTurn(SleepSite::AudioWaitDecoders, kWaitDecodersMs, 0, false,
                               engine.audioDecodeWake, seen);
            continue;
        }
        const bool busy = decodeAudioFrames(engine, *state, decode, kFramesPerTurn) > 0;
        // With no whole frame buffered the thread waits for the reader's next delivery (or, with
        // the PCM ring full, for the output to take some).
        engine.endPollTurn(SleepSite::AudioTurn, kTurnMs, 0, busy, engine.audioDecodeWake, seen);
    }
}

}  // namespace

void AudioDecodeThread(PlaybackEngine& engine) {
    // The thread's buffers and decoder objects are released inside, before the handle is
    // cleared.
    decodeUntilStopped(engine);
    // Last step: stopThreads waits for this and nothing of the engine is touched after it.
    engine.audioDecodeRunning.store(false);
}

}  // namespace vidora
