// The tempo filter: 2x and 0.5x change the sound's length and keep its pitch, 1x is an exact
// pass-through, and a reset drops what the filter held.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "audio/tempo_filter.h"

namespace vidora {
namespace {

using Sound = std::vector<int16_t>;

// 2 s of 440 Hz.
const Sound kTone = [] {
    Sound tone(16000);
    for (size_t i = 0; i < tone.size(); ++i) {
        tone[i] = static_cast<int16_t>(12000 * std::sin(2 * std::numbers::pi * 440 * i / 8000));
    }
    return tone;
}();

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

// The pitch of a tone from its sign changes in the middle half of the sound.
double pitch(const Sound& sound) {
    int changes = 0;
    for (size_t i = sound.size() / 4; i < sound.size() * 3 / 4; ++i) {
        changes += (sound[i] < 0) != (sound[i + 1] < 0);
    }
    return changes / 2.0 * 8000 / static_cast<double>(sound.size() / 2);
}

TEST(TempoFilter, ChangesTheLengthKeepsThePitchAndStartsSoon) {
    for (double tempo : {2.0, 0.5}) {
        SCOPED_TRACE(tempo);
        TempoFilter filter;
        ASSERT_TRUE(filter.setTempo(tempo));
        size_t held = 0;
        const Sound out = run(filter, kTone, &held);
        // 640 samples, 800 at 2x: the filter works on 64 ms windows at 8 kHz.
        EXPECT_LE(held, 800u);
        // Short of the full length by what the filter still holds.
        EXPECT_NEAR(static_cast<double>(out.size()), kTone.size() / tempo - 600, 600);
        EXPECT_NEAR(pitch(out), 440, 20) << "resampled";
    }
}

TEST(TempoFilter, OnePassesThroughUnchangedTempoIsClampedAndResetDropsWhatWasHeld) {
    TempoFilter filter;
    ASSERT_TRUE(filter.setTempo(2));
    ASSERT_TRUE(filter.setTempo(1));
    EXPECT_EQ(run(filter, kTone), kTone);
    filter.setTempo(0.25);
    EXPECT_EQ(filter.tempo(), 0.5);
    filter.setTempo(16);
    run(filter, kTone);
    filter.reset();
    EXPECT_EQ(filter.tempo(), 2);
    const Sound out = run(filter, Sound(8000, 0));
    EXPECT_GT(out.size(), 3000u) << "still a working filter";
    EXPECT_EQ(out, Sound(out.size(), 0)) << "sound from before the reset";
}

}  // namespace
}  // namespace vidora
