// The window's input: seeking by a press on the bar of each mode, the order in which a press is
// tested against the rectangles, Esc and F2 in each mode, the fullscreen switch, the buttons and
// the file dialogs, and hover tracking with its repaint request.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/playback_engine.h"
#include "platform/events.h"
#include "skin/skin_window.h"
#include "support/sleep_recorder.h"

namespace vidora {
namespace {

constexpr int32_t kNoSeek = -1;

class SkinInput : public ::testing::Test {
  protected:
    SkinInput() : sleeps(engine), skin(engine) {
        skin.setDesktopSource([] { return Rect{0, 0, 1024, 768}; });
        skin.setSleepFunction([this](uint32_t ms) {
            pauses.push_back(ms);
            trackingDuringPauses.push_back(skin.hoverTracking);
        });
        skin.setCloseFunction([this] { ++closes; });
        skin.setPointerSource([this] { return pointer; });
        skin.setFileDialogFunction(
            [this](const FileDialogRequest& request, const std::function<void()>& whileWaiting) {
                requests.push_back(request);
                trackingDuringDialogs.push_back(skin.hoverTracking);
                for (int i = 0; i < 3; ++i) {
                    whileWaiting();
                }
                return dialogAnswer;
            });
        skin.attach(nullptr);
        engine.seekPercent.store(kNoSeek);
    }

    // The percentage a press requests, or kNoSeek.
    int32_t seekAfterClick(int32_t x, int32_t y) {
        engine.seekPercent.store(kNoSeek);
        skin.onClick(x, y);
        return engine.seekPercent.load();
    }

    void enterFullscreen() {
        skin.onDoubleClick(skin.videoArea.left + 10, skin.videoArea.top + 10);
        ASSERT_EQ(skin.fullscreen, 1);
        // The first fullscreen layout uses the desktop recorded by the previous build, which is
        // the same desktop here.
        ASSERT_EQ(skin.videoArea, (Rect{0, 0, 1024, 640}));
    }

    void fillVideo(Colorref colour) {
        ASSERT_TRUE(skin.video);
        skin.video->fill({0, 0, skin.video->width(), skin.video->height()}, colour);
    }

    bool videoCornersAre(uint32_t pixel) const {
        const Surface& v = *skin.video;
        return v.pixel(0, 0) == pixel && v.pixel(v.width() - 1, 0) == pixel &&
               v.pixel(0, v.height() - 1) == pixel &&
               v.pixel(v.width() - 1, v.height() - 1) == pixel;
    }

