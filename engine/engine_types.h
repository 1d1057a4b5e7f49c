#pragma once
// Values and constants that the engine's threads, its tests and its callers share.

#include <cstdint>

namespace vidora {

// Ring and buffer sizes. The video ring holds a little under a second of 1080p video; the audio
// ring 11 minutes of AMR-NB at its highest rate (27 at its lowest); the PCM ring 52 s of 8 kHz
// 16-bit mono (up to its 80 % limit).
constexpr uint32_t kVideoRingBytes = 4145152;
constexpr uint32_t kAudioRingBytes = 1048576;
constexpr uint32_t kPcmRingBytes = 1048576;
// Largest H.264 payload the video thread accepts in one take.
constexpr uint32_t kPacketBufferBytes = 192000;
// H.263 is handed to its parser in pieces of at most this many bytes.
constexpr uint32_t kH263PieceBytes = 8192;
// One record of the PCM ring, and one wave output block: the sound of one AMR-NB frame, 20 ms of
// 8000 Hz 16-bit mono.
constexpr uint32_t kPcmFrameBytes = 320;
// Blocks the sound device may hold at once: 5 s of sound, far more than the output keeps queued.
constexpr uint32_t kWaveHeaderCount = 256;
constexpr uint32_t kWaveBufferBytes = 786432;
static_assert(kWaveHeaderCount * kPcmFrameBytes <= kWaveBufferBytes);

// Date and time of a record, as the file stores it.
struct RecordTime {
    uint16_t year = 0;
    uint16_t month = 0;
    uint16_t day = 0;
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    friend bool operator==(const RecordTime&, const RecordTime&) = default;
};

// How the reader's schedule maps stream time to clock time: the stream stood at `anchor` at
// clock time `origin` and moves on `speed` times as fast as the clock (1 at recorded speed).
struct ScheduleMapping {
    int64_t origin = 0;
    int64_t anchor = 0;
    double speed = 1.0;
    int64_t streamAt(int64_t now) const {
        return anchor + static_cast<int64_t>(static_cast<double>(now - origin) * speed);
    }
    int64_t clockAt(int64_t streamTime) const {
        return origin + static_cast<int64_t>(static_cast<double>(streamTime - anchor) / speed);
    }
};

// The playback speeds: a quarter to sixteen times the recorded speed.
constexpr double kMinSpeed = 0.25;
constexpr double kMaxSpeed = 16.0;

// Why an opened file plays nothing: the window says so in the video area.
enum class FileProblem : int32_t {
    None,
    NotARecording,  // the header is not a recording's
    CannotOpen,     // missing, a folder, a device, unreadable
};

// Outcome of taking one length-prefixed H.264 packet from the video ring.
enum class PacketTake {
    Taken,          // the payload was copied and the length word consumed
    NotReady,       // the length word or the payload is not all buffered yet; nothing consumed
    Unsatisfiable,  // the length word claims more than a packet buffer holds; nothing consumed
};

}  // namespace vidora
