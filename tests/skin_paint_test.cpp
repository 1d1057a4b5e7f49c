// Composing the window: the progress bar of each mode, the button cells for each engine state
// and hover, the order of the layers, the see-through corners of the normal skin, the window's
// placement, and the hand-over of the video surface to the engine's threads.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "engine/playback_engine.h"
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

    // Switches modes as the input handling does, without its pauses; fullscreen is built twice
    // so that its layout comes from this desktop.
    void build(int32_t large, int32_t full, int32_t playing = 0, int32_t paused = 0,
               int32_t progress = 0) {
        skin.largeSkin = large;
        skin.fullscreen = full;
        for (int i = 0; i <= full; ++i) {
            skin.computeLayout();
            skin.buildSurfaces();
        }
        engine.playing.store(playing);
        engine.paused.store(paused);
        engine.progressPercent.store(progress);
    }

    // The composed pixel at x, y of the 48 × 48 button at `button`, taken from strip `cell`.
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

    int countPixels(const Surface& s, uint32_t value) const {
        int n = 0;
        for (int32_t y = 0; y < s.height(); ++y) {
            for (int32_t x = 0; x < s.width(); ++x) {
                n += s.pixel(x, y) == value ? 1 : 0;
            }
        }
        return n;
    }

    PlaybackEngine engine;
    SkinWindow skin;
    Rect desktop{0, 0, 1024, 768};
};

TEST_F(SkinPaint, ProgressFillOfEachMode) {
    struct Case {
        int32_t large, full, progress;
        Rect fill;
    };
    const Case cases[] = {
        {0, 0, 50, {426, 139, 430, 257}},
        {0, 0, 100, {426, 21, 430, 257}},
        {0, 0, 33, {426, 180, 430, 257}},
        {0, 0, 0, {}},
        {0, 1, 50, {256, 665, 512, 671}},
        {0, 1, 33, {256, 665, 424, 671}},
        {0, 1, 100, {256, 665, 768, 671}},
        {0, 1, 0, {}},
        // The large skin's 3-pixel bar fills left to right over its full height.
        {1, 0, 50, {8, 353, 273, 356}},
        {1, 0, 33, {8, 353, 182, 356}},
        {1, 0, 100, {8, 353, 538, 356}},
        {1, 0, 0, {}},
    };
    for (const Case& c : cases) {
        build(c.large, c.full, 1, 0, c.progress);
        skin.paint();
        int wrong = 0;
        for (int32_t y = skin.seekBar.top; y < skin.seekBar.bottom; ++y) {
            for (int32_t x = skin.seekBar.left; x < skin.seekBar.right; ++x) {
                const uint32_t want = c.fill.contains(x, y) ? kWhite : kGrey;
                wrong += skin.composition.pixel(x, y) != want ? 1 : 0;
            }
        }
        EXPECT_EQ(wrong, 0) << "large " << c.large << " full " << c.full << " p " << c.progress;
    }
    // A file that grows while it plays can report more than the whole: the window looks as at
    // 100 %, with nothing drawn beyond the bar.
    for (int32_t large : {0, 1}) {
        for (int32_t full : {0, 1}) {
            build(large, full, 1, 0, 100);
            skin.paint();
            Surface whole(skin.windowWidth, skin.windowHeight);
            whole.copyFrom(skin.composition, 0, 0, skin.windowWidth, skin.windowHeight, 0, 0);
            build(large, full, 1, 0, 250);
            skin.paint();
            int differ = 0;
            for (int32_t y = 0; y < whole.height(); ++y) {
                for (int32_t x = 0; x < whole.width(); ++x) {
                    differ += skin.composition.pixel(x, y) != whole.pixel(x, y) ? 1 : 0;
                }
            }
            EXPECT_EQ(differ, 0) << "large " << large << " full " << full;
        }
    }
}

