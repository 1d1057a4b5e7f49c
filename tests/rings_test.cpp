// The ring rules on one thread: where bytes land across the wrap, when a packet, a window or a
// block can be taken, and when a ring counts as full.

#include <gtest/gtest.h>

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
        std::vector<uint8_t> packet = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                                       static_cast<uint8_t>(n >> 16),
                                       static_cast<uint8_t>(n >> 24)};
        packet.insert(packet.end(), payload.begin(), payload.end());
        return packet;
    }

    PlaybackEngine engine;
};

TEST_F(RingsTest, PutsWrapAtTheEndOfTheVideoRing) {
    engine.videoRingWritten = kVideoRingBytes - 2;
    engine.videoRingRead = kVideoRingBytes - 2;
    auto bytes = sequence(10, 1);
    engine.videoRingPut(bytes.data(), 10);
    const uint8_t* ring = engine.videoRingData.get();
    EXPECT_EQ(ring[kVideoRingBytes - 2], 1);
    EXPECT_EQ(ring[kVideoRingBytes - 1], 2);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(ring[i], 3 + i);
    }
    auto more = sequence(1, 99);
    engine.videoRingPut(more.data(), 1);
    EXPECT_EQ(ring[8], 99);
    EXPECT_EQ(engine.videoRingWritten.load(), kVideoRingBytes + 9);
}

TEST_F(RingsTest, PutEndingAtTheLastIndexLeavesTheNextAtZero) {
    engine.audioRingWritten = kAudioRingBytes - 4;
    engine.audioRingRead = kAudioRingBytes - 4;
    auto bytes = sequence(4, 10);
    engine.audioRingPut(bytes.data(), 4);
    auto next = sequence(1, 77);
    engine.audioRingPut(next.data(), 1);
    EXPECT_EQ(engine.audioRingData[kAudioRingBytes - 1], 13);
    EXPECT_EQ(engine.audioRingData[0], 77);
}

TEST_F(RingsTest, PacketWhoseLengthWordStraddlesTheEndIsTakenWhole) {
    engine.videoRingWritten = kVideoRingBytes - 2;
    engine.videoRingRead = kVideoRingBytes - 2;
    auto payload = sequence(300, 5);
    auto packet = lengthPrefixed(payload);
    engine.videoRingPut(packet.data(), static_cast<uint32_t>(packet.size()));

    std::vector<uint8_t> out(kPacketBufferBytes);
    uint32_t length = 0;
    ASSERT_EQ(engine.videoPacketTake(out.data(), &length), PacketTake::Taken);
    EXPECT_EQ(length, 300u);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), out.begin()));
    // Only the length word is consumed; the caller advances over what its decoder used.
    EXPECT_EQ(engine.videoRingRead.load(), kVideoRingBytes + 2);
    EXPECT_EQ(engine.videoRingData[2], 5);
}

TEST_F(RingsTest, IncompleteOrImpossiblePacketsConsumeNothing) {
    std::vector<uint8_t> out(kPacketBufferBytes);
    uint32_t length = 0;
    EXPECT_EQ(engine.videoPacketTake(out.data(), &length), PacketTake::NotReady);

    auto packet = lengthPrefixed(sequence(100, 0));
    engine.videoRingPut(packet.data(), 3);  // not even the whole length word
    EXPECT_EQ(engine.videoPacketTake(out.data(), &length), PacketTake::NotReady);
    engine.videoRingPut(packet.data() + 3, 50);  // length word and half the payload
    EXPECT_EQ(engine.videoPacketTake(out.data(), &length), PacketTake::NotReady);
    EXPECT_EQ(engine.videoRingRead.load(), 0u);
    engine.videoRingPut(packet.data() + 53, static_cast<uint32_t>(packet.size()) - 53);
    EXPECT_EQ(engine.videoPacketTake(out.data(), &length), PacketTake::Taken);
    engine.videoRingRead += length;

    // A length word beyond the packet buffer can never be satisfied, however much follows.
    uint8_t huge[8] = {0x01, 0xEE, 0x02, 0x00, 1, 2, 3, 4};  // 192,001 bytes claimed
    engine.videoRingPut(huge, sizeof huge);
    uint32_t before = engine.videoRingRead.load();
    EXPECT_EQ(engine.videoPacketTake(out.data(), &length), PacketTake::Unsatisfiable);
    EXPECT_EQ(engine.videoRingRead.load(), before);
    engine.discardUnreadVideo();
    EXPECT_EQ(engine.videoRingRead.load(), engine.videoRingWritten.load());

    // Exactly the buffer's size is still a packet.
    std::vector<uint8_t> biggest = lengthPrefixed(std::vector<uint8_t>(kPacketBufferBytes, 7));
    engine.videoRingPut(biggest.data(), static_cast<uint32_t>(biggest.size()));
    EXPECT_EQ(engine.videoPacketTake(out.data(), &length), PacketTake::Taken);
    EXPECT_EQ(length, kPacketBufferBytes);
}

