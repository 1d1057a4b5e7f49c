// Tests of the off-screen surface: construction and ownership, clipped fills and copies, upright
// copies of bottom-up BGR images, BMP decoding and the text layer. Nothing here calls SDL_Init.

#include "platform/surface.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace vidora {
namespace {

constexpr uint32_t kSentinel = 0x00ABCDEF;  // "untouched" in the destination of a test

// A surface whose every pixel is different: tag in red, y in green, x in blue.
Surface patterned(int32_t w, int32_t h, uint32_t tag) {
    Surface s(w, h);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            s.row(y)[x] = (tag << 16) | (static_cast<uint32_t>(y) << 8) | static_cast<uint32_t>(x);
        }
    }
    return s;
}

Surface filledWith(int32_t w, int32_t h, uint32_t xrgb) {
    Surface s(w, h);
    for (int32_t y = 0; y < h; ++y) {
        std::fill(s.row(y), s.row(y) + w, xrgb);
    }
    return s;
}

std::vector<uint32_t> snapshot(const Surface& s) {
    std::vector<uint32_t> out;
    for (int32_t y = 0; y < s.height(); ++y) {
        for (int32_t x = 0; x < s.width(); ++x) {
            out.push_back(s.pixel(x, y));
        }
    }
    return out;
}

bool inside(int64_t x, int64_t y, int64_t left, int64_t top, int64_t right, int64_t bottom) {
    return x >= left && x < right && y >= top && y < bottom;
}

// ---------------------------------------------------------------------------------------------
// Construction and ownership

TEST(SurfaceBasics, NewSurfaceIsBlackXrgb8888) {
    Surface s(5, 3);
    ASSERT_TRUE(s.valid());
    EXPECT_EQ(s.width(), 5);
    EXPECT_EQ(s.height(), 3);
    EXPECT_GE(s.pitchPixels(), 5);
    for (int32_t y = 0; y < 3; ++y) {
        for (int32_t x = 0; x < 5; ++x) {
            EXPECT_EQ(s.pixel(x, y), 0u);
            EXPECT_EQ(s.row(y)[x], 0u);
        }
    }
    auto* native = static_cast<SDL_Surface*>(s.nativeHandle());
    ASSERT_NE(native, nullptr);
    EXPECT_EQ(native->format->format, static_cast<Uint32>(SDL_PIXELFORMAT_XRGB8888));
    EXPECT_EQ(native->w, 5);
    EXPECT_EQ(native->h, 3);
    EXPECT_EQ(native->pixels, static_cast<void*>(s.row(0)));
    EXPECT_EQ(native->pitch, s.pitchPixels() * 4);
}

TEST(SurfaceBasics, BadSizesGiveInvalidSurfaces) {
    for (auto [w, h] : std::vector<std::pair<int32_t, int32_t>>{{0, 5},
                                                                {5, 0},
                                                                {-1, 5},
                                                                {5, -1},
                                                                {INT_MIN, INT_MIN},
                                                                {INT_MAX, INT_MAX},
                                                                {1 << 20, 1 << 20}}) {
        Surface s(w, h);
        EXPECT_FALSE(s.valid()) << w << "x" << h;
        EXPECT_EQ(s.nativeHandle(), nullptr);
        EXPECT_EQ(s.pixel(0, 0), 0u);
    }
    Surface empty;
    EXPECT_FALSE(empty.valid());
}

TEST(SurfaceBasics, InvalidSurfacesIgnoreEveryOperation) {
    Surface invalid;
    Surface good = patterned(4, 4, 1);
    const auto before = snapshot(good);
    invalid.fill({0, 0, 10, 10}, rgb(1, 2, 3));
    invalid.copyFrom(good, 0, 0, 4, 4, 0, 0);
    good.copyFrom(invalid, 0, 0, 4, 4, 0, 0);
    const uint8_t bgr[3] = {1, 2, 3};
    invalid.copyBottomUpBgr(bgr, 1, 1, 3, 0, 0);
    invalid.drawText("abc", {0, 0, 10, 10}, Surface::TextAlign::Centre, rgb(255, 255, 255),
                     rgb(0, 0, 0));
    EXPECT_FALSE(invalid.valid());
    EXPECT_EQ(snapshot(good), before);
}

