#include "platform/command_line.h"

#include "platform/windows/win32_internal.h"

#include <shellapi.h>

namespace vidora {

// The wide-character command line split by the shell's own rules (the ones the C runtime uses
// for argv), each argument turned into UTF-8. Should that fail, argv as it came is better than
// nothing.
std::vector<std::string> commandLineArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    int count = 0;
    if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i) {
            arguments.push_back(win32::utf8FromWide(wide[i]));
        }
        LocalFree(wide);
        return arguments;
    }
    for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i) {
        arguments.emplace_back(argv[i]);
    }
    return arguments;
}

}  // namespace vidora
