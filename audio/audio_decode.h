#pragma once
// The audio decode thread's work, apart from the thread, so that it can be driven with any
// decode call: AMR-NB frames from the audio ring to 16-bit PCM in the PCM ring, each frame as
// soon as all of its bytes are in the ring, with the stream time it plays at.

#include <cstdint>
#include <functional>

#include "engine/engine_types.h"
#include "engine/stream_marks.h"

namespace vidora {

class PlaybackEngine;

// An AMR-NB frame plays for 20 ms.
constexpr int64_t kAmrFrameUs = 20000;
// How far the count of frames may stray from the records' times before a frame is timed by its
// record instead.
constexpr int64_t kAmrTimingSlackUs = 60000;
// The longest storage frame (12.2 kbit/s, header byte included).
constexpr uint32_t kAmrMaxFrameBytes = 32;

// One decode call: decodes the frame at `input` (`inputLength` bytes may be read) into 16-bit
// PCM at `output`; `*outputBytes` is the space on entry and the bytes written on return.
// Returns the input bytes consumed, or -1 on failure.
using AudioDecodeCall = std::function<int32_t(uint8_t* output, int32_t* outputBytes,
                                              const uint8_t* input, int32_t inputLength)>;

// Where the decoding stands: the record the next frame belongs to and how many of its frames
// were decoded. Kept by the thread from one turn to the next.
struct AudioDecodeState {
    StreamMark record;
    uint32_t framesInRecord = 0;
    // Whether the read position is known to be at a frame's first byte. Not so after a seek,
    // which lands where a record's sound begins, often inside a frame, nor after a byte that
    // starts no frame.
    bool inStep = true;
    // The stream time of the frame after the last one decoded, when a run of frames is going on.
    // A record's sound may begin with the tail of a frame started in the record before, so the
    // frames of a record are not all its own: a frame is timed by counting on from the one
    // before, and by its record only where that count has clearly lost its way (a stretch of
    // records without sound, a seek).
    bool counting = false;
    int64_t nextStreamTime = 0;
    // The frame's bytes, with room behind them for what the decoder may read past its end.
    uint8_t frame[kAmrMaxFrameBytes + 64] = {};
    uint8_t pcm[kPcmSlotBytes * 2] = {};
};

// Decodes every whole frame in the audio ring, at most `most`, and appends its sound to the PCM
// ring. A frame the decoder refuses (a damaged, comfort-noise or no-data frame) plays as 20 ms of
// silence, so that what follows keeps its time. Out of step (after a seek, or at a byte that
// starts no frame) it looks for the next place where several well-formed frame headers follow
// one another, rather than decode noise from the middle of a frame. A flush mark drops the bytes
// before it and is passed on to the sound output. Stops early while the PCM ring is full.
// Returns how many frames it decoded.
uint32_t decodeAudioFrames(PlaybackEngine& engine, AudioDecodeState& state,
                           const AudioDecodeCall& decode, uint32_t most);

}  // namespace vidora
