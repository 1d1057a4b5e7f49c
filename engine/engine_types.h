#pragma once
// Values and constants that the engine's threads, its tests and its callers share.

#include <cstdint>
#include <functional>

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

// Where a thread sleeps; lets tests tell the reader's pacing from everybody's polling.
enum class SleepSite : uint8_t {
    ToggleDelay,        // togglePlay before it starts a new reader (50 ms)
    ReaderPause,        // reader while paused (100 ms)
    ReaderPacing,       // reader before delivering a record (its delay, the timestamp gap)
    VideoIdle,          // video thread waiting for a stream or paused (100 ms)
    VideoSetupRetry,    // video thread after a decoder setup (100 ms)
    VideoLayoutRetry,   // video thread after a failed layout (10 ms)
    VideoFrameAlloc,    // video thread after a failed frame allocation (100 ms)
    VideoStep,          // video thread after each packet step (1 ms)
    AudioWaitDecoders,  // audio decode thread waiting for the decoders (100 ms)
    AudioTurn,          // audio decode thread at the end of each turn (1 ms)
    AudioOutFeed,       // audio output after each turn (1 ms)
    AudioOutGrace,      // audio output letting the queued sound play out before closing (200 ms)
};

using SleepFunction = std::function<void(SleepSite site, uint32_t milliseconds)>;

// A set of sleep sites, one bit per site.
using SleepSites = uint32_t;
constexpr SleepSites sleepSiteBit(SleepSite site) {
    return SleepSites{1} << static_cast<unsigned>(site);
}
constexpr SleepSites kAllSleepSites = ~SleepSites{0};

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
