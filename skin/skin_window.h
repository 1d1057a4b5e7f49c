#pragma once
// The controller behind the program's one window. Every pixel of the window is composed here
// from the skin bitmaps, the progress bar and the video surface that the engine's threads draw
// frames into; the window's input arrives here and becomes mode switches, window drags, seeks,
// the three buttons and snapshots. Everything but the video surface is used by the window
// thread only.
//
// Three display modes: the normal skin, the large skin (F2) and fullscreen (double-click on the
// video, Esc to leave). computeLayout gives each mode its seven rectangles; buildSurfaces sizes
// the surfaces for it; placeWindow sizes, places and shapes the window.
//
// The event loop drives the object: it calls paint whenever `needsPaint` is set (clearing it) or
// the window is exposed, onTimer every 80 ms, onKey, onClick and onDoubleClick for the input, and
// serves `dragRequested` by moving the window with the pointer until the button is released.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/entry_dialog.h"
#include "platform/file_dialog.h"
#include "platform/geometry.h"
#include "platform/surface.h"
#include "platform/window.h"

namespace vidora {

class PlaybackEngine;
class RecordIndex;

// Skin colours (0x00BBGGRR).
constexpr Colorref kProgressGround = 0x787878;
constexpr Colorref kProgressFill = 0xFFFFFF;
constexpr Colorref kColourKey = 0x0000FF;  // pure red: see-through in the normal skin

// Pause between the input that switches a display mode and the rebuild.
constexpr uint32_t kModeSwitchPauseMs = 200;

// How long a notice stays over the picture, and a message saying what a key did.
constexpr uint64_t kNoticeMs = 3000;
constexpr uint64_t kMessageMs = 1000;
// The notice shown when a snapshot could not be written.
constexpr const char* kSaveFailedText = "保存失败";

// The button strips hold eight 48 × 48 cells side by side.
constexpr int32_t kButtonSize = 48;

class SkinWindow {
  public:
    using SleepFunction = std::function<void(uint32_t milliseconds)>;
    using FileDialogFunction = std::function<std::optional<std::string>(
        const FileDialogRequest& request, const std::function<void()>& whileWaiting)>;

    explicit SkinWindow(PlaybackEngine& engine);
    // Frees what shutdown has not, without leaving the engine pointing at a freed surface.
    ~SkinWindow();
    SkinWindow(const SkinWindow&) = delete;
    SkinWindow& operator=(const SkinWindow&) = delete;

    // --- What the program's event loop and tests can swap --------------------------------------

    // The 200 ms pauses of the mode switches (default: a real sleep).
    void setSleepFunction(SleepFunction function);
    // The file chooser (default: runFileDialog).
    void setFileDialogFunction(FileDialogFunction function);
    // Called over and over while a file dialog is open, so that the window goes on painting and
    // ticking meanwhile (default: nothing).
    void setDialogPump(std::function<void()> pump);
    // The entry dialog that asks for a moment (default: runEntryDialog).
    using EntryDialogFunction = std::function<std::optional<std::string>(
        const EntryDialogRequest& request, const std::function<void()>& whileWaiting)>;
    void setEntryDialogFunction(EntryDialogFunction function);
    // Closing the program (default: postCloseMessage).
    void setCloseFunction(std::function<void()> function);
    // The pointer in window pixels for the hover highlights (default: the window's pointer).
    void setPointerSource(std::function<Point()> source);
    // The desktop's bounds, read by every buildSurfaces and fullscreen layout (default: the
    // display holding the window; without a window the recorded desktop size is kept).
    void setDesktopSource(std::function<Rect()> source);

    // --- Layout ----------------------------------------------------------------------------------

    // Fills the seven rectangles for the current mode; fullscreen from the desktop's size now.
    void computeLayout();

    // --- Surfaces and painting -------------------------------------------------------------------