TEST(SurfaceBasics, PixelOutsideIsZero) {
    Surface s = filledWith(3, 2, 0x123456);
    EXPECT_EQ(s.pixel(0, 0), 0x123456u);
    EXPECT_EQ(s.pixel(2, 1), 0x123456u);
    for (auto [x, y] : std::vector<std::pair<int32_t, int32_t>>{
             {-1, 0}, {0, -1}, {3, 0}, {0, 2}, {INT_MIN, 0}, {0, INT_MAX}}) {
        EXPECT_EQ(s.pixel(x, y), 0u) << x << "," << y;
    }
}

TEST(SurfaceBasics, MoveTransfersOwnership) {
    Surface a = patterned(4, 3, 7);
    const auto pixels = snapshot(a);
    void* native = a.nativeHandle();

    Surface b(std::move(a));
    EXPECT_FALSE(a.valid());  // NOLINT(bugprone-use-after-move): moved-from state is specified
    EXPECT_EQ(a.width(), 0);
    ASSERT_TRUE(b.valid());
    EXPECT_EQ(b.nativeHandle(), native);
    EXPECT_EQ(snapshot(b), pixels);

    Surface c(2, 2);  // its own pixels must be freed by the assignment (LeakSanitizer checks)
    c = std::move(b);
    EXPECT_FALSE(b.valid());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(c.width(), 4);
    EXPECT_EQ(snapshot(c), pixels);

    Surface& alias = c;
    c = std::move(alias);  // self-assignment keeps the surface
    ASSERT_TRUE(c.valid());
    EXPECT_EQ(snapshot(c), pixels);
}

// ---------------------------------------------------------------------------------------------
// fill

struct FillCase {
    const char* name;
    Rect r;
};

TEST(SurfaceFill, ClipsToTheSurfaceAtEveryEdge) {
    const FillCase cases[] = {
        {"inside", {1, 1, 4, 3}},
        {"whole", {0, 0, 7, 5}},
        {"off left and top", {-3, -2, 2, 2}},
        {"off right and bottom", {5, 3, 20, 30}},
        {"larger than the surface", {-10, -10, 100, 100}},
        {"extreme", {INT_MIN, INT_MIN, INT_MAX, INT_MAX}},
        {"empty", {2, 2, 2, 4}},
        {"inverted", {5, 4, 1, 1}},
        {"left of the surface", {-5, 0, 0, 5}},
        {"below the surface", {0, 5, 7, 9}},
        {"far away", {INT_MAX - 1, INT_MAX - 1, INT_MAX, INT_MAX}},
    };
    for (const FillCase& c : cases) {
        SCOPED_TRACE(c.name);
        Surface s = filledWith(7, 5, kSentinel);
        s.fill(c.r, rgb(0x11, 0x22, 0x33));
        for (int32_t y = 0; y < 5; ++y) {
            for (int32_t x = 0; x < 7; ++x) {
                const bool in = inside(x, y, c.r.left, c.r.top, c.r.right, c.r.bottom);
                ASSERT_EQ(s.pixel(x, y), in ? 0x112233u : kSentinel) << x << "," << y;
            }
        }
    }
}

TEST(SurfaceFill, StoresTheColourAsXrgb) {
    Surface s(1, 1);
    s.fill({0, 0, 1, 1}, rgb(0xAA, 0xBB, 0xCC));  // Colorref 0x00CCBBAA
    EXPECT_EQ(s.row(0)[0], 0x00AABBCCu);
}

// ---------------------------------------------------------------------------------------------
// copyFrom

struct CopyCase {
    const char* name;
    int32_t srcX, srcY, w, h, dstX, dstY;
};

// What a clipped copy must leave at (x, y) of the destination, computed the plain way: the pixel
// of the requested rectangle that lands there, if it exists in the source, else untouched.
uint32_t expectedAfterCopy(const Surface& src, const CopyCase& c, int32_t x, int32_t y) {
    if (c.w <= 0 || c.h <= 0) {
        return kSentinel;
    }
    const int64_t ox = int64_t{x} - c.dstX;
    const int64_t oy = int64_t{y} - c.dstY;
    if (ox < 0 || oy < 0 || ox >= c.w || oy >= c.h) {
        return kSentinel;
    }
    const int64_t sx = c.srcX + ox;
    const int64_t sy = c.srcY + oy;
    if (sx < 0 || sy < 0 || sx >= src.width() || sy >= src.height()) {
        return kSentinel;
    }
    return src.pixel(static_cast<int32_t>(sx), static_cast<int32_t>(sy));
}

