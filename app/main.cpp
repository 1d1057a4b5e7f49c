// Vidora's entry point: the command line, the two process-wide objects and the window's event
// loop.

#include <cstdio>
#include <cstring>
#include <string>

#include "app/event_loop.h"
#include "engine/playback_engine.h"
#include "recording/recording_file.h"
#include "skin/skin_window.h"

namespace {

// Built before main in this order and destroyed after it in reverse: the skin first, whose
// destruction does nothing, then the engine, whose destruction stops every thread.
vidora::PlaybackEngine engine;
vidora::SkinWindow skin(engine);

constexpr char kUsage[] =
    "Usage: vidora [FILE.krm]\n"
    "Plays a camera recording (.krm) with its sound, its date and time over the picture.\n"
    "Without FILE the player starts empty; its folder button opens a recording.\n"
    "\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n";

}  // namespace

int main(int argc, char** argv) {
    const char* first = argc > 1 ? argv[1] : "";
    if (std::strcmp(first, "--help") == 0 || std::strcmp(first, "-h") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (std::strcmp(first, "--version") == 0) {
        std::printf("vidora %s\n", VIDORA_VERSION);
        return 0;
    }
    // `vidora FILE` opens FILE at start as if it had been chosen with the open button; a file it
    // cannot open is said here, and in the window as for any file chosen there.
    const std::string startFile = first;
    if (!startFile.empty()) {
        vidora::RecordingFile file;
        std::string reason;
        if (!file.open(startFile, &reason)) {
            std::fprintf(stderr, "vidora: cannot open %s: %s\n", startFile.c_str(), reason.c_str());
        }
    }
    const int result = vidora::runProgram(engine, skin, startFile);
    if (result == vidora::kNoDisplay) {
        std::fputs("vidora: no display to show the player on (is DISPLAY set?)\n", stderr);
        return 1;
    }
    return result;
}
