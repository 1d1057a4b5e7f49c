#pragma once
// The desktop's one-line entry dialog, run as a separate program like the file chooser (zenity,
// or the program VIDORA_FILE_DIALOG names). The call is modal for the caller but keeps calling
// `whileWaiting` (about every 20 ms) so that the window goes on painting.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vidora {

struct EntryDialogRequest {
    std::string title;    // UTF-8
    std::string prompt;   // UTF-8, shown as it is (no markup, no mnemonics)
    std::string initial;  // the text the entry starts with, selected
    // The window the dialog belongs to (Window::systemId), 0 for none.
    uint64_t owner = 0;
};

// What the user typed (possibly empty), or nothing when cancelled or the dialog failed.
std::optional<std::string> runEntryDialog(const EntryDialogRequest& request,
                                          const std::function<void()>& whileWaiting);

}  // namespace vidora
