// The parts of the peer comparison that decide what is measured: the timestamps that make other
// players show the pictures in the right order, the end of Vidora's sound, mpv's drop count.

#include <gtest/gtest.h>

#include <algorithm>

#include "bench/peer_media.h"
#include "bench/peer_runs.h"

namespace vidora::bench {
namespace {

TEST(PeerPictureTimes, ReorderedPicturesAreNeverShownBeforeTheyAreDecoded) {
    // Decoding order I P B B P B B; the decoder gives out I B B P B B P.
    const std::vector<int64_t> order{0, 2, 3, 1, 5, 6, 4};
    PictureTimes t = pictureTimes(order.size(), order);
    EXPECT_EQ(t.pts, (std::vector<int64_t>{0, 3, 1, 2, 6, 4, 5}));
    for (size_t i = 0; i < order.size(); ++i) {
        EXPECT_GE(t.pts[i], t.dts[i]) << "picture " << i;
        if (i > 0) {
            EXPECT_GT(t.dts[i], t.dts[i - 1]);
        }
    }
}

TEST(PeerPictureTimes, APictureTheDecoderNeverGaveOutKeepsItsDecodingTime) {
    PictureTimes t = pictureTimes(3, {0, 2});
    EXPECT_EQ(t.pts, (std::vector<int64_t>{0, 1, 1}));
    EXPECT_EQ(t.dts, (std::vector<int64_t>{-1, 0, 1}));
}

TEST(SoundEndWatch, SamplesSplitAcrossReadsAndBothSignsCount) {
    SoundEndWatch watch;
    const uint8_t quiet[] = {0x10, 0x00, 0xF0, 0xFF};  // 16 and -16
    EXPECT_FALSE(watch.feed(quiet, sizeof quiet));
    EXPECT_FALSE(watch.heardAny());
    const uint8_t loud[] = {0x00, 0x01};  // 256, its bytes in two reads
    EXPECT_FALSE(watch.feed(loud, 1));
    EXPECT_TRUE(watch.feed(loud + 1, 1));
    const uint8_t negative[] = {0x00, 0xFF};  // -256
    EXPECT_TRUE(watch.feed(negative, 2));
    EXPECT_TRUE(watch.heardAny());
}

TEST(MpvDrops, SumsBothCountersAndKnowsWhenItWasNotTold) {
    EXPECT_EQ(mpvDrops("x\nbench-drops vo=2 decoder=3\n"), 5);
    EXPECT_EQ(mpvDrops("bench-drops vo=? decoder=?\n"), -1);
    EXPECT_EQ(mpvDrops(""), -1);
}

}  // namespace
}  // namespace vidora::bench
