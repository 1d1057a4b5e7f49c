#pragma once
// The three stream rings against a plain model: every byte ever put is kept in order, by its
// total, and whatever the ring hands out must be exactly the model's bytes at the same totals.
// An input is three starting points and then a list of operations:
//
//   bytes 0-5  for VideoRing, AudioRing and PcmRing in turn: a multiple of the ring size (byte
//              one) less a distance (byte two, times 256; in slots for PcmRing), so the wrap is
//              never far away
//   then, repeatedly: an operation byte and the bytes of its arguments (see runRingsCase)
//
// Operations follow the rules the engine's threads keep: the producers put at most one record's
// payload (65,536 bytes) and only into a ring that is not full; the consumers advance by what
// they were handed. Length words, peek sizes and consumed counts are arbitrary. The PCM ring is
// modelled slot by slot: what each put holds, the stream time it plays at, or a flush, and the
// ring refuses puts while every slot is unread. Totals stay below 2^31, as runs keep them.

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

// Every slot put into the PCM ring since its start point: slot t is slots[t - base].
struct PcmModel {
    struct Slot {
        std::vector<uint8_t> bytes;
        int64_t streamTime = 0;
        bool flush = false;
    };
    uint32_t base = 0;
    uint32_t taken = 0;
    std::vector<Slot> slots;
    size_t bytes = 0;

    uint32_t written() const { return base + static_cast<uint32_t>(slots.size()); }
    bool full() const { return written() - taken >= kPcmSlots; }
    void restart(uint32_t total) {
        base = total;
        taken = total;
        slots.clear();
        bytes = 0;
    }
};

