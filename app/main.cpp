// Vidora's entry point: the two process-wide objects and the window's event loop.

#include "app/event_loop.h"
#include "engine/playback_engine.h"
#include "skin/skin_window.h"

namespace {

// Built before main in this order and destroyed after it in reverse: the skin first, whose
// destruction does nothing, then the engine, whose destruction stops every thread.
vidora::PlaybackEngine engine;
vidora::SkinWindow skin(engine);

}  // namespace

int main(int argc, char** argv) {
    // `vidora FILE` opens FILE at start as if it had been chosen with the open button.
    std::string startFile = argc > 1 ? argv[1] : "";
    return vidora::runProgram(engine, skin, startFile);
}
