#pragma once
// The three stream rings against a plain model: every byte ever put is kept in order, by its
// total, and whatever the ring hands out must be exactly the model's bytes at the same totals.
// An input is three starting points and then a list of operations:
//
//   bytes 0-5  for VideoRing, AudioRing and PcmRing in turn: a multiple of the ring size (byte
//              one) less a distance (byte two, times 256), so the wrap is never far away
//   then, repeatedly: an operation byte and the bytes of its arguments (see runRingsCase)
//
// Operations follow the rules the engine's threads keep: the producers put at most one record's
// payload (65,536 bytes) and only into a ring that is not full; the consumers advance by what
// they were handed. Length words, window sizes, consumed counts and failures are arbitrary.
// Totals stay below 2^31, as the engine's resets keep them.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/playback_engine.h"
#include "fuzz/run_support.h"

namespace vidora::fuzz {

// Reads operation arguments from the input, with zeros once it runs out.
class ArgumentStream {
  public:
    ArgumentStream(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    uint32_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t u16() { return byte() | (byte() << 8); }
    uint32_t u24() { return u16() | (byte() << 16); }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// Every byte put into one ring since its start point: the byte with total t is bytes[t - base].
struct RingModel {
    uint32_t base = 0;
    uint32_t read = 0;
    std::vector<uint8_t> bytes;

    uint32_t written() const { return base + static_cast<uint32_t>(bytes.size()); }
    int64_t unread() const { return std::max<int64_t>(0, int64_t{written()} - int64_t{read}); }
    bool full(uint32_t size) const { return unread() * 5 > int64_t{size} * 4; }
    void restart(uint32_t total) {
        base = total;
        read = total;
        bytes.clear();
    }
    const uint8_t* at(uint32_t total) const { return bytes.data() + (total - base); }
};

// Bytes that tell one put from another: a slice of a fixed noise block, starting at a place that
// depends on the put. Copied rather than computed, so that large puts stay cheap.
inline void fillPattern(std::vector<uint8_t>& out, size_t n, uint32_t seed) {
    static const std::vector<uint8_t> noise = [] {
        std::vector<uint8_t> bytes(2 * 65536);
        uint32_t x = 1;
        for (uint8_t& b : bytes) {
            x = x * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(x >> 24);
        }
        return bytes;
    }();
    const size_t start = (seed * 7919u) % 65536u;
    while (n > 0) {
        size_t chunk = std::min<size_t>(n, 65536);
        out.insert(out.end(), noise.begin() + start, noise.begin() + start + chunk);
        n -= chunk;
    }
}

constexpr size_t kRingsModelLimitBytes = 8u << 20;

// memcmp for counts that may be 0 (a model with no bytes has no storage to point to).
inline bool sameBytes(const uint8_t* a, const uint8_t* b, size_t n) {
    return n == 0 || std::memcmp(a, b, n) == 0;
}

inline std::string runRingsCase(PlaybackEngine& engine, const uint8_t* data, size_t size) {
    Findings findings;
    if (!engine.allocateRings()) {
        return std::string();
    }
    ArgumentStream in(data, size);
    const int32_t blockSize = engine.outBlockSize.load();
    const uint32_t pcmSlots = kPcmRingBytes / static_cast<uint32_t>(blockSize);
    const uint32_t pcmUsed = pcmSlots * static_cast<uint32_t>(blockSize);

    RingModel video, audio, pcm;
    auto startPoint = [&in](uint32_t ringSize) {
        uint32_t multiple = in.byte() + 1;
        uint32_t distance = in.byte() * 256;
        uint32_t total = multiple * ringSize;
        return total >= distance ? total - distance : 0;
    };
    video.restart(startPoint(kVideoRingBytes));
    audio.restart(startPoint(kAudioRingBytes));
    // PCM blocks are numbered from total 0, so its start is a whole block.
    pcm.restart(startPoint(pcmUsed) / static_cast<uint32_t>(blockSize) *
                static_cast<uint32_t>(blockSize));
    engine.videoRingWritten = video.base;
    engine.videoRingRead = video.base;
    engine.audioRingWritten = audio.base;
    engine.audioRingRead = audio.base;
    engine.pcmWritten = pcm.base;
    engine.pcmBlocksAvailable = static_cast<int32_t>(pcm.base / static_cast<uint32_t>(blockSize));
    engine.pcmBlocksPlayed = engine.pcmBlocksAvailable.load();

    static std::vector<uint8_t> scratch;
    static std::vector<uint8_t> out(kPacketBufferBytes + kVideoRingBytes);
    // The producers always hand over a real buffer, also for 0 bytes.
    scratch.reserve(65536 + 4);
    uint32_t step = 0;
    auto totalsMatch = [&](const char* after) {
        findings.check(engine.videoRingWritten.load() == video.written() &&
                           engine.videoRingRead.load() == video.read,
                       std::string("video totals differ from the model after ") + after);
        findings.check(engine.audioRingWritten.load() == audio.written() &&
                           engine.audioRingRead.load() == audio.read,
                       std::string("audio totals differ from the model after ") + after);
        findings.check(
            engine.pcmWritten.load() == pcm.written() &&
                engine.pcmBlocksAvailable.load() == static_cast<int32_t>(pcm.written() / blockSize),
            std::string("PCM totals differ from the model after ") + after);
    };

    while (!in.done() && findings.empty() &&
           video.bytes.size() + audio.bytes.size() + pcm.bytes.size() < kRingsModelLimitBytes) {
        ++step;
        const uint32_t op = in.byte() % 11;
        switch (op) {
            case 0: {  // a record's video bytes
                uint32_t n = std::min<uint32_t>(in.u16() * 2, 65536);
                bool full = video.full(kVideoRingBytes);
                findings.check(engine.videoRingFull() == (full ? 1 : 0), "videoRingFull");
                if (full) {
                    break;
                }
                scratch.clear();
                fillPattern(scratch, n, step);
                engine.videoRingPut(scratch.data(), n);
                video.bytes.insert(video.bytes.end(), scratch.begin(), scratch.end());
                totalsMatch("a video put");
                break;
            }
            case 1: {  // one H.264 packet: a length word and up to that many bytes
                uint32_t length = in.u24();
                if (in.byte() & 1) {
                    length = kPacketBufferBytes - 8 + (length & 15);  // around the largest
                }
                uint32_t n = std::min<uint32_t>(length, 65532);
                if (video.full(kVideoRingBytes)) {
                    break;
                }
                scratch.clear();
                for (int i = 0; i < 4; ++i) {
                    scratch.push_back(static_cast<uint8_t>(length >> (8 * i)));
                }
                fillPattern(scratch, n, step);
                engine.videoRingPut(scratch.data(), static_cast<uint32_t>(scratch.size()));
                video.bytes.insert(video.bytes.end(), scratch.begin(), scratch.end());
                totalsMatch("a packet put");
                break;
            }
            case 2: {  // take a packet, then consume what the decoder reports
                uint32_t length = 0;
                PacketTake take = engine.videoPacketTake(out.data(), &length);
                PacketTake expected = PacketTake::NotReady;
                uint32_t word = 0;
                if (video.unread() >= 4) {
                    word = le32(video.at(video.read));
                    if (word > kPacketBufferBytes) {
                        expected = PacketTake::Unsatisfiable;
                    } else if (4 + int64_t{word} <= video.unread()) {
                        expected = PacketTake::Taken;
                    }
                }
                findings.check(take == expected, "videoPacketTake outcome");
                if (take != PacketTake::Taken || expected != PacketTake::Taken) {
                    totalsMatch("a packet take that took nothing");
                    break;
                }
                findings.check(
                    length == word && sameBytes(out.data(), video.at(video.read + 4), word),
                    "videoPacketTake payload");
                video.read += 4;
                totalsMatch("a packet take");
                uint32_t used = std::min(in.u24(), word);
                engine.videoRingRead.store(engine.videoRingRead.load() + used);
                video.read += used;
                break;
            }
            case 3:  // a packet that can never be taken is thrown away
                engine.discardUnreadVideo();
                video.read = video.written();
                totalsMatch("a discard");
                break;
            case 4: {  // an H.263 window, then consume part of it
                uint32_t n = (in.byte() & 1) ? kH263WindowBytes : in.u24();
                int got = engine.videoWindowPeek(out.data(), n);
                bool expected = video.unread() >= n && n <= kVideoRingBytes;
                findings.check(got == (expected ? 1 : 0), "videoWindowPeek outcome");
                if (got != 1 || !expected) {
                    break;
                }
                findings.check(sameBytes(out.data(), video.at(video.read), n),
                               "videoWindowPeek bytes");
                uint32_t used = std::min(in.u24(), n);
                engine.videoRingRead.store(engine.videoRingRead.load() + used);
                video.read += used;
                totalsMatch("a window");
                break;
            }
            case 5:  // a seek empties the video ring
                engine.videoRingWritten = 0;
                engine.videoRingRead = 0;
                video.restart(0);
                break;
            case 6: {  // a record's audio bytes
                uint32_t n = std::min<uint32_t>(in.u16() * 2, 65536);
                bool full = audio.full(kAudioRingBytes);
                findings.check(engine.audioRingFull() == (full ? 1 : 0), "audioRingFull");
                if (full) {
                    break;
                }
                scratch.clear();
                fillPattern(scratch, n, step);
                engine.audioRingPut(scratch.data(), n);
                audio.bytes.insert(audio.bytes.end(), scratch.begin(), scratch.end());
                totalsMatch("an audio put");
                break;
            }
            case 7: {  // an AMR-NB window, decoded frame by frame, perhaps failing part way
                int got = engine.audioWindowPeek(out.data());
                bool expected = audio.unread() > static_cast<int64_t>(kAudioWindowBytes);
                findings.check(got == (expected ? 1 : 0), "audioWindowPeek outcome");
                if (got != 1 || !expected) {
                    break;
                }
                findings.check(sameBytes(out.data(), audio.at(audio.read), kAudioWindowBytes),
                               "audioWindowPeek bytes");
                uint32_t used = in.byte();
                if (in.byte() & 1) {
                    used += kAudioWindowBytes;  // a failed call skips a window's length
                }
                engine.audioRingRead.fetch_add(used);
                audio.read += used;
                totalsMatch("an audio window");
                break;
            }
            case 8: {  // decoded sound
                uint32_t n = in.u16() * 3;
                scratch.clear();
                fillPattern(scratch, n, step);
                engine.pcmRingPut(scratch.data(), n);
                pcm.bytes.insert(pcm.bytes.end(), scratch.begin(), scratch.end());
                totalsMatch("a PCM put");
                break;
            }
            case 9: {  // one block for the device, among those written and not yet overwritten
                const uint32_t bytesPerBlock = static_cast<uint32_t>(blockSize);
                uint32_t available = pcm.written() / bytesPerBlock;
                uint32_t first = pcm.base / bytesPerBlock;
                // A block is whole until the producer has written a ring's length past its start.
                if (pcm.written() > pcmUsed) {
                    first = std::max(first,
                                     (pcm.written() - pcmUsed + bytesPerBlock - 1) / bytesPerBlock);
                }
                if (available <= first) {
                    break;
                }
                uint32_t block = first + in.u16() % (available - first);
                engine.pcmBlockRead(static_cast<int32_t>(block), out.data());
                findings.check(sameBytes(out.data(), pcm.at(block * blockSize),
                                         static_cast<size_t>(blockSize)),
                               "pcmBlockRead block " + std::to_string(block));
                break;
            }
            default:
                findings.check(engine.videoRingFull() == (video.full(kVideoRingBytes) ? 1 : 0),
                               "videoRingFull");
                findings.check(engine.audioRingFull() == (audio.full(kAudioRingBytes) ? 1 : 0),
                               "audioRingFull");
                break;
        }
    }
    return findings.text();
}

}  // namespace vidora::fuzz
