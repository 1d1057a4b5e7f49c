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
            while (engine.videoRingFull() && !abandoned) {
                std::this_thread::yield();
            }
            engine.videoRingPut(record.data(), static_cast<uint32_t>(record.size()));
            sent += payload;
        }
    });
    ByteSource expected{1};
    std::vector<uint8_t> buffer(kPacketBufferBytes);
    uint64_t received = 0;
    bool intact = true;
    while (received < kBytesPerRing && intact) {
        uint32_t length = 0;
        engine.lockVideoRing();
        PacketTake take = engine.videoPacketTake(buffer.data(), &length);
        if (take == PacketTake::Taken) {
            engine.videoRingRead.store(engine.videoRingRead.load() + length);
        }
        engine.unlockVideoRing();
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

TEST(RingsThreaded, AudioWindowsAndPcmBlocksArriveIntact) {
    PlaybackEngine engine;
    ASSERT_TRUE(engine.allocateRings());
    std::thread audioProducer([&] {
        ByteSource source{3};
        uint8_t chunk[997];
        for (uint64_t sent = 0; sent < kBytesPerRing; sent += sizeof chunk) {
            for (uint8_t& b : chunk) {
                b = source.next();
            }
            while (engine.audioRingFull() && !abandoned) {
                std::this_thread::yield();
            }
            engine.audioRingPut(chunk, sizeof chunk);
        }
    });
    // The PCM producer keeps within the ring itself: the ring has no fill limit of its own.
    std::thread pcmProducer([&] {
        ByteSource source{4};
        uint8_t piece[320];
        for (uint64_t sent = 0; sent < kBytesPerRing; sent += sizeof piece) {
            for (uint8_t& b : piece) {
                b = source.next();
            }
            while (engine.pcmBlocksAvailable.load() - engine.pcmBlocksPlayed.load() > 500 &&
                   !abandoned) {
                std::this_thread::yield();
            }
            engine.pcmRingPut(piece, sizeof piece);
        }
    });

    bool audioIntact = true;
    std::thread audioConsumer([&] {
        ByteSource expected{3};
        uint8_t window[kAudioWindowBytes];
        uint64_t received = 0;
        // The last 256 bytes or fewer never make a window.
        while (received + kAudioWindowBytes < kBytesPerRing && audioIntact) {
            if (!engine.audioWindowPeek(window)) {
                std::this_thread::yield();
                continue;
            }
            // Consume an uneven part of each window, as a frame decoder does.
            uint32_t used = 13 + static_cast<uint32_t>(received % 19);
            for (uint32_t i = 0; i < used; ++i) {
                audioIntact = audioIntact && window[i] == expected.next();
            }
            engine.audioRingRead.store(engine.audioRingRead.load() + used);
            received += used;
        }
        if (!audioIntact) {
            abandoned = true;
        }
    });

    ByteSource expectedPcm{4};
    std::vector<uint8_t> block(kOutBlockBytes);
    bool pcmIntact = true;
    const int32_t blocks = static_cast<int32_t>(kBytesPerRing / kOutBlockBytes);
    for (int32_t n = 0; n < blocks && pcmIntact;) {
        if (n >= engine.pcmBlocksAvailable.load()) {
            std::this_thread::yield();
            continue;
        }
        engine.pcmBlockRead(n, block.data());
        for (uint8_t b : block) {
            pcmIntact = pcmIntact && b == expectedPcm.next();
        }
        engine.pcmBlocksPlayed.store(++n);
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
