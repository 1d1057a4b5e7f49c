// What a reviewer does with the keys and the wheel: jumps by the recording's time, steps through
// pictures, changes the speed and the volume, goes to a moment of the camera's clock, goes on to
// the camera's next file; and the brief messages, the list of keys and the camera time under the
// pointer on the seek bar that tell what is where.

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iterator>

#include "engine/playback_engine.h"
#include "platform/events.h"
#include "platform/file.h"
#include "recording/camera_files.h"
#include "recording/recording_format.h"
#include "recording/time_text.h"
#include "skin/skin_window.h"

namespace vidora {

namespace {

constexpr int32_t kVolumeStep = 10;
// The speeds '[' and ']' step through.
constexpr double kSpeeds[] = {0.25, 0.5, 1.0, 2.0, 4.0, 8.0, 16.0};

constexpr char kIndexNotReady[] = "正在建立索引，请稍候";
constexpr char kMuted[] = "静音";
constexpr char kNoNextFile[] = "没有下一个文件";
constexpr char kNoPreviousFile[] = "没有上一个文件";
constexpr char kGoToTitle[] = "转到时间";
constexpr char kGoToPrompt[] =
    "日期和时间（2015.06.01 12:31:00）、时刻（12:31:00）或录像中的时间（+1:30）：";
// The list of keys that F1 shows.
constexpr const char* kHelpLines[] = {
    "空格　暂停 / 播放",
    "← →　后退 / 前进 5 秒",
    "↓ ↑　后退 / 前进 60 秒",
    "Home　回到开头",
    ", .　上一帧 / 下一帧",
    "[ ]　减速 / 加速　Backspace　原速",
    "9 0 滚轮　音量减 / 增　M　静音",
    "Ctrl+G　转到时间",
    "PgUp PgDn　上一个 / 下一个文件",
    "F2　切换皮肤　双击　全屏",
    "Esc　退出全屏 / 关闭",
};

constexpr Colorref kLabelBand = 0x141414;
constexpr Colorref kLabelText = 0xFFFFFF;
constexpr int32_t kLabelPadding = 4;

std::string speedText(double speed) {
    char text[32];
    std::snprintf(text, sizeof text, "速度 %g×", speed);
    return text;
}

std::string fileName(const std::string& path) {
    return utf8FromPath(pathFromUtf8(path).filename());
}

}  // namespace

void SkinWindow::setEntryDialogFunction(EntryDialogFunction function) {
    entryDialogFunction = std::move(function);
}

void SkinWindow::showMessage(std::string text) {
    showNotice(std::move(text), kMessageMs);
}

std::string SkinWindow::volumeText() const {
    return "音量 " + std::to_string(volumePercent) + "%";
}

void SkinWindow::onWheel(int32_t notches) {
    changeVolume(notches);
}

std::shared_ptr<const RecordIndex> SkinWindow::readyIndex() {
    // Nothing to move in without a recording that plays; the index may still be on its way.
    if (engine.currentPath().empty() || engine.fileProblem() != FileProblem::None) {
        return nullptr;
    }
    std::shared_ptr<const RecordIndex> index = engine.index();
    if (!index) {
        showMessage(kIndexNotReady);
    }
    return index && index->size() > 0 ? index : nullptr;
}

void SkinWindow::showLanding(const std::string& what, const RecordIndex& index,
                             std::optional<size_t> record) {
    if (record) {
        showMessage(what + "　" + formatRecordTime(index.at(*record).time));
    }
}

void SkinWindow::seekByTime(int64_t us) {
    if (const auto index = readyIndex()) {
        showLanding(std::string(us < 0 ? "后退 " : "前进 ") +
                        std::to_string(std::abs(us) / 1000000) + " 秒",
                    *index, engine.seekBy(us));
    }
}

void SkinWindow::goToStart() {
    if (const auto index = readyIndex()) {
        engine.seekToRecord(0);
        showLanding("回到开头", *index, 0);
    }
}

void SkinWindow::stepPicture(int direction) {
    if (const auto index = readyIndex()) {
        needsPaint = true;  // the play button shows play while paused
        showLanding(direction > 0 ? "下一帧" : "上一帧", *index, engine.stepPicture(direction));
    }
}

void SkinWindow::changeSpeed(int direction) {
    const double now = engine.speed();
    // The nearest step from where the speed stands, then one step on.
    auto at = std::min_element(std::begin(kSpeeds), std::end(kSpeeds), [now](double a, double b) {
        return std::abs(std::log2(a / now)) < std::abs(std::log2(b / now));
    });
    if (direction > 0 && std::next(at) != std::end(kSpeeds)) {
        ++at;
    } else if (direction < 0 && at != std::begin(kSpeeds)) {
        --at;
    }
    engine.setSpeed(*at);
    showMessage(speedText(*at));
}

void SkinWindow::resetSpeed() {
    engine.setSpeed(1.0);
    showMessage(speedText(1.0));
}

void SkinWindow::changeVolume(int32_t steps) {
    volumePercent = std::clamp(volumePercent + steps * kVolumeStep, 0, 100);
    muted = false;
    engine.setVolume(static_cast<float>(volumePercent) / 100.0f);
    showMessage(volumeText());
}

void SkinWindow::toggleMute() {
    muted = !muted;
    engine.setVolume(muted ? 0.0f : static_cast<float>(volumePercent) / 100.0f);
    showMessage(muted ? std::string(kMuted) : volumeText());
}

void SkinWindow::goToTypedMoment() {
    const std::shared_ptr<const RecordIndex> index = readyIndex();
    if (!index) {
        return;
    }
    EntryDialogRequest request;
    request.title = kGoToTitle;
    request.prompt = kGoToPrompt;
    const std::optional<size_t> current = engine.currentRecord();
    request.initial = formatRecordTime(index->at(current.value_or(0)).time);
    const std::function<void()> whileWaiting = dialogPump ? dialogPump : [] {};
    hoverTracking = 0;
    if (window) {
        request.owner = window->systemId();
        window->setKeptOnTop(false);
    }
    const std::optional<std::string> typed = entryDialogFunction
                                                 ? entryDialogFunction(request, whileWaiting)
                                                 : runEntryDialog(request, whileWaiting);
    if (window) {
        window->setKeptOnTop(true);
    }
    hoverTracking = 1;
    if (!typed) {
        return;
    }
    const std::optional<TypedMoment> moment = parseTypedMoment(*typed);
    if (!moment) {
        showMessage("无法识别的时间：" + *typed);
        return;
    }
    size_t record = RecordIndex::npos;
    switch (moment->kind) {
        case TypedMoment::Kind::DateTime:
            record = index->atClock(moment->time);
            break;
        case TypedMoment::Kind::TimeOfDay:
            record =
                index->atTimeOfDay(moment->time.hour, moment->time.minute, moment->time.second);
            break;
        case TypedMoment::Kind::IntoRecording:
            // A second past the last record still belongs to it; later is not covered.
            if (moment->intoUs <= index->at(index->size() - 1).playUs + 1000000) {
                record = index->atPlayTime(moment->intoUs);
            }
            break;
    }
    if (record == RecordIndex::npos || record >= index->size()) {
        showMessage("录像中没有这个时间：" + *typed);
        return;
    }
    engine.seekToRecord(record);
    showLanding("转到", *index, record);
}

void SkinWindow::openNeighbour(int direction) {
    const std::string current = engine.currentPath();
    if (current.empty()) {
        return;
    }
    const std::optional<std::string> next =
        inPlaylist() ? playlistNeighbour(direction) : neighbourRecording(current, direction);
    if (!next) {
        showMessage(direction > 0 ? kNoNextFile : kNoPreviousFile);
        return;
    }
    openRecording(*next);
    showMessage(fileName(*next));
}

void SkinWindow::setPlaylist(std::vector<std::string> files) {
    playlist = files.size() > 1 ? std::move(files) : std::vector<std::string>{};
    if (playlist.empty()) {
        return;
    }
    // Playback goes on by itself only into the next of the files given (when the camera's clock
    // runs on into it), never past the last; a file not among them goes on by its folder.
    engine.setFollowingFile([list = playlist](const std::string& ended) {
        const auto at = std::find(list.begin(), list.end(), ended);
        if (at == list.end()) {
            return neighbourRecording(ended, +1);
        }
        return std::next(at) != list.end() ? std::optional<std::string>(*std::next(at))
                                           : std::nullopt;
    });
}

bool SkinWindow::inPlaylist() const {
    return std::find(playlist.begin(), playlist.end(), engine.currentPath()) != playlist.end();
}

std::optional<std::string> SkinWindow::playlistNeighbour(int direction) const {
    const auto at = std::find(playlist.begin(), playlist.end(), engine.currentPath());
    if (at == playlist.end()) {
        return std::nullopt;
    }
    const ptrdiff_t next = (at - playlist.begin()) + (direction > 0 ? 1 : -1);
    if (next < 0 || next >= static_cast<ptrdiff_t>(playlist.size())) {
        return std::nullopt;
    }
    return playlist[static_cast<size_t>(next)];
}

void SkinWindow::goOnInPlaylist() {
    // The reader ends ahead of the pictures and sound it handed on: the next file waits for
    // them to be shown and heard (and for a pause meanwhile to end).
    if (engine.isPlaying() != 0) {
        wasPlaying = true;
        return;
    }
    if (!wasPlaying || !engine.playedOut()) {
        return;
    }
    wasPlaying = false;
    if (inPlaylist()) {
        if (const std::optional<std::string> next = playlistNeighbour(+1)) {
            openRecording(*next);
            showMessage(fileName(*next));
        }
    }
}

void SkinWindow::toggleHelp() {
    helpShown = !helpShown;
    needsPaint = true;
}

std::string SkinWindow::hoverLabelAt(Point p) const {
    if (!seekBar.contains(p.x, p.y)) {
        return {};
    }
    const std::shared_ptr<const RecordIndex> index = engine.index();
    if (!index || index->size() == 0) {
        return {};
    }
    // Where a click here would land: the same share of the file, the first record from there.
    const int32_t percent = seekPercentAt(p.x, p.y);
    std::error_code error;
    const uint64_t size = std::filesystem::file_size(pathFromUtf8(engine.currentPath()), error);
    if (error) {
        return {};
    }
    const size_t record = index->firstAtOrAfterOffset(
        kRecordingHeaderBytes + uint64_t{static_cast<uint32_t>(percent)} * size / 100);
    if (record >= index->size()) {
        return {};
    }
    return formatRecordTime(index->at(record).time);
}

void SkinWindow::drawHoverLabel() {
    if (hoverLabel.empty()) {
        return;
    }
    const Point extent = Surface::textExtent(hoverLabel);
    const int32_t width = extent.x + 2 * kLabelPadding;
    const int32_t height = extent.y + 2 * kLabelPadding;
    // Beside the pointer, inside the video area: left of the normal skin's upright bar, above
    // the bar under the picture otherwise.
    int32_t left = 0;
    int32_t top = 0;
    if (fullscreen == 0 && largeSkin == 0) {
        left = videoArea.right - width - kLabelPadding;
        top = hoverAt.y - height / 2;
    } else {
        left = hoverAt.x - width / 2;
        top = videoArea.bottom - height - kLabelPadding;
    }
    left = std::clamp(left, videoArea.left, std::max(videoArea.left, videoArea.right - width));
    top = std::clamp(top, videoArea.top, std::max(videoArea.top, videoArea.bottom - height));
    const Rect box{left, top, left + width, top + height};
    fillSolid(composition, box, kLabelBand);
    composition.drawText(hoverLabel, box, Surface::TextAlign::Centre, kLabelText);
}

void SkinWindow::drawHelp() {
    if (!helpShown) {
        return;
    }
    const int32_t lineHeight = std::max(Surface::textExtent("空格").y, 1);
    const int32_t lines = static_cast<int32_t>(std::size(kHelpLines));
    const int32_t height = std::min(lines * lineHeight + 2 * kLabelPadding, videoArea.height());
    const int32_t top = videoArea.top + (videoArea.height() - height) / 2;
    fillSolid(composition, {videoArea.left, top, videoArea.right, top + height}, kLabelBand);
    for (int32_t i = 0; i < lines; ++i) {
        const int32_t y = top + kLabelPadding + i * lineHeight;
        composition.drawText(
            kHelpLines[i], {videoArea.left + 2 * kLabelPadding, y, videoArea.right, y + lineHeight},
            Surface::TextAlign::Left, kLabelText);
    }
}

}  // namespace vidora
