// The window's messages turned into the few events the program's loop knows. The window
// procedure queues an InputEvent for each message of interest; waitEvent pumps the thread's
// message queue until one is queued or the time is up. The program's own messages (the close
// message, a picture ready, Ctrl+C on the console) go to a hidden message-only window, so that
// they arrive even before the player's window exists and while a modal dialog's loop runs.

#include "platform/events.h"

#include <algorithm>
#include <atomic>
#include <deque>

#include "platform/windows/win32_internal.h"

#include <mmsystem.h>
#include <shellapi.h>
#include <windowsx.h>

namespace vidora {

namespace {

constexpr UINT kPictureReadyMessage = WM_APP + 1;
constexpr UINT kQuitMessage = WM_APP + 2;
constexpr wchar_t kPlayerWindowClass[] = L"VidoraPlayer";
constexpr wchar_t kMessageWindowClass[] = L"VidoraMessages";

// Touched on the thread that runs the windows only (their procedure runs there).
std::deque<InputEvent> queued;
int modalDepth = 0;
int wheelRemainder = 0;  // a high-resolution wheel turns in fractions of a notch
const std::function<void()>* whileModal = nullptr;
bool inWhileModal = false;

// Set by initEvents; read from any thread that posts.
std::atomic<HWND> messageWindow{nullptr};
std::atomic<bool> pictureEventQueued{false};

void push(InputEvent event) {
    queued.push_back(std::move(event));
}

InputEvent eventOf(InputEvent::Kind kind) {
    InputEvent e;
    e.kind = kind;
    return e;
}

void queueDroppedFiles(HDROP drop) {
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        const UINT length = DragQueryFileW(drop, i, nullptr, 0);
        std::wstring path(length + 1, L'\0');
        if (DragQueryFileW(drop, i, path.data(), length + 1) == length) {
            path.resize(length);
            InputEvent e = eventOf(InputEvent::Kind::FileDropped);
            e.path = win32::utf8FromWide(path);
            push(std::move(e));
        }
    }
    DragFinish(drop);
}

// The player's window. Keys arrive as the virtual-key codes the skin is written in. Keys with
// Alt, Alt itself and F10 are system keys: the window never sees them, and Windows' own handling
// of them (the menu loop that Alt or F10 would start, a modal loop that would stall playback) is
// kept out, all but Alt+F4, which asks the window to close as it always does.
LRESULT CALLBACK playerProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT:
            win32::paintFromLastPresented(hwnd);
            push(eventOf(InputEvent::Kind::Expose));
            return 0;
        case WM_ERASEBKGND:
            return 1;  // every pixel is painted from the program's own picture
        case WM_KEYDOWN: {
            if (wParam == VK_PROCESSKEY) {
                return 0;  // an input method's key, not one the user meant for the window
            }
            InputEvent e = eventOf(InputEvent::Kind::Key);
            e.key = static_cast<int32_t>(wParam);
            e.ctrl = GetKeyState(VK_CONTROL) < 0;
            push(e);
            return 0;
        }
        case WM_SYSKEYDOWN:
            // Bit 30: the key was already down (auto-repeat); bit 29: Alt is held.
            if (wParam == VK_F4 && (lParam & (1 << 29)) != 0 && (lParam & (1 << 30)) == 0) {
                push(eventOf(InputEvent::Kind::CloseRequest));
            }
            return 0;
        case WM_SYSKEYUP:
        case WM_SYSCHAR:
            return 0;
        case WM_SYSCOMMAND:
            // The keyboard's way into the system menu (Alt, Alt+Space, F10): not for this window.
            if ((wParam & 0xFFF0) == SC_KEYMENU) {
                return 0;
            }
            break;
        case WM_CLOSE:
            // Closing from the taskbar or by another program is the same request as Alt+F4; the
            // program decides (in fullscreen it only leaves fullscreen).
            push(eventOf(InputEvent::Kind::CloseRequest));
            return 0;
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK: {
            // The class asks for double-clicks: the second press of one comes as DBLCLK, a third
            // as a plain press again, so the count's parity is what a click count's would be.
            InputEvent e = eventOf(InputEvent::Kind::LeftPress);
            e.x = GET_X_LPARAM(lParam);
            e.y = GET_Y_LPARAM(lParam);
            e.clicks = message == WM_LBUTTONDBLCLK ? 2 : 1;
            push(e);
            return 0;
        }
        case WM_LBUTTONUP: {
            InputEvent e = eventOf(InputEvent::Kind::LeftRelease);
            e.x = GET_X_LPARAM(lParam);
            e.y = GET_Y_LPARAM(lParam);
            push(e);
            return 0;
        }
        case WM_MOUSEWHEEL: {
            wheelRemainder += GET_WHEEL_DELTA_WPARAM(wParam);
            const int notches = wheelRemainder / WHEEL_DELTA;
            wheelRemainder -= notches * WHEEL_DELTA;
            if (notches != 0) {
                InputEvent e = eventOf(InputEvent::Kind::Wheel);
                e.wheel = notches;
                push(e);
            }
            return 0;
        }
        case WM_DROPFILES:
            queueDroppedFiles(reinterpret_cast<HDROP>(wParam));
            return 0;
        case WM_DPICHANGED:
            // The skin is drawn in pixels: the window keeps its size on a screen of other DPI.
            return 0;
        case WM_DESTROY:
            // The program destroys its window only after its loop has ended (the Window clears
            // its pointer first); any other destruction ends the program without it.
            if (GetWindowLongPtrW(hwnd, GWLP_USERDATA) != 0) {
                push(eventOf(InputEvent::Kind::WindowGone));
            }
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK messageProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case UM_CLOSE:
            push(eventOf(InputEvent::Kind::Close));
            return 0;
        case kPictureReadyMessage:
            push(eventOf(InputEvent::Kind::PictureReady));
            return 0;
        case kQuitMessage:
            push(eventOf(InputEvent::Kind::Quit));
            return 0;
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

// Ctrl+C and Ctrl+Break on the console end the session as SIGINT does on Linux: the loop gets
// Quit and the program shuts down in order. Runs on a thread of the system's.
BOOL WINAPI onConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) {
        return FALSE;
    }
    if (HWND target = messageWindow.load()) {
        PostMessageW(target, kQuitMessage, 0, 0);
        return TRUE;
    }
    return FALSE;
}

