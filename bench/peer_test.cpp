// The parts of the runs of whole players that decide what is measured: the timestamps that make
// other players show the pictures in the right order, the end of Vidora's sound, mpv's drop
// count, and what a long run's resident sizes say.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "bench/peer_media.h"
#include "bench/peer_runs.h"
#include "bench/report.h"

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

TEST(LongPlayGrowth, GrowthIsCountedFromTheFirstPassEndAndItsSecondHalfApart) {
    LongPlayResult run;
    // Three passes of 120 s; memory grows by 200 KiB a pass for two passes, then stops.
    run.passEnds = {{120.0, 40000}, {240.0, 40200}, {360.0, 40400}};
    for (int t = 0; t <= 720; t += 60) {
        run.samples.push_back({static_cast<double>(t), std::min(39800 + t * 100 / 60, 40400)});
    }
    const LongPlayGrowth g = longPlayGrowth(run);
    EXPECT_EQ(g.firstPassKib, 40000);
    EXPECT_EQ(g.endKib, 40400);
    EXPECT_EQ(g.perPassKib, (std::vector<double>{200.0, 200.0}));
    // 400 KiB over the 600 s after the first pass; nothing from 420 s (the middle) on.
    EXPECT_DOUBLE_EQ(g.per10MinutesKib, 400.0);
    EXPECT_DOUBLE_EQ(g.latePer10MinutesKib, 0.0);
}

TEST(LongPlayGrowth, ARunThatNeverFinishedAPassTellsNoGrowth) {
    LongPlayResult run;
    run.samples = {{0.0, 1000}, {10.0, 30000}};
    LongPlayGrowth g = longPlayGrowth(run);
    EXPECT_EQ(g.firstPassKib, -1);
    EXPECT_EQ(g.endKib, 30000);
    EXPECT_TRUE(g.perPassKib.empty());
    EXPECT_TRUE(std::isnan(g.per10MinutesKib));
    // Ended at the end of its first pass: no time after it to take a rate over.
    run.passEnds = {{10.0, 30000}};
    g = longPlayGrowth(run);
    EXPECT_EQ(g.firstPassKib, 30000);
    EXPECT_TRUE(std::isnan(g.per10MinutesKib));
    EXPECT_TRUE(std::isnan(g.latePer10MinutesKib));
    Report report;
    report.longPlay = run;
    report.longPlay.measured = true;
    const std::string table = markdown(report);
    EXPECT_NE(table.find("| 29.3 | - | - | - | - |"), std::string::npos) << table;
    EXPECT_EQ(table.find("nan"), std::string::npos) << table;
}

}  // namespace
}  // namespace vidora::bench
