// Producer and consumer threads moving tens of megabytes through each ring at once; the bytes
// that come out must be exactly the bytes that went in. Run under ThreadSanitizer in CI, which
// checks that the totals publish the bytes they cover.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "engine/playback_engine.h"

namespace vidora {
namespace {

// Deterministic pseudo-random bytes, so that misplaced or stale bytes cannot pass by chance.
struct ByteSource {
    uint32_t state;
    uint8_t next() {
        state = state * 1664525u + 1013904223u;
        return static_cast<uint8_t>(state >> 24);
    }
};

constexpr uint64_t kBytesPerRing = 48ull << 20;

// Set by a consumer that gives up on a mismatch, so that its producer does not wait forever.
std::atomic<bool> abandoned{false};

TEST(RingsThreaded, VideoPacketsArriveIntactAcrossManyWraps) {
    PlaybackEngine engine;
    ASSERT_TRUE(engine.allocateRings());
    std::thread producer([&] {
        ByteSource source{1};
        ByteSource sizes{2};
        std::vector<uint8_t> record;
        for (uint64_t sent = 0; sent < kBytesPerRing;) {
            uint32_t payload = 1 + sizes.next() * 200u;
            record.resize(4 + payload);
            record[0] = static_cast<uint8_t>(payload);
            record[1] = static_cast<uint8_t>(payload >> 8);
            record[2] = 0;
            record[3] = 0;
            for (uint32_t i = 0; i < payload; ++i) {
                record[4 + i] = source.next();
            }
            while (engine.videoRing.full() && !abandoned) {
                std::this_thread::yield();
            }
            engine.videoRing.put(record.data(), static_cast<uint32_t>(record.size()));
            sent += payload;
        }
    });
    ByteSource expected{1};
    std::vector<uint8_t> buffer(kPacketBufferBytes);
    uint64_t received = 0;
    bool intact = true;
    while (received < kBytesPerRing && intact) {
        uint32_t length = 0;
        PacketTake take = engine.videoRing.takePacket(buffer.data(), kPacketBufferBytes, &length);
        if (take == PacketTake::Taken) {
            engine.videoRing.read.store(engine.videoRing.read.load() + length);
        }
        if (take != PacketTake::Taken) {
            std::this_thread::yield();
            continue;
        }
        for (uint32_t i = 0; i < length; ++i) {
            intact = intact && buffer[i] == expected.next();
        }
        received += length;
    }
    abandoned = !intact;
    producer.join();
    EXPECT_TRUE(intact);
}

TEST(RingsThreaded, AudioFramesAndPcmSlotsArriveIntact) {
    PlaybackEngine engine;
    ASSERT_TRUE(engine.allocateRings());
    std::thread audioProducer([&] {
        ByteSource source{3};
        uint8_t chunk[997];
        for (uint64_t sent = 0; sent < kBytesPerRing; sent += sizeof chunk) {
            for (uint8_t& b : chunk) {
                b = source.next();
            }
            while (engine.audioRing.full() && !abandoned) {
                std::this_thread::yield();
            }
            engine.audioRing.put(chunk, sizeof chunk);
        }
    });
    // The PCM ring refuses a put while the output has not taken the oldest slot; the producer
    // tries again, as the decoder does on its next turn.
    constexpr uint32_t kSlotsSent = static_cast<uint32_t>(kBytesPerRing / kPcmSlotBytes);
    std::thread pcmProducer([&] {
        ByteSource source{4};
        uint8_t frame[kPcmSlotBytes];
        for (uint32_t n = 0; n < kSlotsSent && !abandoned; ++n) {
            // Some slots hold less than a whole frame.
            const uint32_t bytes = n % 7 == 0 ? 160 : kPcmSlotBytes;
            for (uint32_t i = 0; i < bytes; ++i) {
                frame[i] = source.next();
            }
            while (!engine.pcmRing.put(frame, bytes, int64_t{n} * 20000) && !abandoned) {
                std::this_thread::yield();
            }
        }
    });

    bool audioIntact = true;
    std::thread audioConsumer([&] {
        ByteSource expected{3};
        uint8_t frame[32];
        uint64_t received = 0;
        while (received + sizeof frame < kBytesPerRing && audioIntact) {
            // Frames of uneven sizes, as the decoder takes them.
            const uint32_t size = 13 + static_cast<uint32_t>(received % 20);
            if (!engine.audioRing.peekExactly(frame, size)) {
                std::this_thread::yield();
                continue;
            }
            for (uint32_t i = 0; i < size; ++i) {
                audioIntact = audioIntact && frame[i] == expected.next();
            }
            engine.audioRing.read.store(engine.audioRing.read.load() + size);
            received += size;
        }
        if (!audioIntact) {
            abandoned = true;
        }
    });

    ByteSource expectedPcm{4};
    std::vector<uint8_t> slot(kPcmSlotBytes);
    bool pcmIntact = true;
    for (uint32_t n = 0; n < kSlotsSent && pcmIntact;) {
        if (n == engine.pcmRing.written.load(std::memory_order_acquire)) {
            std::this_thread::yield();
            continue;
        }
        PcmSlot info;
        engine.pcmRing.readSlot(n, slot.data(), &info);
        pcmIntact = info.streamTime == int64_t{n} * 20000 && !info.flush &&
                    info.bytes == (n % 7 == 0 ? 160u : kPcmSlotBytes);
        for (uint32_t i = 0; i < info.bytes && pcmIntact; ++i) {
            pcmIntact = slot[i] == expectedPcm.next();
        }
        engine.pcmRing.taken.store(++n, std::memory_order_release);
    }
    if (!pcmIntact) {
        abandoned = true;
    }
    audioProducer.join();
    pcmProducer.join();
    audioConsumer.join();
    EXPECT_TRUE(audioIntact);
    EXPECT_TRUE(pcmIntact);
}

}  // namespace
}  // namespace vidora
