// The window and its event queue on SDL's dummy video driver: no display, no shaping, but real
// window state and a framebuffer that SDL can write out as BMP files for the test to read back.

#include "platform/window.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "platform/events.h"
#include "platform/resources.h"
#include "platform/surface.h"

namespace fs = std::filesystem;

namespace vidora {
namespace {

class WindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        ASSERT_TRUE(initEvents());
    }
    void SetUp() override {
        window_ = Window::create("Vidora");
        ASSERT_NE(window_, nullptr);
        drainEvents();
    }

    static void drainEvents() {
        InputEvent e;
        while (waitEvent(e, 0)) {
        }
    }
    // The next event of `kind`, skipping others, waiting at most a few seconds in all.
    static bool nextEventOfKind(InputEvent::Kind kind, InputEvent& out) {
        const uint64_t deadline = monotonicMilliseconds() + 5000;
        while (monotonicMilliseconds() < deadline) {
            if (waitEvent(out, 100) && out.kind == kind) {
                return true;
            }
        }
        return false;
    }

    // A surface filled with one colour, with a different pixel in its top-left and bottom-right
    // corners so that a mirrored or shifted copy shows.
    static Surface pattern(int32_t w, int32_t h, Colorref fill) {
        Surface s(w, h);
        s.fill({0, 0, w, h}, fill);
        s.fill({0, 0, 1, 1}, rgb(1, 2, 3));
        s.fill({w - 1, h - 1, w, h}, rgb(4, 5, 6));
        return s;
    }

    std::unique_ptr<Window> window_;
};

TEST_F(WindowTest, DummyDisplayGivesAPlainWindowOnADesktop) {
    EXPECT_FALSE(window_->isShaped());
    EXPECT_NE(window_->nativeHandle(), nullptr);
    const Rect desktop = window_->desktopBounds();
    EXPECT_FALSE(desktop.empty());
    EXPECT_GE(desktop.width(), 520);
}

TEST_F(WindowTest, PlaceAndMoveSetThePosition) {
    Surface shape = pattern(520, 276, rgb(255, 0, 0));
    window_->place(30, 40, 520, 276, &shape);
    EXPECT_EQ(window_->position(), (Point{30, 40}));
    window_->moveTo(35, 38);
    EXPECT_EQ(window_->position(), (Point{35, 38}));
    // Fullscreen: desktop-sized at the origin, no shape.
    const Rect desktop = window_->desktopBounds();
    window_->place(0, 0, desktop.width(), desktop.height(), nullptr);
    EXPECT_EQ(window_->position(), (Point{0, 0}));
    // A shape that does not fit the size is accepted as well.
    window_->place(12, 14, 548, 420, &shape);
    EXPECT_EQ(window_->position(), (Point{12, 14}));
}

TEST_F(WindowTest, PointerIsReadRelativeToTheWindow) {
    window_->place(100, 50, 520, 276, nullptr);
    const Point global = window_->globalPointer();
    EXPECT_EQ(window_->pointerInWindow(), (Point{global.x - 100, global.y - 50}));
    EXPECT_FALSE(window_->leftButtonDown());
}

TEST_F(WindowTest, IconsAreAccepted) {
    const ResourceBytes icon = embeddedResource("icon.bmp");
    ASSERT_NE(icon.data, nullptr);
    window_->setIcon(icon.data, icon.size);
    window_->setIcon(Surface::fromBmp(icon.data, icon.size));
    // Garbage and empty surfaces change nothing and do no harm.
    const unsigned char junk[] = {'B', 'M', 0, 1};
    window_->setIcon(junk, sizeof junk);
    window_->setIcon(Surface());
}