    // Takes the window (sets its icon), builds the surfaces and shows the window. A null window
    // builds the surfaces only.
    void attach(Window* target);
    // (Re)creates the four surfaces for the current layout and hands the new video surface to
    // the engine. The old video surface is freed only once no engine thread can draw into it.
    void buildSurfaces();
    void releaseSurfaces();
    // Stops the engine, then frees the surfaces.
    void shutdown();
    // Decodes an embedded skin bitmap into `out`; false (and an invalid surface) when missing.
    static bool loadSkinBitmap(Surface& out, const char* resourceName);
    // Composes background, progress bar, buttons and video into the composition surface and
    // shows it in the window.
    void paint();
    // What the frame of the window shows apart from the video: the highlights, the play
    // button's face (1 while a recording plays unpaused) and the progress.
    struct Looks {
        int32_t hover[4] = {0, 0, 0, 0};
        int32_t playFace = 0;
        int32_t progress = 0;
        bool notice = false;
        // The camera's date and time under the pointer on the seek bar, drawn next to it.
        std::string hoverLabel;
        Point hoverAt;
        bool help = false;
        friend bool operator==(const Looks&, const Looks&) = default;
    };
    // Composes the window as it looks with `looks`, without showing it; paint composes it for
    // the engine's state of the moment.
    void compose(const Looks& looks);
    // Brings the picture the engine has just drawn to the screen: the video area alone is
    // composed anew and shown, at once rather than at the next full paint.
    void showPicture();
    void drawButtons();
    void drawVideo();
    void drawProgress();
    static void fillSolid(Surface& target, Rect rect, Colorref colour);
    // Sizes, places, shapes and shows the window for the current mode.
    void placeWindow();
    // Where placeWindow puts the window, in desktop pixels.
    Rect windowPlacement() const;
    // The window's shape for the current mode: the composed window with the video area blank,
    // whose pure-red pixels are see-through. Invalid (no shape, all opaque) for the large skin
    // and fullscreen, which have no see-through pixels.
    Surface composeShape() const;

    // --- Input -----------------------------------------------------------------------------------

    void onTimer();
    void onKey(int32_t key, bool ctrl = false);
    // The mouse wheel over the window: the volume, a step a notch.
    void onWheel(int32_t notches);
    void onClick(int32_t x, int32_t y);
    // The share of the recording a press at (x, y) on the seek bar asks for; 0 off the bar and
    // at its very ends, which ask for nothing.
    int32_t seekPercentAt(int32_t x, int32_t y) const;
    void onDoubleClick(int32_t x, int32_t y);
    void rebuildSkin();

    // --- What the input, a dropped file and the command line ask for -----------------------------

    // Plays `path` from its first record, on a black video area.
    void openRecording(const std::string& path);
    // Files opened together (several on the command line): the first plays, each goes on to the
    // next at its end, and Page Down / Page Up walk them instead of the folder.
    void setPlaylist(std::vector<std::string> files);
    // Asks for a recording and opens it (the open button).
    void chooseAndOpen();
    // Pauses or resumes; with nothing playing, plays the recording again from its first record.
    void playOrPause();
    // Asks for a name and saves the picture there (the snapshot button).
    void takeSnapshot();
    // Between the normal and the large skin (F2); not in fullscreen.
    void switchSkin();
    // Enters fullscreen from the skin on show, or leaves it back to that skin.
    void toggleFullscreen();
    void leaveFullscreen();
    // Closes the player's window.
    void close();
    // Esc, Alt+F4 and the window manager's close: leaves fullscreen, or else closes.
    void dismiss();

    // --- Reviewing: each says what it did in a brief message over the picture -------------------

    // Jumps `us` of the recording's time from the picture on show (the arrow keys).
    void seekByTime(int64_t us);
    // To the first record (Home).
    void goToStart();
    // Pauses and shows the next (+1) or previous (−1) picture ('.' and ',').
    void stepPicture(int direction);
    // Halves (−1) or doubles (+1) the speed, between a quarter and sixteen times ('[' and ']').
    void changeSpeed(int direction);
    void resetSpeed();
    // The volume in 10 % steps ('9', '0', the wheel), and mute ('m'), which remembers the level.
    void changeVolume(int32_t steps);
    void toggleMute();
    // Asks for a moment (the camera's date and time, a time of day, or a time into the
    // recording) and goes to its first picture (Ctrl+G).
    void goToTypedMoment();
    // Opens the next (+1) or previous (−1) recording of the same folder by name (Page Down, Up).
    void openNeighbour(int direction);
    // The list of keys over the picture, until the next key (F1).
    void toggleHelp();
    int32_t volumePercent = 100;
    bool muted = false;
    bool helpShown = false;

    // --- File dialogs and snapshots --------------------------------------------------------------

