// krmtool: tells what a camera recording holds and whether it is whole, from the command line,
// with the player's own reading code.
#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "platform/command_line.h"
#include "tools/krmtool/commands.h"
#include "tools/krmtool/export.h"

namespace {

constexpr char kUsage[] =
    "Usage: krmtool COMMAND FILE...\n"
    "Tells what camera recordings (.krm) hold and whether they are whole.\n"
    "\n"
    "  info FILE... [--json]  codec, picture size, records, times, gaps, key pictures, sound,\n"
    "                         damage; --json prints one JSON object per line per file\n"
    "  check FILE...          one line per file; exit code 0 only when every file is whole\n"
    "  export ...             writes part of a recording into a new file\n"
    "  thumbnail ...          a PNG picture from a few seconds in (-s SIZE: its longer side)\n"
    "\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "Exit codes: 0 done, 1 a file that cannot be read or is damaged (check), 2 a usage error.\n";

}  // namespace

int vidora::complain(int code, const std::string& message) {
    std::fprintf(stderr, "krmtool: %s\n", message.c_str());
    return code;
}

int main(int argc, char** argv) {
    // The decoder's own messages about a damaged stream are not krmtool's to print.
    av_log_set_level(AV_LOG_QUIET);
    // UTF-8, whatever the system hands a program its arguments in.
    const std::vector<std::string> all = vidora::commandLineArguments(argc, argv);
    const std::string_view command = all.size() > 1 ? std::string_view(all[1]) : "";
    const std::vector<std::string> args(all.begin() + std::min<size_t>(all.size(), 2), all.end());
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return vidora::kExitOk;
    }
    if (command == "--version") {
        std::printf("krmtool %s\n", VIDORA_VERSION);
        return vidora::kExitOk;
    }
    if (command == "info") {
        return vidora::infoCommand(args);
    }
    if (command == "check") {
        return vidora::checkCommand(args);
    }
    if (command == "export") {
        return vidora::exportCommand(args);
    }
    if (command == "thumbnail") {
        return vidora::thumbnailCommand(args);
    }
    return vidora::complain(vidora::kExitUsage,
                            command.empty()
                                ? std::string("no command given (try --help)")
                                : "unknown command: " + std::string(command) + " (try --help)");
}
