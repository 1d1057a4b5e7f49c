// The tempo filter: 2x and 0.5x change the sound's length and keep its pitch, 1x is an exact
// pass-through, and a reset drops what the filter held.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>
#include <vector>

#include "audio/tempo_filter.h"

namespace vidora {
namespace {

using Sound = std::vector<int16_t>;
constexpr double kTau = 2 * std::numbers::pi;

// Fed as the sound output feeds it, 20 ms at a time; `held` is what went in before the first
// output came.
Sound run(TempoFilter& filter, const Sound& in, size_t* held = nullptr) {
    Sound out;
    for (size_t at = 0; at < in.size(); at += 160) {
        filter.push(in.data() + at, std::min<size_t>(160, in.size() - at), out);
        if (held != nullptr && out.empty()) {
            *held = at + 160;
        }
    }
    return out;
}

// Power of `hz` in the middle half, averaged over 50 ms Hann-windowed pieces (Goertzel): one long
// transform would also measure the phase jumps where the filter joins pieces.
double power(const Sound& sound, double hz) {
    const double c = 2 * std::cos(kTau * hz / 8000);
    double sum = 0;
    for (size_t at = sound.size() / 4; at + 400 <= sound.size() * 3 / 4; at += 400) {
        double s1 = 0, s2 = 0;
        for (size_t i = 0; i < 400; ++i) {
            const double s0 = (0.5 - 0.5 * std::cos(kTau * i / 400)) * sound[at + i] + c * s1 - s2;
            s2 = std::exchange(s1, s0);
        }
        sum += s1 * s1 + s2 * s2 - c * s1 * s2;
    }
    return sum;
}

TEST(TempoFilter, ChangesTheLengthKeepsThePitchAndStartsSoon) {
    Sound in(16000);  // 2 s of 440 Hz with a weaker 1000 Hz beside it
    for (size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<int16_t>(12000 * std::sin(kTau * 440 * i / 8000) +
                                     5000 * std::sin(kTau * 1000 * i / 8000));
    }
    for (double tempo : {2.0, 0.5}) {
        SCOPED_TRACE(tempo);
        TempoFilter filter;
        ASSERT_TRUE(filter.setTempo(tempo));
        size_t held = 0;
        const Sound out = run(filter, in, &held);
        // 640 samples, 800 at 2x: the filter works on 64 ms windows at 8 kHz.
        EXPECT_LE(held, 800u);
        // Short of the full length by what the filter still holds.
        EXPECT_NEAR(static_cast<double>(out.size()), in.size() / tempo - 600, 600);
        double loudest = 0;
        for (double hz = 100; hz <= 3000; hz += 5) {
            loudest = power(out, hz) > power(out, loudest) ? hz : loudest;
        }
        EXPECT_EQ(loudest, 440);
        EXPECT_GT(power(out, 1000), 100 * power(out, 1000 * tempo)) << "second tone moved";
    }
}

TEST(TempoFilter, OnePassesThroughUnchangedTempoIsClampedAndResetDropsWhatWasHeld) {
    Sound in(1000);
    for (size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<int16_t>(i * 7919);
    }
    TempoFilter filter;
    ASSERT_TRUE(filter.setTempo(2));
    ASSERT_TRUE(filter.setTempo(1));
    EXPECT_EQ(run(filter, in), in);
    filter.setTempo(0.25);
    EXPECT_EQ(filter.tempo(), 0.5);
    filter.setTempo(16);
    run(filter, in);
    filter.reset();
    EXPECT_EQ(filter.tempo(), 2);
    const Sound out = run(filter, Sound(8000, 0));
    EXPECT_GT(out.size(), 3000u) << "still a working filter";
    EXPECT_EQ(out, Sound(out.size(), 0)) << "sound from before the reset";
}

}  // namespace
}  // namespace vidora
