#pragma once
// An owned off-screen picture: 32-bit XRGB pixels (0x00RRGGBB), top row first. The top byte of a
// word means nothing: whoever writes pixels directly (the video scaler writes 0xFF there) may
// leave anything in it, and everything that reads colours ignores it. It stands in for
// a memory device context with a bitmap selected into it: fills, clipped copies, upright copies
// of bottom-up BGR images and one line of text. Works without any display.
//
// A Surface is not locked: two threads may use two different surfaces at once, and whoever
// shares one surface between threads guards it. Text rendering is serialised inside the layer.

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/geometry.h"

namespace vidora {

class Surface {
  public:
    Surface() = default;
    // A width × height surface, all black. Zero or negative sizes give an invalid surface.
    Surface(int32_t width, int32_t height);
    ~Surface();
    Surface(Surface&& other) noexcept;
    Surface& operator=(Surface&& other) noexcept;
    Surface(const Surface&) = delete;
    Surface& operator=(const Surface&) = delete;

    // Decodes a BMP file held in memory (any bit depth the system reads) into a new surface; an
    // invalid surface when the bytes are not a readable bitmap.
    static Surface fromBmp(const unsigned char* data, std::size_t size);

    bool valid() const { return pixels_ != nullptr; }
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    // Pixels per row in memory (at least width()).
    int32_t pitchPixels() const { return pitchPixels_; }
    uint32_t* row(int32_t y) { return pixels_ + static_cast<std::ptrdiff_t>(y) * pitchPixels_; }
    const uint32_t* row(int32_t y) const {
        return pixels_ + static_cast<std::ptrdiff_t>(y) * pitchPixels_;
    }
    // 0x00RRGGBB at x, y; 0 outside the surface.
    uint32_t pixel(int32_t x, int32_t y) const;

    // Fills the part of r that lies on the surface with a solid colour.
    void fill(const Rect& r, Colorref color);
    // Copies w × h pixels from (srcX, srcY) of src to (dstX, dstY) here, clipped to both
    // surfaces; nothing outside either is read or written. src may not be this surface.
    void copyFrom(const Surface& src, int32_t srcX, int32_t srcY, int32_t w, int32_t h,
                  int32_t dstX, int32_t dstY);
    // Copies a w × h image of packed blue-green-red bytes whose first row in memory is the
    // bottom row (rows of stride bytes) upright to (dstX, dstY), clipped to the surface.
    void copyBottomUpBgr(const uint8_t* image, int32_t w, int32_t h, int32_t stride, int32_t dstX,
                         int32_t dstY);
    // The same for an image whose first row in memory is the top row.
    void copyTopDownBgr(const uint8_t* image, int32_t w, int32_t h, int32_t stride, int32_t dstX,
                        int32_t dstY);

    enum class TextAlign {
        TopCentre,  // one line at the top edge of the box, centred horizontally
        Centre,     // one line centred both ways in the box
        Left,       // one line from the left edge of the box, centred vertically
    };
    // The width and the line height of one line of text in the interface font; zeros without
    // a font.
    static Point textExtent(std::string_view utf8);
    // Draws one line of UTF-8 text into box in the 16-pixel interface font. With a background
    // colour the text's cell band is first filled with it (opaque mode); without, only the
    // glyphs are drawn (transparent mode). Pixels outside box and outside the surface are not
    // touched. Without a usable font nothing is drawn.
    void drawText(std::string_view utf8, const Rect& box, TextAlign align, Colorref textColor);
    void drawText(std::string_view utf8, const Rect& box, TextAlign align, Colorref textColor,
                  Colorref backgroundColor);

    // The backend's own object behind this one (an SDL surface, a GDI DIB section), for the
    // platform layer only (window presentation).
    void* nativeHandle() const { return native_; }

  private:
    // Copies w × h pixels whose top row starts at topRow, each next row rowStep bytes on.
    void copyBgrRows(const uint8_t* topRow, int64_t rowStep, int32_t w, int32_t h, int32_t dstX,
                     int32_t dstY);
    void drawTextImpl(std::string_view utf8, const Rect& box, TextAlign align, Colorref textColor,
                      const Colorref* backgroundColor);
    // Clears the top byte of every pixel (after a bitmap was decoded into the surface).
    void keepRgbOnly();
    void reset();

    void* native_ = nullptr;  // the backend's surface
    uint32_t* pixels_ = nullptr;
    int32_t width_ = 0;
    int32_t height_ = 0;
    int32_t pitchPixels_ = 0;
};

// True when the interface font was found and loaded (tests use it to skip text checks on a
// machine without the font).
bool textFontAvailable();

}  // namespace vidora
