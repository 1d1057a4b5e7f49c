#include "platform/wave_out.h"

#include <SDL.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/sdl_init.h"

namespace vidora {

namespace {

// Length of one pull of the sound system: short, so that sound written to the device is played
// soon after and its position, which pictures are timed by, moves in small steps.
constexpr uint32_t kPullMilliseconds = 32;
constexpr uint16_t kMinPullSamples = 64;

// SDL's device table is not meant for opens and closes from two threads at once.
std::mutex deviceTableMutex;

// SDL keeps per-thread state (its error text) that it frees by itself only for threads it
// started. The device is opened and closed on a short-lived thread of the player's own, so that
// state is released when the thread is done with the device, or it would outlive the thread.
void releaseThreadState() {
    SDL_TLSCleanup();
}

// The sound library's complaints go nowhere. Without a sound card it prints a dozen lines on
// the terminal while SDL looks for a device, although the player then plays on silently, as it
// should.
void ignoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}

// SDL loads the ALSA library by name when it tries that driver; loaded here first, the same
// library is told to keep quiet before it says anything. Nothing happens where it is missing.
void quietenAlsa() {
    static std::once_flag once;
    std::call_once(once, [] {
        void* alsa = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
        if (alsa == nullptr) {
            return;
        }
        using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
        using SetHandler = int (*)(Handler);
        auto setHandler = reinterpret_cast<SetHandler>(dlsym(alsa, "snd_lib_error_set_handler"));
        if (setHandler != nullptr) {
            setHandler(ignoreAlsaMessage);
        }
        // Kept loaded for the life of the process, as SDL keeps its own reference.
    });
}

uint16_t pullSamples(uint32_t rate) {
    uint32_t wanted = rate * kPullMilliseconds / 1000;
    uint32_t samples = kMinPullSamples;
    while (samples * 2 <= wanted && samples * 2 <= 0x8000) {
        samples *= 2;
    }
    return static_cast<uint16_t>(samples);
}

}  // namespace

WaveOut::WaveOut(WaveOutCallback callback, void* instance)
    : callback_(callback), instance_(instance) {}

WaveOut::~WaveOut() = default;

WaveOut* WaveOut::open(const WaveFormat& format, WaveOutCallback callback, void* instance) {
    if (format.formatTag != 1 || format.channels == 0 || format.samplesPerSecond == 0 ||
        (format.bitsPerSample != 8 && format.bitsPerSample != 16)) {
        return nullptr;
    }
    quietenAlsa();
    if (!ensureSdlSubsystem(SDL_INIT_AUDIO)) {
        releaseThreadState();
        return nullptr;
    }
    WaveOut* self = new (std::nothrow) WaveOut(callback, instance);
    if (self == nullptr) {
        return nullptr;
    }

    SDL_AudioSpec wanted;
    SDL_zero(wanted);
    wanted.freq = static_cast<int>(format.samplesPerSecond);
    wanted.format = format.bitsPerSample == 16 ? AUDIO_S16SYS : AUDIO_U8;
    wanted.channels = static_cast<Uint8>(std::min<uint16_t>(format.channels, 255));
    wanted.samples = pullSamples(format.samplesPerSecond);
    wanted.callback = fillStream;
    wanted.userdata = self;
    SDL_AudioSpec obtained;
    {
        std::lock_guard<std::mutex> lock(deviceTableMutex);
        // No changes allowed: the callback always sees the format the caller writes, and SDL
        // converts behind it to what the card takes.
        self->device_ = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0);
    }
    if (self->device_ == 0) {
        delete self;
        releaseThreadState();
        return nullptr;
    }
    self->silence_ = obtained.silence;
    self->eightBit_ = format.bitsPerSample == 8;
    self->report(kWaveOutOpened, nullptr);
    SDL_PauseAudioDevice(self->device_, 0);
    return self;
}

int WaveOut::prepareHeader(WaveHeader* header) {
    if (header == nullptr || header->data == nullptr) {
        return kWaveOutInvalidHeader;
    }
    SDL_LockAudioDevice(device_);
    header->flags |= kWaveHeaderPrepared;
    SDL_UnlockAudioDevice(device_);
    return kWaveOutOk;
}

int WaveOut::write(WaveHeader* header) {
    SDL_LockAudioDevice(device_);
    const int result = enqueue(header);
    SDL_UnlockAudioDevice(device_);
    return result;
}

void WaveOut::reset() {
    SDL_LockAudioDevice(device_);
    returnQueued();
    SDL_UnlockAudioDevice(device_);
}

uint64_t WaveOut::position() {
    SDL_LockAudioDevice(device_);
    const uint64_t position = position_;
    SDL_UnlockAudioDevice(device_);
    return position;
}

void WaveOut::pause() {
    SDL_PauseAudioDevice(device_, 1);
}

void WaveOut::restart() {
    SDL_PauseAudioDevice(device_, 0);
}

void WaveOut::close() {
    reset();
    {
        std::lock_guard<std::mutex> lock(deviceTableMutex);
        // Waits for the device's audio thread to finish its last pull: after this no callback
        // can run, so the object may go.
        SDL_CloseAudioDevice(device_);
    }
    report(kWaveOutClosed, nullptr);
    delete this;
    releaseThreadState();
}

void WaveOut::fillStream(void* self, uint8_t* stream, int length) {
    static_cast<WaveOut*>(self)->fill(stream, length > 0 ? static_cast<uint32_t>(length) : 0);
}

// Runs on SDL's audio thread with the device locked.
void WaveOut::fill(uint8_t* stream, uint32_t length) {
    uint32_t filled = 0;
    while (filled < length && head_ != nullptr) {
        WaveHeader* header = head_;
        uint32_t take = std::min(length - filled, header->length - headOffset_);
        std::memcpy(stream + filled, header->data + headOffset_, take);
        filled += take;
        headOffset_ += take;
        position_ += take;
        if (headOffset_ == header->length) {
            finishHead();
        }
    }
    // Scaled here, not at write, so that a change of volume is heard at the next pull.
    scaleSamples(stream, filled, eightBit_, volume_.load(std::memory_order_relaxed));
    std::memset(stream + filled, silence_, length - filled);
}

}  // namespace vidora
