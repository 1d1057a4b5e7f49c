// The presenter: puts one decoded picture on the skin's video surface, centred on black with
// the record's date and time across the top. It runs on the video thread.
//
// The frame is composed straight on the video surface, under the surface's lock, so a paint
// never shows half a frame. It comes out exactly as a canvas of the rectangle's size (rounded up
// to multiples of 4) composed apart and copied whole to the rectangle's corner would: every
// drawing is clipped to that canvas as well as to the surface. Only the bars beside the picture
// are filled, since the picture covers the rest, so each pixel is written about once.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "engine/playback_engine.h"
#include "platform/surface.h"

namespace vidora {

namespace {

constexpr Colorref kTimeTextColor = 0xC8C8C8;
constexpr Colorref kTimeBandColor = 0x141414;
constexpr Colorref kCanvasColor = 0x000000;

int32_t roundUpTo4(int32_t v) {
    return (v % 4 == 0) ? v : v + 4 - (v % 4);
}

Rect intersect(const Rect& a, const Rect& b) {
    return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
            std::min(a.bottom, b.bottom)};
}

// A picture of width × height BGR pixels in rows of `stride` bytes, the top or the bottom row
// first in memory.
struct Picture {
    const uint8_t* bytes;
    int32_t width;
    int32_t height;
    int32_t stride;
    bool topDown;

    // Row r counted from the top.
    const uint8_t* row(int32_t r) const {
        return bytes + static_cast<ptrdiff_t>(topDown ? r : height - 1 - r) * stride;
    }
};

// Draws the canvas `canvas` (in surface coordinates) onto `target`: the picture centred in it,
// black around the picture, the text at the top.
void composeFrame(Surface& target, const Rect& canvas, const Picture& picture, const char* text) {
    const int32_t x = canvas.left + (canvas.width() - picture.width) / 2;
    const int32_t y = canvas.top + (canvas.height() - picture.height) / 2;
    // All of the picture, unless the rectangle shrank after it was scaled.
    const Rect shown = intersect(Rect{x, y, x + picture.width, y + picture.height}, canvas);
    if (shown.empty()) {
        target.fill(canvas, kCanvasColor);
    } else {
        target.fill(Rect{canvas.left, canvas.top, canvas.right, shown.top}, kCanvasColor);
        target.fill(Rect{canvas.left, shown.bottom, canvas.right, canvas.bottom}, kCanvasColor);
        target.fill(Rect{canvas.left, shown.top, shown.left, shown.bottom}, kCanvasColor);
        target.fill(Rect{shown.right, shown.top, canvas.right, shown.bottom}, kCanvasColor);
        const ptrdiff_t column = static_cast<ptrdiff_t>(shown.left - x) * 3;
        const int32_t top = shown.top - y;
        const int32_t bottom = shown.bottom - y - 1;
        if (picture.topDown) {
            target.copyTopDownBgr(picture.row(top) + column, shown.width(), shown.height(),
                                  picture.stride, shown.left, shown.top);
        } else {
            target.copyBottomUpBgr(picture.row(bottom) + column, shown.width(), shown.height(),
                                   picture.stride, shown.left, shown.top);
        }
    }
    target.drawText(text, canvas, Surface::TextAlign::TopCentre, kTimeTextColor, kTimeBandColor);
}

}  // namespace

void PlaybackEngine::presentFrame() {
    if (presentImage == nullptr || framesPresented.load() >= framesDecoded.load()) {
        return;
    }
    const int32_t width = displayWidth.load();
    const int32_t height = displayHeight.load();
    const Picture picture{presentImage, width, height,
                          presentStride != 0 ? presentStride : width * 3, presentTopDown};
    RecordTime t = currentRecordTime();
    char text[128] = {};
    std::snprintf(text, sizeof text, "%04d.%02d.%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    {
        std::lock_guard<std::mutex> lock(targetMutex);
        if (targetDc == nullptr) {
            return;
        }
        // The canvas may be up to 3 pixels wider and taller than the rectangle, like the picture,
        // so that the bars beside the picture are equally wide; the surface clips the excess.
        const Rect rect = videoRect;
        const int32_t canvasWidth = roundUpTo4(rect.width());
        const int32_t canvasHeight = roundUpTo4(rect.height());
        if (canvasWidth <= 0 || canvasHeight <= 0) {
            return;
        }
        composeFrame(*targetDc,
                     Rect{rect.left, rect.top, rect.left + canvasWidth, rect.top + canvasHeight},
                     picture, text);
    }
    framesPresented.fetch_add(1);
    if (frameObserver) {
        if (!picture.topDown && picture.stride == width * 3) {
            frameObserver(presentImage, width, height);
        } else {
            // The observer takes packed bottom-up rows: they are gathered for it.
            const size_t rowBytes = static_cast<size_t>(width) * 3;
            observedImage.resize(rowBytes * static_cast<size_t>(height));
            for (int32_t r = 0; r < height; ++r) {
                std::memcpy(observedImage.data() + rowBytes * static_cast<size_t>(height - 1 - r),
                            picture.row(r), rowBytes);
            }
            frameObserver(observedImage.data(), width, height);
        }
    }
}

}  // namespace vidora
