// The off-screen surface at any coordinates: clipped fills and copies, bottom-up BGR images, and
// where text lands. Ordinary fills, BGR conversion and repeated text are checked word for word in
// presenter_drawing_test; decoding bitmaps in window_test.

#include "platform/surface.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace vidora {
namespace {

constexpr uint32_t kOld = 0x00ABCDEF;  // what a destination held before the call
const auto old = [](int32_t, int32_t) { return kOld; };
const auto pattern = [](int32_t x, int32_t y) { return 0x420000u | y << 8 | x; };
const auto inside = [](int64_t x, int64_t y, int64_t l, int64_t t, int64_t r, int64_t b) {
    return x >= l && x < r && y >= t && y < b;
};

// A surface whose every pixel is want(x, y).
template <typename Want = decltype(old)>
Surface made(int32_t w, int32_t h, Want want = old) {
    Surface s(w, h);
    for (int32_t i = 0; i < w * h; ++i) {
        s.row(i / w)[i % w] = want(i % w, i / w);
    }
    return s;
}

// Whether every pixel is what want(x, y) says; names the first that is not.
template <typename Want>
::testing::AssertionResult matches(const Surface& s, Want want) {
    for (int32_t i = 0; i < s.width() * s.height(); ++i) {
        const int32_t x = i % s.width(), y = i / s.width();
        if (s.pixel(x, y) != want(x, y)) {
            return ::testing::AssertionFailure()
                   << "pixel " << x << "," << y << " is " << std::hex << s.pixel(x, y) << std::dec;
        }
    }
    return ::testing::AssertionSuccess();
}

// The pixels of another surface, as what matches() wants.
auto pixelsOf(const Surface& other) {
    return [&other](int32_t x, int32_t y) { return other.pixel(x, y); };
}

// Runs check on every combination of four of `values`; reports the first few failures.
template <typename Check>
void expectForAllFour(const std::vector<int32_t>& v, Check check) {
    const size_t n = v.size();
    for (size_t i = 0, failures = 0; i < n * n * n * n; ++i) {
        const int32_t a = v[i % n], b = v[i / n % n], c = v[i / n / n % n], d = v[i / n / n / n];
        if (auto result = check(a, b, c, d); !result && ++failures <= 3) {
            ADD_FAILURE() << result.message() << " for " << a << ", " << b << ", " << c << ", "
                          << d;
        }
    }
}

TEST(Surface, InvalidSurfacesAndPixelsOutsideAreHarmless) {
    for (auto [w, h] : {std::pair{0, 5}, {5, -1}, {INT_MIN, INT_MIN}, {1 << 20, 1 << 20}}) {
        EXPECT_FALSE(Surface(w, h).valid()) << w << "x" << h;
    }
    const uint8_t text[] = "BM, and then no bitmap at all";
    EXPECT_FALSE(Surface::fromBmp(text, sizeof text).valid());
    Surface invalid;
    Surface good = made(4, 4, pattern);
    invalid.fill({0, 0, 10, 10}, rgb(1, 2, 3));
    invalid.copyFrom(good, 0, 0, 4, 4, 0, 0);
    good.copyFrom(invalid, 0, 0, 4, 4, 0, 0);
    good.copyFrom(good, 0, 0, 3, 3, 1, 1);  // onto itself: refused
    invalid.drawText("abc", {0, 0, 10, 10}, Surface::TextAlign::Centre, rgb(255, 255, 255), 0);
    EXPECT_TRUE(matches(good, pattern));
    for (auto [x, y] : {std::pair{-1, 0}, {4, 0}, {0, INT_MAX}, {INT_MIN, 0}}) {
        EXPECT_EQ(good.pixel(x, y), 0u) << x << "," << y;
    }
}

TEST(Surface, FillClipsAtAnyCoordinates) {
    expectForAllFour({INT_MIN, -3, 0, 2, 7, 9, INT_MAX}, [](int l, int t, int r, int b) {
        Surface s = made(7, 5);
        s.fill({l, t, r, b}, rgb(0x11, 0x22, 0x33));
        return matches(s,
                       [&](int x, int y) { return inside(x, y, l, t, r, b) ? 0x112233u : kOld; });
    });
}

// From a 7 × 5 source onto a 9 × 6 destination: each destination pixel gets the source pixel
// that lands on it, when there is one.
TEST(Surface, CopyClipsAgainstBothSurfacesAtAnyCoordinates) {
    const Surface src = made(7, 5, pattern);
    expectForAllFour(
        {INT_MIN, -9, -4, -1, 0, 3, 6, 8, INT_MAX}, [&](int sx, int sy, int dx, int dy) {
            for (auto [w, h] :
                 {std::pair{1, 12}, {5, 2}, {13, 1}, {3, 5}, {-2, 3}, {INT_MAX, INT_MAX}}) {
                Surface dst = made(9, 6);
                dst.copyFrom(src, sx, sy, w, h, dx, dy);
                auto want = [&](int x, int y) {
                    const int64_t ox = int64_t{x} - dx, oy = int64_t{y} - dy;
                    return inside(ox, oy, 0, 0, w, h) && inside(sx + ox, sy + oy, 0, 0, 7, 5)
                               ? pattern(static_cast<int>(sx + ox), static_cast<int>(sy + oy))
                               : kOld;
                };
                if (auto result = matches(dst, want); !result) {
                    return result << " copying " << w << "x" << h;
                }
            }
            return ::testing::AssertionSuccess();
        });
}

TEST(Surface, BottomUpBgrLandsUprightAnywhere) {
    // 5 × 3 with a padding byte per row: the first row in memory is the bottom row.
    const int32_t w = 5, h = 3, stride = 16;
    std::vector<uint8_t> image(stride * h, 0xEE);
    for (int32_t i = 0; i < w * h; ++i) {
        const uint32_t p = pattern(i % w, h - 1 - i / w);
        std::copy_n(reinterpret_cast<const uint8_t*>(&p), 3, &image[i / w * stride + i % w * 3]);
    }
    const int32_t at[] = {INT_MIN, -6, -3, -1, 0, 2, 6, INT_MAX};
    for (int32_t i = 0; i < 64; ++i) {
        const int32_t dx = at[i % 8], dy = at[i / 8];
        Surface s = made(7, 5);
        s.copyBottomUpBgr(image.data(), w, h, stride, dx, dy);
        auto want = [&](int x, int y) {
            return inside(int64_t{x} - dx, int64_t{y} - dy, 0, 0, w, h) ? pattern(x - dx, y - dy)
                                                                        : kOld;
        };
        EXPECT_TRUE(matches(s, want)) << "at " << dx << "," << dy;
    }
}

// --- Text ----------------------------------------------------------------------------------------

#define REQUIRE_FONT()                                                      \
    if (!textFontAvailable()) {                                             \
        GTEST_SKIP() << "no font with the CJK glyphs (fonts-wqy-microhei)"; \
    }

const std::string kText = "\xE6\x97\xA0\xE6\x95\x88 Vidora";  // two CJK glyphs, then Latin

// The bounds of the pixels that hold `value` (with `other`: that do not), and their number.
struct Extent {
    int32_t left = INT32_MAX, top = INT32_MAX, right = INT32_MIN, bottom = INT32_MIN, count = 0;
};
Extent extentOf(const Surface& s, uint32_t value, bool other = false) {
    Extent e;
    for (int32_t i = 0; i < s.width() * s.height(); ++i) {
        const int32_t x = i % s.width(), y = i / s.width();
        if ((s.pixel(x, y) == value) != other) {
            e = {std::min(e.left, x), std::min(e.top, y), std::max(e.right, x + 1),
                 std::max(e.bottom, y + 1), e.count + 1};
        }
    }
    return e;
}

::testing::AssertionResult untouchedOutside(const Surface& s, const Rect& box) {
    return matches(s, [&](int x, int y) { return box.contains(x, y) ? s.pixel(x, y) : kOld; });
}

TEST(SurfaceText, OneLineAlignedInTheBoxInItsColoursWithOrWithoutABand) {
    REQUIRE_FONT();
    const Rect box{20, 10, 220, 70};
    for (int i = 0; i < 4; ++i) {
        const auto align = i < 2 ? Surface::TextAlign::TopCentre : Surface::TextAlign::Centre;
        const bool opaque = i % 2 == 0;
        SCOPED_TRACE(::testing::Message() << "centred " << (i >= 2) << ", opaque " << opaque);
        Surface s = made(240, 80);
        if (opaque) {
            s.drawText(kText, box, align, rgb(255, 0, 0), rgb(0x40, 0x80, 0xC0));
        } else {
            s.drawText(kText, box, align, rgb(255, 0, 0));
        }
        const Extent changed = extentOf(s, kOld, true), band = extentOf(s, 0x4080C0);
        EXPECT_TRUE(untouchedOutside(s, box));
        EXPECT_GT(extentOf(s, 0xFF0000).count, 10) << "glyphs in the text colour";
        EXPECT_NEAR(changed.left - box.left, box.right - changed.right, opaque ? 1 : 8);
        EXPECT_LE(changed.bottom - changed.top, 30) << "one 16-pixel line";
        if (align == Surface::TextAlign::TopCentre) {
            EXPECT_NEAR(changed.top, box.top, opaque ? 0 : 6);
        } else {
            EXPECT_NEAR(changed.top - box.top, box.bottom - changed.bottom, opaque ? 1 : 10);
        }
        // Opaque: the band changed, all of it, and nothing else. Transparent: the glyphs.
        const int32_t area = (changed.right - changed.left) * (changed.bottom - changed.top);
        EXPECT_EQ(changed.count == area, opaque);
        if (opaque) {
            EXPECT_EQ(std::tie(changed.left, changed.top, changed.right, changed.bottom),
                      std::tie(band.left, band.top, band.right, band.bottom));
        }
    }
}

TEST(SurfaceText, NothingIsDrawnOutsideTheBoxWhereverItLies) {
    REQUIRE_FONT();
    const std::string text = kText + kText + kText;
    expectForAllFour({INT_MIN, -60, 0, 40, 130, INT_MAX}, [&](int l, int t, int r, int b) {
        Surface opaque = made(200, 50), transparent = made(200, 50);
        opaque.drawText(text, {l, t, r, b}, Surface::TextAlign::TopCentre, 0xFFFFFF, rgb(1, 2, 3));
        transparent.drawText(text, {l, t, r, b}, Surface::TextAlign::Centre, 0xFFFFFF);
        auto result = untouchedOutside(opaque, {l, t, r, b});
        return result ? untouchedOutside(transparent, {l, t, r, b}) : result;
    });
    // What lies on the surface of a box hanging off it is drawn.
    Surface s = made(200, 50);
    s.drawText(text, {-60, -8, 40, 20}, Surface::TextAlign::TopCentre, 0xFFFFFF, rgb(1, 2, 3));
    const Extent band = extentOf(s, kOld, true);
    EXPECT_EQ(std::tie(band.left, band.top, band.right), std::tuple(0, 0, 40));
    // A view ends where it ends, not at the end of the string it looks into.
    Surface empty = made(200, 50), cut = made(200, 50), whole = made(200, 50);
    empty.drawText(std::string_view(text).substr(0, 0), {0, 0, 200, 50}, Surface::TextAlign::Centre,
                   0xFFFFFF, 0);
    cut.drawText(std::string_view(text).substr(0, 6), {0, 0, 200, 50}, Surface::TextAlign::Centre,
                 0xFFFFFF);
    whole.drawText(text.substr(0, 6), {0, 0, 200, 50}, Surface::TextAlign::Centre, 0xFFFFFF);
    EXPECT_TRUE(matches(empty, old));
    EXPECT_TRUE(matches(cut, pixelsOf(whole)));
}

TEST(SurfaceText, TwoThreadsDrawTheSameAsOne) {
    REQUIRE_FONT();
    auto draw = [](int which) {
        Surface s = made(200, 50);
        s.drawText(kText.substr(which * 3), {5, 5, 195, 45}, Surface::TextAlign(which), 0xFFFF,
                   0x800000 * which);
        return s;
    };
    const Surface reference[2] = {draw(0), draw(1)};
    std::atomic<int> differ{0};
    auto repeat = [&](int which) {
        for (int i = 0; i < 30; ++i) {
            differ += matches(draw(which), pixelsOf(reference[which])) ? 0 : 1;
        }
    };
    std::thread other(repeat, 1);
    repeat(0);
    other.join();
    EXPECT_EQ(differ.load(), 0);
}

// Linux only: there the font is whatever fontconfig finds, while Windows always has a font to
// fall back on.
#ifndef _WIN32
// The font is looked for once per process: a fresh one whose fontconfig knows no fonts.
TEST(SurfaceTextDeathTest, WithoutAFontNothingIsDrawn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto run = [] {
        char path[] = "/tmp/vidora-no-fonts-XXXXXX";
        const int fd = mkstemp(path);
        const bool written = fd >= 0 && write(fd, "<fontconfig></fontconfig>\n", 26) == 26;
        setenv("FONTCONFIG_FILE", path, 1);
        Surface s = made(64, 32);
        s.drawText(kText, {0, 0, 64, 32}, Surface::TextAlign::Centre, 0xFFFFFF, 0);
        unlink(path);
        return written && matches(s, old) && !textFontAvailable();
    };
    EXPECT_EXIT(std::exit(run() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
}  // namespace vidora
