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

TEST_F(WindowTest, PlacesAPlainWindowOnTheDesktopAndReadsThePointerRelativeToIt) {
    EXPECT_FALSE(window_->isShaped());
    const Rect desktop = window_->desktopBounds();
    EXPECT_GE(desktop.width(), 520);

    Surface shape = pattern(520, 276, rgb(255, 0, 0));
    window_->place(30, 40, 520, 276, &shape);
    EXPECT_EQ(window_->position(), (Point{30, 40}));
    window_->moveTo(35, 38);
    EXPECT_EQ(window_->position(), (Point{35, 38}));
    const Point global = window_->globalPointer();
    EXPECT_EQ(window_->pointerInWindow(), (Point{global.x - 35, global.y - 38}));
    EXPECT_FALSE(window_->leftButtonDown());

    // Fullscreen without a shape, and a shape that does not fit the size.
    window_->place(0, 0, desktop.width(), desktop.height(), nullptr);
    EXPECT_EQ(window_->position(), (Point{0, 0}));
    window_->place(12, 14, 548, 420, &shape);
    EXPECT_EQ(window_->position(), (Point{12, 14}));

    const ResourceBytes icon = embeddedResource("icon.bmp");
    window_->setIcon(icon.data, icon.size);
    window_->setIcon(Surface::fromBmp(icon.data, icon.size));
    const unsigned char junk[] = {'B', 'M', 0, 1};
    window_->setIcon(junk, sizeof junk);
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

    // A larger picture is cut at the window's edge.
    window_->present(pattern(600, 500, rgb(0, 0, 255)));
    EXPECT_EQ(lastFrame().pixel(547, 419), xrgbOf(rgb(0, 0, 255)));

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

TEST_F(WindowTest, CloseMessageArrivesOnceAsClose) {
    InputEvent e;
    EXPECT_FALSE(waitEvent(e, 30));
    postCloseMessage();
    ASSERT_TRUE(nextEventOfKind(InputEvent::Kind::Close, e));
    EXPECT_FALSE(waitEvent(e, 30));

    std::thread poster([] { postCloseMessage(); });
    EXPECT_TRUE(nextEventOfKind(InputEvent::Kind::Close, e));
    poster.join();
}

TEST_F(WindowTest, InterruptEndsTheSessionAsQuit) {
    // SDL turns SIGINT into its quit event; a window close must not look like this.
    std::raise(SIGINT);
    InputEvent e;
    EXPECT_TRUE(nextEventOfKind(InputEvent::Kind::Quit, e));
}

}  // namespace
}  // namespace vidora
