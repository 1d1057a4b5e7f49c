// The window's input: seeking by a press on the bar of each mode, the order in which a press is
// tested against the rectangles, Esc and F2 in each mode, the fullscreen switch, the buttons with
// their file dialogs, and hover tracking with its repaint request.

#include <gtest/gtest.h>

#include <array>
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
                whileWaiting();
                return dialogAnswer;
            });
        skin.attach(nullptr);
    }

    // The percentage a press requests, or kNoSeek.
    int32_t seekAt(int32_t x, int32_t y) {
        engine.seekPercent.store(kNoSeek);
        skin.onClick(x, y);
        return engine.seekPercent.load();
    }

    void enterFullscreen() {
        skin.onDoubleClick(skin.videoArea.left + 10, skin.videoArea.top + 10);
        ASSERT_EQ(skin.fullscreen, 1);
        ASSERT_EQ(skin.videoArea, (Rect{0, 0, 1024, 640}));
    }

    bool videoCornersAre(uint32_t pixel) const {
        const Surface& v = *skin.video;
        const int32_t r = v.width() - 1, b = v.height() - 1;
        return v.pixel(0, 0) == pixel && v.pixel(r, 0) == pixel && v.pixel(0, b) == pixel &&
               v.pixel(r, b) == pixel;
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

TEST_F(SkinInput, SeekPercentagesOfEachBar) {
    // Normal skin: bottom to top, and the press goes on to start a drag.
    EXPECT_EQ(seekAt(428, 139), 50);  // (257 − 139) × 100 / 236
    EXPECT_TRUE(skin.dragRequested);
    EXPECT_EQ(seekAt(428, 256), kNoSeek);  // 0
    EXPECT_EQ(seekAt(428, 21), kNoSeek);   // 100
    EXPECT_EQ(seekAt(431, 255), kNoSeek);  // 200 / 236 truncates to 0
    EXPECT_EQ(seekAt(431, 254), 1);

    // Large skin: left to right on every row of the 3-pixel bar.
    skin.onKey(kKeyF2);
    skin.dragRequested = false;
    for (int32_t y : {353, 355}) {
        EXPECT_EQ(seekAt(273, y), 50);  // 265 × 100 / 530
        EXPECT_EQ(seekAt(537, y), 99);
        EXPECT_EQ(seekAt(13, y), kNoSeek);
        EXPECT_EQ(seekAt(14, y), 1);
    }
    EXPECT_FALSE(skin.dragRequested);

    // Fullscreen: left to right, no drag.
    enterFullscreen();
    EXPECT_EQ(seekAt(512, 668), 50);
    EXPECT_EQ(seekAt(767, 662), 99);
    EXPECT_EQ(seekAt(256, 673), kNoSeek);
    EXPECT_FALSE(skin.dragRequested);
}

TEST_F(SkinInput, EscAndF2InEachMode) {
    // Normal → large after a 200 ms pause without hover tracking.
    skin.onKey(kKeyF2);
    EXPECT_EQ(skin.largeSkin, 1);
    EXPECT_EQ(skin.windowWidth, 548);
    EXPECT_EQ(skin.video->width(), 512);
    EXPECT_EQ(pauses, std::vector<uint32_t>{200});
    EXPECT_EQ(trackingDuringPauses, std::vector<int32_t>{0});
    EXPECT_EQ(skin.hoverTracking, 1);
    skin.onKey(kKeyEscape);
    EXPECT_EQ(closes, 1);

    // Fullscreen is built from the normal bitmaps; F2 does nothing there; Esc leaves it for the
    // skin chosen before.
    enterFullscreen();
    EXPECT_EQ(skin.background.width(), 520);
    EXPECT_EQ(skin.windowWidth, 1024);
    pauses.clear();
    skin.onKey(kKeyF2);
    EXPECT_TRUE(pauses.empty());
    skin.onKey(kKeyEscape);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(skin.fullscreen, 0);
    EXPECT_EQ(skin.largeSkin, 1);
    EXPECT_EQ(skin.windowWidth, 548);
    EXPECT_EQ(trackingDuringPauses.back(), 0);

    skin.onKey(kKeyF2);
    EXPECT_EQ(skin.windowWidth, 520);
    skin.onKey(kKeyEnter);
    EXPECT_EQ(closes, 1);
    skin.onKey(kKeyEscape);
    EXPECT_EQ(closes, 2);
}

TEST_F(SkinInput, DoubleClickOnlyInsideTheVideo) {
    skin.onDoubleClick(87, 100);   // left of the video
    skin.onDoubleClick(420, 100);  // right and bottom edges are exclusive
    skin.onDoubleClick(200, 256);
    EXPECT_EQ(skin.fullscreen, 0);
    EXPECT_TRUE(pauses.empty());
    enterFullscreen();
    skin.onDoubleClick(500, 700);
    EXPECT_EQ(skin.fullscreen, 1);
    skin.onDoubleClick(1023, 639);
    EXPECT_EQ(skin.fullscreen, 0);
    EXPECT_EQ(skin.windowWidth, 520);
}

TEST_F(SkinInput, PressesAreTestedCloseThenDragThenButtons) {
    skin.onClick(30, 100);  // the close strip lies in the drag area and wins
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(skin.dragRequested);
    skin.onClick(200, 100);  // the video drags the window
    EXPECT_TRUE(skin.dragRequested);
    skin.dragRequested = false;
    skin.onClick(500, 10);  // nothing there
    EXPECT_FALSE(skin.dragRequested);

    skin.onKey(kKeyF2);
    skin.onClick(530, 10);  // the close square over the drag area
    EXPECT_EQ(closes, 2);
    EXPECT_FALSE(skin.dragRequested);

    // In fullscreen the large skin's close and drag rectangles swallow the press.
    enterFullscreen();
    skin.onClick(530, 10);
    skin.onClick(100, 100);
    EXPECT_EQ(closes, 2);
    EXPECT_FALSE(skin.dragRequested);
    EXPECT_TRUE(requests.empty());
}

TEST_F(SkinInput, PlayButtonBlanksTheVideoOnlyWhenNothingPlays) {
    skin.video->fill({0, 0, 332, 236}, rgb(255, 255, 255));
    engine.playing.store(1);
    engine.paused.store(0);
    skin.onClick(460, 130);
    EXPECT_EQ(engine.paused.load(), 1);
    EXPECT_TRUE(videoCornersAre(0xFFFFFF));

    // Nothing plays: black first, then a new reader from the beginning.
    engine.playing.store(0);
    skin.onClick(460, 130);
    EXPECT_TRUE(videoCornersAre(0));
    EXPECT_EQ(sleeps.count(SleepSite::ToggleDelay), 1u);
    engine.close();
}

TEST_F(SkinInput, OpenAndSnapshotButtonsAskForTheirFiles) {
    skin.video->fill({0, 0, 332, 236}, rgb(255, 255, 255));
    skin.onClick(460, 60);  // cancelled: nothing changes
    skin.onClick(460, 200);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].title, "选择文件对话框");
    EXPECT_EQ(requests[0].filterName + requests[0].filterGlob, "KRM Files*.krm");
    EXPECT_FALSE(requests[0].save);
    EXPECT_EQ(requests[1].title, "保存图片对话框");
    EXPECT_EQ(requests[1].filterName + requests[1].filterGlob, "BMP Files*.bmp");
    EXPECT_TRUE(requests[1].save);
    EXPECT_EQ(trackingDuringDialogs, (std::vector<int32_t>{0, 0}));
    EXPECT_EQ(skin.hoverTracking, 1);
    EXPECT_TRUE(videoCornersAre(0xFFFFFF));
    EXPECT_EQ(engine.targetDc, nullptr);

    const auto folder = std::filesystem::temp_directory_path() / "skin-input-test";
    std::filesystem::create_directories(folder);
    dialogAnswer = (folder / "shot").string();
    skin.onClick(460, 200);
    EXPECT_EQ(std::filesystem::file_size(folder / "shot.bmp"), 235110u);
    std::filesystem::remove_all(folder);

    // A chosen recording opens on black, drawn into the video surface at the video's size.
    dialogAnswer = "/nonexistent/recording.krm";
    skin.onClick(460, 60);
    EXPECT_EQ(engine.targetDc, skin.video.get());
    EXPECT_EQ(engine.videoRect, (Rect{0, 0, 332, 236}));
    engine.close();
    EXPECT_TRUE(videoCornersAre(0));  // the invalid-file text may stand in the middle
}

