#pragma once
// The desktop's file chooser, run as a separate program. The call is modal for the caller but
// keeps calling `whileWaiting` (about every 20 ms) so that the window goes on painting. A save
// dialog asks before it lets the user pick a file that exists.
//
// The chooser is zenity; the environment variable VIDORA_FILE_DIALOG names another program that
// takes the same arguments (the tests put a fake chooser there).

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vidora {

struct FileDialogRequest {
    std::string title;       // UTF-8
    std::string filterName;  // "KRM Files"
    std::string filterGlob;  // "*.krm"
    bool save = false;  // a name to write (the folder must exist) or a file to open (must exist)
    // The window the dialog belongs to (Window::systemId), 0 for none: the dialog then opens
    // above it, as its child, and the desktop keeps it there.
    uint64_t owner = 0;
    // Further filters the user may choose instead: name and glob.
    std::vector<std::pair<std::string, std::string>> moreFilters;
};

// The chosen path, or nothing when the user cancelled, the chooser failed, or the answer does
// not meet the request's must-exist rule.
std::optional<std::string> runFileDialog(const FileDialogRequest& request,
                                         const std::function<void()>& whileWaiting);

}  // namespace vidora
