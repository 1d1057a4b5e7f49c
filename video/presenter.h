#pragma once
// The presenter: puts one decoded picture on the skin's video surface, centred on black with
// the record's date and time across the top, on the video thread. It owns the drawing target
// (the surface and the rectangle of it that pictures are fitted into), which the window hands
// over and copies out of under the presenter's lock, and the display size the picture is
// scaled to.
//
// The frame is composed straight on the video surface, under the lock, so a paint never shows
// half a frame. It comes out exactly as a canvas of the rectangle's size (rounded up to
// multiples of 4) composed apart and copied whole to the rectangle's corner would: every drawing
// is clipped to that canvas as well as to the surface. Only the bars beside the picture are
// filled, since the picture covers the rest, so each pixel is written about once.
//
// Usually the picture is not copied at all: where it lies whole on the surface, the scaler
// writes it in place (presentInPlace) and only the bars and the time are drawn around it. A
// picture that does not fit comes as a scaled BGR image (present) and is clipped as it is copied.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "engine/engine_types.h"
#include "platform/geometry.h"
#include "recording/time_text.h"

namespace vidora {

class Surface;

class Presenter {
  public:
    // --- The window's side ---
    // Hands over the surface and the rectangle to draw into (nullptr: draw nowhere).
    void setTarget(Surface* surface, Rect rect);
    // Forgets `surface` if it is the target, before the window frees it.
    void forgetTarget(const Surface* surface);
    // Held by whoever copies out of the video surface, so that no frame is drawn meanwhile.
    std::unique_lock<std::mutex> lockTarget() { return std::unique_lock<std::mutex>(mutex_); }
    Rect targetRect() const;

    // --- The video thread's side ---
    // Fits a source picture into the rectangle keeping its aspect ratio; sizes rounded up to
    // multiples of 4. The rectangle itself where the source size gives no usable fit.
    void fitDisplaySize(int32_t sourceWidth, int32_t sourceHeight);
    int32_t displayWidth() const { return displayWidth_; }
    int32_t displayHeight() const { return displayHeight_; }

    // A displayWidth × displayHeight BGR picture in rows of `stride` bytes, the top row first in
    // memory when `topDown`, else the bottom row.
    struct Picture {
        const uint8_t* bytes;
        int32_t stride;
        bool topDown;
    };
    // Draws the picture centred on black with `time` into the target; false when there is none.
    bool present(const Picture& picture, const RecordTime& time);

    // Writes a displayWidth × displayHeight picture as XRGB words at `pixels` (top row first,
    // rows strideBytes apart; the top byte is free).
    using PictureWriter = std::function<void(uint8_t* pixels, int32_t strideBytes)>;
    enum class InPlace {
        Presented,   // the picture was written where present() would put it, and framed
        NoTarget,    // there is no video surface or rectangle: nothing was drawn
        DoesNotFit,  // the picture would not lie whole on the surface: nothing was drawn
    };
    // Presents a frame whose picture `writePicture` draws straight into the video surface,
    // under the lock; the frame then looks as present() would have made it.
    InPlace presentInPlace(const PictureWriter& writePicture, const RecordTime& time);

    // Called with every picture presented (a bottom-up BGR image, rows packed one after another,
    // and its size); for tests and measurements. Set before the video thread starts.
    using Observer = std::function<void(const uint8_t* image, int32_t width, int32_t height)>;
    Observer observer;
    uint32_t presented() const { return presented_.load(); }
    void resetCount() { presented_.store(0); }
    // The recording stopped at a damaged record: the time band says so after the date and time.
    void setDamaged(bool damaged) { damaged_.store(damaged, std::memory_order_relaxed); }
    bool damaged() const { return damaged_.load(std::memory_order_relaxed); }

  private:
    void observe(const Picture& picture);

    mutable std::mutex mutex_;
    Surface* target_ = nullptr;  // guarded by mutex_
    Rect rect_;                  // guarded by mutex_
    int32_t displayWidth_ = 0;
    int32_t displayHeight_ = 0;
    std::atomic<uint32_t> presented_{0};
    std::atomic<bool> damaged_{false};
    // The date and time as the band shows them.
    void bandText(const RecordTime& time, char (&text)[kRecordTimeTextBytes]) const;
    // Packed rows for the observer when the picture's rows are not packed.
    std::vector<uint8_t> observed_;
};

}  // namespace vidora
