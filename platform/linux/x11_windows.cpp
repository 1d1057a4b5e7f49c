// Xlib calls beside SDL's. Kept apart from the rest of the layer: Xlib's headers define macros
// (Expose, None, Status …) that would collide with the program's own names.

#include "platform/x11_windows.h"

#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstring>
#include <vector>

namespace vidora::x11 {

namespace {

int ignoreError(Display*, XErrorEvent*) {
    return 0;
}

bool onX11() {
    const char* driver = SDL_GetCurrentVideoDriver();
    return driver != nullptr && std::strcmp(driver, "x11") == 0;
}

// The 32-bit values of a window property, or nothing when it is absent.
bool readCardinals(Display* display, Window window, Atom property, Atom type,
                   std::vector<unsigned long>& out) {
    Atom actualType = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, property, 0, 4096, False, type, &actualType, &format,
                           &count, &after, &data) != Success) {
        return false;
    }
    const bool ok = data != nullptr && actualType == type && format == 32;
    if (ok) {
        // Xlib hands 32-bit items over as longs.
        const auto* items = reinterpret_cast<const unsigned long*>(data);
        out.assign(items, items + count);
    }
    if (data != nullptr) {
        XFree(data);
    }
    return ok;
}

}  // namespace

void ignoreProtocolErrors() {
    if (onX11()) {
        XSetErrorHandler(ignoreError);
    }
}

bool ownWindowDestroyed(const SDL_SysWMmsg& message) {
    if (message.subsystem != SDL_SYSWM_X11) {
        return false;
    }
    const XEvent& event = message.msg.x11.event;
    // SDL watches the structure of its own windows only: a destruction reported to the window
    // itself is one of ours.
    return event.type == DestroyNotify && event.xdestroywindow.event == event.xdestroywindow.window;
}

DialogOwnership::DialogOwnership(uint64_t owner, pid_t program) : owner_(owner), program_(program) {
    if (owner != 0 && program > 0 && onX11()) {
        // The dialog's windows may go at any moment between two requests about them.
        ignoreProtocolErrors();
        display_ = XOpenDisplay(nullptr);
    }
}

DialogOwnership::~DialogOwnership() {
    if (display_ != nullptr) {
        XCloseDisplay(static_cast<Display*>(display_));
    }
}

void DialogOwnership::adoptNewWindows() {
    auto* display = static_cast<Display*>(display_);
    if (display == nullptr) {
        return;
    }
    const Window root = DefaultRootWindow(display);
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    // Under a window manager the top-level windows are listed on the root; without one they are
    // the root's children.
    std::vector<unsigned long> windows;
    if (!readCardinals(display, root, XInternAtom(display, "_NET_CLIENT_LIST", False), XA_WINDOW,
                       windows)) {
        Window rootReturn = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(display, root, &rootReturn, &parent, &children, &count) != 0 &&
            children != nullptr) {
            windows.assign(children, children + count);
        }
        if (children != nullptr) {
            XFree(children);
        }
    }
    for (unsigned long window : windows) {
        if (seen_.count(window) != 0) {
            continue;
        }
        // A window whose program is not told yet is looked at again next time.
        std::vector<unsigned long> pid;
        if (!readCardinals(display, window, pidAtom, XA_CARDINAL, pid) || pid.empty()) {
            continue;
        }
        seen_.insert(window);
        if (pid[0] != static_cast<unsigned long>(program_)) {
            continue;
        }
        // A window that already belongs to another (a message box of the dialog) stays so.
        Window parent = 0;
        if (XGetTransientForHint(display, window, &parent) != 0 && parent != 0) {
            continue;
        }
        XSetTransientForHint(display, window, static_cast<Window>(owner_));
    }
    XFlush(display);
}

}  // namespace vidora::x11
