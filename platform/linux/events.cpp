// SDL's event queue turned into the few events the program's loop knows: keys as Windows
// virtual-key codes (the skin's key handling is written in them), left-button presses with
// SDL's click count (odd = click, even = double-click), exposes, close requests and dropped
// files, plus the program's own close message as an SDL user event.

#include "platform/events.h"

#include <SDL.h>
#include <signal.h>

#include <algorithm>
#include <atomic>

#include "platform/sdl_init.h"
#include "platform/x11_windows.h"

namespace vidora {

namespace {

// The SDL event type registered for the program's own messages; 0 until initEvents.
std::atomic<uint32_t> userEventType{0};

// Keys outside the letter, digit and function-key runs, with their virtual-key codes.
struct KeyCode {
    SDL_Keycode sdl;
    int32_t vk;
};
constexpr KeyCode kOtherKeys[] = {
    {SDLK_BACKSPACE, 8},
    {SDLK_TAB, 9},
    {SDLK_RETURN, 13},
    {SDLK_RETURN2, 13},
    {SDLK_KP_ENTER, 13},
    {SDLK_LSHIFT, 16},
    {SDLK_RSHIFT, 16},
    {SDLK_LCTRL, 17},
    {SDLK_RCTRL, 17},
    {SDLK_PAUSE, 19},
    {SDLK_CAPSLOCK, 20},
    {SDLK_ESCAPE, 27},
    {SDLK_SPACE, 32},
    {SDLK_PAGEUP, 33},
    {SDLK_PAGEDOWN, 34},
    {SDLK_END, 35},
    {SDLK_HOME, 36},
    {SDLK_LEFT, 37},
    {SDLK_UP, 38},
    {SDLK_RIGHT, 39},
    {SDLK_DOWN, 40},
    {SDLK_PRINTSCREEN, 44},
    {SDLK_INSERT, 45},
    {SDLK_DELETE, 46},
    {SDLK_LGUI, 91},
    {SDLK_RGUI, 92},
    {SDLK_APPLICATION, 93},
    {SDLK_KP_0, 96},
    {SDLK_KP_MULTIPLY, 106},
    {SDLK_KP_PLUS, 107},
    {SDLK_KP_MINUS, 109},
    {SDLK_KP_PERIOD, 110},
    {SDLK_KP_DIVIDE, 111},
    {SDLK_NUMLOCKCLEAR, 144},
    {SDLK_SCROLLLOCK, 145},
    {SDLK_SEMICOLON, 186},
    {SDLK_EQUALS, 187},
    {SDLK_COMMA, 188},
    {SDLK_MINUS, 189},
    {SDLK_PERIOD, 190},
    {SDLK_SLASH, 191},
    {SDLK_BACKQUOTE, 192},
    {SDLK_LEFTBRACKET, 219},
    {SDLK_BACKSLASH, 220},
    {SDLK_RIGHTBRACKET, 221},
    {SDLK_QUOTE, 222},
};

int32_t virtualKeyOf(SDL_Keycode key) {
    if (key >= SDLK_a && key <= SDLK_z) {
        return 'A' + (key - SDLK_a);
    }
    if (key >= SDLK_0 && key <= SDLK_9) {
        return '0' + (key - SDLK_0);
    }
    if (key >= SDLK_F1 && key <= SDLK_F12) {
        return 112 + (key - SDLK_F1);
    }
    if (key >= SDLK_F13 && key <= SDLK_F24) {
        return 124 + (key - SDLK_F13);
    }
    if (key >= SDLK_KP_1 && key <= SDLK_KP_9) {
        return 97 + (key - SDLK_KP_1);
    }
    for (const KeyCode& k : kOtherKeys) {
        if (k.sdl == key) {
            return k.vk;
        }
    }
    return 0;
}

// The user event's code for a picture ready to be shown, beside UM_CLOSE.
constexpr uint32_t kPictureReadyCode = UM_CLOSE + 1;
std::atomic<bool> pictureEventQueued{false};

// True when `e` is one the program wants; fills `out`.
bool translate(const SDL_Event& e, InputEvent& out) {
    out = InputEvent{};
    switch (e.type) {
        case SDL_WINDOWEVENT:
            switch (e.window.event) {
                case SDL_WINDOWEVENT_EXPOSED:
                case SDL_WINDOWEVENT_SHOWN:
                case SDL_WINDOWEVENT_SIZE_CHANGED:
                    out.kind = InputEvent::Kind::Expose;
                    return true;
                case SDL_WINDOWEVENT_CLOSE:
                    out.kind = InputEvent::Kind::CloseRequest;
                    return true;
                default:
                    return false;
            }
        case SDL_KEYDOWN:
            // Alt+F4 closes the window even without a window manager to turn it into a close
            // request. Keys with Alt held, Alt itself and F10 are the desktop's system keys,
            // which a window's key handling never sees.
            if ((e.key.keysym.mod & KMOD_ALT) != 0 || e.key.keysym.sym == SDLK_LALT ||
                e.key.keysym.sym == SDLK_RALT || e.key.keysym.sym == SDLK_F10) {
                if (e.key.keysym.sym == SDLK_F4 && e.key.repeat == 0) {
                    out.kind = InputEvent::Kind::CloseRequest;
                    return true;
                }
                return false;
            }
            out.kind = InputEvent::Kind::Key;
            out.key = virtualKeyOf(e.key.keysym.sym);
            out.ctrl = (e.key.keysym.mod & KMOD_CTRL) != 0;
            return true;
        case SDL_MOUSEWHEEL: {
            const int32_t notches =
                e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -e.wheel.y : e.wheel.y;
            if (notches == 0) {
                return false;
            }
            out.kind = InputEvent::Kind::Wheel;
            out.wheel = notches;
            return true;
        }
        case SDL_MOUSEBUTTONDOWN:
            if (e.button.button != SDL_BUTTON_LEFT) {
                return false;
            }
            out.kind = InputEvent::Kind::LeftPress;
            out.x = e.button.x;
            out.y = e.button.y;
            out.clicks = e.button.clicks;
            return true;
        case SDL_MOUSEBUTTONUP:
            if (e.button.button != SDL_BUTTON_LEFT) {
                return false;
            }
            out.kind = InputEvent::Kind::LeftRelease;
            out.x = e.button.x;
            out.y = e.button.y;
            return true;
        case SDL_DROPFILE:
            if (e.drop.file == nullptr) {
                return false;
            }
            out.kind = InputEvent::Kind::FileDropped;
            out.path = e.drop.file;
            return true;
        case SDL_SYSWMEVENT:
            // The window was destroyed from outside: the program ends cleanly without it.
            if (e.syswm.msg != nullptr && x11::ownWindowDestroyed(*e.syswm.msg)) {
                out.kind = InputEvent::Kind::WindowGone;
                return true;
            }
            return false;
        case SDL_QUIT:
            // With the last window's close no longer turned into a quit, SDL_QUIT comes only
            // from outside: SIGINT, SIGTERM or the end of the session.
            out.kind = InputEvent::Kind::Quit;
            return true;
        default:
            if (e.type == userEventType.load() && e.type != 0 &&
                static_cast<uint32_t>(e.user.code) == UM_CLOSE) {
                out.kind = InputEvent::Kind::Close;
                return true;
            }
            if (e.type == userEventType.load() && e.type != 0 &&
                static_cast<uint32_t>(e.user.code) == kPictureReadyCode) {
                // Cleared before the picture is shown: one drawn meanwhile posts a new event.
                pictureEventQueued.store(false);
                out.kind = InputEvent::Kind::PictureReady;
                return true;
            }
            return false;
    }
}

}  // namespace

bool initEvents() {
    // Closing the window (Alt+F4, the window manager) must reach the program only as the
    // window's close request; SDL would otherwise add a quit event, and the skin would see the
    // request twice.
    SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
    if (!ensureSdlSubsystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS)) {
        return false;
    }
    // Without a display SDL falls back to drivers that draw nowhere; the player would then play
    // unseen for ever. They are used only when asked for by name (the tests do).
    const char* driver = SDL_GetCurrentVideoDriver();
    const char* wanted = SDL_getenv("SDL_VIDEODRIVER");
    if (driver != nullptr &&
        (SDL_strcmp(driver, "offscreen") == 0 || SDL_strcmp(driver, "dummy") == 0 ||
         SDL_strcmp(driver, "evdev") == 0)) {
        if (wanted == nullptr || SDL_strcasecmp(wanted, driver) != 0) {
            return false;
        }
    }
    SDL_EventState(SDL_DROPFILE, SDL_ENABLE);
    // A write beyond the process's file size limit fails like one onto a full disk (the
    // snapshot then says so) instead of ending the program.
    signal(SIGXFSZ, SIG_IGN);
    // A window destroyed by another client (xdotool, a crashed window manager) must end the
    // program cleanly: the requests already on their way to it fail harmlessly, and its
    // destruction arrives as a window-system message.
    x11::ignoreProtocolErrors();
    SDL_EventState(SDL_SYSWMEVENT, SDL_ENABLE);
    if (userEventType.load() == 0) {
        uint32_t type = SDL_RegisterEvents(1);
        if (type != static_cast<uint32_t>(-1)) {
            userEventType.store(type);
        }
    }
    return true;
}