    PlaybackEngine engine;
    test::SleepRecorder sleeps;
    SkinWindow skin;
    std::vector<uint32_t> pauses;
    std::vector<int32_t> trackingDuringPauses;
    std::vector<int32_t> trackingDuringDialogs;
    std::vector<FileDialogRequest> requests;
    std::optional<std::string> dialogAnswer;
    int closes = 0;
    Point pointer{-1, -1};
};

TEST_F(SkinInput, NormalBarSeeksBottomToTopAndStillStartsADrag) {
    EXPECT_EQ(seekAfterClick(428, 139), 50);  // (257 − 139) × 100 / 236
    EXPECT_TRUE(skin.dragRequested);
    skin.dragRequested = false;
    EXPECT_EQ(seekAfterClick(428, 256), kNoSeek);  // bottom row: 0
    EXPECT_TRUE(skin.dragRequested);
    EXPECT_EQ(seekAfterClick(428, 21), kNoSeek);  // top row: 100
    EXPECT_EQ(seekAfterClick(424, 22), 99);
    EXPECT_EQ(seekAfterClick(431, 255), kNoSeek);  // 200 / 236 truncates to 0
    EXPECT_EQ(seekAfterClick(431, 254), 1);
}

TEST_F(SkinInput, FullscreenBarSeeksLeftToRightAndNeverDrags) {
    enterFullscreen();
    EXPECT_EQ(seekAfterClick(512, 668), 50);
    EXPECT_EQ(seekAfterClick(767, 662), 99);
    EXPECT_EQ(seekAfterClick(256, 673), kNoSeek);
    EXPECT_EQ(seekAfterClick(512, 661), kNoSeek);  // just above the bar
    EXPECT_FALSE(skin.dragRequested);
}

TEST_F(SkinInput, LargeBarSeeksLeftToRightOnEveryRow) {
    skin.onKey(kKeyF2);
    ASSERT_EQ(skin.largeSkin, 1);
    for (int32_t y : {353, 354, 355}) {
        EXPECT_EQ(seekAfterClick(273, y), 50);  // 265 × 100 / 530
        EXPECT_EQ(seekAfterClick(537, y), 99);
        EXPECT_EQ(seekAfterClick(13, y), kNoSeek);  // 5 × 100 / 530 = 0
        EXPECT_EQ(seekAfterClick(14, y), 1);
    }
    EXPECT_FALSE(skin.dragRequested);  // the large bar lies below the drag area
}

TEST_F(SkinInput, EscAndF2InEachMode) {
    // Normal skin: F2 switches to the large skin after a pause without hover tracking.
    skin.onKey(kKeyF2);
    EXPECT_EQ(skin.largeSkin, 1);
    EXPECT_EQ(skin.windowWidth, 548);
    EXPECT_EQ(skin.videoArea, (Rect{12, 24, 524, 348}));
    EXPECT_EQ(skin.video->width(), 512);
    EXPECT_EQ(pauses, std::vector<uint32_t>{200});
    EXPECT_EQ(trackingDuringPauses, std::vector<int32_t>{0});
    EXPECT_EQ(skin.hoverTracking, 1);

    // Large skin: Esc closes, nothing else changes.
    skin.onKey(kKeyEscape);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(skin.largeSkin, 1);

    // Into fullscreen from the large skin: built from the normal bitmaps, the skin remembered.
    enterFullscreen();
    EXPECT_EQ(skin.largeSkin, 1);
    EXPECT_EQ(skin.background.width(), 520);
    EXPECT_EQ(skin.windowWidth, 1024);
    EXPECT_EQ(skin.windowHeight, 768);

    // Fullscreen: F2 does nothing at all, Esc leaves fullscreen for the large skin.
    pauses.clear();
    skin.onKey(kKeyF2);
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(skin.fullscreen, 1);
    skin.onKey(kKeyEscape);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(skin.fullscreen, 0);
    EXPECT_EQ(skin.largeSkin, 1);
    EXPECT_EQ(skin.windowWidth, 548);
    EXPECT_EQ(pauses, std::vector<uint32_t>{200});

    // Back to the normal skin, where Esc closes too; other keys do nothing.
    skin.onKey(kKeyF2);
    EXPECT_EQ(skin.largeSkin, 0);
    EXPECT_EQ(skin.windowWidth, 520);
    skin.onKey(kKeyEnter);
    EXPECT_EQ(closes, 1);
    skin.onKey(kKeyEscape);
    EXPECT_EQ(closes, 2);
    EXPECT_EQ(skin.hoverTracking, 1);
}

TEST_F(SkinInput, DoubleClickOutsideTheVideoDoesNothing) {
    skin.onDoubleClick(87, 100);   // just left of the video
    skin.onDoubleClick(420, 100);  // its right edge is exclusive
    skin.onDoubleClick(200, 256);  // and its bottom
    EXPECT_EQ(skin.fullscreen, 0);
    EXPECT_TRUE(pauses.empty());

    // Leaving fullscreen takes a double-click inside the fullscreen video.
    enterFullscreen();
    skin.onDoubleClick(500, 700);
    EXPECT_EQ(skin.fullscreen, 1);
    skin.onDoubleClick(1023, 639);
    EXPECT_EQ(skin.fullscreen, 0);
    EXPECT_EQ(skin.largeSkin, 0);
    EXPECT_EQ(skin.windowWidth, 520);
}

TEST_F(SkinInput, PressesAreTestedCloseThenDragThenButtons) {
    // The close strip lies inside the drag area and wins.
    skin.onClick(30, 100);
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(skin.dragRequested);
    // The video drags the window in the windowed modes.
    skin.onClick(200, 100);
    EXPECT_TRUE(skin.dragRequested);
    skin.dragRequested = false;
    // Outside every rectangle nothing happens.
    skin.onClick(500, 10);
    EXPECT_FALSE(skin.dragRequested);
    EXPECT_TRUE(requests.empty());

    skin.onKey(kKeyF2);
    skin.onClick(530, 10);  // the close square over the drag area
    EXPECT_EQ(closes, 2);
    EXPECT_FALSE(skin.dragRequested);
    skin.onClick(530, 30);  // below the close square, still in the drag area
    EXPECT_TRUE(skin.dragRequested);
    skin.dragRequested = false;

    // In fullscreen the large skin's close and drag rectangles swallow the press.
    enterFullscreen();
    skin.onClick(530, 10);
    skin.onClick(100, 100);
    EXPECT_EQ(closes, 2);
    EXPECT_FALSE(skin.dragRequested);
    EXPECT_TRUE(requests.empty());
}

TEST_F(SkinInput, PlayButtonBlanksTheVideoOnlyWhenNothingPlays) {
    fillVideo(rgb(255, 255, 255));
    engine.playing.store(1);
    engine.paused.store(0);
    skin.onClick(460, 130);
    EXPECT_EQ(engine.paused.load(), 1);
    EXPECT_TRUE(videoCornersAre(0xFFFFFF));

    // Nothing plays: the surface goes black before a new reader starts from the beginning.
    engine.playing.store(0);
    skin.onClick(460, 130);
    EXPECT_TRUE(videoCornersAre(0));
    EXPECT_EQ(sleeps.count(SleepSite::ToggleDelay), 1u);
    engine.close();
}

TEST_F(SkinInput, OpenButtonAsksForARecordingAndOpensItOnBlack) {
    fillVideo(rgb(255, 255, 255));
    // Cancelled: nothing changes.
    skin.onClick(460, 60);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].title, "选择文件对话框");
    EXPECT_EQ(requests[0].filterName, "KRM Files");
    EXPECT_EQ(requests[0].filterGlob, "*.krm");
    EXPECT_FALSE(requests[0].save);
    EXPECT_EQ(trackingDuringDialogs, std::vector<int32_t>{0});
    EXPECT_EQ(skin.hoverTracking, 1);
    EXPECT_TRUE(videoCornersAre(0xFFFFFF));
    EXPECT_EQ(engine.targetDc, nullptr);