// Source 7 × 5 and destination 9 × 6: different sizes and not square, so swapped widths show.
::testing::AssertionResult copyMatchesModel(const CopyCase& c) {
    const Surface src = patterned(7, 5, 0x42);
    Surface dst = filledWith(9, 6, kSentinel);
    dst.copyFrom(src, c.srcX, c.srcY, c.w, c.h, c.dstX, c.dstY);
    for (int32_t y = 0; y < dst.height(); ++y) {
        for (int32_t x = 0; x < dst.width(); ++x) {
            const uint32_t want = expectedAfterCopy(src, c, x, y);
            if (dst.pixel(x, y) != want) {
                return ::testing::AssertionFailure()
                       << c.name << " (src " << c.srcX << "," << c.srcY << " size " << c.w << "x"
                       << c.h << " dst " << c.dstX << "," << c.dstY << "): pixel " << x << "," << y
                       << " is " << std::hex << dst.pixel(x, y) << ", want " << want;
            }
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(SurfaceCopy, ClipsAgainstBothSurfacesAtEveryEdge) {
    const CopyCase cases[] = {
        {"inside", 1, 1, 3, 2, 2, 3},
        {"whole source", 0, 0, 7, 5, 0, 0},
        {"negative source x", -2, 0, 4, 3, 1, 1},
        {"negative source y", 0, -3, 3, 5, 2, 0},
        {"negative destination x", 1, 1, 4, 3, -2, 1},
        {"negative destination y", 1, 1, 4, 3, 1, -2},
        {"negative source and destination", -2, -1, 6, 5, -1, -3},
        {"past the source's right and bottom", 5, 3, 10, 10, 0, 0},
        {"past the destination's right and bottom", 0, 0, 7, 5, 6, 4},
        {"larger than both", -10, -10, 100, 100, -3, -2},
        {"larger than both, at the origin", 0, 0, INT_MAX, INT_MAX, 0, 0},
        {"zero width", 0, 0, 0, 3, 0, 0},
        {"negative size", 3, 3, -2, -2, 0, 0},
        {"just left of the source", -4, 0, 4, 5, 2, 0},
        {"just right of the source", 7, 0, 4, 5, 0, 0},
        {"just left of the destination", 0, 0, 3, 3, -3, 0},
        {"just below the destination", 0, 0, 3, 3, 0, 6},
        {"extreme source", INT_MIN, INT_MIN, INT_MAX, INT_MAX, 0, 0},
        {"extreme destination", 0, 0, INT_MAX, INT_MAX, INT_MIN, INT_MIN},
        {"extreme everything", INT_MAX, INT_MIN, INT_MAX, INT_MAX, INT_MIN, INT_MAX},
        {"far negative both", INT_MIN, INT_MIN, INT_MAX, INT_MAX, INT_MIN, INT_MIN},
    };
    for (const CopyCase& c : cases) {
        EXPECT_TRUE(copyMatchesModel(c));
    }
}

TEST(SurfaceCopy, SweepOfPositionsAndSizesMatchesTheModel) {
    const int32_t positions[] = {-9, -4, -1, 0, 1, 3, 6, 8, 10};
    const int32_t sizes[] = {1, 2, 5, 12};
    int failures = 0;
    for (int32_t sx : positions) {
        for (int32_t sy : positions) {
            for (int32_t dx : positions) {
                for (int32_t dy : positions) {
                    for (int32_t w : sizes) {
                        for (int32_t h : sizes) {
                            const CopyCase c{"sweep", sx, sy, w, h, dx, dy};
                            const auto result = copyMatchesModel(c);
                            if (!result && ++failures <= 5) {
                                ADD_FAILURE() << result.message();
                            }
                        }
                    }
                }
            }
        }
    }
    EXPECT_EQ(failures, 0);
}

TEST(SurfaceCopy, CopyOntoItselfIsIgnored) {
    Surface s = patterned(4, 4, 3);
    const auto before = snapshot(s);
    s.copyFrom(s, 0, 0, 3, 3, 1, 1);
    EXPECT_EQ(snapshot(s), before);
}

// ---------------------------------------------------------------------------------------------
// copyBottomUpBgr

TEST(SurfaceBottomUpBgr, FirstRowInMemoryBecomesTheBottomRow) {
    // A 1 × 2 image: the bottom pixel (first in memory) is B,G,R = 1,2,3, the top one 4,5,6.
    const std::vector<uint8_t> image = {1, 2, 3, 0, 4, 5, 6, 0};
    Surface s = filledWith(1, 2, kSentinel);
    s.copyBottomUpBgr(image.data(), 1, 2, 4, 0, 0);
    EXPECT_EQ(s.pixel(0, 0), 0x060504u);  // top
    EXPECT_EQ(s.pixel(0, 1), 0x030201u);  // bottom
}

// A w × h image with row padding; upright pixel (x, y) is R = 0x40 + y, G = 0x80 + x,
// B = x * 16 + y. Padding bytes are 0xEE, which no pixel uses.
struct BgrImage {
    int32_t w, h, stride;
    std::vector<uint8_t> bytes;  // exactly stride × h: AddressSanitizer catches reads past it
};

BgrImage makeImage(int32_t w, int32_t h) {
    BgrImage img{w, h, (w * 3 + 3) & ~3, {}};
    img.bytes.assign(static_cast<std::size_t>(img.stride) * h, 0xEE);
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* line = img.bytes.data() + static_cast<std::size_t>(h - 1 - y) * img.stride;
        for (int32_t x = 0; x < w; ++x) {
            line[x * 3 + 0] = static_cast<uint8_t>(x * 16 + y);
            line[x * 3 + 1] = static_cast<uint8_t>(0x80 + x);
            line[x * 3 + 2] = static_cast<uint8_t>(0x40 + y);
        }
    }
    return img;
}

uint32_t imagePixel(int32_t x, int32_t y) {
    return (static_cast<uint32_t>(0x40 + y) << 16) | (static_cast<uint32_t>(0x80 + x) << 8) |
           static_cast<uint32_t>(x * 16 + y);
}

TEST(SurfaceBottomUpBgr, CopiesUprightInChannelOrderAndClips) {
    const BgrImage img = makeImage(5, 3);  // stride 16: one padding byte per row
    const int32_t offsets[] = {-6, -5, -4, -1, 0, 1, 2, 4, 6, 7};
    for (int32_t dx : offsets) {
        for (int32_t dy : offsets) {
            SCOPED_TRACE(::testing::Message() << "at " << dx << "," << dy);
            Surface s = filledWith(7, 5, kSentinel);
            s.copyBottomUpBgr(img.bytes.data(), img.w, img.h, img.stride, dx, dy);
            for (int32_t y = 0; y < 5; ++y) {
                for (int32_t x = 0; x < 7; ++x) {
                    const bool in = inside(x, y, dx, dy, int64_t{dx} + img.w, int64_t{dy} + img.h);
                    ASSERT_EQ(s.pixel(x, y), in ? imagePixel(x - dx, y - dy) : kSentinel)
                        << x << "," << y;
                }
            }
        }
    }
}

TEST(SurfaceBottomUpBgr, ExtremePositionsAndBadArgumentsAreSafe) {
    const BgrImage img = makeImage(4, 4);
    Surface s = filledWith(6, 6, kSentinel);
    const auto before = snapshot(s);
    s.copyBottomUpBgr(img.bytes.data(), img.w, img.h, img.stride, INT_MAX, INT_MAX);
    s.copyBottomUpBgr(img.bytes.data(), img.w, img.h, img.stride, INT_MIN, INT_MIN);
    s.copyBottomUpBgr(img.bytes.data(), img.w, img.h, img.stride, INT_MAX - 1, 0);
    s.copyBottomUpBgr(nullptr, img.w, img.h, img.stride, 0, 0);
    s.copyBottomUpBgr(img.bytes.data(), 0, img.h, img.stride, 0, 0);
    s.copyBottomUpBgr(img.bytes.data(), img.w, -1, img.stride, 0, 0);
    s.copyBottomUpBgr(img.bytes.data(), img.w, img.h, img.w * 3 - 1, 0, 0);  // rows too short
    s.copyBottomUpBgr(img.bytes.data(), img.w, img.h, -img.stride, 0, 0);
    EXPECT_EQ(snapshot(s), before);
}

// ---------------------------------------------------------------------------------------------
// fromBmp

void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(v & 0xFF);
    out.push_back((v >> 8) & 0xFF);
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// A BI_RGB bitmap with a BITMAPINFOHEADER, bottom-up unless topDown; pixel(x, y) gives upright
// 0x00RRGGBB. 32-bit pixels carry fourth in their fourth byte.
template <typename PixelFn>
std::vector<uint8_t> makeBmp(int32_t w, int32_t h, int bits, bool topDown, uint8_t fourth,
                             PixelFn pixel) {
    const int32_t bytesPerPixel = bits / 8;
    const int32_t rowSize = (w * bytesPerPixel + 3) & ~3;
    const uint32_t imageSize = static_cast<uint32_t>(rowSize * h);
    std::vector<uint8_t> out;
    out.push_back('B');
    out.push_back('M');
    put32(out, 14 + 40 + imageSize);  // file size
    put32(out, 0);                    // reserved
    put32(out, 14 + 40);              // offset of the pixels
    put32(out, 40);                   // BITMAPINFOHEADER
    put32(out, static_cast<uint32_t>(w));
    put32(out, static_cast<uint32_t>(topDown ? -h : h));
    put16(out, 1);  // planes
    put16(out, static_cast<uint32_t>(bits));
    put32(out, 0);  // BI_RGB
    put32(out, imageSize);
    put32(out, 2835);  // 72 dpi
    put32(out, 2835);
    put32(out, 0);  // colours used
    put32(out, 0);  // colours important
    for (int32_t memoryRow = 0; memoryRow < h; ++memoryRow) {
        const int32_t y = topDown ? memoryRow : h - 1 - memoryRow;
        const std::size_t start = out.size();
        for (int32_t x = 0; x < w; ++x) {
            const uint32_t p = pixel(x, y);
            out.push_back(p & 0xFF);          // B
            out.push_back((p >> 8) & 0xFF);   // G
            out.push_back((p >> 16) & 0xFF);  // R
            if (bytesPerPixel == 4) {
                out.push_back(fourth);
            }
        }
        while (out.size() - start < static_cast<std::size_t>(rowSize)) {
            out.push_back(0);
        }
    }
    return out;
}

uint32_t bmpPixel(int32_t x, int32_t y) {
    return (static_cast<uint32_t>(0x10 + 0x20 * y) << 16) |
           (static_cast<uint32_t>(0x30 + 0x10 * x) << 8) | static_cast<uint32_t>(0xC0 + x + y);
}

void expectBmpPixels(const Surface& s, int32_t w, int32_t h) {
    ASSERT_TRUE(s.valid());
    ASSERT_EQ(s.width(), w);
    ASSERT_EQ(s.height(), h);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            EXPECT_EQ(s.pixel(x, y), bmpPixel(x, y)) << x << "," << y;
            EXPECT_EQ(s.row(y)[x] >> 24, 0u) << "the X byte stays zero";
        }
    }
}

