// The window on Win32: a popup window, always on top, layered so that a colour key makes the
// skin's pure-red pixels see-through. The window keeps a copy of what it shows (a DIB section of
// its size) from which it repaints itself; presenting writes into that copy and blits the part
// that changed.
//
// A colour key would punch a hole wherever pure red appears, a recording's pictures included.
// The window's see-through pixels are those of the shape it was placed with, as on Linux, so the
// copy holds pure red exactly there: a pure-red pixel of the composed picture is shown as
// (254, 0, 0) and the shape's key pixels as pure red, whatever the picture has there.

#include "platform/window.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/surface.h"
#include "platform/windows/win32_internal.h"

#include <shellapi.h>

namespace vidora {

namespace {

constexpr COLORREF kKeyColour = RGB(255, 0, 0);
constexpr uint32_t kKeyPixel = 0x00FF0000;      // pure red as a surface word
constexpr uint32_t kNearKeyPixel = 0x00FE0000;  // what a picture's pure red is shown as
constexpr uint32_t kRgbMask = 0x00FFFFFF;

// One row's run of see-through pixels, [left, right).
struct KeyRun {
    int32_t y;
    int32_t left;
    int32_t right;
};

HDC dcOf(const Surface& s) {
    return static_cast<win32::GdiSurface*>(s.nativeHandle())->dc;
}

// A 32-bit icon from `w` × `h` pixels of 0xAARRGGBB, top row first.
HICON iconFromArgb(const uint32_t* argb, int32_t w, int32_t h) {
    BITMAPV5HEADER header{};
    header.bV5Size = sizeof header;
    header.bV5Width = w;
    header.bV5Height = -h;
    header.bV5Planes = 1;
    header.bV5BitCount = 32;
    header.bV5Compression = BI_BITFIELDS;
    header.bV5RedMask = 0x00FF0000;
    header.bV5GreenMask = 0x0000FF00;
    header.bV5BlueMask = 0x000000FF;
    header.bV5AlphaMask = 0xFF000000;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HBITMAP colour = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header),
                                      DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (colour == nullptr || bits == nullptr) {
        return nullptr;
    }
    std::memcpy(bits, argb, static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
    HBITMAP mask = CreateBitmap(w, h, 1, 1, nullptr);  // the alpha decides; the mask is unused
    ICONINFO info{TRUE, 0, 0, mask, colour};
    HICON icon = CreateIconIndirect(&info);
    DeleteObject(mask);
    DeleteObject(colour);
    return icon;
}

// The pixels with their alpha of an uncompressed 32-bit BMP file (masks in the usual
// blue-green-red-alpha order); empty for any other kind.
std::vector<uint32_t> argbOfBmp(const unsigned char* bmp, std::size_t size, int32_t& w,
                                int32_t& h) {
    constexpr std::size_t kFileHeader = 14;
    if (size < kFileHeader + sizeof(BITMAPINFOHEADER) || bmp[0] != 'B' || bmp[1] != 'M') {
        return {};
    }
    uint32_t offset = 0;
    std::memcpy(&offset, bmp + 10, 4);
    BITMAPV5HEADER header{};
    uint32_t headerBytes = 0;
    std::memcpy(&headerBytes, bmp + kFileHeader, 4);
    headerBytes = std::min<uint32_t>(headerBytes, sizeof header);
    if (headerBytes < sizeof(BITMAPINFOHEADER) || kFileHeader + headerBytes > size) {
        return {};
    }
    std::memcpy(&header, bmp + kFileHeader, headerBytes);
    const bool standardMasks =
        header.bV5Compression == BI_RGB ||
        (header.bV5Compression == BI_BITFIELDS && headerBytes >= sizeof(BITMAPV4HEADER) &&
         header.bV5RedMask == 0x00FF0000 && header.bV5GreenMask == 0x0000FF00 &&
         header.bV5BlueMask == 0x000000FF && header.bV5AlphaMask == 0xFF000000);
    const int64_t width = header.bV5Width;
    const int64_t height = header.bV5Height < 0 ? -int64_t{header.bV5Height} : header.bV5Height;
    if (header.bV5BitCount != 32 || !standardMasks || width <= 0 || height <= 0 || width > 1024 ||
        height > 1024 || offset > size ||
        static_cast<uint64_t>(width * height * 4) > size - offset) {
        return {};
    }
    w = static_cast<int32_t>(width);
    h = static_cast<int32_t>(height);
    std::vector<uint32_t> pixels(static_cast<std::size_t>(width * height));
    for (int32_t y = 0; y < h; ++y) {
        const int32_t fileRow = header.bV5Height < 0 ? y : h - 1 - y;
        std::memcpy(pixels.data() + static_cast<std::size_t>(y) * w,
                    bmp + offset + static_cast<std::size_t>(fileRow) * w * 4,
                    static_cast<std::size_t>(w) * 4);
    }
    return pixels;
}

}  // namespace

struct Window::Impl {
    HWND hwnd = nullptr;
    bool destroyed = false;
    HICON icon = nullptr;
    // What the window shows, its size; the window repaints from it.
    Surface shown;
    // The see-through pixels of the current shape, row by row; none without a colour key.
    std::vector<KeyRun> keyRuns;
    bool keyed = false;

