#pragma once
// SDL's subsystems are started once per process and never stopped: the window (video, on the
// main thread) and the wave output (audio, on the audio output thread) start theirs from
// different threads, and SDL's own start-up is not safe to run from two threads at once.

#include <cstdint>

namespace vidora {

// Starts the SDL subsystems named by `sdlInitFlags` (SDL_INIT_* values) unless they already
// run; true when all of them run afterwards. Callable from any thread.
bool ensureSdlSubsystem(uint32_t sdlInitFlags);

}  // namespace vidora
