// The skin's surfaces, the composition of each paint and the window's size, place and shape.

#include <algorithm>
#include <iterator>
#include <mutex>
#include <utility>

#include "engine/playback_engine.h"
#include "platform/events.h"
#include "platform/resources.h"
#include "skin/skin_window.h"

namespace vidora {

namespace {

constexpr const char* kNormalBackground = "skin-normal.bmp";
constexpr const char* kLargeBackground = "skin-large.bmp";
constexpr const char* kNormalStrip = "buttons-normal.bmp";
constexpr const char* kLargeStrip = "buttons-large.bmp";
constexpr const char* kIcon = "icon.bmp";

// Strip cells: the resting face of each button; the highlighted face is the cell before it.
constexpr int32_t kPlayCell = 1;
constexpr int32_t kOpenCell = 5;
constexpr int32_t kSnapshotCell = 7;

// What the video area says for a file that plays nothing.
constexpr char kInvalidFileText[] = "无效的日志文件";
constexpr char kCannotOpenText[] = "无法打开文件";

// The notice's band across the video area.
constexpr int32_t kNoticeBandHeight = 28;
constexpr Colorref kNoticeBand = 0x141414;
constexpr Colorref kNoticeText = 0xFFFFFF;

// The fullscreen bar's fill leaves this many rows of grey above and below it.
constexpr int32_t kFullscreenFillInset = 3;
// The normal skin's vertical bar fill leaves this many columns of grey on either side.
constexpr int32_t kNormalFillInset = 2;

// extent × percent / 100, the product in 32 bits and the quotient in floating point, truncated.
int32_t share(int32_t extent, int32_t percent) {
    return static_cast<int32_t>(static_cast<double>(extent * percent) / 100.0);
}

void copyCell(Surface& target, const Surface& strip, int32_t cell, const Rect& button) {
    target.copyFrom(strip, cell * kButtonSize, 0, kButtonSize, kButtonSize, button.left,
                    button.top);
}

}  // namespace

void SkinWindow::attach(Window* target) {
    window = target;
    if (window) {
        // From the file's bytes, so that the icon keeps its alpha channel.
        const ResourceBytes bytes = embeddedResource(kIcon);
        window->setIcon(bytes.data, bytes.size);
    }
    buildSurfaces();
    drawButtons();
    placeWindow();
}

bool SkinWindow::loadSkinBitmap(Surface& out, const char* resourceName) {
    const ResourceBytes bytes = embeddedResource(resourceName);
    out = Surface::fromBmp(bytes.data, bytes.size);
    return out.valid();
}

void SkinWindow::buildSurfaces() {
    // Background first, as the window size is taken from it.
    loadSkinBitmap(background, largeSkin != 0 ? kLargeBackground : kNormalBackground);
    loadSkinBitmap(strip, largeSkin != 0 ? kLargeStrip : kNormalStrip);

    auto fresh = std::make_unique<Surface>(videoArea.width(), videoArea.height());

    refreshDesktop();

    if (fullscreen != 0) {
        windowWidth = desktopWidth;
        windowHeight = desktopHeight;
    } else {
        windowWidth = background.width();
        windowHeight = background.height();
    }
    composition = Surface(windowWidth, windowHeight);

    // The engine draws into its target under the video surface's lock: the new surface is handed
    // over first, and the old one is freed under the lock, so no frame can land in it. While
    // nothing is open the engine keeps its old target; the surface about to go is then
    // forgotten, and the new surface reaches the engine with the next open.
    engine.retarget(fresh.get(), videoTargetRect());
    std::swap(video, fresh);
    engine.forgetSurface(fresh.get());
    {
        auto lock = engine.lockVideoSurface();
        fresh.reset();
    }
    surfacesBuilt = true;
}

void SkinWindow::refreshDesktop() {
    Rect desktop{desktopLeft, desktopTop, desktopLeft + desktopWidth, desktopTop + desktopHeight};
    if (desktopSource) {
        desktop = desktopSource();
    } else if (window) {
        desktop = window->desktopBounds();
    }
    desktopLeft = desktop.left;
    desktopTop = desktop.top;
    desktopWidth = desktop.width();
    desktopHeight = desktop.height();
}

void SkinWindow::releaseSurfaces() {
    if (!surfacesBuilt) {
        return;
    }
    composition = Surface();
    strip = Surface();
    engine.forgetSurface(video.get());
    {
        auto lock = engine.lockVideoSurface();
        video.reset();
    }
    background = Surface();
    surfacesBuilt = false;
}

SkinWindow::~SkinWindow() {
    releaseSurfaces();
}

void SkinWindow::shutdown() {
    engine.close();
    releaseSurfaces();
}

void SkinWindow::fillSolid(Surface& target, Rect rect, Colorref colour) {
    if (!rect.empty()) {
        target.fill(rect, colour);
    }
}

void SkinWindow::paint() {
    if (!composition.valid()) {
        return;
    }
    compose(looks());
    if (window) {
        window->present(composition);
    }
}

void SkinWindow::compose(const Looks& now) {
    painted = now;
    composition.copyFrom(background, 0, 0, windowWidth, windowHeight, 0, 0);
    drawProgressInto(composition, now);
    drawButtonsInto(composition, now);
    drawVideo();
}

void SkinWindow::showPicture() {
    if (!composition.valid()) {
        return;
    }
    drawVideo();
    if (window) {
        window->presentArea(composition, videoArea);
    }
}

void SkinWindow::drawProgress() {
    drawProgressInto(composition, looks());
}

void SkinWindow::drawProgressInto(Surface& target, const Looks& now) const {
    fillSolid(target, seekBar, kProgressGround);
    // The fill never leaves its bar, whatever share the engine reports.
    const int32_t p = std::clamp(now.progress, 0, 100);
    Rect fill = seekBar;
    if (fullscreen != 0) {
        fill.top += kFullscreenFillInset;
        fill.bottom -= kFullscreenFillInset;
        fill.right = fill.left + share(seekBar.width(), p);
    } else if (largeSkin != 0) {
        // The large skin's bar is only 3 rows high: it fills left to right over its full height.
        fill.right = fill.left + share(seekBar.width(), p);
    } else {
        fill.left += kNormalFillInset;
        fill.right -= kNormalFillInset;
        fill.top = fill.bottom - share(seekBar.height(), p);
    }
    fillSolid(target, fill, kProgressFill);
}

SkinWindow::Looks SkinWindow::looks() const {
    Looks now;
    std::copy(std::begin(hover), std::end(hover), std::begin(now.hover));
    now.playFace = (engine.isPlaying() != 0 && engine.isPaused() == 0) ? 1 : 0;
    now.progress = engine.progress();
    now.notice = !notice.empty();
    now.hoverLabel = hoverLabel;
    now.hoverAt = hoverLabel.empty() ? Point{} : hoverAt;
    now.help = helpShown;
    return now;
}

void SkinWindow::drawButtons() {
    drawButtonsInto(composition, looks());
}

void SkinWindow::drawButtonsInto(Surface& target, const Looks& now) const {
    // The play button shows its pause face exactly while a recording plays unpaused.
    const int32_t face = now.playFace;
    copyCell(target, strip, kOpenCell - now.hover[0], openButton);
    copyCell(target, strip, 2 * face + kPlayCell - now.hover[1 + face], playButton);
    copyCell(target, strip, kSnapshotCell - now.hover[3], snapshotButton);
}

void SkinWindow::drawVideo() {
    // The presenter may be drawing a frame right now; the lock keeps half frames off the screen.
    auto lock = engine.lockVideoSurface();
    if (video) {
        composition.copyFrom(*video, 0, 0, videoArea.width(), videoArea.height(), videoArea.left,
                             videoArea.top);
    }
    // The only word the player has for a file it cannot play, over the black video area.
    switch (engine.fileProblem()) {
        case FileProblem::NotARecording:
            composition.drawText(kInvalidFileText, videoArea, Surface::TextAlign::Centre,
                                 kNoticeText);
            break;
        case FileProblem::CannotOpen:
            composition.drawText(kCannotOpenText, videoArea, Surface::TextAlign::Centre,
                                 kNoticeText);
            break;
        case FileProblem::None:
            break;
    }
    drawHelp();
    drawNotice();
    drawHoverLabel();
}

void SkinWindow::showNotice(std::string text, uint64_t milliseconds) {
    notice = std::move(text);
    noticeUntilMs = monotonicMilliseconds() + milliseconds;
    needsPaint = true;
}

void SkinWindow::drawNotice() {
    if (notice.empty()) {
        return;
    }
    // On a dark band across the picture, so that it reads over any picture.
    const int32_t middle = videoArea.top + videoArea.height() / 2;
    const Rect band{videoArea.left, middle - kNoticeBandHeight / 2, videoArea.right,
                    middle + kNoticeBandHeight / 2};
    fillSolid(composition, band, kNoticeBand);
    composition.drawText(notice, band, Surface::TextAlign::Centre, kNoticeText);
}

Rect SkinWindow::videoTargetRect() const {
    return {0, 0, videoArea.width(), videoArea.height()};
}

void SkinWindow::blankVideo() {
    auto lock = engine.lockVideoSurface();
    if (video) {
        fillSolid(*video, videoTargetRect(), 0);
    }
}

Rect SkinWindow::windowPlacement() const {
    if (fullscreen != 0) {
        return {desktopLeft, desktopTop, desktopLeft + desktopWidth, desktopTop + desktopHeight};
    }
    const int32_t x = desktopLeft + (desktopWidth - windowWidth) / 2;
    const int32_t y = desktopTop + (desktopHeight - windowHeight) / 2;
    return {x, y, x + windowWidth, y + windowHeight};
}

Surface SkinWindow::composeShape() const {
    // Only the normal skin has see-through (pure red) pixels; fullscreen's video area covers
    // the corners of the normal background it is drawn over.
    if (fullscreen != 0 || largeSkin != 0) {
        return {};
    }
    Surface shape(windowWidth, windowHeight);
    if (!shape.valid()) {
        return {};
    }
    // The video area stays black: a pure-red pixel in a recording must never punch a hole.
    shape.copyFrom(background, 0, 0, windowWidth, windowHeight, 0, 0);
    const Looks now = looks();
    drawProgressInto(shape, now);
    drawButtonsInto(shape, now);
    fillSolid(shape, videoArea, 0);
    return shape;
}

void SkinWindow::placeWindow() {
    if (!window) {
        return;
    }
    const Rect at = windowPlacement();
    const Surface shape = composeShape();
    window->place(at.left, at.top, at.width(), at.height(), shape.valid() ? &shape : nullptr);
}

}  // namespace vidora
