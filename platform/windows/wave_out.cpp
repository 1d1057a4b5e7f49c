// The sound output on the waveOut API. The caller's blocks are not handed to waveOut as they
// are: the gain must apply to blocks already queued and leave the caller's samples as written,
// so the samples are copied, scaled, into a few buffers of the device's own (32 ms each), and a
// thread of ours refills each one waveOut gives back.
//
// waveOut gives a buffer back once it has taken the samples into the system's own buffer, which
// can hold a few hundred milliseconds: counting those buffers would put the position, which
// pictures are timed by, that far ahead of what is heard. The position is waveOut's own played
// position instead (every byte written to waveOut is a caller's byte), and a caller's block is
// reported done once the position has passed its last byte. While blocks wait for that the
// thread looks at the position every few milliseconds.
//
// waveOut signals an event when it gives a buffer back (CALLBACK_EVENT) rather than calling a
// function on its own thread, where almost no system call, waveOutWrite least of all, may be
// made; the refill thread waits on that event and does all the work under the device lock.

#include "platform/wave_out.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "platform/windows/win32_internal.h"

#include <mmsystem.h>

namespace vidora {

namespace {

// Length of one device buffer: short, so that a change of volume is heard soon; four of them
// keep the device fed across a late turn of the refill thread.
constexpr uint32_t kBufferMilliseconds = 32;
constexpr uint32_t kMinBufferSamples = 64;
constexpr std::size_t kDeviceBuffers = 4;
// How often the played position is looked at while blocks wait to be reported.
constexpr DWORD kPollMilliseconds = 5;
// A device that has taken everything and whose position stands still this long has played all
// it will (a driver whose position stops short of the end must not hold the blocks for ever).
constexpr uint32_t kStalledPolls = 100;

}  // namespace

struct WaveOut::Backend {
    struct Buffer {
        WAVEHDR header{};
        std::vector<char> bytes;
    };

    HWAVEOUT handle = nullptr;
    HANDLE returned = nullptr;  // signalled by waveOut for each buffer it gives back
    std::thread refill;
    // The device lock: everything below and the WaveOut's queue and position.
    std::mutex mutex;
    bool stopping = false;
    bool paused = false;
    uint32_t frameBytes = 0;
    std::array<Buffer, kDeviceBuffers> buffers;
    std::size_t oldest = 0;     // the buffer waveOut gives back next
    std::size_t submitted = 0;  // buffers waveOut holds
    uint32_t bufferBytes = 0;
    // The next byte to copy: a caller block at or after the head of the queue, or none.
    WaveHeader* copying = nullptr;
    uint32_t copyOffset = 0;
    // Bytes written to waveOut since the open or the last reset, and for each copied block that
    // is not yet reported the count at which its last byte was written, in queue order.
    uint64_t written = 0;
    std::deque<uint64_t> blockEnds;
    // waveOut's position is 32 bits of bytes: the wraps seen since the open or the last reset.
    uint32_t lastRawPosition = 0;
    uint64_t positionWraps = 0;
    uint32_t stillPolls = 0;

