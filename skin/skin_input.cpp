// The window's input: hover tracking and the periodic repaint, the mode switches, closing,
// dragging, seeking and the three buttons, and the file dialogs they open.

#include <chrono>
#include <thread>

#include "engine/playback_engine.h"
#include "platform/events.h"
#include "skin/skin_window.h"

namespace vidora {

namespace {

constexpr int64_t kSmallJumpUs = 5000000;
constexpr int64_t kLargeJumpUs = 60000000;

}  // namespace

void SkinWindow::pause(uint32_t milliseconds) {
    if (sleepFunction) {
        sleepFunction(milliseconds);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

Point SkinWindow::pointer() const {
    if (pointerSource) {
        return pointerSource();
    }
    if (window) {
        return window->pointerInWindow();
    }
    return {-1, -1};
}

void SkinWindow::onTimer() {
    // Off while a mode switch or a file dialog is in progress.
    if (hoverTracking == 0) {
        return;
    }
    if (!notice.empty() && monotonicMilliseconds() >= noticeUntilMs) {
        notice.clear();
    }
    const Point p = pointer();
    hover[0] = openButton.contains(p.x, p.y) ? 1 : 0;
    hover[1] = playButton.contains(p.x, p.y) ? 1 : 0;
    hover[2] = hover[1];
    hover[3] = snapshotButton.contains(p.x, p.y) ? 1 : 0;
    hoverLabel = hoverLabelAt(p);
    hoverAt = p;
    // Playback went on into the camera's next file by itself: say which.
    const std::string playing = engine.currentPath();
    if (playing != shownPath) {
        if (!shownPath.empty() && !playing.empty()) {
            showMessage("继续播放 " + playing.substr(playing.find_last_of('/') + 1));
        }
        shownPath = playing;
    }
    goOnInPlaylist();
    // Pictures reach the screen as they are drawn; the tick repaints the window only when a
    // highlight, the play button's face or the progress bar has changed since the last paint.
    if (paintedLooks() != looks()) {
        needsPaint = true;
    }
}

void SkinWindow::onKey(int32_t key, bool ctrl) {
    // The list of keys stays until the next key, which goes on to do what it does, except Esc
    // and F1, which only take the list away.
    if (helpShown) {
        toggleHelp();
        if (key == kKeyEscape || key == kKeyF1) {
            return;
        }
    }
    if (ctrl) {
        if (key == 'G') {
            goToTypedMoment();
        }
        return;
    }
    switch (key) {
        case kKeyEscape:
            dismiss();
            break;
        case kKeyF2:
            switchSkin();
            break;
        case kKeyF1:
            toggleHelp();
            break;
        case kKeySpace:
            playOrPause();
            if (!engine.currentPath().empty() && engine.fileProblem() == FileProblem::None) {
                showMessage(engine.isPaused() != 0 ? "暂停" : "播放");
            }
            break;
        case kKeyLeft:
        case kKeyRight:
            seekByTime(key == kKeyLeft ? -kSmallJumpUs : kSmallJumpUs);
            break;
        case kKeyDown:
        case kKeyUp:
            seekByTime(key == kKeyDown ? -kLargeJumpUs : kLargeJumpUs);
            break;
        case kKeyHome:
            goToStart();
            break;
        case kKeyPeriod:
        case kKeyComma:
            stepPicture(key == kKeyPeriod ? 1 : -1);
            break;
        case kKeyLeftBracket:
        case kKeyRightBracket:
            changeSpeed(key == kKeyRightBracket ? 1 : -1);
            break;
        case kKeyBackspace:
            resetSpeed();
            break;
        case '9':
        case '0':
            changeVolume(key == '0' ? 1 : -1);
            break;
        case 'M':
            toggleMute();
            break;
        case kKeyPageDown:
        case kKeyPageUp:
            openNeighbour(key == kKeyPageDown ? 1 : -1);
            break;
        default:
            break;
    }
}

void SkinWindow::dismiss() {
    if (fullscreen != 0) {
        leaveFullscreen();
    } else {
        close();
    }
}

void SkinWindow::close() {
    if (closeFunction) {
        closeFunction();
    } else {
        postCloseMessage();
    }
}

void SkinWindow::switchSkin() {
    if (fullscreen == 0) {
        largeSkin = largeSkin != 0 ? 0 : 1;
        rebuildSkin();
    }
}

void SkinWindow::leaveFullscreen() {
    if (fullscreen != 0) {
        toggleFullscreen();
    }
}

void SkinWindow::playOrPause() {
    // A new reader starts from the first record: its first frame comes on black.
    if (engine.isPlaying() == 0) {
        blankVideo();
    }
    engine.togglePlay();
}

void SkinWindow::takeSnapshot() {
    hoverTracking = 0;
    if (const auto path = chooseFile(true)) {
        if (!saveSnapshot(*path)) {
            showNotice(kSaveFailedText);
        }
    }
    hoverTracking = 1;
}

void SkinWindow::chooseAndOpen() {
    hoverTracking = 0;
    if (const auto path = chooseFile(false)) {
        openRecording(*path);
    }
    hoverTracking = 1;
}

void SkinWindow::rebuildSkin() {
    hoverTracking = 0;
    pause(kModeSwitchPauseMs);
    computeLayout();
    buildSurfaces();
    drawButtons();
    placeWindow();
    hoverTracking = 1;
}

void SkinWindow::onDoubleClick(int32_t x, int32_t y) {
    if (videoArea.contains(x, y)) {
        toggleFullscreen();
    }
}

void SkinWindow::toggleFullscreen() {
    hoverTracking = 0;
    pause(kModeSwitchPauseMs);
    // Fullscreen is built from the normal skin; leaving it brings back the skin chosen before.
    const int32_t chosenSkin = largeSkin;
    if (fullscreen == 0) {
        largeSkin = 0;
    }
    fullscreen = fullscreen != 0 ? 0 : 1;
    computeLayout();
    buildSurfaces();
    drawButtons();
    placeWindow();
    largeSkin = chosenSkin;
    hoverTracking = 1;
}

int32_t SkinWindow::seekPercentAt(int32_t x, int32_t y) const {
    if (!seekBar.contains(x, y)) {
        return 0;
    }
    const int32_t percent = (fullscreen != 0 || largeSkin != 0)
                                ? (x - seekBar.left) * 100 / seekBar.width()
                                : (seekBar.bottom - y) * 100 / seekBar.height();
    return percent > 0 && percent < 100 ? percent : 0;
}

void SkinWindow::onClick(int32_t x, int32_t y) {
    // The seek bar does not end the tests: in the normal skin it lies in the drag area, and a
    // press on it both seeks and starts a drag.
    const int32_t percent = seekPercentAt(x, y);
    if (percent != 0) {
        engine.requestSeek(percent);
    }

    if (closeArea.contains(x, y)) {
        if (fullscreen == 0) {
            close();
        }
        return;
    }
    if (dragArea.contains(x, y)) {
        if (fullscreen == 0) {
            dragRequested = true;
        }
        return;
    }
    if (openButton.contains(x, y)) {
        chooseAndOpen();
    } else if (playButton.contains(x, y)) {
        playOrPause();
    } else if (snapshotButton.contains(x, y)) {
        takeSnapshot();
    }
}

void SkinWindow::openRecording(const std::string& path) {
    shownPath = path;
    wasPlaying = false;
    blankVideo();
    engine.open(path, video.get(), videoTargetRect());
}

std::optional<std::string> SkinWindow::chooseFile(bool forSnapshot) {
    FileDialogRequest request;
    if (forSnapshot) {
        request.title = "保存图片对话框";
        request.filterName = "BMP Files";
        request.filterGlob = "*.bmp";
        request.moreFilters = {{"PNG Files", "*.png"}};
        request.save = true;
    } else {
        request.title = "选择文件对话框";
        request.filterName = "KRM Files";
        request.filterGlob = "*.krm";
        request.save = false;
    }
    const std::function<void()> whileWaiting = dialogPump ? dialogPump : [] {};
    // The dialog belongs to the window, and the window lets it (and the message boxes it opens
    // itself) come above it while it is open.
    if (window) {
        request.owner = window->systemId();
        window->setKeptOnTop(false);
    }
    std::optional<std::string> chosen = fileDialogFunction
                                            ? fileDialogFunction(request, whileWaiting)
                                            : runFileDialog(request, whileWaiting);
    if (window) {
        window->setKeptOnTop(true);
    }
    return chosen;
}

}  // namespace vidora