    ~Impl() {
        if (hwnd != nullptr && !destroyed) {
            // The window procedure takes the destruction of a window without this for one that
            // the program did not ask for.
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
            DestroyWindow(hwnd);
        }
        if (icon != nullptr) {
            DestroyIcon(icon);
        }
    }

    void setShape(int32_t width, int32_t height, const Surface* shape);
    void copyToShown(const Surface& composed, const Rect& area);
    void blit(const Rect& area);
    void replaceIcon(HICON replacement);
};

std::unique_ptr<Window> Window::create(const char* title) {
    auto impl = std::make_unique<Impl>();
    // Not shown until place() gives it its size, position and shape. A layered window shows
    // nothing until its layering is set: fully opaque to begin with.
    impl->hwnd =
        CreateWindowExW(WS_EX_LAYERED | WS_EX_TOPMOST | WS_EX_APPWINDOW, win32::playerWindowClass(),
                        win32::wideFromUtf8(title).c_str(), WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX,
                        0, 0, 1, 1, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (impl->hwnd == nullptr) {
        return nullptr;
    }
    SetLayeredWindowAttributes(impl->hwnd, 0, 255, LWA_ALPHA);
    // What WM_PAINT repaints from; the surface object stays where it is when it is replaced.
    SetWindowLongPtrW(impl->hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&impl->shown));
    DragAcceptFiles(impl->hwnd, TRUE);
    std::unique_ptr<Window> w(new Window());
    w->impl_ = std::move(impl);
    return w;
}

Window::~Window() = default;

void Window::Impl::replaceIcon(HICON replacement) {
    if (replacement == nullptr) {
        return;
    }
    // Windows scales the one picture for the title-bar and taskbar sizes.
    SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(replacement));
    SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(replacement));
    if (icon != nullptr) {
        DestroyIcon(icon);
    }
    icon = replacement;
}

void Window::setIcon(const Surface& icon) {
    if (!icon.valid()) {
        return;
    }
    std::vector<uint32_t> argb(static_cast<std::size_t>(icon.width()) * icon.height());
    for (int32_t y = 0; y < icon.height(); ++y) {
        for (int32_t x = 0; x < icon.width(); ++x) {
            argb[static_cast<std::size_t>(y) * icon.width() + x] = 0xFF000000u | icon.pixel(x, y);
        }
    }
    impl_->replaceIcon(iconFromArgb(argb.data(), icon.width(), icon.height()));
}

void Window::setIcon(const unsigned char* bmp, std::size_t size) {
    if (bmp == nullptr || size == 0) {
        return;
    }
    int32_t w = 0;
    int32_t h = 0;
    const std::vector<uint32_t> argb = argbOfBmp(bmp, size, w, h);
    if (!argb.empty()) {
        impl_->replaceIcon(iconFromArgb(argb.data(), w, h));
        return;
    }
    setIcon(Surface::fromBmp(bmp, size));  // other kinds of bitmap: opaque
}

