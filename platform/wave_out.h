#pragma once
// The sound output: a device that plays blocks of 16-bit PCM in the order they are written and
// reports each finished block through a callback on the audio thread.

#include <atomic>
#include <cstdint>

namespace vidora {

// Messages the callback receives.
constexpr uint32_t kWaveOutOpened = 0x3BB;
constexpr uint32_t kWaveOutClosed = 0x3BC;
constexpr uint32_t kWaveOutDone = 0x3BD;

// WaveHeader::flags, kept by the device.
constexpr uint32_t kWaveHeaderDone = 0x01;      // played or dropped, and reported
constexpr uint32_t kWaveHeaderPrepared = 0x02;  // may be written
constexpr uint32_t kWaveHeaderInQueue = 0x10;   // written and not yet reported

// Results of prepareHeader and write; 0 means accepted.
constexpr int kWaveOutOk = 0;
constexpr int kWaveOutInvalidHeader = 11;  // null header, no data, or an odd number of bytes
constexpr int kWaveOutStillQueued = 33;    // the header is already waiting to be played
constexpr int kWaveOutUnprepared = 34;     // the header was never prepared

struct WaveFormat {
    uint16_t formatTag = 1;  // PCM
    uint16_t channels = 0;
    uint32_t samplesPerSecond = 0;
    uint32_t averageBytesPerSecond = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
};

// One block handed to the device. The caller owns the data and sets data and length; the
// device keeps the rest.
struct WaveHeader {
    uint8_t* data = nullptr;
    uint32_t length = 0;
    uint32_t flags = 0;
    WaveHeader* next = nullptr;
};

class WaveOut;
using WaveOutCallback = void (*)(WaveOut* device, uint32_t message, void* instance,
                                 WaveHeader* header, uintptr_t reserved);

// An open output device. Blocks written to it are played one after another without a gap for as
// long as some are queued; silence is played while none is. Every accepted block is reported
// exactly once with kWaveOutDone: when its last byte has gone to the sound system, or when
// reset or close drops it. So once close has returned, every written block has been reported.
//
// The callback runs on the device's audio thread (on the caller's thread for blocks dropped by
// reset and close) while the device is locked: it must be short and must not call the device.
//
// The format is asked of the sound system exactly as given (8-bit unsigned or 16-bit signed PCM);
// the sound system converts it to whatever the card takes.
class WaveOut {
  public:
    // Opens the default output device for `format` and starts playing (silence until the first
    // write). `callback` receives `instance` with every message. nullptr when there is no sound
    // system or the device cannot be opened for the format.
    static WaveOut* open(const WaveFormat& format, WaveOutCallback callback, void* instance);

    // Marks the header as ready to be written; a prepared header may be prepared again.
    int prepareHeader(WaveHeader* header);
    // Queues the header's block behind the blocks already queued. kWaveOutOk when accepted;
    // otherwise nothing is queued and nothing will be reported for it.
    int write(WaveHeader* header);
    // Drops every queued block, each reported as done, including one partly played, and sets the
    // position back to 0. The device stays open and plays the next block written.
    void reset();
    // Bytes of written blocks handed to the sound system since the device opened or was last
    // reset: the position of playback within what was written.
    uint64_t position();
    // Holds playback where it is: queued blocks stay queued and silence is played until restart.
    void pause();
    void restart();
    // The gain, 0 (silence) to 1 (as written; the default), applied to the samples as they go to
    // the sound system, so a change is heard within one pull, queued blocks included. The
    // caller's blocks are left as written. Any thread may set it at any time.
    void setVolume(float gain);
    float volume() const { return volume_.load(std::memory_order_relaxed); }
    // Drops what is still queued (as reset does), releases the device and deletes this object.
    void close();

    WaveOut(const WaveOut&) = delete;
    WaveOut& operator=(const WaveOut&) = delete;

  private:
    WaveOut(WaveOutCallback callback, void* instance);
    ~WaveOut();
    static void fillStream(void* self, uint8_t* stream, int length);
    void fill(uint8_t* stream, uint32_t length);
    // Scales the samples by `gain` in 1/65536 steps: 8-bit unsigned ones around their middle,
    // 128, 16-bit signed ones (in the machine's byte order) around 0.
    static void scaleSamples(uint8_t* bytes, uint32_t length, bool eightBit, float gain);
    // Under the device lock: queues a header behind the others, or says why it cannot
    // (write()'s results); reports the head block done and takes it off the queue; reports
    // every queued block done and sets the position back to 0.
    int enqueue(WaveHeader* header);
    void finishHead();
    void returnQueued();
    void report(uint32_t message, WaveHeader* header);
    // Windows: resets waveOut and its own buffers, then returns the queued blocks.
    void dropQueued();

    uint32_t device_ = 0;
    WaveOutCallback callback_;
    void* instance_;
    // The queue of written headers, linked through WaveHeader::next; touched only under the
    // device lock, which SDL also holds around each fill.
    WaveHeader* head_ = nullptr;
    WaveHeader* tail_ = nullptr;
    uint32_t headOffset_ = 0;  // bytes of the head block already played
    uint64_t position_ = 0;    // bytes of blocks played since open or reset
    uint8_t silence_ = 0;
    bool eightBit_ = false;  // 8-bit unsigned around 128, else 16-bit signed
    std::atomic<float> volume_{1.0f};
    // What a backend needs beyond the fields above (on Windows the waveOut handle, the device's
    // own buffers and the thread that refills them); unused on Linux.
    struct Backend;
    Backend* backend_ = nullptr;
};

}  // namespace vidora
