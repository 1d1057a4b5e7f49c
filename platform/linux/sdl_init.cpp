#include "platform/sdl_init.h"

#include <SDL.h>

#include <mutex>

namespace vidora {

namespace {

// One lock for every start of every subsystem: SDL_InitSubSystem keeps process-wide reference
// counts and driver tables that two concurrent starts would corrupt.
std::mutex sdlInitMutex;

}  // namespace

bool ensureSdlSubsystem(uint32_t sdlInitFlags) {
    std::lock_guard<std::mutex> lock(sdlInitMutex);
    if (SDL_WasInit(sdlInitFlags) == sdlInitFlags) {
        return true;
    }
    // Nothing ever quits a subsystem: the window and the wave output come and go, but SDL's
    // drivers stay for the life of the process, and a second start would only bump a count.
    return SDL_InitSubSystem(sdlInitFlags) == 0;
}

}  // namespace vidora