TEST(SurfaceFromBmp, Reads24BitBottomUp) {
    const auto bmp = makeBmp(3, 2, 24, false, 0, bmpPixel);  // rows of 9 bytes padded to 12
    ASSERT_EQ(bmp.size(), 14u + 40u + 24u);
    expectBmpPixels(Surface::fromBmp(bmp.data(), bmp.size()), 3, 2);
}

TEST(SurfaceFromBmp, Reads24BitTopDown) {
    const auto bmp = makeBmp(3, 4, 24, true, 0, bmpPixel);
    expectBmpPixels(Surface::fromBmp(bmp.data(), bmp.size()), 3, 4);
}

TEST(SurfaceFromBmp, Reads32BitWhateverTheFourthByte) {
    for (uint8_t fourth : {uint8_t{0}, uint8_t{0x80}, uint8_t{0xFF}}) {
        SCOPED_TRACE(static_cast<int>(fourth));
        const auto bmp = makeBmp(2, 3, 32, false, fourth, bmpPixel);
        expectBmpPixels(Surface::fromBmp(bmp.data(), bmp.size()), 2, 3);
    }
}

TEST(SurfaceFromBmp, GarbageGivesAnInvalidSurface) {
    const std::string garbage = "this is not a bitmap at all, just some bytes";
    EXPECT_FALSE(
        Surface::fromBmp(reinterpret_cast<const unsigned char*>(garbage.data()), garbage.size())
            .valid());
    const std::string bmGarbage = "BM" + garbage;
    EXPECT_FALSE(
        Surface::fromBmp(reinterpret_cast<const unsigned char*>(bmGarbage.data()), bmGarbage.size())
            .valid());
    EXPECT_FALSE(Surface::fromBmp(nullptr, 0).valid());
    const unsigned char one = 'B';
    EXPECT_FALSE(Surface::fromBmp(&one, 0).valid());
    EXPECT_FALSE(Surface::fromBmp(&one, 1).valid());

    // A real header whose pixels are cut short.
    const auto bmp = makeBmp(8, 8, 24, false, 0, bmpPixel);
    const std::vector<uint8_t> truncated(bmp.begin(), bmp.begin() + 70);
    EXPECT_FALSE(Surface::fromBmp(truncated.data(), truncated.size()).valid());
}

