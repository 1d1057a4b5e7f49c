// The fullscreen layout: its truncations, and the desktop it is laid out for.

#include <gtest/gtest.h>

#include <array>

#include "engine/playback_engine.h"
#include "skin/skin_window.h"

namespace vidora {

// Readable failures: rectangles as left, top, right, bottom.
void PrintTo(const Rect& r, std::ostream* os) {
    *os << "{" << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << "}";
}

namespace {

// close, video, seek bar, open, play, snapshot, drag
using Layout = std::array<Rect, 7>;

Layout layoutOf(const SkinWindow& s) {
    return {s.closeArea,  s.videoArea,      s.seekBar, s.openButton,
            s.playButton, s.snapshotButton, s.dragArea};
}

const Layout kLarge{{{524, 0, 548, 24},
                     {12, 24, 524, 348},
                     {8, 353, 538, 356},
                     {12, 364, 60, 412},
                     {72, 364, 120, 412},
                     {132, 364, 180, 412},
                     {0, 0, 540, 344}}};

TEST(SkinLayout, FullscreenTruncatesTowardZeroAndIgnoresTheLargeSkin) {
    PlaybackEngine engine;
    SkinWindow skin(engine);
    skin.fullscreen = 1;
    skin.desktopHeight = 768;
    struct Case {
        int32_t width;
        int32_t large;
        Layout layout;
    };
    const Case cases[] = {
        {1024,
         1,
         {{kLarge[0],
           {0, 0, 1024, 640},
           {256, 662, 768, 674},
           {408, 696, 456, 744},
           {488, 696, 536, 744},
           {568, 696, 616, 744},
           kLarge[6]}}},
        // 255.75, 767.25, 487.5 and 535.5; the neighbours are offsets of the truncated button.
        {1023,
         0,
         {{kLarge[0],
           {0, 0, 1023, 640},
           {255, 662, 767, 674},
           {407, 696, 455, 744},
           {487, 696, 535, 744},
           {567, 696, 615, 744},
           kLarge[6]}}},
    };
    for (const Case& c : cases) {
        skin.desktopWidth = c.width;
        skin.largeSkin = c.large;
        skin.computeLayout();
        EXPECT_EQ(layoutOf(skin), c.layout) << c.width;
    }
}

// The desktop's resolution changed since the last build: fullscreen is laid out for the new one,
// not for a stale size that would leave part of the screen unpainted.
TEST(SkinLayout, FullscreenFollowsTheDesktopAsItIsNow) {
    PlaybackEngine engine;
    SkinWindow skin(engine);
    Rect desktop{0, 0, 1024, 768};
    skin.setDesktopSource([&desktop] { return desktop; });
    skin.buildSurfaces();
    desktop = {0, 0, 1280, 1024};
    skin.fullscreen = 1;
    skin.computeLayout();
    skin.buildSurfaces();
    EXPECT_EQ(skin.videoArea, (Rect{0, 0, 1280, 896}));
    EXPECT_EQ(skin.composition.width(), 1280);
    EXPECT_EQ(skin.composition.height(), 1024);
    EXPECT_EQ(skin.video->width(), 1280);
}

}  // namespace
}  // namespace vidora
