#pragma once
// The sound output: a device that plays blocks of 16-bit PCM in the order they are written and
// reports each finished block through a callback on the audio thread.

#include <cstdint>

namespace vidora {

// Messages the callback receives.
constexpr uint32_t kWaveOutOpened = 0x3BB;
constexpr uint32_t kWaveOutClosed = 0x3BC;
constexpr uint32_t kWaveOutDone = 0x3BD;

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

class WaveOut;

}  // namespace vidora
