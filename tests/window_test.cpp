// The window and its event queue on SDL's dummy video driver, which saves every window update as
// a BMP file when asked to, so that what the window shows can be read back.

#include "platform/window.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "platform/events.h"
#include "platform/resources.h"
#include "platform/surface.h"

namespace vidora {
namespace {

namespace fs = std::filesystem;

class WindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(initEvents()); }
    void SetUp() override {
        window = Window::create("Vidora");
        ASSERT_NE(window, nullptr);
        while (waitEvent(event, 0)) {
        }
    }
    // Waits a few seconds at most for an event of `kind`, skipping others.
    bool next(InputEvent::Kind kind) {
        for (uint64_t end = monotonicMilliseconds() + 5000; monotonicMilliseconds() < end;) {
            if (waitEvent(event, 100) && event.kind == kind) {
                return true;
            }
        }
        return false;
    }
    std::unique_ptr<Window> window;
    InputEvent event;
};

TEST_F(WindowTest, PlacesMovesAndShowsWhatIsPresented) {
    const fs::path folder =
        fs::temp_directory_path() / ("vidora-window-" + std::to_string(getpid()));
    fs::create_directories(folder);
    const fs::path before = fs::current_path();
    fs::current_path(folder);
    setenv("SDL_VIDEO_DUMMY_SAVE_FRAMES", "1", 1);
    Surface picture(600, 500);  // every pixel different, larger than the window
    for (int32_t i = 0; i < 600 * 500; ++i) {
        picture.row(i / 600)[i % 600] = static_cast<uint32_t>(i * 7);
    }
    // Pixels of the newest frame the driver saved (SDL_window<id>-<n>.bmp) that differ from
    // `picture` inside `area` or from black outside it; -1 for a frame of another size.
    auto wrongPixels = [&](const Rect& area, int32_t w, int32_t h) {
        std::pair<size_t, fs::path> newest;
        for (const auto& entry : fs::directory_iterator(folder)) {
            newest = std::max(newest, std::pair(entry.path().native().size(), entry.path()));
        }
        std::ifstream in(newest.second, std::ios::binary);
        const std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
        const Surface frame = Surface::fromBmp(bytes.data(), bytes.size());
        int wrong = frame.width() == w && frame.height() == h ? 0 : -1;
        for (int32_t i = 0; i < w * h && wrong >= 0; ++i) {
            const int32_t x = i % w, y = i / w;
            wrong += frame.pixel(x, y) != (area.contains(x, y) ? picture.pixel(x, y) : 0) ? 1 : 0;
        }
        return wrong;
    };

    window->place(30, 40, 520, 276, &picture);
    EXPECT_EQ(window->position(), (Point{30, 40}));
    window->moveTo(35, 38);
    EXPECT_EQ(window->position(), (Point{35, 38}));
    const Point global = window->globalPointer();
    EXPECT_EQ(window->pointerInWindow(), (Point{global.x - 35, global.y - 38}));
    window->present(picture);
    EXPECT_EQ(wrongPixels({0, 0, 520, 276}, 520, 276), 0);
    // A mode switch gives a new size; a part of the picture can be shown alone.
    window->place(0, 0, 548, 420, nullptr);
    window->present(Surface(548, 420));
    window->presentArea(picture, {100, 50, 300, 150});
    EXPECT_EQ(wrongPixels({100, 50, 300, 150}, 548, 420), 0);
    window->setIcon(embeddedResource("icon.bmp").data, 20);  // a broken icon is ignored
    unsetenv("SDL_VIDEO_DUMMY_SAVE_FRAMES");
    fs::current_path(before);
    fs::remove_all(folder);
}

TEST_F(WindowTest, EventsExposeCloseOnceFromAnyThreadAndInterruptAsQuit) {
    window->place(0, 0, 520, 276, nullptr);
    EXPECT_TRUE(next(InputEvent::Kind::Expose)) << "a shown window asks for a paint";
    postCloseMessage();
    EXPECT_TRUE(next(InputEvent::Kind::Close));
    EXPECT_FALSE(waitEvent(event, 30)) << "one message, one event";
    std::thread([] { postCloseMessage(); }).join();
    EXPECT_TRUE(next(InputEvent::Kind::Close));
    std::raise(SIGINT);  // the session ends: never taken for a window close
    EXPECT_TRUE(next(InputEvent::Kind::Quit));
}

}  // namespace
}  // namespace vidora