// ---------------------------------------------------------------------------------------------
// drawText

#define REQUIRE_FONT()                                                          \
    do {                                                                        \
        if (!textFontAvailable()) {                                             \
            GTEST_SKIP() << "no font with the CJK glyphs (fonts-wqy-microhei)"; \
        }                                                                       \
    } while (0)

const char* const kCjk = "\xE6\x97\xA0\xE6\x95\x88";  // 无效, U+65E0 U+6548

struct Extent {
    int32_t left = INT32_MAX, top = INT32_MAX, right = INT32_MIN, bottom = INT32_MIN;
    int count = 0;
    void add(int32_t x, int32_t y) {
        left = std::min(left, x);
        top = std::min(top, y);
        right = std::max(right, x + 1);
        bottom = std::max(bottom, y + 1);
        ++count;
    }
};

// The extent of the pixels for which pred(pixel) holds.
template <typename Pred>
Extent extentOf(const Surface& s, Pred pred) {
    Extent e;
    for (int32_t y = 0; y < s.height(); ++y) {
        for (int32_t x = 0; x < s.width(); ++x) {
            if (pred(s.pixel(x, y))) {
                e.add(x, y);
            }
        }
    }
    return e;
}

// Every pixel outside box (and on the surface) still has the colour it had.
::testing::AssertionResult untouchedOutside(const Surface& s, const Rect& box, uint32_t was) {
    for (int32_t y = 0; y < s.height(); ++y) {
        for (int32_t x = 0; x < s.width(); ++x) {
            if (!box.contains(x, y) && s.pixel(x, y) != was) {
                return ::testing::AssertionFailure()
                       << "pixel " << x << "," << y << " outside the box changed to " << std::hex
                       << s.pixel(x, y);
            }
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(SurfaceText, WhiteTransparentTextIsCentredInTheBox) {
    REQUIRE_FONT();
    Surface s(240, 120);
    const Rect box{40, 30, 200, 90};  // centre 120, 60
    s.drawText(std::string(kCjk) + " Vidora", box, Surface::TextAlign::Centre, rgb(255, 255, 255));
    EXPECT_TRUE(untouchedOutside(s, box, 0));
    const Extent ink = extentOf(s, [](uint32_t p) { return p != 0; });
    ASSERT_GT(ink.count, 40);
    EXPECT_NEAR((ink.left + ink.right) / 2.0, 120.0, 4.0);
    EXPECT_NEAR((ink.top + ink.bottom) / 2.0, 60.0, 5.0);
    EXPECT_LE(ink.bottom - ink.top, 24);  // one 16-pixel line
    bool sawFull = false;
    for (uint32_t p : snapshot(s)) {
        const uint32_t r = p >> 16, g = (p >> 8) & 0xFF, b = p & 0xFF;
        ASSERT_TRUE(r == g && g == b) << std::hex << p << " is not a grey on black";
        sawFull = sawFull || p == 0xFFFFFF;
    }
    EXPECT_TRUE(sawFull) << "no pixel fully covered by a glyph";
}

TEST(SurfaceText, TextColourIsAColorref) {
    REQUIRE_FONT();
    Surface s(100, 40);
    s.drawText(kCjk, {0, 0, 100, 40}, Surface::TextAlign::Centre, rgb(255, 0, 0));
    bool sawRed = false;
    for (uint32_t p : snapshot(s)) {
        ASSERT_EQ(p & 0x00FFFF, 0u) << std::hex << p << ": only red may appear";
        sawRed = sawRed || p == 0xFF0000;
    }
    EXPECT_TRUE(sawRed);
}

TEST(SurfaceText, TransparentTextKeepsTheBackground) {
    REQUIRE_FONT();
    Surface s = filledWith(120, 40, kSentinel);
    const Rect box{10, 5, 110, 35};
    s.drawText(kCjk, box, Surface::TextAlign::Centre, rgb(255, 255, 255));
    EXPECT_TRUE(untouchedOutside(s, box, kSentinel));
    // Most of the box, the space between and around glyphs, keeps its colour.
    const Extent kept = extentOf(s, [](uint32_t p) { return p == kSentinel; });
    EXPECT_GT(kept.count, 120 * 40 - 100 * 30 + 100 * 30 / 2);
    EXPECT_GT(extentOf(s, [](uint32_t p) { return p == 0xFFFFFF; }).count, 10);
}

// Opaque text on a surface of kSentinel: the band is the extent of the background colour, and
// nothing else changes.
Extent opaqueBand(const Surface& s, uint32_t background) {
    const Extent changed = extentOf(s, [](uint32_t p) { return p != kSentinel; });
    const Extent band = extentOf(s, [background](uint32_t p) { return p == background; });
    EXPECT_EQ(changed.left, band.left);
    EXPECT_EQ(changed.top, band.top);
    EXPECT_EQ(changed.right, band.right);
    EXPECT_EQ(changed.bottom, band.bottom);
    // The whole band is painted: no pixel in it keeps the old colour.
    for (int32_t y = band.top; y < band.bottom; ++y) {
        for (int32_t x = band.left; x < band.right; ++x) {
            EXPECT_NE(s.pixel(x, y), kSentinel) << x << "," << y;
        }
    }
    return band;
}

TEST(SurfaceText, OpaqueTopCentrePaintsTheBandAtTheTopOfTheBox) {
    REQUIRE_FONT();
    Surface s = filledWith(240, 80, kSentinel);
    const Rect box{20, 10, 220, 70};  // centre x 120
    const Colorref background = rgb(0x40, 0x80, 0xC0);
    // The space in the middle leaves the top centre to the background.
    s.drawText("\xE6\x97\xA0 \xE6\x95\x88", box, Surface::TextAlign::TopCentre, rgb(255, 255, 255),
               background);
    EXPECT_EQ(s.pixel(120, 10), 0x4080C0u);
    EXPECT_EQ(s.pixel(120, 9), kSentinel);
    const Extent band = opaqueBand(s, 0x4080C0);
    EXPECT_EQ(band.top, 10);
    EXPECT_GE(band.bottom - band.top, 16);
    EXPECT_LE(band.bottom - band.top, 30);
    EXPECT_GE(band.right - band.left, 32);
    EXPECT_LE(std::abs((band.left - box.left) - (box.right - band.right)), 1) << "centred";
    EXPECT_GT(extentOf(s, [](uint32_t p) { return p == 0xFFFFFF; }).count, 10);
}

TEST(SurfaceText, OpaqueCentrePaintsTheBandInTheMiddle) {
    REQUIRE_FONT();
    Surface s = filledWith(240, 80, kSentinel);
    const Rect box{20, 10, 220, 70};
    s.drawText(kCjk, box, Surface::TextAlign::Centre, rgb(0, 0, 0), rgb(0x12, 0x34, 0x56));
    const Extent band = opaqueBand(s, 0x123456);
    EXPECT_LE(std::abs((band.top - box.top) - (box.bottom - band.bottom)), 1);
    EXPECT_LE(std::abs((band.left - box.left) - (box.right - band.right)), 1);
}

TEST(SurfaceText, TextWiderThanTheBoxIsClippedToIt) {
    REQUIRE_FONT();
    Surface s = filledWith(200, 50, kSentinel);
    const Rect box{100, 10, 130, 40};
    s.drawText(std::string(kCjk) + kCjk + kCjk + " a long line", box, Surface::TextAlign::TopCentre,
               rgb(255, 255, 255), rgb(0, 0x80, 0));
    EXPECT_TRUE(untouchedOutside(s, box, kSentinel));
    const Extent band = extentOf(s, [](uint32_t p) { return p != kSentinel; });
    EXPECT_EQ(band.left, 100);
    EXPECT_EQ(band.right, 130);
    EXPECT_EQ(band.top, 10);
}

TEST(SurfaceText, BoxesPartlyOrWhollyOffTheSurfaceAreSafe) {
    REQUIRE_FONT();
    const Rect boxes[] = {
        {-60, -8, 40, 20},
        {70, 35, 300, 200},
        {-1000, -1000, 1000, 1000},
        {INT_MIN, INT_MIN, INT_MAX, INT_MAX},
        {-500, -500, -400, -400},
        {100, 0, 300, 50},
        {0, 50, 100, 90},
        {30, 30, 30, 40},
        {60, 40, 20, 10},
        {INT_MAX - 5, 0, INT_MAX, 50},
        {INT_MIN, 0, INT_MIN + 5, 50},
    };
    for (const Rect& box : boxes) {
        SCOPED_TRACE(::testing::Message()
                     << box.left << "," << box.top << "," << box.right << "," << box.bottom);
        for (auto align : {Surface::TextAlign::TopCentre, Surface::TextAlign::Centre}) {
            Surface opaque = filledWith(100, 50, kSentinel);
            opaque.drawText(std::string(kCjk) + kCjk, box, align, rgb(255, 255, 255), rgb(1, 2, 3));
            EXPECT_TRUE(untouchedOutside(opaque, box, kSentinel));
            Surface transparent = filledWith(100, 50, kSentinel);
            transparent.drawText(std::string(kCjk) + kCjk, box, align, rgb(255, 255, 255));
            EXPECT_TRUE(untouchedOutside(transparent, box, kSentinel));
        }
    }
    // The visible part of a box hanging off the top left corner is still drawn.
    Surface s = filledWith(100, 50, kSentinel);
    s.drawText(std::string(kCjk) + kCjk, {-60, -8, 40, 20}, Surface::TextAlign::TopCentre,
               rgb(255, 255, 255), rgb(1, 2, 3));
    EXPECT_NE(s.pixel(0, 0), kSentinel);
    const Extent band = opaqueBand(s, 0x010203);
    EXPECT_EQ(band.left, 0);
    EXPECT_EQ(band.top, 0);
    EXPECT_LE(band.right, 40);
    EXPECT_GE(band.bottom, 8);
}

TEST(SurfaceText, EmptyTextDrawsNothing) {
    REQUIRE_FONT();
    Surface s = filledWith(50, 30, kSentinel);
    s.drawText("", {0, 0, 50, 30}, Surface::TextAlign::Centre, rgb(255, 255, 255), rgb(0, 0, 0));
    s.drawText(std::string_view(), {0, 0, 50, 30}, Surface::TextAlign::Centre, rgb(255, 255, 255));
    EXPECT_TRUE(untouchedOutside(s, {0, 0, 0, 0}, kSentinel));
}

TEST(SurfaceText, StringViewNeedNotBeTerminated) {
    REQUIRE_FONT();
    const std::string longer = std::string(kCjk) + "XYZ";
    Surface a(80, 30), b(80, 30);
    a.drawText(std::string_view(longer.data(), 6), {0, 0, 80, 30}, Surface::TextAlign::Centre,
               rgb(255, 255, 255));
    b.drawText(kCjk, {0, 0, 80, 30}, Surface::TextAlign::Centre, rgb(255, 255, 255));
    EXPECT_EQ(snapshot(a), snapshot(b));
}

TEST(SurfaceText, TwoThreadsDrawOnTwoSurfacesAtOnce) {
    REQUIRE_FONT();
    const std::string texts[2] = {std::string(kCjk) + " thread one",
                                  std::string("second ") + kCjk + " thread"};
    const Rect box{5, 5, 195, 45};
    auto draw = [&box](const std::string& text, int which) {
        Surface s = filledWith(200, 50, kSentinel);
        if (which == 0) {
            s.drawText(text, box, Surface::TextAlign::Centre, rgb(255, 255, 0));
        } else {
            s.drawText(text, box, Surface::TextAlign::TopCentre, rgb(0, 255, 255), rgb(0, 0, 128));
        }
        return snapshot(s);
    };
    const std::vector<uint32_t> reference[2] = {draw(texts[0], 0), draw(texts[1], 1)};
    ASSERT_NE(reference[0], reference[1]);

    bool same[2] = {true, true};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 30; ++i) {
                if (draw(texts[t], t) != reference[t]) {
                    same[t] = false;
                }
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    EXPECT_TRUE(same[0]);
    EXPECT_TRUE(same[1]);
}

// Without any font the text layer draws nothing and says so. Run in a fresh process (the font
// is looked for once per process) whose fontconfig knows no fonts.
TEST(SurfaceTextDeathTest, WithoutAFontNothingIsDrawn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            char path[] = "/tmp/vidora-no-fonts-XXXXXX";
            const int fd = mkstemp(path);
            if (fd < 0) {
                std::exit(2);
            }
            const char config[] = "<?xml version=\"1.0\"?>\n<fontconfig></fontconfig>\n";
            const bool written =
                write(fd, config, sizeof config - 1) == static_cast<ssize_t>(sizeof config - 1);
            close(fd);
            setenv("FONTCONFIG_FILE", path, 1);
            Surface s = filledWith(64, 32, kSentinel);
            s.drawText(kCjk, {0, 0, 64, 32}, Surface::TextAlign::Centre, rgb(255, 255, 255),
                       rgb(0, 0, 0));
            const bool untouched = untouchedOutside(s, {0, 0, 0, 0}, kSentinel);
            const bool available = textFontAvailable();
            std::remove(path);
            std::exit(written && untouched && !available ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vidora
