// Composing the window: the progress bar of each mode, the button cells for each engine state
// and hover, the order of the layers, the see-through corners of the normal skin, the window's
// placement, and the hand-over of the video surface to the engine's threads.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "engine/playback_engine.h"
#include "platform/events.h"
#include "skin/skin_window.h"

namespace vidora {
namespace {

constexpr uint32_t kGrey = 0x787878;
constexpr uint32_t kWhite = 0xFFFFFF;
constexpr uint32_t kPureRed = 0xFF0000;  // as a surface pixel

class SkinPaint : public ::testing::Test {
  protected:
    SkinPaint() : skin(engine) {
        skin.setDesktopSource([this] { return desktop; });
    }

    // Switches modes the way the input handling does, without its pauses.
    void build(int32_t large, int32_t full) {
        skin.largeSkin = large;
        skin.fullscreen = full;
        skin.computeLayout();
        skin.buildSurfaces();
        if (full != 0) {
            // The first fullscreen layout came from the desktop of the previous build.
            skin.computeLayout();
            skin.buildSurfaces();
        }
    }

    void setEngineState(int32_t playing, int32_t paused, int32_t progress) {
        engine.playing.store(playing);
        engine.paused.store(paused);
        engine.progressPercent.store(progress);
    }

    // Every pixel of the seek bar is white inside `fill` and grey elsewhere.
    void expectBar(const Rect& fill) {
        const Rect& bar = skin.seekBar;
        int mismatches = 0;
        for (int32_t y = bar.top; y < bar.bottom; ++y) {
            for (int32_t x = bar.left; x < bar.right; ++x) {
                const uint32_t want = fill.contains(x, y) ? kWhite : kGrey;
                if (skin.composition.pixel(x, y) != want && ++mismatches <= 3) {
                    ADD_FAILURE() << "bar pixel " << x << ", " << y << " is " << std::hex
                                  << skin.composition.pixel(x, y) << ", want " << want;
                }
            }
        }
        EXPECT_EQ(mismatches, 0);
    }

    // Whether the 48 × 48 button at `button` shows strip cell `cell`.
    bool showsCell(const Rect& button, int32_t cell) const {
        for (int32_t y = 0; y < kButtonSize; ++y) {
            for (int32_t x = 0; x < kButtonSize; ++x) {
                if (skin.composition.pixel(button.left + x, button.top + y) !=
                    skin.strip.pixel(cell * kButtonSize + x, y)) {
                    return false;
                }
            }
        }
        return true;
    }

