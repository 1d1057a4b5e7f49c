// The ring rules on one thread: where bytes land across the wrap, when a packet, a piece or a
// frame can be taken, when a ring counts as full, and how the PCM ring's slots are kept.

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "engine/playback_engine.h"

namespace vidora {
namespace {

class RingsTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(engine.allocateRings()); }

    static std::vector<uint8_t> sequence(size_t n, uint8_t first) {
        std::vector<uint8_t> v(n);
        std::iota(v.begin(), v.end(), first);
        return v;
    }
    static std::vector<uint8_t> lengthPrefixed(const std::vector<uint8_t>& payload) {
        uint32_t n = static_cast<uint32_t>(payload.size());
        std::vector<uint8_t> packet(4 + payload.size());
        for (int i = 0; i < 4; ++i) {
            packet[i] = static_cast<uint8_t>(n >> (8 * i));
        }
        std::copy(payload.begin(), payload.end(), packet.begin() + 4);
        return packet;
    }

    PlaybackEngine engine;
};

TEST_F(RingsTest, PutsWrapAtTheEndOfTheVideoRing) {
    engine.videoRing.written = kVideoRingBytes - 2;
    engine.videoRing.read = kVideoRingBytes - 2;
    auto bytes = sequence(10, 1);
    engine.videoRing.put(bytes.data(), 10);
    const uint8_t* ring = engine.videoRing.data();
    EXPECT_EQ(ring[kVideoRingBytes - 2], 1);
    EXPECT_EQ(ring[kVideoRingBytes - 1], 2);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(ring[i], 3 + i);
    }
    auto more = sequence(1, 99);
    engine.videoRing.put(more.data(), 1);
    EXPECT_EQ(ring[8], 99);
    EXPECT_EQ(engine.videoRing.written.load(), kVideoRingBytes + 9);
}

TEST_F(RingsTest, PutEndingAtTheLastIndexLeavesTheNextAtZero) {
    engine.audioRing.written = kAudioRingBytes - 4;
    engine.audioRing.read = kAudioRingBytes - 4;
    auto bytes = sequence(4, 10);
    engine.audioRing.put(bytes.data(), 4);
    auto next = sequence(1, 77);
    engine.audioRing.put(next.data(), 1);
    EXPECT_EQ(engine.audioRing.data()[kAudioRingBytes - 1], 13);
    EXPECT_EQ(engine.audioRing.data()[0], 77);
}

TEST_F(RingsTest, PacketWhoseLengthWordStraddlesTheEndIsTakenWhole) {
    engine.videoRing.written = kVideoRingBytes - 2;
    engine.videoRing.read = kVideoRingBytes - 2;
    auto payload = sequence(300, 5);
    auto packet = lengthPrefixed(payload);
    engine.videoRing.put(packet.data(), static_cast<uint32_t>(packet.size()));

    std::vector<uint8_t> out(kPacketBufferBytes);
    uint32_t length = 0;
    ASSERT_EQ(engine.videoRing.takePacket(out.data(), kPacketBufferBytes, &length),
              PacketTake::Taken);
    EXPECT_EQ(length, 300u);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), out.begin()));
    // Only the length word is consumed; the caller advances over what its decoder used.
    EXPECT_EQ(engine.videoRing.read.load(), kVideoRingBytes + 2);
    EXPECT_EQ(engine.videoRing.data()[2], 5);
}

TEST_F(RingsTest, IncompleteOrImpossiblePacketsConsumeNothing) {
    std::vector<uint8_t> out(kPacketBufferBytes);
    uint32_t length = 0;
    EXPECT_EQ(engine.videoRing.takePacket(out.data(), kPacketBufferBytes, &length),
              PacketTake::NotReady);

    auto packet = lengthPrefixed(sequence(100, 0));
    engine.videoRing.put(packet.data(), 3);  // not even the whole length word
    EXPECT_EQ(engine.videoRing.takePacket(out.data(), kPacketBufferBytes, &length),
              PacketTake::NotReady);
    engine.videoRing.put(packet.data() + 3, 50);  // length word and half the payload
    EXPECT_EQ(engine.videoRing.takePacket(out.data(), kPacketBufferBytes, &length),
              PacketTake::NotReady);
    EXPECT_EQ(engine.videoRing.read.load(), 0u);
    engine.videoRing.put(packet.data() + 53, static_cast<uint32_t>(packet.size()) - 53);
    EXPECT_EQ(engine.videoRing.takePacket(out.data(), kPacketBufferBytes, &length),
              PacketTake::Taken);
    engine.videoRing.read += length;

    // A length word beyond the packet buffer can never be satisfied, however much follows.
    uint8_t huge[8] = {0x01, 0xEE, 0x02, 0x00, 1, 2, 3, 4};  // 192,001 bytes claimed
    engine.videoRing.put(huge, sizeof huge);
    uint32_t before = engine.videoRing.read.load();
    EXPECT_EQ(engine.videoRing.takePacket(out.data(), kPacketBufferBytes, &length),
              PacketTake::Unsatisfiable);
    EXPECT_EQ(engine.videoRing.read.load(), before);
    engine.videoRing.discardUnread();
    EXPECT_EQ(engine.videoRing.read.load(), engine.videoRing.written.load());

    // Exactly the buffer's size is still a packet.
    std::vector<uint8_t> biggest = lengthPrefixed(std::vector<uint8_t>(kPacketBufferBytes, 7));
    engine.videoRing.put(biggest.data(), static_cast<uint32_t>(biggest.size()));
    EXPECT_EQ(engine.videoRing.takePacket(out.data(), kPacketBufferBytes, &length),
              PacketTake::Taken);
    EXPECT_EQ(length, kPacketBufferBytes);
}

