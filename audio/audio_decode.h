#pragma once
// The audio decode thread's work on one chunk, apart from the thread, so that it can be driven
// with any decode call.

#include <cstdint>
#include <functional>

#include "engine/engine_types.h"

namespace vidora {

class PlaybackEngine;

// A chunk is copied to the start of a zeroed buffer four times its size: a frame that straddles
// the chunk's end is decoded from the chunk's tail and zeros, and a call that starts inside the
// chunk (at most 255 bytes in) and reads the full chunk length stays in the buffer.
constexpr uint32_t kAudioChunkBufferBytes = 4 * kAudioWindowBytes;
// PCM scratch of one chunk: room for 600 frames of 160 samples, more than a 256-byte chunk (at
// most 256 frames of at least one byte) can give.
constexpr uint32_t kAudioPcmScratchBytes = 192000;

// Working storage of the thread, reused for every chunk.
struct AudioDecodeBuffers {
    uint8_t chunk[kAudioChunkBufferBytes];
    uint8_t pcm[kAudioPcmScratchBytes];
};

// One decode call: decodes the frame at `input` (`inputLength` bytes may be read) into 16-bit
// PCM at `output`; `*outputBytes` is the space on entry and the bytes written on return.
// Returns the input bytes consumed, or -1 on failure.
using AudioDecodeCall = std::function<int32_t(uint8_t* output, int32_t* outputBytes,
                                              const uint8_t* input, int32_t inputLength)>;

// Takes the chunk at audioRingRead (when more than a chunk is buffered), decodes it frame by
// frame, advancing audioRingRead by what each call consumes, and appends the PCM to the PCM
// ring. A failed call skips a chunk's length from where it started.
void decodeAudioChunk(PlaybackEngine& engine, AudioDecodeBuffers& buffers,
                      const AudioDecodeCall& decode);

}  // namespace vidora