inline std::string runRingsCase(PlaybackEngine& engine, const uint8_t* data, size_t size) {
    Findings findings;
    if (!engine.allocateRings()) {
        return std::string();
    }
    ArgumentStream in(data, size);

    RingModel video, audio;
    PcmModel pcm;
    auto startPoint = [&in](uint32_t ringSize) {
        uint32_t multiple = in.byte() + 1;
        uint32_t distance = in.byte() * 256;
        uint32_t total = multiple * ringSize;
        return total >= distance ? total - distance : 0;
    };
    video.restart(startPoint(kVideoRingBytes));
    audio.restart(startPoint(kAudioRingBytes));
    pcm.restart(startPoint(kPcmSlots));
    engine.videoRing.written = video.base;
    engine.videoRing.read = video.base;
    engine.audioRing.written = audio.base;
    engine.audioRing.read = audio.base;
    engine.pcmRing.written = pcm.base;
    engine.pcmRing.taken = pcm.base;

    static std::vector<uint8_t> scratch;
    static std::vector<uint8_t> out(kPacketBufferBytes + kVideoRingBytes);
    // The producers always hand over a real buffer, also for 0 bytes.
    scratch.reserve(65536 + 4);
    uint32_t step = 0;
    auto totalsMatch = [&](const char* after) {
        findings.check(engine.videoRing.written.load() == video.written() &&
                           engine.videoRing.read.load() == video.read,
                       std::string("video totals differ from the model after ") + after);
        findings.check(engine.audioRing.written.load() == audio.written() &&
                           engine.audioRing.read.load() == audio.read,
                       std::string("audio totals differ from the model after ") + after);
        findings.check(engine.pcmRing.written.load() == pcm.written() &&
                           engine.pcmRing.taken.load() == pcm.taken,
                       std::string("PCM totals differ from the model after ") + after);
    };
    // A PCM put or flush, refused exactly while the model is full.
    auto putPcm = [&](uint32_t n, int64_t streamTime, bool flush) {
        const bool full = pcm.full();
        PcmModel::Slot slot;
        slot.flush = flush;
        bool put;
        if (flush) {
            put = engine.pcmRing.putFlush();
        } else {
            scratch.clear();
            fillPattern(scratch, n, step);
            put = engine.pcmRing.put(scratch.data(), n, streamTime);
            slot.bytes.assign(scratch.begin(), scratch.begin() + std::min(n, kPcmSlotBytes));
            slot.streamTime = streamTime;
        }
        findings.check(put == !full, full ? "a PCM put into a full ring was accepted"
                                          : "a PCM put into a ring with room was refused");
        if (put && !full) {
            pcm.bytes += slot.bytes.size();
            pcm.slots.push_back(std::move(slot));
        }
        totalsMatch(flush ? "a PCM flush" : "a PCM put");
    };

    while (!in.done() && findings.empty() &&
           video.bytes.size() + audio.bytes.size() + pcm.bytes < kRingsModelLimitBytes) {
        ++step;
        const uint32_t op = in.byte() % 12;
        switch (op) {
            case 0: {  // a record's video bytes
                uint32_t n = std::min<uint32_t>(in.u16() * 2, 65536);
                bool full = video.full(kVideoRingBytes);
                findings.check(engine.videoRing.full() == (full ? 1 : 0), "videoRingFull");
                if (full) {
                    break;
                }
                scratch.clear();
                fillPattern(scratch, n, step);
                engine.videoRing.put(scratch.data(), n);
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
                engine.videoRing.put(scratch.data(), static_cast<uint32_t>(scratch.size()));
                video.bytes.insert(video.bytes.end(), scratch.begin(), scratch.end());
                totalsMatch("a packet put");
                break;
            }
            case 2: {  // take a packet, then consume what the decoder reports
                uint32_t length = 0;
                PacketTake take =
                    engine.videoRing.takePacket(out.data(), kPacketBufferBytes, &length);
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
                engine.videoRing.read.store(engine.videoRing.read.load() + used);
                video.read += used;
                break;
            }
            case 3:  // a packet that can never be taken is thrown away
                engine.videoRing.discardUnread();
                video.read = video.written();
                totalsMatch("a discard");
                break;
            case 4: {  // a piece of H.263 for the parser, then consume part of it
                uint32_t most = (in.byte() & 1) ? kH263PieceBytes : in.u24();
                uint32_t got = engine.videoRing.peek(out.data(), most);
                const uint32_t expected =
                    static_cast<uint32_t>(std::min<int64_t>(video.unread(), most));
                findings.check(got == expected, "videoRingPeek count");
                if (got != expected) {
                    break;
                }
                findings.check(sameBytes(out.data(), video.at(video.read), got),
                               "videoRingPeek bytes");
                uint32_t used = std::min(in.u24(), got);
                engine.videoRing.read.store(engine.videoRing.read.load() + used);
                video.read += used;
                totalsMatch("a peek");
                break;
            }
            case 5:  // a seek reaches the sound output
                putPcm(0, 0, true);
                break;
            case 6: {  // a record's audio bytes
                uint32_t n = std::min<uint32_t>(in.u16() * 2, 65536);
                bool full = audio.full(kAudioRingBytes);
                findings.check(engine.audioRing.full() == (full ? 1 : 0), "audioRingFull");
                if (full) {
                    break;
                }
                scratch.clear();
                fillPattern(scratch, n, step);
                engine.audioRing.put(scratch.data(), n);
                audio.bytes.insert(audio.bytes.end(), scratch.begin(), scratch.end());
                totalsMatch("an audio put");
                break;
            }
            case 7: {  // an AMR-NB frame looked at, then consumed (or one byte skipped)
                uint32_t n = (in.byte() & 1) ? in.byte() % 40 : in.u24();
                bool got = engine.audioRing.peekExactly(out.data(), n);
                bool expected = audio.unread() >= int64_t{n} && n <= kAudioRingBytes;
                findings.check(got == expected, "audioRingPeek outcome");
                if (!got || !expected) {
                    break;
                }
                findings.check(sameBytes(out.data(), audio.at(audio.read), n),
                               "audioRingPeek bytes");
                uint32_t used = (in.byte() & 1) ? std::min<uint32_t>(n, 1) : n;
                engine.audioRing.read.fetch_add(used);
                audio.read += used;
                totalsMatch("an audio peek");
                break;
            }
            case 8: {  // one frame's sound, or more than a slot holds
                uint32_t n = in.u16() % 400;
                int64_t streamTime = int64_t{static_cast<int32_t>(in.u24() << 8)} * 1000;
                putPcm(n, streamTime, false);
                break;
            }
            case 9: {  // the output takes the next slot
                if (pcm.taken == pcm.written()) {
                    break;
                }
                PcmSlot info;
                engine.pcmRing.readSlot(pcm.taken, out.data(), &info);
                const PcmModel::Slot& slot = pcm.slots[pcm.taken - pcm.base];
                findings.check(info.flush == slot.flush && info.bytes == slot.bytes.size() &&
                                   (slot.flush || info.streamTime == slot.streamTime) &&
                                   sameBytes(out.data(), slot.bytes.data(), slot.bytes.size()),
                               "pcmSlotRead slot " + std::to_string(pcm.taken));
                ++pcm.taken;
                engine.pcmRing.taken.store(pcm.taken);
                totalsMatch("a PCM take");
                break;
            }
            case 10: {  // the output falls behind: the ring fills up to a few slots from full
                const uint32_t leave = in.byte() % 4;
                while (pcm.written() - pcm.taken + leave < kPcmSlots && findings.empty()) {
                    putPcm(kPcmSlotBytes, int64_t{pcm.written()} * 20000, false);
                }
                break;
            }
            default:
                findings.check(engine.videoRing.full() == (video.full(kVideoRingBytes) ? 1 : 0),
                               "videoRingFull");
                findings.check(engine.audioRing.full() == (audio.full(kAudioRingBytes) ? 1 : 0),
                               "audioRingFull");
                break;
        }
    }
    return findings.text();
}

}  // namespace vidora::fuzz
