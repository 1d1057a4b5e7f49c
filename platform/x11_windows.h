#pragma once
// What the program asks of the X display itself, beside SDL (internal to the platform layer):
// surviving the errors that a window destroyed from outside causes, noticing that destruction,
// and making another program's dialog a child of the player's window. Everything here does
// nothing where the display is not X.

#include <sys/types.h>

#include <cstdint>
#include <set>

struct SDL_SysWMmsg;

namespace vidora::x11 {

// Replaces Xlib's handler of protocol errors, which ends the process, with one that ignores
// them. Such errors come from requests on a window that is no longer there (destroyed by
// another client before the program heard of it); the program then shuts down cleanly on the
// destruction itself. Call once the video subsystem runs.
void ignoreProtocolErrors();

// Whether this window-system message says that one of the program's own windows was destroyed
// (by another client: the program never destroys a window while its loop runs).
bool ownWindowDestroyed(const SDL_SysWMmsg& message);

// Makes the top-level windows of another program (found by their _NET_WM_PID) children of
// `owner`, so that a window manager keeps them above it and with it. Over a connection of its
// own, open as long as the object.
class DialogOwnership {
  public:
    DialogOwnership(uint64_t owner, pid_t program);
    ~DialogOwnership();
    DialogOwnership(const DialogOwnership&) = delete;
    DialogOwnership& operator=(const DialogOwnership&) = delete;

    // Looks for the program's windows that have appeared since the last call and are no one's
    // children yet, and makes them the owner's.
    void adoptNewWindows();

  private:
    void* display_ = nullptr;  // Display*
    uint64_t owner_ = 0;
    pid_t program_ = 0;
    std::set<unsigned long> seen_;
};

}  // namespace vidora::x11