TEST_F(RingsTest, WindowsNeedEnoughUnreadBytes) {
    std::vector<uint8_t> window(kH263WindowBytes);
    auto bytes = sequence(kH263WindowBytes - 1, 0);
    engine.videoRingPut(bytes.data(), static_cast<uint32_t>(bytes.size()));
    EXPECT_EQ(engine.videoWindowPeek(window.data(), kH263WindowBytes), 0);
    engine.videoRingPut(bytes.data(), 1);
    EXPECT_EQ(engine.videoWindowPeek(window.data(), kH263WindowBytes), 1);
    EXPECT_EQ(engine.videoRingRead.load(), 0u);  // a peek consumes nothing

    uint8_t chunk[kAudioWindowBytes];
    auto audio = sequence(kAudioWindowBytes, 0);
    engine.audioRingPut(audio.data(), kAudioWindowBytes);
    EXPECT_EQ(engine.audioWindowPeek(chunk), 0);  // 256 unread: strictly more are needed
    engine.audioRingPut(audio.data(), 1);
    EXPECT_EQ(engine.audioWindowPeek(chunk), 1);
    EXPECT_EQ(chunk[255], 255);

    // The audio consumer may skip past what was written; that is no window at all.
    engine.audioRingRead = engine.audioRingWritten + 256;
    EXPECT_EQ(engine.audioWindowPeek(chunk), 0);
    EXPECT_EQ(engine.audioRingFull(), 0);
}

TEST_F(RingsTest, AudioWindowAcrossTheWrapComesInTwoPieces) {
    engine.audioRingWritten = kAudioRingBytes - 100;
    engine.audioRingRead = kAudioRingBytes - 100;
    auto audio = sequence(300, 0);
    engine.audioRingPut(audio.data(), 300);
    uint8_t chunk[kAudioWindowBytes];
    ASSERT_EQ(engine.audioWindowPeek(chunk), 1);
    EXPECT_TRUE(std::equal(chunk, chunk + kAudioWindowBytes, audio.begin()));
}

TEST_F(RingsTest, FillLimitsAreEightyPercentOnRealNumbers) {
    engine.videoRingWritten = 3316121;
    EXPECT_EQ(engine.videoRingFull(), 0);
    engine.videoRingWritten = 3316122;
    EXPECT_EQ(engine.videoRingFull(), 1);
    engine.videoRingRead = 1;
    EXPECT_EQ(engine.videoRingFull(), 0);

    engine.audioRingWritten = 838860;
    EXPECT_EQ(engine.audioRingFull(), 0);
    engine.audioRingWritten = 838861;
    EXPECT_EQ(engine.audioRingFull(), 1);
    // Totals wrap as 32-bit numbers; only their difference counts.
    engine.audioRingRead = 0xFFFFFF00u;
    engine.audioRingWritten = 0xFFFFFF00u + 838861u;
    EXPECT_EQ(engine.audioRingFull(), 1);
}

TEST_F(RingsTest, PcmBlocksNeverWrapAndAreCountedWhole) {
    EXPECT_EQ(engine.outBlockSize.load(), 2000);  // usable before any audio output starts
    std::vector<uint8_t> pcm(1999, 1);
    engine.pcmRingPut(pcm.data(), 1999);
    EXPECT_EQ(engine.pcmBlocksAvailable.load(), 0);
    uint8_t one = 2;
    engine.pcmRingPut(&one, 1);
    EXPECT_EQ(engine.pcmBlocksAvailable.load(), 1);

    // After 1,048,000 bytes (524 blocks) the next byte goes to index 0, not 1,048,000.
    engine.pcmWritten = 1048000 - 2;
    uint8_t tail[4] = {9, 8, 7, 6};
    engine.pcmRingPut(tail, 4);
    EXPECT_EQ(engine.pcmRingData[1047998], 9);
    EXPECT_EQ(engine.pcmRingData[1047999], 8);
    EXPECT_EQ(engine.pcmRingData[0], 7);
    EXPECT_EQ(engine.pcmRingData[1], 6);
    EXPECT_EQ(engine.pcmBlocksAvailable.load(), 524);

    std::vector<uint8_t> block(2000);
    engine.pcmBlockRead(524, block.data());
    EXPECT_EQ(block[0], 7);
    EXPECT_EQ(block[1], 6);
    engine.pcmBlockRead(523, block.data());
    EXPECT_EQ(block[1998], 9);
}

}  // namespace
}  // namespace vidora
