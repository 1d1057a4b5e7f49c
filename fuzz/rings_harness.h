#pragma once
// The stream ring against a plain model, on one thread: every byte ever put is kept in order,
// and whatever the ring hands out must be exactly the model's bytes at the same place. Two rings
// are used as the engine uses them: one as a decoder's input, read by peeks and packets, and one
// as the sound's, read a record at a time. Both are small, so that everything straddles their
// wrap all the time. An input is a size byte and then a list of operations, an operation byte
// and the bytes of its arguments each (zeros once the input runs out):
//
//   0 put a record (length 16-bit), 1 put a length-prefixed packet, 2 peek, 3 take a packet,
//   4 consume, 5 flush and skip to it, 6 put a sound frame, 7 flush the sound, 8 take a frame
//
// Operations follow the rules the threads keep: the consumer advances only by what it was
// handed, and a record is at most 65,536 bytes.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "engine/stream_rings.h"
#include "fuzz/run_support.h"

namespace vidora::fuzz {

inline std::string runRingsCase(const uint8_t* data, size_t size) {
    Findings findings;
    size_t at = 0;
    auto byte = [&]() -> uint32_t { return at < size ? data[at++] : 0; };
    auto u16 = [&] { return byte() | (byte() << 8); };

    ByteRing ring(64 + byte() * 512);
    ByteRing pcm(8192);
    if (!ring.allocate() || !pcm.allocate()) {
        return std::string();
    }
    std::deque<uint8_t> model;  // the unread bytes
    // The sound ring's records not taken yet, and flushes (no bytes, time -1).
    struct Frame {
        std::vector<uint8_t> bytes;
        int64_t time;
    };
    std::deque<Frame> frames;
    size_t frameBytes = 0;
    static std::vector<uint8_t> bytes(2 * 65536 + 8);
    static std::vector<uint8_t> out(2 * 65536 + 8);
    uint32_t step = 0;
    uint32_t marksHeld = 0;  // nobody takes the record marks here but a skip to a flush
    auto pattern = [&](uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) {
            bytes[i] = static_cast<uint8_t>((i * 131 + step * 7) >> 1);
        }
    };
    auto put = [&](uint32_t n) {
        const bool full = model.size() * 5 > size_t{ring.size()} * 4;
        const bool fits = model.size() + n <= ring.size();
        if (!full && !fits) {
            return;  // the reader never fills past the ring: the 80 % rule keeps a record's room
        }
        const bool put = ring.putRecord(bytes.data(), n, step);
        findings.check(put == (!full && marksHeld + 2 <= StreamMarks::kCapacity),
                       "a record refused with room, or taken without");
        if (put) {
            model.insert(model.end(), bytes.begin(), bytes.begin() + n);
            ++marksHeld;
        }
    };
    while (at < size && findings.text().empty()) {
        ++step;
        switch (byte() % 9) {
            case 0: {
                const uint32_t n = std::min<uint32_t>(u16(), 65536);
                pattern(n);
                put(n);
                break;
            }
            case 1: {
                const uint32_t n = std::min<uint32_t>(u16(), 65532);
                pattern(n + 4);
                std::memcpy(bytes.data(), &n, 4);
                put(n + 4);
                break;
            }
            case 2: {
                const uint32_t most = u16();
                const uint32_t n = ring.peek(out.data(), most);
                findings.check(n == std::min<size_t>(most, model.size()) &&
                                   std::equal(out.begin(), out.begin() + n, model.begin()),
                               "a peek differs from the model");
                break;
            }
            case 3: {
                const uint32_t capacity = u16() * 2;
                uint32_t length = 0;
                uint8_t word[4] = {};
                for (size_t i = 0; i < 4 && i < model.size(); ++i) {
                    word[i] = model[i];
                }
                const uint32_t wanted = le32(word);
                const PacketTake take = ring.takePacket(out.data(), capacity, &length);
                const PacketTake expected = model.size() < 4            ? PacketTake::NotReady
                                            : wanted > capacity         ? PacketTake::Unsatisfiable
                                            : model.size() - 4 < wanted ? PacketTake::NotReady
                                                                        : PacketTake::Taken;
                findings.check(take == expected, "a packet taken differs from the model");
                if (take == PacketTake::Taken) {
                    findings.check(length == wanted && std::equal(out.begin(), out.begin() + length,
                                                                  model.begin() + 4),
                                   "a packet's bytes differ from the model");
                    model.erase(model.begin(), model.begin() + 4);
                }
                break;
            }
            case 4: {
                const uint32_t n = std::min<uint32_t>(u16(), static_cast<uint32_t>(model.size()));
                ring.consume(n);
                model.erase(model.begin(), model.begin() + n);
                break;
            }
            case 5: {
                const uint32_t generation = ring.generation();
                ring.flush();
                findings.check(ring.generation() == generation + 1, "a flush kept the generation");
                findings.check(ring.skipFlushes() && ring.unread() == 0,
                               "skipping to a flush left bytes unread");
                model.clear();
                marksHeld = 0;
                break;
            }
            case 6: {
                const uint32_t n = 2 + 2 * (u16() % kPcmFrameBytes / 2);
                if (frames.size() + 2 >= StreamMarks::kCapacity) {
                    break;  // the sound's consumer keeps up long before its marks run out
                }
                pattern(n);
                const bool room = frameBytes * 5 <= size_t{pcm.size()} * 4;
                const bool put = pcm.putRecord(bytes.data(), n, step);
                findings.check(put == room, "a frame refused with room, or taken without");
                if (put) {
                    frames.push_back(Frame{std::vector<uint8_t>(bytes.begin(), bytes.begin() + n),
                                           int64_t{step}});
                    frameBytes += n;
                }
                break;
            }
            case 7:
                if (frames.size() + 2 >= StreamMarks::kCapacity) {
                    break;
                }
                pcm.flush();
                frames.push_back(Frame{{}, -1});
                break;
            case 8: {
                // A flush comes at once, and whatever was still unread before it is dropped.
                Frame want{{}, -2};
                for (size_t i = frames.size(); i-- > 0;) {
                    if (frames[i].time == -1) {
                        for (size_t k = 0; k < i; ++k) {
                            frameBytes -= frames[k].bytes.size();
                        }
                        frames.erase(frames.begin(), frames.begin() + static_cast<long>(i));
                        break;
                    }
                }
                if (!frames.empty()) {
                    want = frames.front();
                    frameBytes -= want.bytes.size();
                    frames.pop_front();
                }
                StreamMark mark;
                uint32_t n = 0;
                const bool took = pcm.takeRecord(out.data(), kPcmFrameBytes, &mark, &n);
                const bool same =
                    want.time == -1
                        ? took && mark.flush
                        : took == (want.time != -2) &&
                              (!took ||
                               (!mark.flush && mark.streamTime == want.time &&
                                n == want.bytes.size() &&
                                std::equal(want.bytes.begin(), want.bytes.end(), out.begin())));
                findings.check(same, "a sound frame taken differs from the model");
                break;
            }
        }
        findings.check(ring.unread() == model.size(), "the unread count differs from the model");
    }
    return findings.text();
}

}  // namespace vidora::fuzz
