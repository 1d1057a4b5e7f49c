// A Surface on GDI: a 32-bit top-down DIB section selected into a memory DC of its own, so that
// the program writes the pixels directly and GDI draws text into the same memory and copies it
// to the window. Fills, copies and picture conversion touch the memory directly (they must clip
// at coordinates GDI cannot take); bitmaps are decoded and text is drawn by GDI.

#include "platform/surface.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/surface_internal.h"
#include "platform/windows/win32_internal.h"

namespace vidora {
namespace {

using surface_internal::Box;
using surface_internal::boxOf;
using surface_internal::intersect;

win32::GdiSurface* gdi(void* native) {
    return static_cast<win32::GdiSurface*>(native);
}

COLORREF colorrefOf(Colorref c) {
    return RGB(redOf(c), greenOf(c), blueOf(c));
}

// --- BMP files -----------------------------------------------------------------------------------

template <typename T>
T readLe(const unsigned char* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

constexpr std::size_t kFileHeaderBytes = 14;
constexpr DWORD kSrgbColourSpace = 0x73524742;  // LCS_sRGB, 'sRGB'

// A BMP file's header, colour masks and palette copied into aligned memory for GDI, and where
// its pixel rows are. Every size is checked against the file's length first, so that GDI never
// reads past the end of the bytes it is given.
struct ParsedBmp {
    std::vector<uint32_t> info;  // BITMAPINFO: header, masks, palette
    const unsigned char* bits = nullptr;
    int32_t width = 0;
    int32_t height = 0;  // rows, whatever their order in the file
};

bool parseBmp(const unsigned char* data, std::size_t size, ParsedBmp& out) {
    if (data == nullptr || size < kFileHeaderBytes + sizeof(BITMAPINFOHEADER) || data[0] != 'B' ||
        data[1] != 'M') {
        return false;
    }
    const uint32_t bitsOffset = readLe<uint32_t>(data + 10);
    const uint32_t headerBytes = readLe<uint32_t>(data + kFileHeaderBytes);
    // BITMAPINFOHEADER and the V2 to V5 headers that extend it; not the old core header.
    if (headerBytes < sizeof(BITMAPINFOHEADER) || headerBytes > sizeof(BITMAPV5HEADER) ||
        kFileHeaderBytes + headerBytes > size) {
        return false;
    }
    BITMAPV5HEADER header{};
    std::memcpy(&header, data + kFileHeaderBytes, headerBytes);
    const int64_t width = header.bV5Width;
    const int64_t height = header.bV5Height < 0 ? -int64_t{header.bV5Height} : header.bV5Height;
    const uint32_t bpp = header.bV5BitCount;
    const uint32_t compression = header.bV5Compression;
    if (width <= 0 || height <= 0 || width * height > INT32_MAX / 4 || header.bV5Planes != 1) {
        return false;
    }
    const bool rle = (compression == BI_RLE8 && bpp == 8) || (compression == BI_RLE4 && bpp == 4);
    const bool masks = compression == BI_BITFIELDS && (bpp == 16 || bpp == 32);
    const bool plain = compression == BI_RGB &&
                       (bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32);
    if (!(rle || masks || plain) || (rle && header.bV5Height < 0)) {
        return false;
    }
    // Colour masks follow a plain info header; the longer headers hold them.
    const std::size_t maskBytes = masks && headerBytes == sizeof(BITMAPINFOHEADER) ? 12 : 0;
    const uint64_t colours =
        bpp <= 8 ? (header.bV5ClrUsed != 0 ? header.bV5ClrUsed : 1u << bpp) : 0;
    if (colours > 256) {
        return false;
    }
    const std::size_t tableBytes = maskBytes + static_cast<std::size_t>(colours) * 4;
    if (kFileHeaderBytes + headerBytes + tableBytes > size || bitsOffset > size) {
        return false;
    }
    const uint64_t available = size - bitsOffset;
    const uint64_t stride = (static_cast<uint64_t>(width) * bpp + 31) / 32 * 4;
    const uint64_t needed = rle ? header.bV5SizeImage : stride * static_cast<uint64_t>(height);
    if (needed == 0 || needed > available) {
        return false;
    }
    // A colour profile is looked for at an offset of its own; the pixels are taken as sRGB.
    if (headerBytes >= sizeof(BITMAPV4HEADER)) {
        header.bV5CSType = kSrgbColourSpace;
    }
    if (rle) {
        header.bV5SizeImage = static_cast<DWORD>(needed);
    }
    out.info.assign((headerBytes + tableBytes + 3) / 4, 0);
    auto* info = reinterpret_cast<unsigned char*>(out.info.data());
    std::memcpy(info, &header, headerBytes);
    std::memcpy(info + headerBytes, data + kFileHeaderBytes + headerBytes, tableBytes);
    out.bits = data + bitsOffset;
    out.width = static_cast<int32_t>(width);
    out.height = static_cast<int32_t>(height);
    return true;
}

}  // namespace

Surface::Surface(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0 ||
        static_cast<int64_t>(width) * height > INT32_MAX / static_cast<int64_t>(sizeof(uint32_t))) {
        return;
    }
    auto* native = new win32::GdiSurface;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top row first, like every surface of the program
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    native->dc = CreateCompatibleDC(nullptr);
    if (native->dc != nullptr) {
        native->bitmap = CreateDIBSection(native->dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    }
    if (native->bitmap == nullptr || bits == nullptr) {
        if (native->dc != nullptr) {
            DeleteDC(native->dc);
        }
        delete native;
        return;
    }
    native->previousBitmap = SelectObject(native->dc, native->bitmap);
    native_ = native;
    pixels_ = static_cast<uint32_t*>(bits);
    width_ = width;
    height_ = height;
    pitchPixels_ = width;  // 32-bit rows need no padding
    std::memset(pixels_, 0, static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
}

void Surface::reset() {
    if (win32::GdiSurface* native = gdi(native_)) {
        SelectObject(native->dc, native->previousBitmap);
        DeleteObject(native->bitmap);  // frees the pixels
        DeleteDC(native->dc);
        delete native;
    }
    native_ = nullptr;
    pixels_ = nullptr;
    width_ = height_ = pitchPixels_ = 0;
}

Surface Surface::fromBmp(const unsigned char* data, std::size_t size) {
    ParsedBmp bmp;
    if (!parseBmp(data, size, bmp)) {
        return {};
    }
    Surface out(bmp.width, bmp.height);
    if (!out.valid()) {
        return {};
    }
    const auto* info = reinterpret_cast<const BITMAPINFO*>(bmp.info.data());
    // GDI converts any depth, palette, mask layout and row order to the surface's pixels.
    const int lines = SetDIBitsToDevice(
        gdi(out.native_)->dc, 0, 0, static_cast<DWORD>(bmp.width), static_cast<DWORD>(bmp.height),
        0, 0, 0, static_cast<UINT>(bmp.height), bmp.bits, info, DIB_RGB_COLORS);
    GdiFlush();
    if (lines <= 0) {
        return {};
    }
    // A 32-bit bitmap's alpha is copied as it is; the top byte of a surface word means nothing.
    out.keepRgbOnly();
    return out;
}

namespace {

constexpr UINT kLineFormat = DT_SINGLELINE | DT_NOPREFIX | DT_LEFT | DT_TOP;

// The width and height of one line as DrawTextW lays it out (with the system's font fallback,
// where it takes glyphs from another face); under lockText().
SIZE lineExtent(HDC dc, const std::wstring& text) {
    RECT r{0, 0, 0, 0};
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, kLineFormat | DT_CALCRECT);
    return {r.right - r.left, r.bottom - r.top};
}

}  // namespace

Point Surface::textExtent(std::string_view utf8) {
    const std::wstring text = win32::wideFromUtf8(utf8);
    if (text.empty()) {
        return {0, 0};
    }
    auto lock = win32::lockText();
    if (win32::interfaceFont() == nullptr) {
        return {0, 0};
    }
    const SIZE size = lineExtent(win32::measuringDc(), text);
    return {size.cx, size.cy};
}

void Surface::drawTextImpl(std::string_view utf8, const Rect& box, TextAlign align,
                           Colorref textColor, const Colorref* backgroundColor) {
    if (!valid() || utf8.empty()) {
        return;
    }
    const Box target = boxOf(box);
    const Box clip = intersect(target, Box{0, 0, width_, height_});
    if (clip.empty()) {
        return;
    }
    const std::wstring text = win32::wideFromUtf8(utf8);
    auto lock = win32::lockText();
    HFONT font = win32::interfaceFont();
    if (text.empty() || font == nullptr) {
        return;
    }
    const SIZE size = lineExtent(win32::measuringDc(), text);
    const int64_t x = align == TextAlign::Left
                          ? target.left
                          : target.left + (target.right - target.left - size.cx) / 2;
    const int64_t y = align == TextAlign::TopCentre
                          ? target.top
                          : target.top + (target.bottom - target.top - size.cy) / 2;
    // GDI takes coordinates of 27 bits at most: only a line that reaches the clip is drawn, and
    // such a line lies within a line's length of the surface.
    if (intersect(Box{x, y, x + size.cx, y + size.cy}, clip).empty()) {
        return;
    }
    HDC dc = gdi(native_)->dc;
    const int saved = SaveDC(dc);
    IntersectClipRect(dc, static_cast<int>(clip.left), static_cast<int>(clip.top),
                      static_cast<int>(clip.right), static_cast<int>(clip.bottom));
    SelectObject(dc, font);
    SetTextColor(dc, colorrefOf(textColor));
    // Opaque: GDI fills the line's cells (its width by the font's height) behind the glyphs.
    SetBkMode(dc, backgroundColor != nullptr ? OPAQUE : TRANSPARENT);
    if (backgroundColor != nullptr) {
        SetBkColor(dc, colorrefOf(*backgroundColor));
    }
    RECT line{static_cast<LONG>(x), static_cast<LONG>(y), static_cast<LONG>(x + size.cx),
              static_cast<LONG>(y + size.cy)};
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &line, kLineFormat | DT_NOCLIP);
    RestoreDC(dc, saved);  // also takes the font out of this DC again
    // GDI may batch what it draws; the program reads the pixels directly next.
    GdiFlush();
}

bool textFontAvailable() {
    auto lock = win32::lockText();
    return win32::interfaceFont() != nullptr;
}

}  // namespace vidora