    // Asks for a recording to open, or for a snapshot's name; nothing when cancelled.
    std::optional<std::string> chooseFile(bool forSnapshot);
    // Writes the video area as the last paint composed it to a 24-bit BMP file, or to a PNG
    // file with the same pixels when the name ends in exactly ".png". Otherwise ".bmp" is
    // appended unless the name ends in exactly ".bmp". The file appears only complete: a file
    // that cannot be written leaves nothing behind and an existing file untouched. False then.
    bool saveSnapshot(std::string path);
    // Shows one line of text across the middle of the video area, over the picture, for
    // kNoticeMs (the failure of something the user asked for).
    void showNotice(std::string text, uint64_t milliseconds = kNoticeMs);
    // A brief message (what a key did), for a second.
    void showMessage(std::string text);
    bool noticeShown() const { return !notice.empty(); }

    // --- State, shared with the event loop and the tests -----------------------------------------

    Window* window = nullptr;
    Surface background;
    Surface strip;
    // Handed to the engine as its drawing target; replaced and freed only under the engine's
    // video surface lock, as the video thread draws into it.
    std::unique_ptr<Surface> video;
    Surface composition;
    bool surfacesBuilt = false;

    int32_t windowWidth = 0;
    int32_t windowHeight = 0;
    // The desktop as the last buildSurfaces found it: its size and its origin.
    int32_t desktopWidth = 0;
    int32_t desktopHeight = 0;
    int32_t desktopLeft = 0;
    int32_t desktopTop = 0;

    // [0] open button, [1] play button showing play, [2] play button showing pause, [3] snapshot.
    int32_t hover[4] = {0, 0, 0, 0};
    int32_t hoverTracking = 1;
    int32_t fullscreen = 0;
    int32_t largeSkin = 0;

    Rect closeArea;
    Rect videoArea;
    Rect seekBar;
    Rect openButton;
    Rect playButton;
    Rect snapshotButton;
    Rect dragArea;

    // Set by every tracked timer tick: the event loop paints the whole window and clears it.
    bool needsPaint = false;
    // Set by a press in the drag area outside fullscreen: the event loop moves the window with
    // the pointer until the button is released, then clears it.
    bool dragRequested = false;

  private:
    Looks looks() const;
    const Looks& paintedLooks() const { return painted; }
    Looks painted;

    // The notice over the video area of the composition, while it lasts, the hover label and the
    // list of keys.
    void drawNotice();
    void drawHoverLabel();
    void drawHelp();
    // The camera's date and time a click at `p` on the seek bar would land on; empty off the
    // bar or without the index.
    std::string hoverLabelAt(Point p) const;
    // The index of the recording on show, when it has one with records; says so when it is on
    // its way.
    std::shared_ptr<const RecordIndex> readyIndex();
    // "what　DATE TIME" of `record`, when there is one.
    void showLanding(const std::string& what, const RecordIndex& index,
                     std::optional<size_t> record);
    std::string volumeText() const;
    // The recording on show, to tell when playback went on into the next file by itself.
    std::string shownPath;
    std::vector<std::string> playlist;
    // Whether the recording on show was playing at the last tick: its end opens the next one
    // of the playlist.
    bool wasPlaying = false;
    // The file `direction` away from the one on show in the playlist, when it is in one.
    std::optional<std::string> playlistNeighbour(int direction) const;
    // Whether the file on show is in the playlist at all.
    bool inPlaylist() const;
    // Opens the next file of the playlist when the one on show has just ended.
    void goOnInPlaylist();
    std::string hoverLabel;
    Point hoverAt;
    std::string notice;
    uint64_t noticeUntilMs = 0;

    // Records the desktop's size and origin as they are now.
    void refreshDesktop();
    void drawProgressInto(Surface& target, const Looks& looks) const;
    void drawButtonsInto(Surface& target, const Looks& looks) const;
    // Fills the video surface with black, under the engine's lock.
    void blankVideo();
    Rect videoTargetRect() const;
    Point pointer() const;
    void pause(uint32_t milliseconds);

    PlaybackEngine& engine;
    SleepFunction sleepFunction;
    FileDialogFunction fileDialogFunction;
    std::function<void()> dialogPump;
    std::function<void()> closeFunction;
    EntryDialogFunction entryDialogFunction;
    std::function<Point()> pointerSource;
    std::function<Rect()> desktopSource;
};

}  // namespace vidora
