// The audio decode thread: AMR-NB from the audio ring to 16-bit PCM in the PCM ring.

#include <cstring>
#include <memory>
#include <new>

#include "audio/amr_frame_decoder.h"
#include "audio/audio_decode.h"
#include "engine/playback_engine.h"

namespace vidora {

namespace {

constexpr uint32_t kWaitDecodersMs = 100;
// Each call is followed by a short sleep, which spreads a chunk's decoding over several
// milliseconds instead of taking the processor in one burst.
constexpr uint32_t kAfterDecodeMs = 1;
constexpr uint32_t kTurnMs = 1;

}  // namespace

void decodeAudioChunk(PlaybackEngine& engine, AudioDecodeBuffers& buffers,
                      const AudioDecodeCall& decode) {
    std::memset(buffers.chunk, 0, sizeof buffers.chunk);
    if (engine.audioWindowPeek(buffers.chunk) == 0) {
        return;
    }
    std::memset(buffers.pcm, 0, sizeof buffers.pcm);
    int32_t consumed = 0;
    int32_t produced = 0;
    constexpr int32_t kChunk = static_cast<int32_t>(kAudioWindowBytes);
    while (consumed < kChunk && engine.stopRequested.load() == 0) {
        // A frame that runs past the chunk's end is left for the next chunk, which starts with
        // it: decoded from the chunk's tail and the zeros behind it, it would play as a damaged
        // frame (every 256 bytes, with frame sizes that do not divide 256).
        const int32_t frameBytes = amrStorageFrameBytes(buffers.chunk[consumed]);
        if (consumed > 0 && frameBytes > 0 && consumed + frameBytes > kChunk) {
            break;
        }
        int32_t outputBytes = static_cast<int32_t>(kAudioPcmScratchBytes);
        // The full chunk length on every call, not what is left of the chunk; the bytes behind
        // the chunk read as zeros.
        int32_t result =
            decode(buffers.pcm + produced, &outputBytes, buffers.chunk + consumed, kChunk);
        // Only a positive count is progress. Any other result is a failure: adding a negative
        // one would move audioRingRead backwards, and a 0 would repeat the same call for ever.
        if (result <= 0) {
            engine.audioRingRead.fetch_add(kAudioWindowBytes, std::memory_order_release);
            break;
        }
        consumed += result;
        engine.audioRingRead.fetch_add(static_cast<uint32_t>(result), std::memory_order_release);
        if (outputBytes > 0) {
            produced += outputBytes;
        }
        engine.sleepFor(SleepSite::AudioAfterDecode, kAfterDecodeMs);
    }
    // Also after a failure or a stop: what was decoded before it is not lost.
    if (produced > 0) {
        engine.pcmRingPut(buffers.pcm, static_cast<uint32_t>(produced));
    }
}

namespace {

void decodeUntilStopped(PlaybackEngine& engine) {
    std::unique_ptr<AudioDecodeBuffers> buffers(new (std::nothrow) AudioDecodeBuffers);
    AmrFrameDecoder frameDecoder;
    AudioDecodeCall decode = [&engine, &frameDecoder](uint8_t* output, int32_t* outputBytes,
                                                      const uint8_t* input, int32_t inputLength) {
        return frameDecoder.decode(engine.audioCtx, &engine.audioResampler, output, outputBytes,
                                   input, inputLength);
    };
    while (engine.stopRequested.load() == 0) {
        // Acquire: the decoder context and the resampler slot are the video thread's until this
        // flag is up, and must be seen as it left them.
        if (engine.decodersReady.load(std::memory_order_acquire) == 0) {
            engine.sleepFor(SleepSite::AudioWaitDecoders, kWaitDecodersMs);
            continue;
        }
        // Read before looking at the ring: a delivery made meanwhile ends the wait at once.
        const uint64_t seen = engine.audioDecodeWake.count();
        uint32_t read = engine.audioRingRead.load(std::memory_order_relaxed);
        int32_t buffered =
            static_cast<int32_t>(engine.audioRingWritten.load(std::memory_order_acquire) - read);
        const bool busy = buffers != nullptr && buffered > static_cast<int32_t>(kAudioWindowBytes);
        if (busy) {
            decodeAudioChunk(engine, *buffers, decode);
        }
        // With too little buffered the thread waits for the reader's next delivery.
        engine.endPollTurn(SleepSite::AudioTurn, kTurnMs, kTurnMs, busy, engine.audioDecodeWake,
                           seen);
    }
}

}  // namespace

void AudioDecodeThread(PlaybackEngine& engine) {
    // The thread's buffers and decoder objects are released inside, before the handle is
    // cleared.
    decodeUntilStopped(engine);
    // Last step: stopThreads waits for this and nothing of the engine is touched after it.
    engine.audioDecodeHandle.store(0);
}

}  // namespace vidora
