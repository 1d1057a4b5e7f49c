// The half of Surface that is the same on every system: moving, reading and filling pixels,
// clipped copies and the conversion of the decoder's pictures. Each backend (platform/linux,
// platform/windows) makes and frees the pixel memory, decodes bitmaps and draws text.

#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/surface.h"
#include "platform/surface_internal.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VIDORA_X86_SIMD 1
#else
#define VIDORA_X86_SIMD 0
#endif

namespace vidora {
namespace {

using surface_internal::Box;
using surface_internal::boxOf;
using surface_internal::intersect;
using surface_internal::kRgbMask;

uint32_t xrgbOfBgr(const uint8_t* bgr) {
    return (static_cast<uint32_t>(bgr[2]) << 16) | (static_cast<uint32_t>(bgr[1]) << 8) | bgr[0];
}

#if VIDORA_X86_SIMD
// Sixteen pixels (48 bytes) per round, regrouped with byte shuffles: every twelve bytes of
// blue-green-red become four words with a zero top byte. Returns the pixels done.
__attribute__((target("ssse3"))) int64_t bgrToXrgbSsse3(const uint8_t* in, uint32_t* out,
                                                        int64_t n) {
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    int64_t i = 0;
    for (; i + 16 <= n; i += 16, in += 48) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32));
        auto* o = reinterpret_cast<__m128i*>(out + i);
        _mm_storeu_si128(o, _mm_shuffle_epi8(a, spread));                              // bytes 0-11
        _mm_storeu_si128(o + 1, _mm_shuffle_epi8(_mm_alignr_epi8(b, a, 12), spread));  // 12-23
        _mm_storeu_si128(o + 2, _mm_shuffle_epi8(_mm_alignr_epi8(c, b, 8), spread));   // 24-35
        _mm_storeu_si128(o + 3, _mm_shuffle_epi8(_mm_srli_si128(c, 4), spread));       // 36-47
    }
    return i;
}

const bool kHasSsse3 = __builtin_cpu_supports("ssse3");
#endif

// Turns n pixels of packed blue-green-red bytes into 0x00RRGGBB words. Every video frame passes
// through here once, so it goes sixteen pixels at a time where the processor can shuffle bytes,
// and otherwise four at a time: on a little-endian machine four pixels are twelve bytes, read
// as three words and regrouped.
void bgrToXrgb(const uint8_t* in, uint32_t* out, int64_t n) {
    int64_t i = 0;
#if VIDORA_X86_SIMD
    if (kHasSsse3) {
        i = bgrToXrgbSsse3(in, out, n);
        in += i * 3;
    }
#endif
    if constexpr (std::endian::native == std::endian::little) {
        for (; i + 4 <= n; i += 4, in += 12) {
            uint32_t a, b, c;  // bytes B0 G0 R0 B1 | G1 R1 B2 G2 | R2 B3 G3 R3, lowest first
            std::memcpy(&a, in, 4);
            std::memcpy(&b, in + 4, 4);
            std::memcpy(&c, in + 8, 4);
            out[i] = a & 0xFFFFFF;
            out[i + 1] = (a >> 24) | ((b & 0xFFFF) << 8);
            out[i + 2] = (b >> 16) | ((c & 0xFF) << 16);
            out[i + 3] = c >> 8;
        }
    }
    for (; i < n; ++i, in += 3) {
        out[i] = xrgbOfBgr(in);
    }
}

// Sets n words to value: black (the bars beside every video frame) goes through memset, other
// colours four words per store where the processor has 16-byte stores.
void fillWords(uint32_t* out, int64_t n, uint32_t value) {
    if (value == 0) {
        std::memset(out, 0, static_cast<size_t>(n) * sizeof(uint32_t));
        return;
    }
    int64_t i = 0;
#if VIDORA_X86_SIMD
    const __m128i four = _mm_set1_epi32(static_cast<int>(value));
    for (; i + 4 <= n; i += 4) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), four);
    }
#endif
    std::fill(out + i, out + n, value);
}

}  // namespace

Surface::~Surface() {
    reset();
}

Surface::Surface(Surface&& other) noexcept
    : native_(other.native_),
      pixels_(other.pixels_),
      width_(other.width_),
      height_(other.height_),
      pitchPixels_(other.pitchPixels_) {
    other.native_ = nullptr;
    other.pixels_ = nullptr;
    other.width_ = other.height_ = other.pitchPixels_ = 0;
}

