// The presenter draws each frame straight onto the video surface. What lands there must be
// exactly what a canvas of the rectangle's size (rounded up to multiples of 4), composed apart
// and copied whole to the rectangle's corner, would leave: every word of the surface is compared
// with such a canvas composition, for pictures that fit, that leave bars on either side, that
// stick out of a rectangle shrunk since they were scaled, and for rectangles that the surface
// clips, with the picture's rows bottom-up or top-down, or written straight into the surface
// where it lies whole on it. Plus the BGR to XRGB copies that every
// frame goes through, against a byte-by-byte conversion.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/playback_engine.h"
#include "platform/surface.h"

namespace vidora {
namespace {

// A deterministic jumble of bytes, so that a pixel out of place shows.
std::vector<uint8_t> noise(size_t n, uint32_t seed) {
    std::vector<uint8_t> bytes(n);
    for (uint8_t& b : bytes) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    return bytes;
}

// A surface with a pattern in every word, X bytes included, to see exactly what was drawn over.
Surface patterned(int32_t width, int32_t height) {
    Surface s(width, height);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            s.row(y)[x] = 0x5A000000u | static_cast<uint32_t>(y * 7919 + x * 104729);
        }
    }
    return s;
}

bool sameWords(const Surface& a, const Surface& b) {
    if (a.width() != b.width() || a.height() != b.height()) {
        return false;
    }
    for (int32_t y = 0; y < a.height(); ++y) {
        if (std::memcmp(a.row(y), b.row(y), static_cast<size_t>(a.width()) * 4) != 0) {
            ADD_FAILURE() << "first difference in row " << y;
            return false;
        }
    }
    return true;
}

// The same colours everywhere; the free top byte of each word aside.
bool sameColours(const Surface& a, const Surface& b) {
    if (a.width() != b.width() || a.height() != b.height()) {
        return false;
    }
    for (int32_t y = 0; y < a.height(); ++y) {
        for (int32_t x = 0; x < a.width(); ++x) {
            if (a.pixel(x, y) != b.pixel(x, y)) {
                ADD_FAILURE() << "first difference at " << x << "," << y;
                return false;
            }
        }
    }
    return true;
}

struct Geometry {
    const char* what;
    int32_t surfaceWidth;
    int32_t surfaceHeight;
    Rect rect;
    int32_t imageWidth;  // the display size the picture was scaled to
    int32_t imageHeight;
    bool liesWhole;  // whether the picture lies whole on the surface, so it can be drawn in place
};

