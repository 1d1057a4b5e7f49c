#include "audio/audio_decoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vidora {

namespace {

// The longest wait without being woken, as a safeguard: deliveries, room in the PCM ring and a
// stop wake the thread.
constexpr int64_t kIdleWaitUs = 100000;
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

}  // namespace

AudioDecoder::AudioDecoder(ByteRing& in, ByteRing& out, Pacer& pacer)
    : in_(in), out_(out), pacer_(pacer) {}

void AudioDecoder::run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        // Read before looking: a delivery meanwhile ends the wait.
        const uint64_t seen = wake_.count();
        // With no whole frame buffered the thread waits for the reader's next delivery (or, with
        // the PCM ring full, for the output to take some).
        if (decodeAvailable(kFramesPerTurn) == 0) {
            pacer_.waitFor(wake_, seen, kIdleWaitUs);
        }
    }
}

AudioDecoder::Step AudioDecoder::findsStep(uint32_t unread) {
    // Whether the bytes at the read position begin a run of well-formed frames. Once the reader
    // has delivered its last record, a shorter run that ends exactly where the sound ends will do.
    uint8_t bytes[kFramesToFindStep * kAmrMaxFrameBytes + 1];
    const uint32_t have = std::min<uint32_t>(unread, sizeof bytes);
    in_.peekExactly(bytes, have);
    const bool producerDone = in_.finished();
    uint32_t at = 0;
    for (int32_t frame = 0; frame < kFramesToFindStep; ++frame) {
        if (at >= have) {
            return producerDone && at == unread && frame > 0 ? Step::Found : Step::NeedMore;
        }
        if (!wellFormedHeader(bytes[at])) {
            return Step::NotHere;
        }
        at += static_cast<uint32_t>(amrStorageFrameBytes(bytes[at]));
    }
    return Step::Found;
}

uint32_t AudioDecoder::decodeAvailable(uint32_t most) {
    if (!decoder_.isOpen() && !decoder_.open()) {
        return 0;
    }
    AudioDecodeState& state = state_;
    uint32_t decoded = 0;
    while (decoded < most) {
        // With the output behind, neither a frame nor a flush can be passed on: nothing is taken
        // (a frame decoded and then kept back would go through the decoder twice).
        if (!out_.hasRoom()) {
            break;
        }
        // A seek: the sound before it is not played, here or in the output, whether it was
        // unread yet or not. There is room for the flush: this decoder alone fills the ring, and
        // found room above.
        StreamMark flush;
        bool flushed = false;
        if (in_.generation() != generationServed_) {
            generationServed_ = in_.generation();
            flushed = in_.skipFlushes();
        }
        const uint32_t previousRecord = state.record.position;
        if (!flushed && in_.marks().advanceTo(in_.readPosition(), &state.record, &flush)) {
            in_.consume(flush.position - in_.readPosition());
            flushed = true;
        }
        if (flushed) {
            out_.flush();
            state.record = StreamMark{in_.readPosition(), 0, false};
            state.framesInRecord = 0;
            state.inStep = false;
            state.counting = false;
            continue;
        }
        // Every record's mark stands at a position of its own.
        if (state.record.position != previousRecord) {
            state.framesInRecord = 0;
        }
        const uint32_t unread = in_.unread();
        if (unread < 1) {
            break;
        }
        if (!state.inStep) {
            const Step step = findsStep(unread);
            if (step == Step::NeedMore) {
                break;
            }
            if (step == Step::NotHere) {
                in_.consume(1);
                continue;
            }
            state.inStep = true;
        }
        uint8_t header = 0;
        in_.peekExactly(&header, 1);
        const int32_t frameBytes = amrStorageFrameBytes(header);
        if (frameBytes < 0) {
            // Not a frame header: the stream is out of step.
            state.inStep = false;
            continue;
        }
        if (unread < static_cast<uint32_t>(frameBytes)) {
            break;  // the rest of the frame comes with the next record
        }
        std::memset(state.frame, 0, sizeof state.frame);
        in_.peekExactly(state.frame, static_cast<uint32_t>(frameBytes));
        int32_t outputBytes = static_cast<int32_t>(sizeof state.pcm);
        const int32_t result = decoder_.decode(state.pcm, &outputBytes, state.frame, frameBytes);
        if (result <= 0 || outputBytes <= 0) {
            std::memset(state.pcm, 0, kPcmFrameBytes);
            outputBytes = static_cast<int32_t>(kPcmFrameBytes);
        }
        const int64_t byRecord =
            state.record.streamTime + int64_t{state.framesInRecord} * kAmrFrameUs;
        const int64_t streamTime =
            state.counting && std::abs(state.nextStreamTime - byRecord) <= kAmrTimingSlackUs
                ? state.nextStreamTime
                : byRecord;
        out_.putRecord(state.pcm, std::min(static_cast<uint32_t>(outputBytes), kPcmFrameBytes),
                       streamTime);
        ++state.framesInRecord;
        state.counting = true;
        state.nextStreamTime = streamTime + kAmrFrameUs;
        in_.consume(static_cast<uint32_t>(frameBytes));
        ++decoded;
    }
    return decoded;
}

}  // namespace vidora