    PlaybackEngine engine;
    SkinWindow skin;
    Rect desktop{0, 0, 1024, 768};
};

TEST_F(SkinPaint, ProgressFillOfEachMode) {
    struct Case {
        int32_t large;
        int32_t full;
        int32_t progress;
        Rect fill;
    };
    const Case cases[] = {
        {0, 0, 50, {426, 139, 430, 257}},
        {0, 0, 100, {426, 21, 430, 257}},  // to the top, 2 pixels in on each side
        {0, 0, 33, {426, 180, 430, 257}},  // 236 × 33 / 100 = 77.88
        {0, 0, 0, {}},
        {0, 1, 50, {256, 665, 512, 671}},
        {0, 1, 33, {256, 665, 424, 671}},  // 512 × 33 / 100 = 168.96
        {0, 1, 100, {256, 665, 768, 671}},
        {0, 1, 0, {}},
        // The large skin's 3-pixel bar fills left to right over its full height.
        {1, 0, 50, {8, 353, 273, 356}},
        {1, 0, 33, {8, 353, 182, 356}},  // 530 × 33 / 100 = 174.9
        {1, 0, 100, {8, 353, 538, 356}},
        {1, 0, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "large " << c.large << " fullscreen " << c.full << " p " << c.progress);
        build(c.large, c.full);
        setEngineState(1, 0, c.progress);
        skin.paint();
        expectBar(c.fill);
    }
}

TEST_F(SkinPaint, ButtonCellsFollowTheEngineStateAndHover) {
    for (int32_t large : {0, 1}) {
        build(large, 0);
        // Each cell of the strip is distinct, or the checks below would prove nothing.
        for (int32_t a = 0; a < 8; ++a) {
            for (int32_t b = a + 1; b < 8; ++b) {
                skin.composition.copyFrom(skin.strip, a * kButtonSize, 0, kButtonSize, kButtonSize,
                                          0, 0);
                EXPECT_FALSE(showsCell({0, 0, kButtonSize, kButtonSize}, b)) << a << " " << b;
            }
        }

        struct Case {
            int32_t playing;
            int32_t paused;
            int32_t restCell;
            int32_t hoverCell;
        };
        // The pause face only while playing and not paused.
        const Case cases[] = {{1, 0, 3, 2}, {1, 1, 1, 0}, {0, 0, 1, 0}, {0, 1, 1, 0}};
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << "large " << large << " playing " << c.playing
                                              << " paused " << c.paused);
            setEngineState(c.playing, c.paused, 0);
            skin.hover[0] = skin.hover[1] = skin.hover[2] = skin.hover[3] = 0;
            skin.paint();
            EXPECT_TRUE(showsCell(skin.openButton, 5));
            EXPECT_TRUE(showsCell(skin.playButton, c.restCell));
            EXPECT_TRUE(showsCell(skin.snapshotButton, 7));

            skin.hover[0] = skin.hover[1] = skin.hover[2] = skin.hover[3] = 1;
            skin.paint();
            EXPECT_TRUE(showsCell(skin.openButton, 4));
            EXPECT_TRUE(showsCell(skin.playButton, c.hoverCell));
            EXPECT_TRUE(showsCell(skin.snapshotButton, 6));

            // Each face reads its own flag: [1] for play, [2] for pause.
            const bool pauseFace = c.restCell == 3;
            skin.hover[1] = pauseFace ? 1 : 0;
            skin.hover[2] = pauseFace ? 0 : 1;
            skin.paint();
            EXPECT_TRUE(showsCell(skin.playButton, c.restCell));
        }
    }
}

