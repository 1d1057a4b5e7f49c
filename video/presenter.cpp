// Drawing a picture and its time into the video surface; see presenter.h.

#include <algorithm>
#include <cstring>
#include <mutex>

#include "video/presenter.h"

#include <cmath>
#include <cstdio>

#include "platform/surface.h"
#include "recording/time_text.h"

namespace vidora {

namespace {

constexpr Colorref kTimeTextColor = 0xC8C8C8;
constexpr Colorref kTimeBandColor = 0x141414;
constexpr Colorref kCanvasColor = 0x000000;
// After the date and time of a recording that stopped at a damaged record.
constexpr char kDamagedText[] = "已损坏";

Rect intersect(const Rect& a, const Rect& b) {
    return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
            std::min(a.bottom, b.bottom)};
}

// A picture of width × height BGR pixels in rows of `stride` bytes.
struct Rows {
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
void composeFrame(Surface& target, const Rect& canvas, const Rows& picture, const char* text) {
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

}  // namespace

void Presenter::setTarget(Surface* surface, Rect rect) {
    std::lock_guard<std::mutex> lock(mutex_);
    target_ = surface;
    rect_ = rect;
}

void Presenter::forgetTarget(const Surface* surface) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (surface != nullptr && target_ == surface) {
        target_ = nullptr;
    }
}

Rect Presenter::targetRect() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rect_;
}

void Presenter::fitDisplaySize(int32_t sourceWidth, int32_t sourceHeight) {
    const Rect rect = targetRect();
    const int32_t rectWidth = rect.width();
    const int32_t rectHeight = rect.height();
    const float aspect =
        static_cast<float>(static_cast<double>(static_cast<uint32_t>(sourceWidth)) /
                           static_cast<double>(static_cast<uint32_t>(sourceHeight)));
    const float ratio = static_cast<float>(static_cast<double>(static_cast<uint32_t>(rectWidth)) /
                                           static_cast<double>(static_cast<uint32_t>(rectHeight)));
    double width = rectWidth;
    double height = rectHeight;
    if (ratio < aspect) {
        height = static_cast<double>(rectWidth) / static_cast<double>(aspect);
    } else {
        width = static_cast<double>(rectHeight) * static_cast<double>(aspect);
    }
    // A source size that is not known yet (zero, or absurd from a header that lies) gives no
    // usable fit; the rectangle itself is used until the first picture tells the real size.
    if (!std::isfinite(width) || !std::isfinite(height) || width < 1.0 || height < 1.0 ||
        width > rectWidth + 4.0 || height > rectHeight + 4.0) {
        width = rectWidth;
        height = rectHeight;
    }
    displayWidth_ = roundUpTo4(static_cast<int32_t>(width));
    displayHeight_ = roundUpTo4(static_cast<int32_t>(height));
}

void Presenter::bandText(const RecordTime& time, char (&text)[kRecordTimeTextBytes]) const {
    formatRecordTime(time, text);
    if (damaged_.load(std::memory_order_relaxed)) {
        const size_t used = std::strlen(text);
        std::snprintf(text + used, sizeof text - used, " %s", kDamagedText);
    }
}

bool Presenter::present(const Picture& image, const RecordTime& time) {
    const Rows picture{image.bytes, displayWidth_, displayHeight_,
                       image.stride != 0 ? image.stride : displayWidth_ * 3, image.topDown};
    char text[kRecordTimeTextBytes] = {};
    bandText(time, text);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Rect canvas = canvasFor(rect_);
        if (target_ == nullptr || canvas.empty()) {
            return false;
        }
        composeFrame(*target_, canvas, picture, text);
    }
    presented_.fetch_add(1);
    if (observer) {
        if (!picture.topDown && picture.stride == picture.width * 3) {
            observer(picture.bytes, picture.width, picture.height);
        } else {
            // The observer takes packed bottom-up rows: they are gathered for it.
            const size_t rowBytes = static_cast<size_t>(picture.width) * 3;
            observed_.resize(rowBytes * static_cast<size_t>(picture.height));
            for (int32_t r = 0; r < picture.height; ++r) {
                std::memcpy(
                    observed_.data() + rowBytes * static_cast<size_t>(picture.height - 1 - r),
                    picture.row(r), rowBytes);
            }
            observer(observed_.data(), picture.width, picture.height);
        }
    }
    return true;
}

Presenter::InPlace Presenter::presentInPlace(const PictureWriter& writePicture,
                                             const RecordTime& time) {
    const int32_t width = displayWidth_;
    const int32_t height = displayHeight_;
    char text[kRecordTimeTextBytes] = {};
    bandText(time, text);
    const bool observed = static_cast<bool>(observer);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Rect canvas = canvasFor(rect_);
        if (target_ == nullptr || canvas.empty()) {
            return InPlace::NoTarget;
        }
        Surface& target = *target_;
        const Rect placed = pictureRect(canvas, width, height);
        const Rect surfaceArea{0, 0, target.width(), target.height()};
        if (width <= 0 || height <= 0 || intersect(placed, canvas) != placed ||
            intersect(placed, surfaceArea) != placed) {
            return InPlace::DoesNotFit;
        }
        auto* pixels = reinterpret_cast<uint8_t*>(target.row(placed.top) + placed.left);
        writePicture(pixels, target.pitchPixels() * 4);
        if (observed) {
            // Taken before the time is drawn over the picture's top rows.
            gatherBottomUpBgr(target, placed, &observed_);
        }
        fillAround(target, canvas, placed);
        drawTime(target, canvas, text);
    }
    presented_.fetch_add(1);
    if (observed) {
        observer(observed_.data(), width, height);
    }
    return InPlace::Presented;
}

}  // namespace vidora
