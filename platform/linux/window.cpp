// The window on SDL: a shaped window where the display can cut holes into a window (X11's
// shape extension), a plain borderless one where it cannot. The program composes every pixel
// itself and hands SDL finished pictures, so the window's surface is a plain framebuffer.

#include "platform/window.h"

#include <SDL.h>
#include <SDL_shape.h>
#include <SDL_syswm.h>

#include <algorithm>
#include <cstring>

#include "platform/font.h"
#include "platform/sdl_init.h"
#include "platform/surface.h"

namespace vidora {

namespace {

// Pixels of this colour in a shape surface are see-through.
constexpr SDL_Color kShapeKey{255, 0, 0, 255};

SDL_Surface* sdlSurfaceOf(const Surface& s) {
    return static_cast<SDL_Surface*>(s.nativeHandle());
}

bool isXrgb(const SDL_PixelFormat* format) {
    return format->BytesPerPixel == 4 && format->Rmask == 0x00FF0000 &&
           format->Gmask == 0x0000FF00 && format->Bmask == 0x000000FF;
}

}  // namespace

struct Window::Impl {
    SDL_Window* window = nullptr;
    bool shaped = false;
    bool destroyed = false;  // by another client

    ~Impl() {
        if (window != nullptr && !destroyed) {
            // Destroying the window frees its framebuffer surface.
            auto lock = font::lockSdl();
            SDL_DestroyWindow(window);
        }
    }

    void applyShape(int32_t width, int32_t height, const Surface* shape);
};

std::unique_ptr<Window> Window::create(const char* title) {
    if (!ensureSdlSubsystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS)) {
        return nullptr;
    }
    // A window surface backed by a renderer makes SDL re-create the X window with OpenGL the
    // first time the surface is fetched, and the new window has lost its shape.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    // Closing the window is a request to the program, never the end of the session.
    SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");

    auto impl = std::make_unique<Impl>();
    // SDL parks a new shaped window off-screen until place() gives it its size and position.
    impl->window =
        SDL_CreateShapedWindow(title, 0, 0, 1, 1, SDL_WINDOW_HIDDEN | SDL_WINDOW_BORDERLESS);
    impl->shaped = impl->window != nullptr;
    if (impl->window == nullptr) {
        impl->window =
            SDL_CreateWindow(title, 0, 0, 1, 1, SDL_WINDOW_HIDDEN | SDL_WINDOW_BORDERLESS);
    }
    if (impl->window == nullptr) {
        return nullptr;
    }
    std::unique_ptr<Window> w(new Window());
    w->impl_ = std::move(impl);
    return w;
}

Window::~Window() = default;

void Window::setIcon(const Surface& icon) {
    if (!icon.valid()) {
        return;
    }
    // Surfaces carry no alpha, so the icon is opaque.
    SDL_Surface* argb = nullptr;
    {
        auto lock = font::lockSdl();
        argb = SDL_CreateRGBSurfaceWithFormat(0, icon.width(), icon.height(), 32,
                                              SDL_PIXELFORMAT_ARGB8888);
    }
    if (argb == nullptr) {
        return;
    }
    for (int32_t y = 0; y < icon.height(); ++y) {
        const uint32_t* from = icon.row(y);
        auto* to = reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(argb->pixels) +
                                               static_cast<std::ptrdiff_t>(y) * argb->pitch);
        for (int32_t x = 0; x < icon.width(); ++x) {
            to[x] = 0xFF000000u | (from[x] & 0x00FFFFFFu);
        }
    }
    auto lock = font::lockSdl();
    SDL_SetWindowIcon(impl_->window, argb);
    SDL_FreeSurface(argb);
}

void Window::setIcon(const unsigned char* bmp, std::size_t size) {
    if (bmp == nullptr || size == 0 || size > static_cast<std::size_t>(INT32_MAX)) {
        return;
    }
    auto lock = font::lockSdl();
    SDL_RWops* rw = SDL_RWFromConstMem(bmp, static_cast<int>(size));
    if (rw == nullptr) {
        return;
    }
    SDL_Surface* icon = SDL_LoadBMP_RW(rw, 1);
    if (icon == nullptr) {
        return;
    }
    SDL_SetWindowIcon(impl_->window, icon);
    SDL_FreeSurface(icon);
}

Rect Window::desktopBounds() const {
    int display = SDL_GetWindowDisplayIndex(impl_->window);
    SDL_Rect r{0, 0, 0, 0};
    if (display < 0 || SDL_GetDisplayBounds(display, &r) != 0) {
        if (SDL_GetDisplayBounds(0, &r) != 0) {
            return {};
        }
    }
    return {r.x, r.y, r.x + r.w, r.y + r.h};
}

