// The stream ring: against the fuzzing model on long random runs of operations (wraps, packets,
// peeks and records straddling the end, the 80 % limit, flushes), and with a producer and a
// consumer on two threads, as the engine runs them.

#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "engine/stream_rings.h"
#include "fuzz/rings_harness.h"

namespace vidora {
namespace {

TEST(Rings, AgreeWithTheModelOnRandomRuns) {
    std::mt19937 random(7);
    for (uint8_t sizeByte : {0, 1, 7, 40, 255}) {
        std::vector<uint8_t> input{sizeByte};
        for (int i = 0; i < 60000; ++i) {
            input.push_back(static_cast<uint8_t>(random()));
            // Mostly short records, so that the small rings fill and wrap rather than refuse.
            if (input.back() % 9 <= 1) {
                input.push_back(static_cast<uint8_t>(random()));
                input.push_back(static_cast<uint8_t>(random() % 4));
                i += 2;
            }
        }
        EXPECT_EQ(fuzz::runRingsCase(input.data(), input.size()), "") << int{sizeByte};
    }
}

TEST(Rings, PacketsAndFramesCrossBetweenThreadsIntact) {
    ByteRing ring(1 << 16);
    ByteRing pcm(1 << 16);
    WakeSignal consumerWake;
    WakeSignal producerWake;
    ring.setConsumerWake(&consumerWake);
    pcm.setConsumerWake(&consumerWake);
    pcm.setProducerWake(&producerWake);
    ASSERT_TRUE(ring.allocate() && pcm.allocate());
    constexpr uint32_t kPackets = 20000;
    auto payloadByte = [](uint32_t packet, uint32_t i) {
        return static_cast<uint8_t>(packet * 31 + i);
    };
    std::thread producer([&] {
        std::vector<uint8_t> record(4 + 2000);
        uint32_t p = 0;
        uint32_t s = 0;
        while (p < kPackets || s < kPackets) {
            const uint64_t seen = producerWake.count();
            bool put = false;
            const uint32_t n = p % 1999 + 1;
            std::memcpy(record.data(), &n, 4);
            for (uint32_t i = 0; i < n; ++i) {
                record[4 + i] = payloadByte(p, i);
            }
            if (p < kPackets && ring.putRecord(record.data(), n + 4, p)) {
                ++p;
                put = true;
            }
            uint8_t sound[kPcmFrameBytes];
            std::memset(sound, static_cast<int>(s & 0xFF), sizeof sound);
            if (s < kPackets && pcm.putRecord(sound, sizeof sound, s)) {
                ++s;
                put = true;
            }
            if (!put) {
                producerWake.waitFor(seen, std::chrono::milliseconds(1));
            }
        }
    });
    std::vector<uint8_t> packet(4000);
    uint32_t packets = 0;
    uint32_t slots = 0;
    bool intact = true;
    while (packets < kPackets || slots < kPackets) {
        const uint64_t seen = consumerWake.count();
        uint32_t length = 0;
        bool took = false;
        StreamMark record;
        StreamMark flush;
        ring.marks().advanceTo(ring.readPosition(), &record, &flush);
        if (ring.takePacket(packet.data(), packet.size(), &length) == PacketTake::Taken) {
            intact &= length == packets % 1999 + 1;
            for (uint32_t i = 0; i < length; ++i) {
                intact &= packet[i] == payloadByte(packets, i);
            }
            ring.consume(length);
            ++packets;
            took = true;
        }
        StreamMark frame;
        uint8_t sound[kPcmFrameBytes];
        uint32_t bytes = 0;
        if (pcm.takeRecord(sound, sizeof sound, &frame, &bytes)) {
            intact &= frame.streamTime == slots && bytes == sizeof sound &&
                      sound[kPcmFrameBytes - 1] == uint8_t(slots);
            ++slots;
            took = true;
        }
        if (!took) {
            consumerWake.waitFor(seen, std::chrono::milliseconds(1));
        }
    }
    producer.join();
    EXPECT_TRUE(intact);
}

}  // namespace
}  // namespace vidora
