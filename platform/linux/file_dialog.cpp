// The file chooser is zenity's file selection, run through the shared dialog process; its answer
// is the path on standard output.

#include "platform/file_dialog.h"

#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/dialog_process.h"

namespace vidora {

namespace {

std::vector<std::string> chooserArguments(const FileDialogRequest& request) {
    std::vector<std::string> args;
    args.emplace_back(dialogProgram());
    args.emplace_back("--file-selection");
    if (request.save) {
        args.emplace_back("--save");
        args.emplace_back("--confirm-overwrite");
    }
    if (request.owner != 0) {
        args.push_back("--attach=" + std::to_string(request.owner));
    }
    args.push_back("--title=" + request.title);
    args.push_back("--file-filter=" + request.filterName + " | " + request.filterGlob);
    for (const auto& [name, glob] : request.moreFilters) {
        args.push_back("--file-filter=" + name + " | " + glob);
    }
    return args;
}

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A name to write counts only when its folder exists and it is not itself a folder.
bool isWritableName(const std::string& path) {
    if (path.back() == '/' || isDirectory(path)) {
        return false;
    }
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return true;  // a bare name lies in the current folder
    }
    return isDirectory(slash == 0 ? std::string("/") : path.substr(0, slash));
}

}  // namespace

std::optional<std::string> runFileDialog(const FileDialogRequest& request,
                                         const std::function<void()>& whileWaiting) {
    std::optional<std::string> output =
        runDialogProgram(chooserArguments(request), request.owner, whileWaiting);
    if (!output) {
        return std::nullopt;
    }
    if (!output->empty() && output->back() == '\n') {
        output->pop_back();
    }
    if (output->empty()) {
        return std::nullopt;
    }
    bool acceptable = request.save ? isWritableName(*output) : isRegularFile(*output);
    if (!acceptable) {
        return std::nullopt;
    }
    return output;
}

}  // namespace vidora
