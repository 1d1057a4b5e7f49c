#pragma once
// Rectangles and colours as the skin and the engine speak of them: client pixels with right and
// bottom exclusive, and colours in the 0x00BBGGRR order the design's colour values are given in.

#include <cstdint>

namespace vidora {

struct Rect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;

    int32_t width() const { return right - left; }
    int32_t height() const { return bottom - top; }
    // Left and top inclusive, right and bottom exclusive.
    bool contains(int32_t x, int32_t y) const {
        return x >= left && x < right && y >= top && y < bottom;
    }
    bool empty() const { return right <= left || bottom <= top; }
    friend bool operator==(const Rect&, const Rect&) = default;
};

struct Point {
    int32_t x = 0;
    int32_t y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

// The next multiple of 4 from v up: picture and bitmap widths are kept to whole 4-pixel steps.
constexpr int32_t roundUpTo4(int32_t v) {
    return v % 4 == 0 ? v : v + 4 - v % 4;
}

// 0x00BBGGRR.
using Colorref = uint32_t;

constexpr Colorref rgb(uint8_t r, uint8_t g, uint8_t b) {
    return static_cast<Colorref>(r) | (static_cast<Colorref>(g) << 8) |
           (static_cast<Colorref>(b) << 16);
}
constexpr uint8_t redOf(Colorref c) {
    return c & 0xFF;
}
constexpr uint8_t greenOf(Colorref c) {
    return (c >> 8) & 0xFF;
}
constexpr uint8_t blueOf(Colorref c) {
    return (c >> 16) & 0xFF;
}

// A surface pixel, 0x00RRGGBB, as stored in a 32-bit XRGB surface.
constexpr uint32_t xrgbOf(Colorref c) {
    return (static_cast<uint32_t>(redOf(c)) << 16) | (static_cast<uint32_t>(greenOf(c)) << 8) |
           blueOf(c);
}

}  // namespace vidora
