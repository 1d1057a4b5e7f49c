// The presenter: puts one decoded picture on the skin's video surface, centred on black with
// the record's date and time across the top. It runs on the video thread.
//
// The frame is composed straight on the video surface, under the surface's lock, so a paint
// never shows half a frame. It comes out exactly as a canvas of the rectangle's size (rounded up
// to multiples of 4) composed apart and copied whole to the rectangle's corner would: every
// drawing is clipped to that canvas as well as to the surface. Only the bars beside the picture
// are filled, since the picture covers the rest, so each pixel is written about once.
//
// Usually the picture is not copied at all: where it lies whole on the surface, the video
// thread's scaler writes it in place (presentFrameInPlace) and only the bars and the time are
// drawn around it. A picture that does not fit comes as a scaled BGR image (presentFrame) and
// is clipped as it is copied.

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

// Where a width × height picture lies on the canvas: centred.
Rect pictureRect(const Rect& canvas, int32_t width, int32_t height) {
    const int32_t x = canvas.left + (canvas.width() - width) / 2;
    const int32_t y = canvas.top + (canvas.height() - height) / 2;
    return Rect{x, y, x + width, y + height};
}

// Blackens the canvas around `shown`, the part of it the picture covers.
void fillAround(Surface& target, const Rect& canvas, const Rect& shown) {
    if (shown.empty()) {
        target.fill(canvas, kCanvasColor);
        return;
    }
    target.fill(Rect{canvas.left, canvas.top, canvas.right, shown.top}, kCanvasColor);
    target.fill(Rect{canvas.left, shown.bottom, canvas.right, canvas.bottom}, kCanvasColor);
    target.fill(Rect{canvas.left, shown.top, shown.left, shown.bottom}, kCanvasColor);
    target.fill(Rect{shown.right, shown.top, canvas.right, shown.bottom}, kCanvasColor);
}

void drawTime(Surface& target, const Rect& canvas, const char* text) {
    target.drawText(text, canvas, Surface::TextAlign::TopCentre, kTimeTextColor, kTimeBandColor);
}

// Draws the canvas `canvas` (in surface coordinates) onto `target`: the picture centred in it,
// black around the picture, the text at the top.
void composeFrame(Surface& target, const Rect& canvas, const Picture& picture, const char* text) {
    const Rect placed = pictureRect(canvas, picture.width, picture.height);
    // All of the picture, unless the rectangle shrank after it was scaled.
    const Rect shown = intersect(placed, canvas);
    fillAround(target, canvas, shown);
    if (!shown.empty()) {
        const ptrdiff_t column = static_cast<ptrdiff_t>(shown.left - placed.left) * 3;
        const int32_t top = shown.top - placed.top;
        const int32_t bottom = shown.bottom - placed.top - 1;
        if (picture.topDown) {
            target.copyTopDownBgr(picture.row(top) + column, shown.width(), shown.height(),
                                  picture.stride, shown.left, shown.top);
        } else {
            target.copyBottomUpBgr(picture.row(bottom) + column, shown.width(), shown.height(),
                                   picture.stride, shown.left, shown.top);
        }
    }
    drawTime(target, canvas, text);
}

// The canvas for the video rectangle: up to 3 pixels wider and taller than the rectangle, like
// the picture, so that the bars beside the picture are equally wide; the surface clips the
// excess. Empty when the rectangle is.
Rect canvasFor(const Rect& rect) {
    const int32_t canvasWidth = roundUpTo4(rect.width());
    const int32_t canvasHeight = roundUpTo4(rect.height());
    if (canvasWidth <= 0 || canvasHeight <= 0) {
        return Rect{};
    }
    return Rect{rect.left, rect.top, rect.left + canvasWidth, rect.top + canvasHeight};
}

// Gathers the XRGB picture at `area` of `surface` into packed bottom-up BGR rows.
void gatherBottomUpBgr(const Surface& surface, const Rect& area, std::vector<uint8_t>* out) {
    const size_t rowBytes = static_cast<size_t>(area.width()) * 3;
    out->resize(rowBytes * static_cast<size_t>(area.height()));
    for (int32_t r = 0; r < area.height(); ++r) {
        const uint32_t* in = surface.row(area.top + r) + area.left;
        uint8_t* to = out->data() + rowBytes * static_cast<size_t>(area.height() - 1 - r);
        for (int32_t x = 0; x < area.width(); ++x, to += 3) {
            to[0] = static_cast<uint8_t>(in[x]);
            to[1] = static_cast<uint8_t>(in[x] >> 8);
            to[2] = static_cast<uint8_t>(in[x] >> 16);
        }
    }
}

void formatTime(const RecordTime& t, char (&text)[128]) {
    std::snprintf(text, sizeof text, "%04d.%02d.%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
}

}  // namespace

void PlaybackEngine::presentFrame() {
    if (presentImage == nullptr || framesPresented.load() >= picturesScaled.load()) {
        return;
    }
    const int32_t width = displayWidth.load();
    const int32_t height = displayHeight.load();
    const Picture picture{presentImage, width, height,
                          presentStride != 0 ? presentStride : width * 3, presentTopDown};
    char text[128] = {};
    formatTime(currentRecordTime(), text);
    {
        std::lock_guard<std::mutex> lock(targetMutex);
        if (targetDc == nullptr) {
            return;
        }
        const Rect canvas = canvasFor(videoRect);
        if (canvas.empty()) {
            return;
        }
        composeFrame(*targetDc, canvas, picture, text);
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

PlaybackEngine::InPlace PlaybackEngine::presentFrameInPlace(const PictureWriter& writePicture) {
    const int32_t width = displayWidth.load();
    const int32_t height = displayHeight.load();
    char text[128] = {};
    formatTime(currentRecordTime(), text);
    const bool observed = static_cast<bool>(frameObserver);
    {
        std::lock_guard<std::mutex> lock(targetMutex);
        if (targetDc == nullptr) {
            return InPlace::NoTarget;
        }
        const Rect canvas = canvasFor(videoRect);
        if (canvas.empty()) {
            return InPlace::NoTarget;
        }
        Surface& target = *targetDc;
        const Rect placed = pictureRect(canvas, width, height);
        const Rect surfaceArea{0, 0, target.width(), target.height()};
        if (width <= 0 || height <= 0 || intersect(placed, canvas) != placed ||
            intersect(placed, surfaceArea) != placed) {
            return InPlace::DoesNotFit;
        }
        picturesScaled.fetch_add(1);
        auto* pixels = reinterpret_cast<uint8_t*>(target.row(placed.top) + placed.left);
        writePicture(pixels, target.pitchPixels() * 4);
        if (observed) {
            // Taken before the time is drawn over the picture's top rows.
            gatherBottomUpBgr(target, placed, &observedImage);
        }
        fillAround(target, canvas, placed);
        drawTime(target, canvas, text);
    }
    framesPresented.fetch_add(1);
    if (observed) {
        frameObserver(observedImage.data(), width, height);
    }
    return InPlace::Presented;
}

}  // namespace vidora
