// The file chooser is the common Open and Save As dialog, in its wide-character form so that
// every folder and file name comes through. The dialog runs its own message loop; the window
// goes on painting through the modal scope's timer.

#include "platform/file_dialog.h"

#include <vector>

#include "platform/windows/win32_internal.h"

#include <commdlg.h>

namespace vidora {

namespace {

// Long paths included: the dialog returns nothing when the name does not fit.
constexpr DWORD kPathCapacity = 32768;

// "KRM Files (*.krm)", "*.krm" pairs, each part ended by a null, the list by a second one.
std::wstring filterList(const FileDialogRequest& request) {
    std::wstring list;
    auto add = [&list](const std::string& name, const std::string& glob) {
        list += win32::wideFromUtf8(name + " (" + glob + ")");
        list.push_back(L'\0');
        list += win32::wideFromUtf8(glob);
        list.push_back(L'\0');
    };
    add(request.filterName, request.filterGlob);
    for (const auto& [name, glob] : request.moreFilters) {
        add(name, glob);
    }
    list.push_back(L'\0');
    return list;
}

bool isDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The dialog checks these itself; they are checked again in case the answer changed meanwhile
// or a dialog hook let something through, as the Linux chooser's answer is.
bool meetsMustExistRule(const std::wstring& path, bool save) {
    if (path.empty()) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (!save) {
        return attributes != INVALID_FILE_ATTRIBUTES &&
               (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    const std::size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos) {
        return true;  // a bare name lies in the current folder
    }
    // "C:\name" lies in "C:\", not in "C:".
    const bool inRoot = separator == 0 || (separator == 2 && path[1] == L':');
    return isDirectory(path.substr(0, inRoot ? separator + 1 : separator));
}

}  // namespace

std::optional<std::string> runFileDialog(const FileDialogRequest& request,
                                         const std::function<void()>& whileWaiting) {
    const std::wstring title = win32::wideFromUtf8(request.title);
    const std::wstring filters = filterList(request);
    std::vector<wchar_t> path(kPathCapacity, L'\0');
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = reinterpret_cast<HWND>(static_cast<uintptr_t>(request.owner));
    dialog.lpstrFilter = filters.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = path.data();
    dialog.nMaxFile = kPathCapacity;
    dialog.lpstrTitle = title.c_str();
    // The program's working folder stays where it was: paths on its command line are relative
    // to it.
    dialog.Flags = OFN_EXPLORER | OFN_ENABLESIZING | OFN_HIDEREADONLY | OFN_NOCHANGEDIR |
                   OFN_PATHMUSTEXIST | (request.save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
    BOOL chosen = FALSE;
    {
        win32::ModalDialogScope modal(whileWaiting);
        chosen = request.save ? GetSaveFileNameW(&dialog) : GetOpenFileNameW(&dialog);
    }
    if (!chosen) {
        return std::nullopt;
    }
    const std::wstring answer(path.data());
    if (!meetsMustExistRule(answer, request.save)) {
        return std::nullopt;
    }
    return win32::utf8FromWide(answer);
}

}  // namespace vidora