    // Confirmed: blanked, and the engine draws into the video surface at the video's size.
    dialogAnswer = std::string("/nonexistent/recording.krm");
    skin.onClick(460, 60);
    EXPECT_EQ(engine.targetDc, skin.video.get());
    EXPECT_EQ(engine.videoRect, (Rect{0, 0, 332, 236}));
    engine.close();
    // The reader's invalid-file text may stand in the middle; the corners are black.
    EXPECT_TRUE(videoCornersAre(0));
    EXPECT_EQ(skin.hoverTracking, 1);
}

TEST_F(SkinInput, SnapshotButtonAsksForABitmapName) {
    skin.onClick(460, 200);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].title, "保存图片对话框");
    EXPECT_EQ(requests[0].filterName, "BMP Files");
    EXPECT_EQ(requests[0].filterGlob, "*.bmp");
    EXPECT_TRUE(requests[0].save);
    EXPECT_EQ(trackingDuringDialogs, std::vector<int32_t>{0});

    const auto folder =
        std::filesystem::temp_directory_path() /
        ("skin-input-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(folder);
    dialogAnswer = (folder / "shot").string();
    skin.paint();
    skin.onClick(460, 200);
    EXPECT_EQ(std::filesystem::file_size(folder / "shot.bmp"), 235110u);
    EXPECT_EQ(skin.hoverTracking, 1);
    std::filesystem::remove_all(folder);
}

TEST_F(SkinInput, TimerTracksHoverAndAsksForARepaintEveryTick) {
    struct Case {
        Point at;
        int32_t hover[4];
    };
    const Case cases[] = {
        {{440, 40}, {1, 0, 0, 0}},  {{487, 87}, {1, 0, 0, 0}},  {{488, 87}, {0, 0, 0, 0}},
        {{460, 130}, {0, 1, 1, 0}}, {{460, 200}, {0, 0, 0, 1}}, {{460, 100}, {0, 0, 0, 0}},
        {{-5, -5}, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        pointer = c.at;
        skin.needsPaint = false;
        skin.onTimer();
        EXPECT_TRUE(skin.needsPaint);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(skin.hover[i], c.hover[i]) << c.at.x << ", " << c.at.y << " [" << i << "]";
        }
    }
}

TEST_F(SkinInput, NoHoverChangeOrRepaintWhileADialogIsOpen) {
    // The event loop goes on ticking while the dialog waits.
    skin.setDialogPump([this] { skin.onTimer(); });
    pointer = {460, 60};  // over the open button
    skin.needsPaint = false;
    int hoverSeen = 0;
    skin.setFileDialogFunction(
        [&](const FileDialogRequest&, const std::function<void()>& whileWaiting) {
            for (int i = 0; i < 5; ++i) {
                whileWaiting();
                hoverSeen += skin.hover[0];
                EXPECT_FALSE(skin.needsPaint);
            }
            return std::optional<std::string>();
        });
    skin.onClick(460, 60);
    EXPECT_EQ(hoverSeen, 0);
    EXPECT_FALSE(skin.needsPaint);
    // Tracking resumes afterwards.
    skin.onTimer();
    EXPECT_EQ(skin.hover[0], 1);
    EXPECT_TRUE(skin.needsPaint);
}

TEST_F(SkinInput, EscPostsTheProgramsCloseMessage) {
    if (!initEvents()) {
        GTEST_SKIP() << "no event queue";
    }
    skin.setCloseFunction(nullptr);
    InputEvent event;
    while (waitEvent(event, 0)) {
    }
    skin.onKey(kKeyEscape);
    bool closed = false;
    while (!closed && waitEvent(event, 1000)) {
        closed = event.kind == InputEvent::Kind::Close;
    }
    EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace vidora
