// `krmtool check`: one line per recording saying whether it is valid to its end.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/krmtool/commands.h"
#include "tools/krmtool/recording_report.h"

namespace vidora {

int checkCommand(const std::vector<std::string>& args) {
    std::vector<std::string> files;
    bool options = true;
    for (const std::string& arg : args) {
        if (options && arg == "--") {
            options = false;
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            return complain(kExitUsage, "check: unknown option " + arg);
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty()) {
        return complain(kExitUsage, "check: no file given (krmtool check FILE...)");
    }
    int result = kExitOk;
    for (const std::string& file : files) {
        const RecordingReport r = inspectRecording(file, false);
        const char* name = file.c_str();
        if (r.kind == RecordingReport::Kind::CannotOpen) {
            std::printf("%s: cannot be opened: %s\n", name, r.openError.c_str());
        } else if (r.kind == RecordingReport::Kind::NotARecording) {
            std::printf("%s: not a recording\n", name);
        } else if (r.damaged) {
            std::printf("%s: damaged at offset %" PRIu64 " (%s), %zu records before it\n", name,
                        r.badOffset, r.badReason.c_str(), r.records);
        } else {
            std::printf("%s: ok, %zu records\n", name, r.records);
            continue;
        }
        result = kExitFileProblem;
    }
    return result;
}

}  // namespace vidora