TEST_F(SkinPaint, NormalPaintLayersBackgroundBarButtonsAndVideo) {
    build(0, 0);
    setEngineState(1, 1, 50);
    skin.hover[0] = 1;
    ASSERT_TRUE(skin.video);
    // A pattern in the video surface, to catch an offset copy.
    for (int32_t y = 0; y < skin.video->height(); ++y) {
        for (int32_t x = 0; x < skin.video->width(); ++x) {
            skin.video->row(y)[x] = 0x010000u * (x & 0xFF) + 0x100u * (y & 0xFF) + 0x40u;
        }
    }
    skin.paint();
    ASSERT_EQ(skin.composition.width(), 520);
    ASSERT_EQ(skin.composition.height(), 276);

    const Rect bar = skin.seekBar;
    const Rect fill{426, 139, 430, 257};
    int mismatches = 0;
    for (int32_t y = 0; y < 276; ++y) {
        for (int32_t x = 0; x < 520; ++x) {
            uint32_t want = skin.background.pixel(x, y);
            if (skin.videoArea.contains(x, y)) {
                want = skin.video->pixel(x - skin.videoArea.left, y - skin.videoArea.top);
            } else if (skin.openButton.contains(x, y)) {
                want = skin.strip.pixel(4 * kButtonSize + x - skin.openButton.left,
                                        y - skin.openButton.top);
            } else if (skin.playButton.contains(x, y)) {
                want = skin.strip.pixel(1 * kButtonSize + x - skin.playButton.left,
                                        y - skin.playButton.top);
            } else if (skin.snapshotButton.contains(x, y)) {
                want = skin.strip.pixel(7 * kButtonSize + x - skin.snapshotButton.left,
                                        y - skin.snapshotButton.top);
            } else if (bar.contains(x, y)) {
                want = fill.contains(x, y) ? kWhite : kGrey;
            }
            if (skin.composition.pixel(x, y) != want) {
                ++mismatches;
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST_F(SkinPaint, FullscreenVideoCoversTheBackgroundAndTheBandBelowStaysBlack) {
    build(0, 1);
    ASSERT_EQ(skin.composition.width(), 1024);
    ASSERT_EQ(skin.composition.height(), 768);
    ASSERT_TRUE(skin.video);
    skin.video->fill({0, 0, 1024, 640}, rgb(0, 0, 200));
    setEngineState(0, 0, 50);
    skin.paint();
    // The normal background lies under the video; its red corners do not show.
    EXPECT_EQ(skin.composition.pixel(0, 0), 0x0000C8u);
    EXPECT_EQ(skin.composition.pixel(300, 200), 0x0000C8u);
    EXPECT_EQ(skin.composition.pixel(1023, 639), 0x0000C8u);
    // Below the video: black except the bar and the buttons.
    EXPECT_EQ(skin.composition.pixel(0, 640), 0u);
    EXPECT_EQ(skin.composition.pixel(100, 700), 0u);
    EXPECT_EQ(skin.composition.pixel(1023, 767), 0u);
    EXPECT_EQ(skin.composition.pixel(300, 662), kGrey);
    EXPECT_EQ(skin.composition.pixel(300, 668), kWhite);
    EXPECT_TRUE(showsCell(skin.openButton, 5));
    EXPECT_TRUE(showsCell(skin.playButton, 1));
    EXPECT_TRUE(showsCell(skin.snapshotButton, 7));
}

TEST_F(SkinPaint, OnlyTheNormalSkinsCornersAreSeeThrough) {
    build(0, 0);
    ASSERT_TRUE(skin.video);
    // A recording's pure red must not punch a hole into the window.
    skin.video->fill({0, 0, 332, 236}, rgb(255, 0, 0));
    const Surface shape = skin.composeShape();
    ASSERT_TRUE(shape.valid());
    ASSERT_EQ(shape.width(), 520);
    ASSERT_EQ(shape.height(), 276);
    for (auto [x, y] : {std::pair{0, 0}, {519, 0}, {0, 275}, {519, 275}}) {
        EXPECT_EQ(shape.pixel(x, y), kPureRed) << x << ", " << y;
    }
    int redOutsideCorners = 0;
    for (int32_t y = 0; y < 276; ++y) {
        for (int32_t x = 0; x < 520; ++x) {
            const bool nearCorner = (x < 16 || x >= 504) && (y < 16 || y >= 260);
            if (shape.pixel(x, y) == kPureRed && !nearCorner) {
                ++redOutsideCorners;
            }
        }
    }
    EXPECT_EQ(redOutsideCorners, 0);

    // The large skin and fullscreen have no shape: every pixel is opaque.
    build(1, 0);
    EXPECT_FALSE(skin.composeShape().valid());
    build(0, 1);
    EXPECT_FALSE(skin.composeShape().valid());

    // And their paints hold no pure red at all.
    for (int32_t large : {1, 0}) {
        build(large, large == 0 ? 1 : 0);
        setEngineState(1, 0, 50);
        skin.hover[0] = skin.hover[3] = 1;
        skin.paint();
        int red = 0;
        for (int32_t y = 0; y < skin.composition.height(); ++y) {
            for (int32_t x = 0; x < skin.composition.width(); ++x) {
                red += skin.composition.pixel(x, y) == kPureRed ? 1 : 0;
            }
        }
        EXPECT_EQ(red, 0) << "large " << large;
    }
}

TEST_F(SkinPaint, WindowIsCentredOnItsDisplayOrCoversIt) {
    desktop = {1920, 0, 3200, 1024};  // a second display, right of the first
    build(0, 0);
    EXPECT_EQ(skin.windowPlacement(), (Rect{1920 + 380, 374, 1920 + 900, 650}));
    build(1, 0);
    EXPECT_EQ(skin.windowPlacement(), (Rect{1920 + 366, 302, 1920 + 914, 722}));
    build(0, 1);
    EXPECT_EQ(skin.windowPlacement(), desktop);

    // A desktop smaller than the window: the halves truncate toward zero.
    desktop = {0, 0, 501, 300};
    build(1, 0);
    EXPECT_EQ(skin.windowPlacement(), (Rect{-23, -60, 525, 360}));
}

TEST_F(SkinPaint, RebuildHandsTheNewVideoSurfaceToAnOpenEngineOnly) {
    build(0, 0);
    // Nothing open: the engine keeps its target, and a pointer to the freed surface is cleared.
    {
        std::lock_guard<std::mutex> lock(engine.targetMutex);
        engine.targetDc = skin.video.get();
    }
    build(1, 0);
    EXPECT_EQ(engine.targetDc, nullptr);
    EXPECT_EQ(skin.video->width(), 512);
    EXPECT_EQ(skin.video->height(), 324);

    // Open: the engine draws into the new surface at 0, 0 and the video area's size.
    engine.opened.store(1);
    build(0, 0);
    EXPECT_EQ(engine.targetDc, skin.video.get());
    EXPECT_EQ(engine.videoRect, (Rect{0, 0, 332, 236}));
    // A new video surface starts black.
    EXPECT_EQ(skin.video->pixel(0, 0), 0u);
    EXPECT_EQ(skin.video->pixel(331, 235), 0u);

    skin.releaseSurfaces();
    EXPECT_EQ(engine.targetDc, nullptr);
    EXPECT_FALSE(skin.video);
    EXPECT_FALSE(skin.surfacesBuilt);
    engine.opened.store(0);
}

// A stand-in for the presenter drawing frames while the window thread switches modes: it must
// only ever touch a live surface (AddressSanitizer reports it otherwise).
TEST_F(SkinPaint, ModeSwitchesNeverFreeASurfaceThatIsBeingDrawnInto) {
    engine.opened.store(1);
    build(0, 0);
    std::atomic<bool> stop{false};
    std::atomic<int> frames{0};
    std::thread presenter([&] {
        while (!stop.load()) {
            std::lock_guard<std::mutex> lock(engine.targetMutex);
            if (engine.targetDc) {
                engine.targetDc->fill(engine.videoRect, rgb(10, 20, 30));
                frames.fetch_add(1);
            }
        }
    });
    for (int i = 0; i < 40; ++i) {
        build(i % 2, i % 3 == 0 ? 1 : 0);
        skin.paint();
    }
    stop.store(true);
    presenter.join();
    EXPECT_GT(frames.load(), 0);
    EXPECT_EQ(engine.targetDc, skin.video.get());
    engine.opened.store(0);
}

TEST_F(SkinPaint, AttachShowsTheWindowWhereThePlacementSays) {
    if (!initEvents()) {
        GTEST_SKIP() << "no video driver";
    }
    auto window = Window::create("skin test");
    if (!window) {
        GTEST_SKIP() << "no window";
    }
    skin.setDesktopSource(nullptr);
    skin.attach(window.get());
    EXPECT_TRUE(skin.surfacesBuilt);
    EXPECT_EQ(skin.windowWidth, 520);
    EXPECT_EQ(skin.windowHeight, 276);
    const Rect bounds = window->desktopBounds();
    EXPECT_EQ(skin.desktopWidth, bounds.width());
    EXPECT_EQ(skin.desktopHeight, bounds.height());
    const Rect at = skin.windowPlacement();
    EXPECT_EQ(window->position(), (Point{at.left, at.top}));
    skin.paint();
    skin.shutdown();
    EXPECT_FALSE(skin.surfacesBuilt);
}

}  // namespace
}  // namespace vidora