TEST_F(RingsTest, PeeksCopyAcrossTheWrapAndConsumeNothing) {
    engine.videoRing.written = kVideoRingBytes - 100;
    engine.videoRing.read = kVideoRingBytes - 100;
    auto video = sequence(300, 0);
    engine.videoRing.put(video.data(), 300);
    std::vector<uint8_t> out(kH263PieceBytes);
    // As much as is unread, up to the most asked for.
    ASSERT_EQ(engine.videoRing.peek(out.data(), kH263PieceBytes), 300u);
    EXPECT_TRUE(std::equal(video.begin(), video.end(), out.begin()));
    EXPECT_EQ(engine.videoRing.peek(out.data(), 7), 7u);
    EXPECT_EQ(engine.videoRing.read.load(), kVideoRingBytes - 100);
    engine.videoRing.read += 300;
    EXPECT_EQ(engine.videoRing.peek(out.data(), kH263PieceBytes), 0u);

    engine.audioRing.written = kAudioRingBytes - 10;
    engine.audioRing.read = kAudioRingBytes - 10;
    auto audio = sequence(31, 40);
    engine.audioRing.put(audio.data(), 31);
    EXPECT_FALSE(engine.audioRing.peekExactly(out.data(), 32));  // a frame needs all its bytes
    ASSERT_TRUE(engine.audioRing.peekExactly(out.data(), 31));
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), out.begin()));
    EXPECT_EQ(engine.audioRing.read.load(), kAudioRingBytes - 10);

    // A read total ahead of the written one is nothing unread, not four thousand million bytes.
    engine.videoRing.read = engine.videoRing.written + 5;
    EXPECT_EQ(engine.videoRing.peek(out.data(), kH263PieceBytes), 0u);
    engine.audioRing.read = engine.audioRing.written + 5;
    EXPECT_FALSE(engine.audioRing.peekExactly(out.data(), 1));
    EXPECT_EQ(engine.audioRing.full(), 0);
}

TEST_F(RingsTest, FillLimitsAreEightyPercentOnRealNumbers) {
    engine.videoRing.written = 3316121;
    EXPECT_EQ(engine.videoRing.full(), 0);
    engine.videoRing.written = 3316122;
    EXPECT_EQ(engine.videoRing.full(), 1);
    engine.videoRing.read = 1;
    EXPECT_EQ(engine.videoRing.full(), 0);

    engine.audioRing.written = 838860;
    EXPECT_EQ(engine.audioRing.full(), 0);
    engine.audioRing.written = 838861;
    EXPECT_EQ(engine.audioRing.full(), 1);
    // Totals wrap as 32-bit numbers; only their difference counts.
    engine.audioRing.read = 0xFFFFFF00u;
    engine.audioRing.written = 0xFFFFFF00u + 838861u;
    EXPECT_EQ(engine.audioRing.full(), 1);
}

TEST_F(RingsTest, PcmSlotsWrapKeepTheirTimesAndRefuseWhenFull) {
    // The totals stand just before the wrap and the output has taken all but one slot's room.
    const std::vector<uint8_t> oldest(kPcmSlotBytes, 0x11);
    ASSERT_TRUE(engine.pcmRing.put(oldest.data(), kPcmSlotBytes, 1));
    engine.pcmRing.written = kPcmSlots - 1;
    engine.pcmRing.taken = 0;
    std::vector<uint8_t> frame = sequence(kPcmSlotBytes, 3);
    EXPECT_TRUE(engine.pcmRing.put(frame.data(), kPcmSlotBytes, 123456));
    // Every slot is unread now: both kinds of put are refused and nothing is overwritten.
    std::vector<uint8_t> other(kPcmSlotBytes, 0xEE);
    EXPECT_FALSE(engine.pcmRing.put(other.data(), kPcmSlotBytes, 1));
    EXPECT_FALSE(engine.pcmRing.putFlush());
    EXPECT_EQ(engine.pcmRing.written.load(), kPcmSlots);
    std::vector<uint8_t> out(kPcmSlotBytes, 0);
    PcmSlot info;
    engine.pcmRing.readSlot(0, out.data(), &info);
    EXPECT_EQ(out, oldest) << "the oldest unread slot was overwritten";

    engine.pcmRing.taken = 2;
    // More than a slot holds is cut to the slot; the next put lands at slot 0.
    std::vector<uint8_t> big = sequence(kPcmSlotBytes + 50, 9);
    EXPECT_TRUE(engine.pcmRing.put(big.data(), static_cast<uint32_t>(big.size()), -20000));
    EXPECT_TRUE(engine.pcmRing.putFlush());
    EXPECT_FALSE(engine.pcmRing.putFlush());

    engine.pcmRing.readSlot(kPcmSlots - 1, out.data(), &info);
    EXPECT_EQ(info.streamTime, 123456);
    EXPECT_EQ(info.bytes, kPcmSlotBytes);
    EXPECT_FALSE(info.flush);
    EXPECT_EQ(out, frame);
    engine.pcmRing.readSlot(kPcmSlots, out.data(), &info);
    EXPECT_EQ(info.streamTime, -20000);
    EXPECT_EQ(info.bytes, kPcmSlotBytes);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), big.begin()));
    engine.pcmRing.readSlot(kPcmSlots + 1, out.data(), &info);
    EXPECT_TRUE(info.flush);
    EXPECT_EQ(info.bytes, 0u);
}

}  // namespace
}  // namespace vidora
