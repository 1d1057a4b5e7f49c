// The entry dialog is zenity's --entry, run through the shared dialog process; its answer is the
// typed line on standard output.

#include "platform/entry_dialog.h"

#include <string>
#include <vector>

#include "platform/dialog_process.h"

namespace vidora {

namespace {

// zenity shows the prompt with backslash escapes expanded and '_' marking a mnemonic; both are
// doubled so that the prompt appears as written.
std::string literalPrompt(const std::string& prompt) {
    std::string out;
    out.reserve(prompt.size());
    for (char c : prompt) {
        if (c == '\\' || c == '_') {
            out.push_back(c);
        }
        out.push_back(c);
    }
    return out;
}

std::vector<std::string> entryArguments(const EntryDialogRequest& request) {
    std::vector<std::string> args;
    args.emplace_back(dialogProgram());
    args.emplace_back("--entry");
    if (request.owner != 0) {
        args.push_back("--attach=" + std::to_string(request.owner));
    }
    args.push_back("--title=" + request.title);
    args.push_back("--text=" + literalPrompt(request.prompt));
    args.push_back("--entry-text=" + request.initial);
    return args;
}

}  // namespace

std::optional<std::string> runEntryDialog(const EntryDialogRequest& request,
                                          const std::function<void()>& whileWaiting) {
    std::optional<std::string> output =
        runDialogProgram(entryArguments(request), request.owner, whileWaiting);
    if (output && !output->empty() && output->back() == '\n') {
        output->pop_back();
    }
    return output;
}

}  // namespace vidora
