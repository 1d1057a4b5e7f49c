#pragma once
// The window's input, as the program's event loop consumes it: keys as Windows virtual-key
// codes, left-button presses with their click count, exposes, close requests, dropped files and
// the program's own close message.

#include <cstdint>
#include <string>

namespace vidora {

// The program's private close message.
constexpr uint32_t UM_CLOSE = 0x480;

// Virtual-key codes that the skin reacts to or that tests send.
constexpr int32_t kKeyBackspace = 8;
constexpr int32_t kKeyEnter = 13;
constexpr int32_t kKeyEscape = 27;
constexpr int32_t kKeySpace = 32;
constexpr int32_t kKeyPageUp = 33;
constexpr int32_t kKeyPageDown = 34;
constexpr int32_t kKeyHome = 36;
constexpr int32_t kKeyLeft = 37;
constexpr int32_t kKeyUp = 38;
constexpr int32_t kKeyRight = 39;
constexpr int32_t kKeyDown = 40;
constexpr int32_t kKeyF1 = 112;
constexpr int32_t kKeyF2 = 113;
constexpr int32_t kKeyComma = 188;
constexpr int32_t kKeyPeriod = 190;
constexpr int32_t kKeyLeftBracket = 219;
constexpr int32_t kKeyRightBracket = 221;

struct InputEvent {
    enum class Kind {
        Expose,        // the window must be painted again
        Key,           // a key went down (auto-repeat included): `key` holds its virtual-key
                       // code, 0 for keys that have none; keys pressed with Alt, Alt itself and
                       // F10 are system keys and do not arrive
        LeftPress,     // left button pressed at x, y (window pixels) with `clicks` (1, 2, 3 …)
        LeftRelease,   // left button released
        CloseRequest,  // the window manager or Alt+F4 asks the window to close
        FileDropped,   // a file was dropped onto the window: `path`
        Close,         // UM_CLOSE, posted by the program itself
        PictureReady,  // a new picture is in the video surface, to be brought to the screen
        Quit,          // the session ends (also SIGINT and SIGTERM); never a window close
        WindowGone,    // another client destroyed the window: the program must end without it
        Wheel,         // the mouse wheel turned over the window by `wheel` notches (up > 0)
    };
    Kind kind = Kind::Expose;
    int32_t key = 0;
    int32_t x = 0;
    int32_t y = 0;
    int32_t clicks = 0;
    int32_t wheel = 0;
    bool ctrl = false;  // Key: with Ctrl held
    std::string path;
};

// Starts the event and video subsystems and enables dropped files; call once on the main
// thread before creating the window. False when no display is available (SDL's off-screen and
// dummy video drivers count only when SDL_VIDEODRIVER names them).
bool initEvents();

// Waits at most `timeoutMs` for the next event; false when none came in time. Events of no
// interest to the program are consumed and skipped.
bool waitEvent(InputEvent& event, int32_t timeoutMs);

// Posts UM_CLOSE to the program's own event queue; callable from any thread once initEvents
// has succeeded (before that it does nothing).
void postCloseMessage();

// Wakes the event loop with a PictureReady event; callable from any thread. While one is waiting
// in the queue no second is posted: the loop shows the newest picture when it gets to it.
void postPictureReady();

// Milliseconds since an arbitrary start, steady.
uint64_t monotonicMilliseconds();

}  // namespace vidora
