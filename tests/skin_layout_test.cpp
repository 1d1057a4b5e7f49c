// The seven rectangles of each display mode, including the truncations of the fullscreen
// layout on desktops whose width is not a multiple of 4.

#include <gtest/gtest.h>

#include "engine/playback_engine.h"
#include "skin/skin_window.h"

namespace vidora {
namespace {

void expectRect(const Rect& r, int32_t left, int32_t top, int32_t right, int32_t bottom) {
    EXPECT_EQ(r, (Rect{left, top, right, bottom}))
        << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom;
}

void expectNormal(const SkinWindow& skin) {
    expectRect(skin.closeArea, 28, 98, 38, 180);
    expectRect(skin.videoArea, 88, 20, 420, 256);
    expectRect(skin.seekBar, 424, 21, 432, 257);
    expectRect(skin.openButton, 440, 40, 488, 88);
    expectRect(skin.playButton, 440, 112, 488, 160);
    expectRect(skin.snapshotButton, 440, 184, 488, 232);
    expectRect(skin.dragArea, 0, 0, 432, 276);
}

void expectLarge(const SkinWindow& skin) {
    expectRect(skin.closeArea, 524, 0, 548, 24);
    expectRect(skin.videoArea, 12, 24, 524, 348);
    expectRect(skin.seekBar, 8, 353, 538, 356);
    expectRect(skin.openButton, 12, 364, 60, 412);
    expectRect(skin.playButton, 72, 364, 120, 412);
    expectRect(skin.snapshotButton, 132, 364, 180, 412);
    expectRect(skin.dragArea, 0, 0, 540, 344);
}

TEST(SkinLayout, NewSkinHoldsTheNormalLayoutWithTrackingOnAndNothingBuilt) {
    PlaybackEngine engine;
    SkinWindow skin(engine);
    expectNormal(skin);
    EXPECT_EQ(skin.hoverTracking, 1);
    EXPECT_EQ(skin.fullscreen, 0);
    EXPECT_EQ(skin.largeSkin, 0);
    for (int32_t h : skin.hover) {
        EXPECT_EQ(h, 0);
    }
    EXPECT_EQ(skin.window, nullptr);
    EXPECT_FALSE(skin.surfacesBuilt);
    EXPECT_FALSE(skin.video);
    EXPECT_FALSE(skin.composition.valid());
}

TEST(SkinLayout, LargeSkinAndBackToNormal) {
    PlaybackEngine engine;
    SkinWindow skin(engine);
    skin.largeSkin = 1;
    skin.computeLayout();
    expectLarge(skin);
    skin.largeSkin = 0;
    skin.computeLayout();
    expectNormal(skin);
}

TEST(SkinLayout, FullscreenOn1024x768KeepsTheLargeCloseAndDragAreas) {
    PlaybackEngine engine;
    SkinWindow skin(engine);
    skin.desktopWidth = 1024;
    skin.desktopHeight = 768;
    skin.fullscreen = 1;
    // largeSkin is not consulted in fullscreen, whatever its value.
    for (int32_t large : {0, 1}) {
        skin.largeSkin = large;
        skin.computeLayout();
        expectRect(skin.videoArea, 0, 0, 1024, 640);
        expectRect(skin.seekBar, 256, 662, 768, 674);
        expectRect(skin.openButton, 408, 696, 456, 744);
        expectRect(skin.playButton, 488, 696, 536, 744);
        expectRect(skin.snapshotButton, 568, 696, 616, 744);
        expectRect(skin.closeArea, 524, 0, 548, 24);
        expectRect(skin.dragArea, 0, 0, 540, 344);
    }
}

TEST(SkinLayout, FullscreenTruncatesFractionalEdgesTowardZero) {
    PlaybackEngine engine;
    SkinWindow skin(engine);
    skin.fullscreen = 1;
    skin.desktopWidth = 1023;  // 255.75, 767.25, 487.5, 535.5
    skin.desktopHeight = 768;
    skin.computeLayout();
    expectRect(skin.seekBar, 255, 662, 767, 674);
    expectRect(skin.playButton, 487, 696, 535, 744);
    // The neighbours are offset from the truncated play button, not truncated themselves.
    expectRect(skin.openButton, 407, 696, 455, 744);
    expectRect(skin.snapshotButton, 567, 696, 615, 744);

    skin.desktopWidth = 1366;
    skin.computeLayout();
    expectRect(skin.videoArea, 0, 0, 1366, 640);
    expectRect(skin.seekBar, 341, 662, 1024, 674);  // 341.5, 1024.5
    expectRect(skin.playButton, 659, 696, 707, 744);
}

TEST(SkinLayout, FullscreenUsesTheDesktopRecordedByTheLastBuild) {
    PlaybackEngine engine;
    SkinWindow skin(engine);
    Rect desktop{0, 0, 1024, 768};
    skin.setDesktopSource([&desktop] { return desktop; });
    skin.buildSurfaces();
    EXPECT_EQ(skin.desktopWidth, 1024);

    // The resolution changes; the switch lays out from the old size, then builds at the new.
    desktop = {0, 0, 1280, 1024};
    skin.fullscreen = 1;
    skin.computeLayout();
    skin.buildSurfaces();
    expectRect(skin.videoArea, 0, 0, 1024, 640);
    EXPECT_EQ(skin.windowWidth, 1280);
    EXPECT_EQ(skin.windowHeight, 1024);
    EXPECT_EQ(skin.composition.width(), 1280);
    ASSERT_TRUE(skin.video);
    EXPECT_EQ(skin.video->width(), 1024);
    EXPECT_EQ(skin.video->height(), 640);
}

}  // namespace
}  // namespace vidora