TEST_F(SkinPaint, ButtonCellsFollowTheEngineStateAndHover) {
    for (int32_t large : {0, 1}) {
        build(large, 0);
        // Every strip cell differs from every other, or the checks below would prove nothing.
        for (int32_t a = 0; a < 8; ++a) {
            skin.composition.copyFrom(skin.strip, a * kButtonSize, 0, kButtonSize, kButtonSize, 0,
                                      0);
            for (int32_t b = 0; b < 8; ++b) {
                EXPECT_EQ(showsCell({0, 0, 0, 0}, b), a == b) << a << " " << b;
            }
        }
        // playing, paused → the play button's cell at rest and under the pointer.
        const int32_t cases[][4] = {{1, 0, 3, 2}, {1, 1, 1, 0}, {0, 0, 1, 0}, {0, 1, 1, 0}};
        for (const auto& c : cases) {
            SCOPED_TRACE(::testing::Message() << large << c[0] << c[1]);
            build(large, 0, c[0], c[1]);
            skin.paint();
            EXPECT_TRUE(showsCell(skin.openButton, 5));
            EXPECT_TRUE(showsCell(skin.playButton, c[2]));
            EXPECT_TRUE(showsCell(skin.snapshotButton, 7));
            // Each face reads its own flag: [1] for the play face, [2] for the pause face.
            const bool pauseFace = c[2] == 3;
            skin.hover[0] = skin.hover[3] = 1;
            skin.hover[1] = pauseFace ? 0 : 1;
            skin.hover[2] = pauseFace ? 1 : 0;
            skin.paint();
            EXPECT_TRUE(showsCell(skin.openButton, 4));
            EXPECT_TRUE(showsCell(skin.playButton, c[3]));
            EXPECT_TRUE(showsCell(skin.snapshotButton, 6));
            skin.hover[1] = pauseFace ? 1 : 0;
            skin.hover[2] = pauseFace ? 0 : 1;
            skin.paint();
            EXPECT_TRUE(showsCell(skin.playButton, c[2]));
            skin.hover[0] = skin.hover[1] = skin.hover[2] = skin.hover[3] = 0;
        }
    }
}

TEST_F(SkinPaint, PaintLayersBackgroundBarButtonsAndVideo) {
    build(0, 0, 1, 1, 50);
    skin.hover[0] = 1;
    // A pattern in the video surface, to catch a shifted copy.
    for (int32_t y = 0; y < skin.video->height(); ++y) {
        for (int32_t x = 0; x < skin.video->width(); ++x) {
            skin.video->row(y)[x] = 0x010000u * x + 0x100u * y + 0x40u;
        }
    }
    skin.paint();
    int wrong = 0;
    for (int32_t y = 0; y < 276; ++y) {
        for (int32_t x = 0; x < 520; ++x) {
            uint32_t want = skin.background.pixel(x, y);
            const Rect* buttons[] = {&skin.openButton, &skin.playButton, &skin.snapshotButton};
            const int32_t cells[] = {4, 1, 7};
            for (int i = 0; i < 3; ++i) {
                if (buttons[i]->contains(x, y)) {
                    want = skin.strip.pixel(cells[i] * kButtonSize + x - buttons[i]->left,
                                            y - buttons[i]->top);
                }
            }
            if (skin.seekBar.contains(x, y)) {
                want = Rect{426, 139, 430, 257}.contains(x, y) ? kWhite : kGrey;
            }
            if (skin.videoArea.contains(x, y)) {
                want = skin.video->pixel(x - 88, y - 20);
            }
            wrong += skin.composition.pixel(x, y) != want ? 1 : 0;
        }
    }
    EXPECT_EQ(wrong, 0);

    // Fullscreen: the video covers the normal background; the band below it holds the bar and
    // the buttons over the composition's initial black.
    build(0, 1, 0, 0, 50);
    skin.video->fill({0, 0, 1024, 640}, rgb(0, 0, 200));
    skin.paint();
    EXPECT_EQ(countPixels(skin.composition, 0x0000C8), 1024 * 640);
    EXPECT_EQ(skin.composition.pixel(100, 700), 0u);
    EXPECT_EQ(skin.composition.pixel(1023, 767), 0u);
    EXPECT_TRUE(showsCell(skin.playButton, 1));
}