    uint64_t playedBytes();
    void service(WaveOut& device);
    DWORD nextWait() const { return blockEnds.empty() ? INFINITE : kPollMilliseconds; }
};

WaveOut::WaveOut(WaveOutCallback callback, void* instance)
    : callback_(callback), instance_(instance) {}

WaveOut::~WaveOut() {
    delete backend_;
}

WaveOut* WaveOut::open(const WaveFormat& format, WaveOutCallback callback, void* instance) {
    if (format.formatTag != 1 || format.channels == 0 || format.samplesPerSecond == 0 ||
        (format.bitsPerSample != 8 && format.bitsPerSample != 16)) {
        return nullptr;
    }
    WaveOut* self = new (std::nothrow) WaveOut(callback, instance);
    if (self == nullptr) {
        return nullptr;
    }
    self->backend_ = new (std::nothrow) Backend;
    Backend* b = self->backend_;
    if (b == nullptr || (b->returned = CreateEventW(nullptr, FALSE, FALSE, nullptr)) == nullptr) {
        delete self;
        return nullptr;
    }
    // The format exactly as asked; the wave mapper converts it to what the card takes.
    b->frameBytes = format.channels * (format.bitsPerSample / 8u);
    WAVEFORMATEX wanted{};
    wanted.wFormatTag = WAVE_FORMAT_PCM;
    wanted.nChannels = format.channels;
    wanted.nSamplesPerSec = format.samplesPerSecond;
    wanted.wBitsPerSample = format.bitsPerSample;
    wanted.nBlockAlign = static_cast<WORD>(b->frameBytes);
    wanted.nAvgBytesPerSec = format.samplesPerSecond * b->frameBytes;
    if (waveOutOpen(&b->handle, WAVE_MAPPER, &wanted, reinterpret_cast<DWORD_PTR>(b->returned), 0,
                    CALLBACK_EVENT) != MMSYSERR_NOERROR) {
        CloseHandle(b->returned);
        delete self;
        return nullptr;
    }
    const uint32_t samples =
        std::max(kMinBufferSamples, format.samplesPerSecond * kBufferMilliseconds / 1000);
    b->bufferBytes = samples * b->frameBytes;
    for (Backend::Buffer& buffer : b->buffers) {
        buffer.bytes.resize(b->bufferBytes);
        buffer.header.lpData = buffer.bytes.data();
        buffer.header.dwBufferLength = b->bufferBytes;
        waveOutPrepareHeader(b->handle, &buffer.header, sizeof buffer.header);
    }
    self->eightBit_ = format.bitsPerSample == 8;
    self->report(kWaveOutOpened, nullptr);
    b->refill = std::thread([self, b] {
        DWORD wait = INFINITE;
        for (;;) {
            WaitForSingleObject(b->returned, wait);
            std::lock_guard<std::mutex> lock(b->mutex);
            if (b->stopping) {
                return;
            }
            b->service(*self);
            wait = b->nextWait();
        }
    });
    return self;
}

int WaveOut::prepareHeader(WaveHeader* header) {
    if (header == nullptr || header->data == nullptr) {
        return kWaveOutInvalidHeader;
    }
    std::lock_guard<std::mutex> lock(backend_->mutex);
    header->flags |= kWaveHeaderPrepared;
    return kWaveOutOk;
}

int WaveOut::write(WaveHeader* header) {
    std::lock_guard<std::mutex> lock(backend_->mutex);
    if (const int result = enqueue(header); result != kWaveOutOk) {
        return result;
    }
    if (backend_->copying == nullptr) {
        backend_->copying = header;
        backend_->copyOffset = 0;
    }
    backend_->service(*this);
    // The refill thread may be waiting with no timeout: it has blocks to watch now.
    SetEvent(backend_->returned);
    return kWaveOutOk;
}

void WaveOut::reset() {
    std::lock_guard<std::mutex> lock(backend_->mutex);
    dropQueued();
}

uint64_t WaveOut::position() {
    std::lock_guard<std::mutex> lock(backend_->mutex);
    position_ = std::max(position_, backend_->playedBytes());
    return position_;
}

void WaveOut::pause() {
    std::lock_guard<std::mutex> lock(backend_->mutex);
    backend_->paused = true;
    waveOutPause(backend_->handle);
}

void WaveOut::restart() {
    std::lock_guard<std::mutex> lock(backend_->mutex);
    backend_->paused = false;
    waveOutRestart(backend_->handle);
    backend_->service(*this);
}

void WaveOut::close() {
    Backend& b = *backend_;
    reset();
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        b.stopping = true;
    }
    SetEvent(b.returned);
    b.refill.join();
    for (Backend::Buffer& buffer : b.buffers) {
        waveOutUnprepareHeader(b.handle, &buffer.header, sizeof buffer.header);
    }
    waveOutClose(b.handle);
    CloseHandle(b.returned);
    report(kWaveOutClosed, nullptr);
    delete this;
}

