#pragma once
// One AMR-NB decode call: a storage frame in, 16-bit PCM out, the way the audio decode thread
// needs it (bytes consumed, or -1).

#include <cstdint>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

namespace vidora {

// Result of a decode call that failed.
constexpr int32_t kAudioDecodeFailed = -1;

// Bytes of the storage frame whose first byte is `frameHeader`, that byte included, or -1 for a
// frame type that has no storage size (the reserved types 9 to 14).
int32_t amrStorageFrameBytes(uint8_t frameHeader);

// FFmpeg's AMR-NB decoder, one frame at a time. Owns the decoder, the conversion to 16-bit
// samples and the packet and frame objects, so that a call allocates nothing of its own.
class AmrFrameDecoder {
  public:
    AmrFrameDecoder();
    ~AmrFrameDecoder();
    // Opens the decoder for 8 kHz mono; false when it cannot be had (decode then fails).
    bool open();
    bool isOpen() const { return context_ != nullptr; }
    AmrFrameDecoder(const AmrFrameDecoder&) = delete;
    AmrFrameDecoder& operator=(const AmrFrameDecoder&) = delete;

    // Decodes the storage frame that starts at `input` (of which `inputLength` bytes may be read)
    // into signed 16-bit samples at `output`. `*outputBytes` holds the space at `output` on entry
    // and the PCM bytes written on return (0 when the decoder gave no samples). Returns the
    // frame's size in bytes, or kAudioDecodeFailed when the frame type is unknown, the frame is
    // longer than the input, or the decoder rejects it (it rejects SID and NO_DATA frames).
    int32_t decode(uint8_t* output, int32_t* outputBytes, const uint8_t* input,
                   int32_t inputLength);

  private:
    int32_t convert(uint8_t* output, int32_t space);

    AVCodecContext* context_ = nullptr;
    // Converts the decoder's samples to 16-bit; made at the first frame.
    SwrContext* resampler_ = nullptr;
    AVPacket* packet_;
    AVFrame* frame_;
};

}  // namespace vidora