Surface& Surface::operator=(Surface&& other) noexcept {
    if (this != &other) {
        reset();
        native_ = other.native_;
        pixels_ = other.pixels_;
        width_ = other.width_;
        height_ = other.height_;
        pitchPixels_ = other.pitchPixels_;
        other.native_ = nullptr;
        other.pixels_ = nullptr;
        other.width_ = other.height_ = other.pitchPixels_ = 0;
    }
    return *this;
}

uint32_t Surface::pixel(int32_t x, int32_t y) const {
    if (!valid() || x < 0 || y < 0 || x >= width_ || y >= height_) {
        return 0;
    }
    return row(y)[x] & kRgbMask;
}

void Surface::fill(const Rect& r, Colorref color) {
    if (!valid()) {
        return;
    }
    const Box area = intersect(boxOf(r), Box{0, 0, width_, height_});
    if (area.empty()) {
        return;
    }
    const uint32_t value = xrgbOf(color);
    for (int64_t y = area.top; y < area.bottom; ++y) {
        fillWords(row(static_cast<int32_t>(y)) + area.left, area.right - area.left, value);
    }
}

void Surface::copyFrom(const Surface& src, int32_t srcX, int32_t srcY, int32_t w, int32_t h,
                       int32_t dstX, int32_t dstY) {
    if (!valid() || !src.valid() || &src == this || w <= 0 || h <= 0) {
        return;
    }
    int64_t sx = srcX, sy = srcY, dx = dstX, dy = dstY, cw = w, ch = h;
    // Cut off what lies before the origin of either surface, moving both corners alike...
    const auto cutBefore = [](int64_t& from, int64_t& to, int64_t& length) {
        const int64_t cut = std::max({int64_t{0}, -from, -to});
        from += cut;
        to += cut;
        length -= cut;
    };
    cutBefore(sx, dx, cw);
    cutBefore(sy, dy, ch);
    // ...then what lies past the far edge of either.
    cw = std::min({cw, src.width_ - sx, width_ - dx});
    ch = std::min({ch, src.height_ - sy, height_ - dy});
    if (cw <= 0 || ch <= 0) {
        return;
    }
    const std::size_t bytes = static_cast<std::size_t>(cw) * sizeof(uint32_t);
    for (int64_t i = 0; i < ch; ++i) {
        std::memcpy(row(static_cast<int32_t>(dy + i)) + dx,
                    src.row(static_cast<int32_t>(sy + i)) + sx, bytes);
    }
}

void Surface::copyBottomUpBgr(const uint8_t* image, int32_t w, int32_t h, int32_t stride,
                              int32_t dstX, int32_t dstY) {
    if (image != nullptr && w > 0 && h > 0 && static_cast<int64_t>(stride) >= int64_t{w} * 3) {
        // The picture's top row is the last in memory, and each lower row one stride before it.
        copyBgrRows(image + static_cast<ptrdiff_t>(h - 1) * stride, -int64_t{stride}, w, h, dstX,
                    dstY);
    }
}

void Surface::copyTopDownBgr(const uint8_t* image, int32_t w, int32_t h, int32_t stride,
                             int32_t dstX, int32_t dstY) {
    if (image != nullptr && w > 0 && h > 0 && static_cast<int64_t>(stride) >= int64_t{w} * 3) {
        copyBgrRows(image, stride, w, h, dstX, dstY);
    }
}

void Surface::copyBgrRows(const uint8_t* topRow, int64_t rowStep, int32_t w, int32_t h,
                          int32_t dstX, int32_t dstY) {
    if (!valid()) {
        return;
    }
    const Box area = intersect(Box{dstX, dstY, int64_t{dstX} + w, int64_t{dstY} + h},
                               Box{0, 0, width_, height_});
    if (area.empty()) {
        return;
    }
    for (int64_t y = area.top; y < area.bottom; ++y) {
        const int64_t imageRow = y - dstY;  // 0 = the top row of the picture
        const uint8_t* in = topRow + imageRow * rowStep + (area.left - dstX) * 3;
        bgrToXrgb(in, row(static_cast<int32_t>(y)) + area.left, area.right - area.left);
    }
}

void Surface::drawText(std::string_view utf8, const Rect& box, TextAlign align,
                       Colorref textColor) {
    drawTextImpl(utf8, box, align, textColor, nullptr);
}

void Surface::drawText(std::string_view utf8, const Rect& box, TextAlign align, Colorref textColor,
                       Colorref backgroundColor) {
    drawTextImpl(utf8, box, align, textColor, &backgroundColor);
}

void Surface::keepRgbOnly() {
    for (int32_t y = 0; y < height_; ++y) {
        uint32_t* r = row(y);
        for (int32_t x = 0; x < width_; ++x) {
            r[x] &= kRgbMask;
        }
    }
}

}  // namespace vidora
