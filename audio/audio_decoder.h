#pragma once
// The audio decoder: the consumer of the audio ring and the producer of the PCM ring. It decodes
// AMR-NB frames to 16-bit PCM, each frame as soon as all of its bytes are in the ring, with the
// stream time it plays at. A frame the decoder refuses (a damaged, comfort-noise or no-data
// frame) plays as 20 ms of silence, so that what follows keeps its time. Out of step (after a
// seek, or at a byte that starts no frame) it looks for the next place where several well-formed
// frame headers follow one another, rather than decode noise from the middle of a frame. It
// honours the ring's flushes on its own and passes them on to the sound output. Nothing is taken
// while the PCM ring is full.
//
// The audio decode thread calls run(); a test or a fuzzer can call decodeAvailable().

#include <cstdint>
#include <stop_token>

#include "audio/amr_frame_decoder.h"
#include "engine/engine_types.h"
#include "engine/pacer.h"
#include "engine/stream_rings.h"
#include "engine/wake_signal.h"

namespace vidora {

// An AMR-NB frame plays for 20 ms.
constexpr int64_t kAmrFrameUs = 20000;
// How far the count of frames may stray from the records' times before a frame is timed by its
// record instead.
constexpr int64_t kAmrTimingSlackUs = 60000;
// The longest storage frame (12.2 kbit/s, header byte included).
constexpr uint32_t kAmrMaxFrameBytes = 32;

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
    uint8_t pcm[kPcmFrameBytes * 2] = {};
};

class AudioDecoder {
  public:
    AudioDecoder(ByteRing& in, ByteRing& out, Pacer& pacer);
    AudioDecoder(const AudioDecoder&) = delete;
    AudioDecoder& operator=(const AudioDecoder&) = delete;

    // The thread's loop: decodes what arrives until `stop`. Whoever stops it notifies wake()
    // after the request, so that a wait ends at once.
    void run(std::stop_token stop);
    // Decodes every whole frame in the ring, at most `most`; how many it decoded.
    uint32_t decodeAvailable(uint32_t most);
    // Back to the start of a run (the thread must not be running).
    void reset() {
        state_ = AudioDecodeState{};
        generationServed_ = 0;
    }
    WakeSignal& wake() { return wake_; }

  private:
    enum class Step { Found, NotHere, NeedMore };
    Step findsStep(uint32_t unread);

    ByteRing& in_;
    ByteRing& out_;
    Pacer& pacer_;
    WakeSignal wake_;
    AmrFrameDecoder decoder_;
    AudioDecodeState state_;
    uint32_t generationServed_ = 0;
};

}  // namespace vidora
