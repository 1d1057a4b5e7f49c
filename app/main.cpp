// Vidora's entry point: the command line, the two process-wide objects and the window's event
// loop.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/event_loop.h"
#include "engine/playback_engine.h"
#include "platform/command_line.h"
#include "recording/recording_file.h"
#include "skin/skin_window.h"

namespace {

// Built before main in this order and destroyed after it in reverse: the skin first, whose
// destruction does nothing, then the engine, whose destruction stops every thread.
vidora::PlaybackEngine engine;
vidora::SkinWindow skin(engine);

constexpr char kUsage[] =
    "Usage: vidora [FILE.krm...]\n"
    "Plays camera recordings (.krm) with their sound, their date and time over the picture.\n"
    "Without FILE the player starts empty; its folder button opens a recording. With several,\n"
    "each plays after the one before, and Page Down / Page Up go through them.\n"
    "\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n";

}  // namespace

int main(int argc, char** argv) {
    // UTF-8, whatever the system hands a program its arguments in.
    const std::vector<std::string> args = vidora::commandLineArguments(argc, argv);
    std::vector<std::string> files;
    bool optionsEnd = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
            files.push_back(arg);
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("vidora %s\n", VIDORA_VERSION);
            return 0;
        } else if (arg == "--") {
            optionsEnd = true;
        } else {
            std::fprintf(stderr, "vidora: unknown option %s (try --help)\n", arg.c_str());
            return 2;
        }
    }
    // Each FILE opens as if it had been chosen with the open button; one it cannot open is said
    // here, and in the window as for any file chosen there.
    for (const std::string& path : files) {
        vidora::RecordingFile file;
        std::string reason;
        if (!file.open(path, &reason)) {
            std::fprintf(stderr, "vidora: cannot open %s: %s\n", path.c_str(), reason.c_str());
        }
    }
    skin.setPlaylist(files);
    const int result = vidora::runProgram(engine, skin, files.empty() ? std::string() : files[0]);
    if (result == vidora::kNoDisplay) {
        std::fputs("vidora: no display to show the player on (is DISPLAY set?)\n", stderr);
        return 1;
    }
    return result;
}