// A file that plays nothing is named in the middle of the video area, in every mode, so also
// after a mode change has handed the engine a new, black surface.
TEST_F(SkinPaint, AFileThatPlaysNothingIsNamedInEveryMode) {
    if (!textFontAvailable()) {
        GTEST_SKIP() << "no interface font on this machine";
    }
    engine.fileProblem.store(FileProblem::NotARecording);
    for (auto [large, full] : {std::pair{0, 0}, {1, 0}, {0, 1}}) {
        build(large, full);
        skin.paint();
        const Rect& v = skin.videoArea;
        int white = 0;
        int away = 0;
        for (int32_t y = v.top; y < v.bottom; ++y) {
            for (int32_t x = v.left; x < v.right; ++x) {
                if (skin.composition.pixel(x, y) != 0) {
                    const bool middle = std::abs(y - (v.top + v.bottom) / 2) < 20 &&
                                        std::abs(x - (v.left + v.right) / 2) < 70;
                    white += skin.composition.pixel(x, y) == kWhite ? 1 : 0;
                    away += middle ? 0 : 1;
                }
            }
        }
        EXPECT_GT(white, 20) << large << full;
        EXPECT_EQ(away, 0) << large << full;
    }
    engine.fileProblem.store(FileProblem::None);
}

TEST_F(SkinPaint, OnlyTheNormalSkinsCornersAreSeeThrough) {
    build(0, 0);
    // A recording's pure red must not punch a hole into the window.
    skin.video->fill({0, 0, 332, 236}, rgb(255, 0, 0));
    const Surface shape = skin.composeShape();
    ASSERT_EQ(shape.width(), 520);
    ASSERT_EQ(shape.height(), 276);
    int redOutsideCorners = 0;
    for (int32_t y = 0; y < 276; ++y) {
        for (int32_t x = 0; x < 520; ++x) {
            const bool corner = (x < 16 || x >= 504) && (y < 16 || y >= 260);
            redOutsideCorners += (shape.pixel(x, y) == kPureRed && !corner) ? 1 : 0;
        }
    }
    EXPECT_EQ(redOutsideCorners, 0);
    for (auto [x, y] : {std::pair{0, 0}, {519, 0}, {0, 275}, {519, 275}}) {
        EXPECT_EQ(shape.pixel(x, y), kPureRed) << x << ", " << y;
    }

    // The large skin and fullscreen get no shape, and their paints hold no pure red at all.
    for (auto [large, full] : {std::pair{1, 0}, {0, 1}}) {
        build(large, full, 1, 0, 50);
        EXPECT_FALSE(skin.composeShape().valid());
        skin.hover[0] = skin.hover[3] = 1;
        skin.paint();
        EXPECT_EQ(countPixels(skin.composition, kPureRed), 0) << large;
    }
}

TEST_F(SkinPaint, WindowIsCentredOnItsDisplayOrCoversIt) {
    desktop = {1920, 0, 3200, 1024};  // a second display, right of the first
    build(0, 0);
    EXPECT_EQ(skin.windowPlacement(), (Rect{2300, 374, 2820, 650}));
    build(0, 1);
    EXPECT_EQ(skin.windowPlacement(), desktop);
    // Smaller than the window: the halves truncate toward zero.
    desktop = {0, 0, 501, 300};
    build(1, 0);
    EXPECT_EQ(skin.windowPlacement(), (Rect{-23, -60, 525, 360}));
}

TEST_F(SkinPaint, RebuildHandsTheNewVideoSurfaceToAnOpenEngineOnly) {
    build(0, 0);
    // Nothing open: the engine keeps its target, and a pointer to the freed surface is cleared.
    engine.targetDc = skin.video.get();
    build(1, 0);
    EXPECT_EQ(engine.targetDc, nullptr);

    engine.opened.store(1);
    skin.video->fill({0, 0, 512, 324}, rgb(1, 2, 3));
    build(0, 0);
    EXPECT_EQ(engine.targetDc, skin.video.get());
    EXPECT_EQ(engine.videoRect, (Rect{0, 0, 332, 236}));
    EXPECT_EQ(countPixels(*skin.video, 0), 332 * 236);  // a new surface starts black

    skin.releaseSurfaces();
    EXPECT_EQ(engine.targetDc, nullptr);
    engine.opened.store(0);
}

// A stand-in for the presenter drawing while the window thread switches modes: it must only ever
// touch a live surface (AddressSanitizer reports it otherwise).
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
    engine.opened.store(0);
}

}  // namespace
}  // namespace vidora