TEST_F(WindowTest, PresentPutsTheComposedPictureIntoTheWindow) {
    // The dummy driver saves every window update as SDL_window<id>-<n>.bmp in the current
    // folder when this variable is set.
    char folder[] = "/tmp/vidora-window-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const fs::path before = fs::current_path();
    fs::current_path(folder);
    setenv("SDL_VIDEO_DUMMY_SAVE_FRAMES", "1", 1);

    auto lastFrame = [&]() {
        fs::path newest;
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (newest.empty() || entry.path().filename() > newest.filename()) {
                newest = entry.path();
            }
        }
        std::ifstream in(newest, std::ios::binary);
        std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
        return Surface::fromBmp(bytes.data(), bytes.size());
    };

    window_->place(0, 0, 520, 276, nullptr);
    window_->present(pattern(520, 276, rgb(10, 200, 30)));
    Surface shown = lastFrame();
    ASSERT_TRUE(shown.valid());
    EXPECT_EQ(shown.width(), 520);
    EXPECT_EQ(shown.height(), 276);
    EXPECT_EQ(shown.pixel(0, 0), xrgbOf(rgb(1, 2, 3)));
    EXPECT_EQ(shown.pixel(260, 100), xrgbOf(rgb(10, 200, 30)));
    EXPECT_EQ(shown.pixel(519, 275), xrgbOf(rgb(4, 5, 6)));

    // After a mode switch the window has a new size and a new framebuffer.
    window_->place(0, 0, 548, 420, nullptr);
    window_->present(pattern(548, 420, rgb(120, 120, 120)));
    shown = lastFrame();
    ASSERT_TRUE(shown.valid());
    EXPECT_EQ(shown.width(), 548);
    EXPECT_EQ(shown.height(), 420);
    EXPECT_EQ(shown.pixel(547, 419), xrgbOf(rgb(4, 5, 6)));
    EXPECT_EQ(shown.pixel(530, 300), xrgbOf(rgb(120, 120, 120)));

    // A picture larger than the window is cut at the window's edge, a smaller one fills its
    // part of the window.
    window_->present(pattern(600, 500, rgb(0, 0, 255)));
    EXPECT_EQ(lastFrame().pixel(547, 419), xrgbOf(rgb(0, 0, 255)));
    window_->present(pattern(100, 100, rgb(255, 255, 0)));
    shown = lastFrame();
    EXPECT_EQ(shown.pixel(99, 99), xrgbOf(rgb(4, 5, 6)));
    EXPECT_EQ(shown.pixel(50, 50), xrgbOf(rgb(255, 255, 0)));

    unsetenv("SDL_VIDEO_DUMMY_SAVE_FRAMES");
    fs::current_path(before);
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

TEST_F(WindowTest, ShowingTheWindowAsksForAPaint) {
    window_->place(0, 0, 520, 276, nullptr);
    InputEvent e;
    EXPECT_TRUE(nextEventOfKind(InputEvent::Kind::Expose, e));
}

TEST_F(WindowTest, CloseMessageArrivesAsClose) {
    postCloseMessage();
    InputEvent e;
    ASSERT_TRUE(nextEventOfKind(InputEvent::Kind::Close, e));
    // Exactly one: the queue is empty afterwards and the wait times out.
    EXPECT_FALSE(waitEvent(e, 50));
}

TEST_F(WindowTest, CloseMessageFromAnotherThreadWakesTheWait) {
    std::thread poster([] { postCloseMessage(); });
    InputEvent e;
    EXPECT_TRUE(nextEventOfKind(InputEvent::Kind::Close, e));
    poster.join();
}

TEST_F(WindowTest, EmptyQueueTimesOut) {
    InputEvent e;
    EXPECT_FALSE(waitEvent(e, 30));
    EXPECT_FALSE(waitEvent(e, 0));
}

TEST_F(WindowTest, InterruptEndsTheSessionAsQuit) {
    // SDL turns SIGINT into its quit event; a window close must not look like this.
    std::raise(SIGINT);
    InputEvent e;
    EXPECT_TRUE(nextEventOfKind(InputEvent::Kind::Quit, e));
}

}  // namespace
}  // namespace vidora