void Window::Impl::applyShape(int32_t width, int32_t height, const Surface* shape) {
    SDL_WindowShapeMode mode{};
    mode.mode = ShapeModeColorKey;
    mode.parameters.colorKey = kShapeKey;

    if (shape != nullptr && shape->valid() && shape->width() == width &&
        shape->height() == height) {
        SDL_SetWindowShape(window, sdlSurfaceOf(*shape), &mode);
        return;
    }
    // No usable shape: a surface without a single key pixel, so every pixel is opaque. A shape
    // of another size keeps its see-through pixels where it overlaps the window.
    SDL_Surface* opaque = nullptr;
    {
        auto lock = font::lockSdl();
        opaque = SDL_CreateRGBSurfaceWithFormat(0, width, height, 32, SDL_PIXELFORMAT_XRGB8888);
        if (opaque != nullptr && shape != nullptr && shape->valid()) {
            // Surfaces without alpha blit as plain copies.
            SDL_BlitSurface(sdlSurfaceOf(*shape), nullptr, opaque, nullptr);
        }
    }
    if (opaque == nullptr) {
        return;
    }
    SDL_SetWindowShape(window, opaque, &mode);
    auto lock = font::lockSdl();
    SDL_FreeSurface(opaque);
}

void Window::place(int32_t x, int32_t y, int32_t width, int32_t height, const Surface* shape) {
    if (width <= 0 || height <= 0) {
        return;
    }
    SDL_SetWindowSize(impl_->window, width, height);
    if (impl_->shaped) {
        impl_->applyShape(width, height, shape);
    }
    // After the shape: shaping a window that was just resized puts it back where it was before
    // the last move, so a position set earlier would be lost.
    SDL_SetWindowPosition(impl_->window, x, y);
    SDL_SetWindowAlwaysOnTop(impl_->window, SDL_TRUE);
    SDL_ShowWindow(impl_->window);
    SDL_RaiseWindow(impl_->window);
}

void Window::present(const Surface& composed) {
    presentArea(composed, Rect{0, 0, composed.width(), composed.height()});
}

void Window::presentArea(const Surface& composed, const Rect& area) {
    if (!composed.valid()) {
        return;
    }
    // Fetched every time: SDL replaces the framebuffer when the window's size changes.
    SDL_Surface* target = nullptr;
    {
        auto lock = font::lockSdl();
        target = SDL_GetWindowSurface(impl_->window);
    }
    if (target == nullptr) {
        return;
    }
    const Rect shown{std::max(area.left, 0), std::max(area.top, 0),
                     std::min({area.right, composed.width(), target->w}),
                     std::min({area.bottom, composed.height(), target->h})};
    if (shown.empty()) {
        return;
    }
    const SDL_Rect rect{shown.left, shown.top, shown.width(), shown.height()};
    if (isXrgb(target->format)) {
        // The common case (a 24-bit X display): the framebuffer has our layout, copy rows.
        for (int32_t y = shown.top; y < shown.bottom; ++y) {
            std::memcpy(static_cast<uint8_t*>(target->pixels) +
                            static_cast<std::ptrdiff_t>(y) * target->pitch +
                            static_cast<std::ptrdiff_t>(shown.left) * 4,
                        composed.row(y) + shown.left,
                        static_cast<std::size_t>(shown.width()) * sizeof(uint32_t));
        }
    } else {
        auto lock = font::lockSdl();
        SDL_Rect source = rect;
        SDL_Rect destination = rect;
        SDL_BlitSurface(sdlSurfaceOf(composed), &source, target, &destination);
    }
    SDL_UpdateWindowSurfaceRects(impl_->window, &rect, 1);
}

Point Window::position() const {
    int x = 0;
    int y = 0;
    SDL_GetWindowPosition(impl_->window, &x, &y);
    return {x, y};
}

void Window::moveTo(int32_t x, int32_t y) {
    // Moving an X window to where it already is costs SDL a wait for a move that never comes.
    if (position() == Point{x, y}) {
        return;
    }
    SDL_SetWindowPosition(impl_->window, x, y);
}

Point Window::globalPointer() const {
    int x = 0;
    int y = 0;
    SDL_GetGlobalMouseState(&x, &y);
    return {x, y};
}

Point Window::pointerInWindow() const {
    const Point pointer = globalPointer();
    const Point origin = position();
    return {pointer.x - origin.x, pointer.y - origin.y};
}

bool Window::leftButtonDown() const {
    return (SDL_GetGlobalMouseState(nullptr, nullptr) & SDL_BUTTON_LMASK) != 0;
}

bool Window::isShaped() const {
    return impl_->shaped;
}

void Window::forgetDestroyed() {
    impl_->destroyed = true;
}

void Window::setKeptOnTop(bool onTop) {
    SDL_SetWindowAlwaysOnTop(impl_->window, onTop ? SDL_TRUE : SDL_FALSE);
    if (onTop) {
        SDL_RaiseWindow(impl_->window);
    }
}

uint64_t Window::systemId() const {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWindowWMInfo(impl_->window, &info) != SDL_TRUE || info.subsystem != SDL_SYSWM_X11) {
        return 0;
    }
    return static_cast<uint64_t>(info.info.x11.window);
}

void* Window::nativeHandle() const {
    return impl_->window;
}

}  // namespace vidora