TEST(PresenterDrawing, SameAsACanvasCopiedWhole) {
    const Geometry cases[] = {
        {"fits, bars left and right", 332, 236, Rect{0, 0, 332, 236}, 316, 236, true},
        {"bars above and below, time over the bar", 332, 236, Rect{0, 0, 332, 236}, 332, 188, true},
        {"canvas clipped by the surface", 501, 301, Rect{0, 0, 501, 301}, 404, 304, false},
        {"rectangle inside a larger surface", 400, 300, Rect{13, 21, 345, 257}, 316, 236, true},
        {"rectangle partly off the surface", 320, 230, Rect{-5, -7, 327, 229}, 316, 236, false},
        {"picture larger than a shrunk rectangle", 332, 236, Rect{0, 0, 332, 236}, 432, 324, false},
        {"picture wider than the rectangle only", 520, 300, Rect{2, 3, 502, 303}, 512, 284, false},
        {"whole screen", 1920, 1080, Rect{0, 0, 1920, 1080}, 1440, 1080, true},
    };
    uint32_t seed = 1;
    for (const Geometry& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<uint8_t> image =
            noise(static_cast<size_t>(c.imageWidth) * c.imageHeight * 3, ++seed);
        const RecordTime time{2015, 3, 7, 8, 5, 9};

        // The canvas composition: black, the picture centred, the time on top, copied whole.
        const int32_t canvasWidth = roundUpTo4(c.rect.width());
        const int32_t canvasHeight = roundUpTo4(c.rect.height());
        Surface canvas(canvasWidth, canvasHeight);
        canvas.fill(Rect{0, 0, canvasWidth, canvasHeight}, 0x000000);
        canvas.copyBottomUpBgr(image.data(), c.imageWidth, c.imageHeight, c.imageWidth * 3,
                               (canvasWidth - c.imageWidth) / 2,
                               (canvasHeight - c.imageHeight) / 2);
        canvas.drawText("2015.03.07 08:05:09", Rect{0, 0, canvasWidth, canvasHeight},
                        Surface::TextAlign::TopCentre, 0xC8C8C8, 0x141414);
        Surface expected = patterned(c.surfaceWidth, c.surfaceHeight);
        expected.copyFrom(canvas, 0, 0, canvasWidth, canvasHeight, c.rect.left, c.rect.top);

        // The same picture as the video thread hands it over: top row first, as the scaler
        // left it, here with slack behind every row.
        const int32_t rowBytes = c.imageWidth * 3;
        const int32_t topDownStride = rowBytes + 8;
        std::vector<uint8_t> topDown(static_cast<size_t>(topDownStride) * c.imageHeight, 0xEE);
        for (int32_t r = 0; r < c.imageHeight; ++r) {
            std::memcpy(topDown.data() + static_cast<size_t>(r) * topDownStride,
                        image.data() + static_cast<size_t>(c.imageHeight - 1 - r) * rowBytes,
                        static_cast<size_t>(rowBytes));
        }

        for (bool bottomUp : {true, false}) {
            SCOPED_TRACE(bottomUp ? "packed bottom-up rows" : "top-down rows with slack");
            PlaybackEngine engine;
            Surface target = patterned(c.surfaceWidth, c.surfaceHeight);
            std::vector<uint8_t> observed;
            engine.frameObserver = [&](const uint8_t* picture, int32_t w, int32_t h) {
                observed.assign(picture, picture + static_cast<size_t>(w) * h * 3);
            };
            engine.targetDc = &target;
            engine.videoRect = c.rect;
            engine.displayWidth = c.imageWidth;
            engine.displayHeight = c.imageHeight;
            engine.presentImage = bottomUp ? image.data() : topDown.data();
            engine.presentStride = bottomUp ? 0 : topDownStride;
            engine.presentTopDown = !bottomUp;
            engine.setRecordTime(time);
            engine.picturesScaled = 1;
            engine.presentFrame();
            EXPECT_EQ(engine.framesPresented.load(), 1u);
            EXPECT_TRUE(sameWords(target, expected));
            // Whatever the rows' layout, the observer gets the packed bottom-up picture.
            EXPECT_TRUE(observed == image);
            engine.targetDc = nullptr;
        }

        // Drawn in place, the way the scaler writes: blue, green, red and a byte of 0xFF. Where
        // the picture would not lie whole on the surface nothing is drawn, and the caller falls
        // back to the copies above.
        SCOPED_TRACE("written into the surface");
        PlaybackEngine engine;
        Surface target = patterned(c.surfaceWidth, c.surfaceHeight);
        std::vector<uint8_t> observed;
        engine.frameObserver = [&](const uint8_t* picture, int32_t w, int32_t h) {
            observed.assign(picture, picture + static_cast<size_t>(w) * h * 3);
        };
        engine.targetDc = &target;
        engine.videoRect = c.rect;
        engine.displayWidth = c.imageWidth;
        engine.displayHeight = c.imageHeight;
        engine.setRecordTime(time);
        const PlaybackEngine::InPlace result =
            engine.presentFrameInPlace([&](uint8_t* pixels, int32_t strideBytes) {
                for (int32_t r = 0; r < c.imageHeight; ++r) {
                    const uint8_t* in = image.data() + static_cast<size_t>(c.imageHeight - 1 - r) *
                                                           c.imageWidth * 3;
                    uint8_t* out = pixels + static_cast<ptrdiff_t>(r) * strideBytes;
                    for (int32_t x = 0; x < c.imageWidth; ++x) {
                        std::memcpy(out + x * 4, in + x * 3, 3);
                        out[x * 4 + 3] = 0xFF;
                    }
                }
            });
        if (c.liesWhole) {
            EXPECT_EQ(result, PlaybackEngine::InPlace::Presented);
            EXPECT_EQ(engine.framesPresented.load(), 1u);
            EXPECT_TRUE(sameColours(target, expected));
            EXPECT_TRUE(observed == image);
        } else {
            EXPECT_EQ(result, PlaybackEngine::InPlace::DoesNotFit);
            EXPECT_EQ(engine.framesPresented.load(), 0u);
            EXPECT_TRUE(sameWords(target, patterned(c.surfaceWidth, c.surfaceHeight)));
        }
        engine.targetDc = nullptr;
    }
}

TEST(BgrCopy, RowsShorterThanThePictureDrawNothing) {
    const std::vector<uint8_t> image = noise(4 * 3 * 2, 3);
    Surface s = patterned(8, 4);
    const Surface before = patterned(8, 4);
    s.copyBottomUpBgr(image.data(), 4, 2, 11, 0, 0);
    s.copyTopDownBgr(image.data(), 4, 2, 11, 0, 0);
    s.copyTopDownBgr(image.data(), 4, 2, -12, 0, 0);
    s.copyTopDownBgr(nullptr, 4, 2, 12, 0, 0);
    EXPECT_TRUE(sameWords(s, before));
}

TEST(Fill, EveryWidthAndColourExactly) {
    // Black goes another way than other colours, and long runs another way than short ones.
    for (Colorref colour : {Colorref{0x000000}, Colorref{0x141414}, Colorref{0x3080F0}}) {
        for (int32_t left : {-2, 0, 3}) {
            for (int32_t width : {1, 3, 4, 5, 8, 9, 17, 40, 70}) {
                Surface s = patterned(64, 4);
                const Surface before = patterned(64, 4);
                s.fill(Rect{left, 1, left + width, 3}, colour);
                for (int32_t y = 0; y < 4; ++y) {
                    for (int32_t x = 0; x < 64; ++x) {
                        const bool inside = x >= left && x < left + width && y >= 1 && y < 3;
                        ASSERT_EQ(s.row(y)[x], inside ? xrgbOf(colour) : before.row(y)[x])
                            << "colour " << colour << " left " << left << " width " << width
                            << " at " << x << "," << y;
                    }
                }
            }
        }
    }
}