TEST_F(SkinInput, TimerTracksHoverAndRequestsARepaintOnlyWhileTracking) {
    const std::pair<Point, std::array<int32_t, 4>> cases[] = {
        {{440, 40}, {1, 0, 0, 0}},  {{487, 87}, {1, 0, 0, 0}},  {{488, 87}, {0, 0, 0, 0}},
        {{460, 130}, {0, 1, 1, 0}}, {{460, 200}, {0, 0, 0, 1}}, {{-5, -5}, {0, 0, 0, 0}},
    };
    // Pictures reach the screen by themselves: a tick asks for a paint only when a highlight
    // differs from what the last paint showed.
    std::array<int32_t, 4> shown = {0, 0, 0, 0};
    for (const auto& [at, hover] : cases) {
        pointer = at;
        skin.needsPaint = false;
        skin.onTimer();
        EXPECT_EQ(
            (std::array<int32_t, 4>{skin.hover[0], skin.hover[1], skin.hover[2], skin.hover[3]}),
            hover)
            << at.x << ", " << at.y;
        EXPECT_EQ(skin.needsPaint, hover != shown) << at.x << ", " << at.y;
        skin.paint();
        shown = hover;
        skin.needsPaint = false;
        skin.onTimer();
        EXPECT_FALSE(skin.needsPaint) << "nothing changed since the paint";
    }

    // While a dialog is open the event loop goes on ticking, to no effect.
    skin.setDialogPump([this] { skin.onTimer(); });
    pointer = {460, 60};
    skin.needsPaint = false;
    int hoverSeen = 0;
    skin.setFileDialogFunction([&](const FileDialogRequest&, const std::function<void()>& wait) {
        for (int i = 0; i < 3; ++i) {
            wait();
            hoverSeen += skin.hover[0] + (skin.needsPaint ? 1 : 0);
        }
        return std::optional<std::string>();
    });
    skin.onClick(460, 60);
    EXPECT_EQ(hoverSeen, 0);
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
