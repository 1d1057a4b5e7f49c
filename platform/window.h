#pragma once
// The program's one window: borderless, always on top, drawn entirely by the program from
// composed surfaces. The pure-red pixels of a shape surface become see-through where the
// display supports shaped windows; elsewhere (the dummy video driver) the window is a plain
// borderless rectangle.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/geometry.h"

namespace vidora {

class Surface;

class Window {
  public:
    // Creates the window, not yet shown, titled `title` (UTF-8). nullptr when no window can be
    // created (no display, no video driver).
    static std::unique_ptr<Window> create(const char* title);
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // The icon that the desktop shows for the window. A Surface has no alpha, so this icon is
    // opaque; the second form takes a BMP file in memory and keeps its alpha channel.
    void setIcon(const Surface& icon);
    void setIcon(const unsigned char* bmp, std::size_t size);

    // Bounds of the display that holds the window, in desktop pixels.
    Rect desktopBounds() const;

    // Sizes the window, moves it to (x, y), keeps it on top, gives it its shape and shows it.
    // `shape` is a composed window of exactly width × height whose pure-red (255, 0, 0) pixels
    // become see-through; nullptr makes every pixel opaque (a shape of another size counts
    // where it overlaps the window, the rest is opaque).
    void place(int32_t x, int32_t y, int32_t width, int32_t height, const Surface* shape);

    // Copies `composed` to the window's top-left corner and shows it.
    void present(const Surface& composed);
    // Copies only `area` of `composed` to the same place in the window and shows that part.
    void presentArea(const Surface& composed, const Rect& area);

    // The window's top-left corner on the desktop.
    Point position() const;
    void moveTo(int32_t x, int32_t y);
    // The pointer's position on the desktop, read from the display server (not from events, so
    // that it is current while the window itself moves).
    Point globalPointer() const;
    // The pointer's position in window pixels; may be negative or beyond the window.
    Point pointerInWindow() const;
    // Whether the left mouse button is down right now, from the display server.
    bool leftButtonDown() const;
    // Whether pure-red pixels are really see-through (false on displays without shaping).
    bool isShaped() const;
    // Whether the window stays above other windows (place() makes it so). Lifted while the
    // program's own dialogs are open, so that they are never hidden behind it.
    void setKeptOnTop(bool onTop);
    // The display server's id for the window (an X window id), for a dialog in another program
    // that must belong to it; 0 where there is none (the off-screen drivers).
    uint64_t systemId() const;

    // Another client has destroyed the window: nothing more is asked of it, not even its own
    // destruction, which would wait for the display to confirm what can no longer happen.
    void forgetDestroyed();

    // The SDL_Window behind this one, for the platform layer only.
    void* nativeHandle() const;

  private:
    Window() = default;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vidora
