#pragma once
// A dialog run as a separate program (internal to the platform layer): the file chooser and the
// entry dialog share it. The call is modal for the caller but keeps calling `whileWaiting`
// (about every 20 ms) so that the window goes on painting while the dialog is open.
//
// The program is zenity; the environment variable VIDORA_FILE_DIALOG names another program that
// takes the same arguments (the tests put a fake dialog there).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vidora {

// zenity, or the program VIDORA_FILE_DIALOG names.
const char* dialogProgram();

// Runs `args` (args[0] is the program) with standard output captured and, for a non-zero
// `owner` window, the dialog's windows made its children. What the program printed when it
// exited with status 0; nothing when it could not start, failed, was cancelled or was killed.
std::optional<std::string> runDialogProgram(const std::vector<std::string>& args, uint64_t owner,
                                            const std::function<void()>& whileWaiting);

}  // namespace vidora