// Lines are kept once rendered: drawing a text again, after other texts have pushed it out or
// not, must give exactly what drawing it the first time gave.
TEST(TextLines, DrawnAgainTheyComeOutTheSame) {
    if (!textFontAvailable()) {
        GTEST_SKIP() << "no interface font";
    }
    const char* texts[] = {"2015.03.07 08:05:09", "2015.03.07 08:05:10", "2015.03.07 08:05:11",
                           "2015.03.07 08:05:12", "2015.03.07 08:05:13", "2015.03.07 08:05:14"};
    std::vector<Surface> first;
    for (const char* text : texts) {
        first.push_back(patterned(200, 40));
        first.back().drawText(text, Rect{0, 0, 200, 40}, Surface::TextAlign::TopCentre, 0xC8C8C8,
                              0x141414);
    }
    // Again in the opposite order, the newest first, and each twice.
    for (size_t i = std::size(texts); i-- > 0;) {
        for (int round = 0; round < 2; ++round) {
            Surface again = patterned(200, 40);
            again.drawText(texts[i], Rect{0, 0, 200, 40}, Surface::TextAlign::TopCentre, 0xC8C8C8,
                           0x141414);
            EXPECT_TRUE(sameWords(again, first[i])) << texts[i];
        }
    }
}

TEST(PresenterDrawing, NothingWithoutATargetOrAPictureToShow) {
    PlaybackEngine engine;
    Surface target = patterned(64, 48);
    const Surface untouched = patterned(64, 48);
    const std::vector<uint8_t> image = noise(32 * 24 * 3, 7);
    engine.videoRect = Rect{0, 0, 64, 48};
    engine.displayWidth = 32;
    engine.displayHeight = 24;
    engine.presentImage = image.data();
    engine.picturesScaled = 1;
    engine.presentFrame();  // no target
    EXPECT_EQ(engine.framesPresented.load(), 0u);
    engine.targetDc = &target;
    engine.videoRect = Rect{0, 0, 0, 48};
    engine.presentFrame();  // an empty rectangle
    EXPECT_EQ(engine.framesPresented.load(), 0u);
    EXPECT_TRUE(sameWords(target, untouched));
    engine.targetDc = nullptr;
}

// Byte by byte: the bottom row of the image is the last in memory.
uint32_t expectedPixel(const std::vector<uint8_t>& image, int32_t stride, int32_t h, int32_t x,
                       int32_t y) {
    const uint8_t* p = image.data() + static_cast<size_t>(h - 1 - y) * stride + x * 3;
    return (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[0];
}

TEST(BgrCopy, EveryWidthAndOffsetConvertsExactly) {
    // Widths around the four-pixel groups of the conversion, rows with slack, and offsets that
    // make the surface clip the start or the end of each row; the same bytes read as a top-down
    // image come out upside down.
    for (int32_t w : {1, 2, 3, 4, 5, 6, 7, 8, 9, 13, 15, 16, 17, 20, 31, 32, 33, 47, 52}) {
        for (int32_t slack : {0, 1, 5}) {
            for (int32_t dstX : {-3, -1, 0, 2, 9, 40}) {
                const int32_t h = 5;
                const int32_t stride = w * 3 + slack;
                const std::vector<uint8_t> image =
                    noise(static_cast<size_t>(stride) * h, static_cast<uint32_t>(w * 97 + slack));
                Surface s = patterned(64, 8);
                const Surface before = patterned(64, 8);
                s.copyBottomUpBgr(image.data(), w, h, stride, dstX, 1);
                Surface topDown = patterned(64, 8);
                topDown.copyTopDownBgr(image.data(), w, h, stride, dstX, 1);
                for (int32_t y = 0; y < 8; ++y) {
                    for (int32_t x = 0; x < 64; ++x) {
                        const bool inside = x >= dstX && x < dstX + w && y >= 1 && y < 1 + h;
                        const uint32_t want = inside
                                                  ? expectedPixel(image, stride, h, x - dstX, y - 1)
                                                  : before.row(y)[x];
                        ASSERT_EQ(s.row(y)[x], want) << "w " << w << " slack " << slack << " dstX "
                                                     << dstX << " at " << x << "," << y;
                        const uint32_t flipped =
                            inside ? expectedPixel(image, stride, h, x - dstX, h - 1 - (y - 1))
                                   : before.row(y)[x];
                        ASSERT_EQ(topDown.row(y)[x], flipped)
                            << "top-down, w " << w << " at " << x << "," << y;
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace vidora
