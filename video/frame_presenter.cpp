// The presenter: puts one decoded picture on the skin's video surface, centred on black with
// the record's date and time across the top. It runs on the video thread. The canvas is
// composed first, without any lock; only the final copy into the shared video surface holds
// the surface's lock, so a paint never shows half a frame and waits only for one copy.

#include <cstdio>
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

}  // namespace

void PlaybackEngine::presentFrame() {
    if (presentImage == nullptr || framesPresented.load() >= framesDecoded.load()) {
        return;
    }
    Rect rect;
    {
        std::lock_guard<std::mutex> lock(targetMutex);
        if (targetDc == nullptr) {
            return;
        }
        rect = videoRect;
    }
    // The canvas may be up to 3 pixels wider and taller than the rectangle, like the picture,
    // so that the bars beside the picture are equally wide; the surface clips the excess.
    const int32_t canvasWidth = roundUpTo4(rect.width());
    const int32_t canvasHeight = roundUpTo4(rect.height());
    if (canvasWidth <= 0 || canvasHeight <= 0) {
        return;
    }
    if (!presentCanvas || presentCanvas->width() != canvasWidth ||
        presentCanvas->height() != canvasHeight) {
        presentCanvas = std::make_unique<Surface>(canvasWidth, canvasHeight);
    }
    Surface& canvas = *presentCanvas;
    const int32_t width = displayWidth.load();
    const int32_t height = displayHeight.load();
    canvas.fill(Rect{0, 0, canvasWidth, canvasHeight}, kCanvasColor);
    canvas.copyBottomUpBgr(presentImage, width, height, width * 3, (canvasWidth - width) / 2,
                           (canvasHeight - height) / 2);

    RecordTime t = currentRecordTime();
    char text[128] = {};
    std::snprintf(text, sizeof text, "%04d.%02d.%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    canvas.drawText(text, Rect{0, 0, canvasWidth, canvasHeight}, Surface::TextAlign::TopCentre,
                    kTimeTextColor, kTimeBandColor);
    {
        std::lock_guard<std::mutex> lock(targetMutex);
        // The skin may have replaced the surface meanwhile; it is drawn as it now stands.
        if (targetDc != nullptr) {
            targetDc->copyFrom(canvas, 0, 0, canvasWidth, canvasHeight, rect.left, rect.top);
        }
    }
    framesPresented.fetch_add(1);
    if (frameObserver) {
        frameObserver(presentImage, width, height);
    }
}

}  // namespace vidora