Rect Window::desktopBounds() const {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    HMONITOR monitor = MonitorFromWindow(impl_->hwnd, MONITOR_DEFAULTTONEAREST);
    if (monitor == nullptr || !GetMonitorInfoW(monitor, &info)) {
        return {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    }
    return {info.rcMonitor.left, info.rcMonitor.top, info.rcMonitor.right, info.rcMonitor.bottom};
}

void Window::Impl::setShape(int32_t width, int32_t height, const Surface* shape) {
    keyRuns.clear();
    if (shape != nullptr && shape->valid()) {
        // A shape of another size counts where it overlaps the window.
        const int32_t rows = std::min(height, shape->height());
        const int32_t columns = std::min(width, shape->width());
        for (int32_t y = 0; y < rows; ++y) {
            const uint32_t* row = shape->row(y);
            for (int32_t x = 0; x < columns;) {
                if ((row[x] & kRgbMask) != kKeyPixel) {
                    ++x;
                    continue;
                }
                const int32_t left = x;
                while (x < columns && (row[x] & kRgbMask) == kKeyPixel) {
                    ++x;
                }
                keyRuns.push_back(KeyRun{y, left, x});
            }
        }
    }
    // Modes without red take no key at all: nothing of theirs can become see-through.
    keyed = !keyRuns.empty();
    if (keyed) {
        SetLayeredWindowAttributes(hwnd, kKeyColour, 0, LWA_COLORKEY);
    } else {
        SetLayeredWindowAttributes(hwnd, 0, 255, LWA_ALPHA);
    }
}

void Window::place(int32_t x, int32_t y, int32_t width, int32_t height, const Surface* shape) {
    if (width <= 0 || height <= 0) {
        return;
    }
    if (impl_->shown.width() != width || impl_->shown.height() != height) {
        impl_->shown = Surface(width, height);
    }
    impl_->setShape(width, height, shape);
    // Until the program presents its picture: black, and see-through where the shape says.
    Surface black(width, height);
    impl_->copyToShown(black, Rect{0, 0, width, height});
    SetWindowPos(impl_->hwnd, HWND_TOPMOST, x, y, width, height, SWP_SHOWWINDOW);
    SetForegroundWindow(impl_->hwnd);
    InvalidateRect(impl_->hwnd, nullptr, FALSE);
}

void Window::Impl::copyToShown(const Surface& composed, const Rect& area) {
    const std::size_t bytes = static_cast<std::size_t>(area.width()) * sizeof(uint32_t);
    for (int32_t y = area.top; y < area.bottom; ++y) {
        uint32_t* out = shown.row(y) + area.left;
        std::memcpy(out, composed.row(y) + area.left, bytes);
        if (keyed) {
            for (int32_t i = 0; i < area.width(); ++i) {
                if ((out[i] & kRgbMask) == kKeyPixel) {
                    out[i] = kNearKeyPixel;
                }
            }
        }
    }
    // The runs are sorted by row: only those of the rows presented are looked at.
    auto run = std::lower_bound(keyRuns.begin(), keyRuns.end(), area.top,
                                [](const KeyRun& r, int32_t y) { return r.y < y; });
    for (; run != keyRuns.end() && run->y < area.bottom; ++run) {
        const int32_t left = std::max(run->left, area.left);
        const int32_t right = std::min(run->right, area.right);
        if (left < right) {
            std::fill(shown.row(run->y) + left, shown.row(run->y) + right, kKeyPixel);
        }
    }
}

void Window::Impl::blit(const Rect& area) {
    HDC target = GetDC(hwnd);
    if (target == nullptr) {
        return;
    }
    BitBlt(target, area.left, area.top, area.width(), area.height(), dcOf(shown), area.left,
           area.top, SRCCOPY);
    ReleaseDC(hwnd, target);
}

void Window::present(const Surface& composed) {
    presentArea(composed, Rect{0, 0, composed.width(), composed.height()});
}

void Window::presentArea(const Surface& composed, const Rect& area) {
    if (!composed.valid() || !impl_->shown.valid()) {
        return;
    }
    const Rect clipped{std::max(area.left, 0), std::max(area.top, 0),
                       std::min({area.right, composed.width(), impl_->shown.width()}),
                       std::min({area.bottom, composed.height(), impl_->shown.height()})};
    if (clipped.empty()) {
        return;
    }
    impl_->copyToShown(composed, clipped);
    impl_->blit(clipped);
}

namespace win32 {

void paintFromLastPresented(HWND hwnd) {
    PAINTSTRUCT paint;
    HDC target = BeginPaint(hwnd, &paint);
    const auto* shown = reinterpret_cast<const Surface*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (target != nullptr && shown != nullptr && shown->valid()) {
        const RECT& r = paint.rcPaint;
        BitBlt(target, r.left, r.top, r.right - r.left, r.bottom - r.top, dcOf(*shown), r.left,
               r.top, SRCCOPY);
    }
    EndPaint(hwnd, &paint);
}

}  // namespace win32

Point Window::position() const {
    RECT r{};
    GetWindowRect(impl_->hwnd, &r);
    return {r.left, r.top};
}

void Window::moveTo(int32_t x, int32_t y) {
    SetWindowPos(impl_->hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

Point Window::globalPointer() const {
    POINT p{};
    GetCursorPos(&p);
    return {p.x, p.y};
}

Point Window::pointerInWindow() const {
    const Point pointer = globalPointer();
    const Point origin = position();
    return {pointer.x - origin.x, pointer.y - origin.y};
}

bool Window::leftButtonDown() const {
    // The primary button: GetAsyncKeyState reads the physical buttons, and a user who swapped
    // them presses the right one.
    const int button = GetSystemMetrics(SM_SWAPBUTTON) ? VK_RBUTTON : VK_LBUTTON;
    return (GetAsyncKeyState(button) & 0x8000) != 0;
}

bool Window::isShaped() const {
    return true;  // every layered window can take a colour key
}

void Window::setKeptOnTop(bool onTop) {
    SetWindowPos(impl_->hwnd, onTop ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

uint64_t Window::systemId() const {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(impl_->hwnd));
}

void Window::forgetDestroyed() {
    impl_->destroyed = true;
}

void* Window::nativeHandle() const {
    return impl_->hwnd;
}

}  // namespace vidora
