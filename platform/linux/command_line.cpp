#include "platform/command_line.h"

namespace vidora {

// Linux hands a program its arguments as the bytes they were given in, UTF-8 on any current
// system.
std::vector<std::string> commandLineArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i) {
        arguments.emplace_back(argv[i]);
    }
    return arguments;
}

}  // namespace vidora