void registerClasses() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW player{};
    player.cbSize = sizeof player;
    player.style = CS_DBLCLKS;
    player.lpfnWndProc = playerProcedure;
    player.hInstance = instance;
    player.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    // The program's icon from its resources (id 1), where the executable has one.
    player.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    player.lpszClassName = kPlayerWindowClass;
    RegisterClassExW(&player);
    WNDCLASSEXW messages{};
    messages.cbSize = sizeof messages;
    messages.lpfnWndProc = messageProcedure;
    messages.hInstance = instance;
    messages.lpszClassName = kMessageWindowClass;
    RegisterClassExW(&messages);
}

}  // namespace

namespace win32 {

const wchar_t* playerWindowClass() {
    static std::once_flag once;
    std::call_once(once, registerClasses);
    return kPlayerWindowClass;
}

ModalDialogScope::ModalDialogScope(const std::function<void()>& whileWaiting)
    : previous_(whileModal) {
    ++modalDepth;
    whileModal = &whileWaiting;
    timer_ = SetTimer(nullptr, 0, 20, onTimer);
}

ModalDialogScope::~ModalDialogScope() {
    if (timer_ != 0) {
        KillTimer(nullptr, timer_);
    }
    whileModal = previous_;
    --modalDepth;
}

void CALLBACK ModalDialogScope::onTimer(HWND, UINT, UINT_PTR, DWORD) {
    // The callback may paint, and painting pumps nothing, but a dialog of its own would open a
    // loop inside this one: never twice at once.
    if (whileModal == nullptr || !*whileModal || inWhileModal) {
        return;
    }
    inWhileModal = true;
    (*whileModal)();
    inWhileModal = false;
}

}  // namespace win32

bool initEvents() {
    win32::playerWindowClass();
    if (messageWindow.load() == nullptr) {
        HWND hwnd = CreateWindowExW(0, kMessageWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                    nullptr, GetModuleHandleW(nullptr), nullptr);
        if (hwnd == nullptr) {
            return false;
        }
        messageWindow.store(hwnd);
        SetConsoleCtrlHandler(onConsoleControl, TRUE);
        // Sleeps and waits end on the system's timer tick, 15.6 ms by default: too coarse for
        // pictures due every 40 ms and for the 80 ms tick. One millisecond for the process.
        timeBeginPeriod(1);
    }
    return true;
}

bool waitEvent(InputEvent& event, int32_t timeoutMs) {
    const uint64_t deadline =
        monotonicMilliseconds() + static_cast<uint64_t>(std::max(timeoutMs, 0));
    for (;;) {
        if (!queued.empty()) {
            event = std::move(queued.front());
            queued.pop_front();
            if (event.kind == InputEvent::Kind::PictureReady) {
                // Cleared before the picture is shown: one drawn meanwhile posts a new message.
                pictureEventQueued.store(false);
            }
            return true;
        }
        if (modalDepth > 0) {
            return false;  // the dialog's own loop pumps the messages
        }
        MSG message;
        if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                event = eventOf(InputEvent::Kind::Quit);
                return true;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
            continue;
        }
        const uint64_t now = monotonicMilliseconds();
        if (now >= deadline) {
            return false;
        }
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
}

void postCloseMessage() {
    if (HWND target = messageWindow.load()) {
        PostMessageW(target, UM_CLOSE, 0, 0);
    }
}

void postPictureReady() {
    HWND target = messageWindow.load();
    if (target == nullptr || pictureEventQueued.exchange(true)) {
        return;
    }
    if (!PostMessageW(target, kPictureReadyMessage, 0, 0)) {
        pictureEventQueued.store(false);
    }
}

}  // namespace vidora
