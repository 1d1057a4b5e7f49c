// The SkinWindow's construction, its replaceable collaborators and the layout of each mode.

#include <utility>

#include "skin/skin_window.h"

namespace vidora {

namespace {

// Large-skin rectangles; every layout starts from them, and fullscreen keeps the close and drag
// areas (where a press then does nothing).
constexpr Rect kLargeClose{524, 0, 548, 24};
constexpr Rect kLargeVideo{12, 24, 524, 348};
constexpr Rect kLargeSeek{8, 353, 538, 356};
constexpr Rect kLargeOpen{12, 364, 60, 412};
constexpr Rect kLargePlay{72, 364, 120, 412};
constexpr Rect kLargeSnapshot{132, 364, 180, 412};
constexpr Rect kLargeDrag{0, 0, 540, 344};

constexpr Rect kNormalClose{28, 98, 38, 180};
constexpr Rect kNormalVideo{88, 20, 420, 256};
constexpr Rect kNormalSeek{424, 21, 432, 257};
constexpr Rect kNormalOpen{440, 40, 488, 88};
constexpr Rect kNormalPlay{440, 112, 488, 160};
constexpr Rect kNormalSnapshot{440, 184, 488, 232};
constexpr Rect kNormalDrag{0, 0, 432, 276};

// The fullscreen controls sit in a band of this height below the video.
constexpr int32_t kFullscreenBand = 128;
constexpr int32_t kFullscreenButtonGap = 80;

// Desktop width times a factor, in double precision, truncated toward zero.
int32_t scaled(int32_t width, double factor, double offset) {
    return static_cast<int32_t>(static_cast<double>(width) * factor + offset);
}

}  // namespace

SkinWindow::SkinWindow(PlaybackEngine& playbackEngine) : engine(playbackEngine) {
    computeLayout();
}

void SkinWindow::setSleepFunction(SleepFunction function) {
    sleepFunction = std::move(function);
}

void SkinWindow::setFileDialogFunction(FileDialogFunction function) {
    fileDialogFunction = std::move(function);
}

void SkinWindow::setDialogPump(std::function<void()> pump) {
    dialogPump = std::move(pump);
}

void SkinWindow::setCloseFunction(std::function<void()> function) {
    closeFunction = std::move(function);
}

void SkinWindow::setPointerSource(std::function<Point()> source) {
    pointerSource = std::move(source);
}

void SkinWindow::setDesktopSource(std::function<Rect()> source) {
    desktopSource = std::move(source);
}

void SkinWindow::computeLayout() {
    closeArea = kLargeClose;
    videoArea = kLargeVideo;
    seekBar = kLargeSeek;
    openButton = kLargeOpen;
    playButton = kLargePlay;
    snapshotButton = kLargeSnapshot;
    dragArea = kLargeDrag;

    if (fullscreen != 0) {
        // From the desktop as it is now: its resolution may have changed since the last build.
        refreshDesktop();
        const int32_t w = desktopWidth;
        const int32_t h = desktopHeight;
        videoArea = {0, 0, w, h - kFullscreenBand};
        seekBar = {scaled(w, 0.25, 0.0), h - 106, scaled(w, 0.75, 0.0), h - 94};
        playButton = {scaled(w, 0.5, -kButtonSize / 2), h - 72, scaled(w, 0.5, kButtonSize / 2),
                      h - 24};
        openButton = {playButton.left - kFullscreenButtonGap, h - 72,
                      playButton.right - kFullscreenButtonGap, h - 24};
        snapshotButton = {playButton.left + kFullscreenButtonGap, h - 72,
                          playButton.right + kFullscreenButtonGap, h - 24};
    } else if (largeSkin == 0) {
        closeArea = kNormalClose;
        videoArea = kNormalVideo;
        seekBar = kNormalSeek;
        openButton = kNormalOpen;
        playButton = kNormalPlay;
        snapshotButton = kNormalSnapshot;
        dragArea = kNormalDrag;
    }
}

}  // namespace vidora