// Under the device lock: the bytes waveOut has played since the open or the last reset, never
// more than were written.
uint64_t WaveOut::Backend::playedBytes() {
    MMTIME time{};
    time.wType = TIME_BYTES;
    if (waveOutGetPosition(handle, &time, sizeof time) != MMSYSERR_NOERROR) {
        return 0;
    }
    uint32_t raw = 0;
    switch (time.wType) {
        case TIME_BYTES:
            raw = time.u.cb;
            break;
        case TIME_SAMPLES:
            raw = time.u.sample * frameBytes;
            break;
        default:
            return 0;  // no position in a unit that counts bytes
    }
    // A wrap, not a small step back that some driver might report.
    if (raw < lastRawPosition && lastRawPosition - raw > 0x80000000u) {
        ++positionWraps;
    }
    lastRawPosition = raw;
    return std::min(written, (positionWraps << 32) | raw);
}

// Under the device lock. Takes back the buffers waveOut has given back, reports the caller
// blocks that have been played, then copies queued sound into every free buffer and writes it.
// While paused nothing new is written: waveOut would start playing it.
void WaveOut::Backend::service(WaveOut& device) {
    while (submitted > 0) {
        // waveOut sets the flag on a thread of its own before it signals the event.
        const DWORD flags = reinterpret_cast<volatile DWORD&>(buffers[oldest].header.dwFlags);
        if ((flags & WHDR_DONE) == 0) {
            break;
        }
        oldest = (oldest + 1) % kDeviceBuffers;
        --submitted;
    }
    const uint64_t played = playedBytes();
    if (played > device.position_) {
        device.position_ = played;
        stillPolls = 0;
    } else if (submitted == 0 && !paused && !blockEnds.empty() && ++stillPolls >= kStalledPolls) {
        device.position_ = written;
    }
    while (!blockEnds.empty() && blockEnds.front() <= device.position_) {
        blockEnds.pop_front();
        device.finishHead();
    }

    const float gain = device.volume_.load(std::memory_order_relaxed);
    while (!paused && copying != nullptr && submitted < kDeviceBuffers) {
        Buffer& buffer = buffers[(oldest + submitted) % kDeviceBuffers];
        auto* out = reinterpret_cast<uint8_t*>(buffer.bytes.data());
        uint32_t filled = 0;
        while (copying != nullptr && filled < bufferBytes) {
            WaveHeader* header = copying;
            const uint32_t take = std::min(bufferBytes - filled, header->length - copyOffset);
            std::memcpy(out + filled, header->data + copyOffset, take);
            filled += take;
            copyOffset += take;
            if (copyOffset == header->length) {
                blockEnds.push_back(written + filled);
                copying = header->next;
                copyOffset = 0;
            }
        }
        if (filled == 0) {
            continue;  // only empty blocks: played as soon as what came before them
        }
        scaleSamples(out, filled, device.eightBit_, gain);
        buffer.header.dwBufferLength = filled;
        buffer.header.dwFlags &= ~WHDR_DONE;
        if (waveOutWrite(handle, &buffer.header, sizeof buffer.header) == MMSYSERR_NOERROR) {
            ++submitted;
        }
        // Counted even when refused: the position then never reaches it, and the stalled
        // device's rule reports the blocks.
        written += filled;
    }
}

// Under the device lock. waveOut gives every buffer back at once and counts from 0 again; the
// caller's blocks that were in them or still waiting are reported in order.
void WaveOut::dropQueued() {
    Backend& b = *backend_;
    waveOutReset(b.handle);
    if (b.paused) {
        waveOutPause(b.handle);  // a reset may leave the device running
    }
    b.submitted = 0;
    b.oldest = 0;
    b.copying = nullptr;
    b.copyOffset = 0;
    b.written = 0;
    b.blockEnds.clear();
    b.lastRawPosition = 0;
    b.positionWraps = 0;
    b.stillPolls = 0;
    returnQueued();
}

}  // namespace vidora