bool waitEvent(InputEvent& event, int32_t timeoutMs) {
    const uint64_t deadline =
        monotonicMilliseconds() + static_cast<uint64_t>(std::max(timeoutMs, 0));
    for (;;) {
        const uint64_t now = monotonicMilliseconds();
        const int remaining = now >= deadline ? 0 : static_cast<int>(deadline - now);
        SDL_Event e;
        const int got = remaining > 0 ? SDL_WaitEventTimeout(&e, remaining) : SDL_PollEvent(&e);
        if (got == 0) {
            return false;
        }
        const bool wanted = translate(e, event);
        if (e.type == SDL_DROPFILE || e.type == SDL_DROPTEXT) {
            SDL_free(e.drop.file);
        }
        if (wanted) {
            return true;
        }
    }
}

void postCloseMessage() {
    const uint32_t type = userEventType.load();
    if (type == 0) {
        return;
    }
    SDL_Event e{};
    e.type = type;
    e.user.code = static_cast<Sint32>(UM_CLOSE);
    SDL_PushEvent(&e);
}

void postPictureReady() {
    const uint32_t type = userEventType.load();
    if (type == 0 || pictureEventQueued.exchange(true)) {
        return;
    }
    SDL_Event e{};
    e.type = type;
    e.user.code = static_cast<Sint32>(kPictureReadyCode);
    if (SDL_PushEvent(&e) != 1) {
        pictureEventQueued.store(false);
    }
}

}  // namespace vidora
