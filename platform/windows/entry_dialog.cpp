// The entry dialog is a small modal dialog built in memory: the prompt, an edit box with the
// initial text selected, OK and Cancel. Its font is the interface font's face, so that the
// Chinese prompt shows where the system's dialog font lacks the glyphs.

#include "platform/entry_dialog.h"

#include <vector>

#include "platform/windows/win32_internal.h"

namespace vidora {

namespace {

constexpr WORD kEditId = 100;
constexpr WORD kPromptId = 101;
constexpr WORD kButtonClass = 0x0080;
constexpr WORD kEditClass = 0x0081;
constexpr WORD kStaticClass = 0x0082;
constexpr WORD kFontPoints = 9;

// A dialog template as DialogBoxIndirectParamW reads it: the dialog's header, then each
// control's on a 4-byte boundary, strings as null-ended UTF-16, all in dialog units.
class DialogTemplate {
  public:
    DialogTemplate(DWORD style, short cx, short cy, const std::wstring& title,
                   const std::wstring& font) {
        putDword(style);
        putDword(0);  // extended style
        countAt_ = words_.size();
        putWord(0);  // controls, counted as they are added
        putWord(0);  // x, y: centred by DS_CENTER
        putWord(0);
        putWord(static_cast<WORD>(cx));
        putWord(static_cast<WORD>(cy));
        putWord(0);  // no menu
        putWord(0);  // the standard dialog class
        putString(title);
        putWord(kFontPoints);
        putString(font);
    }

    void add(WORD control, DWORD style, short x, short y, short cx, short cy, WORD id,
             const std::wstring& text) {
        while (words_.size() % 2 != 0) {
            putWord(0);
        }
        putDword(style | WS_CHILD | WS_VISIBLE);
        putDword(0);
        for (short v : {x, y, cx, cy}) {
            putWord(static_cast<WORD>(v));
        }
        putWord(id);
        putWord(0xFFFF);  // a predefined class by its atom
        putWord(control);
        putString(text);
        putWord(0);  // no creation data
        ++words_[countAt_];
    }

    const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

  private:
    void putWord(WORD w) { words_.push_back(w); }
    void putDword(DWORD d) {
        putWord(LOWORD(d));
        putWord(HIWORD(d));
    }
    void putString(const std::wstring& s) {
        for (wchar_t c : s) {
            putWord(static_cast<WORD>(c));
        }
        putWord(0);
    }

    // WORDs, so that the template starts on a 4-byte boundary (vector memory is aligned).
    std::vector<WORD> words_;
    std::size_t countAt_ = 0;
};

struct EntryState {
    const std::wstring* initial;
    std::wstring typed;
};

INT_PTR CALLBACK entryProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            auto* state = reinterpret_cast<EntryState*>(lParam);
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            HWND edit = GetDlgItem(dialog, kEditId);
            SetWindowTextW(edit, state->initial->c_str());
            SendMessageW(edit, EM_SETSEL, 0, -1);
            SetFocus(edit);
            return FALSE;  // the focus is set
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) {
                auto* state = reinterpret_cast<EntryState*>(GetWindowLongPtrW(dialog, DWLP_USER));
                HWND edit = GetDlgItem(dialog, kEditId);
                std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(edit)) + 1, L'\0');
                text.resize(static_cast<std::size_t>(
                    GetWindowTextW(edit, text.data(), static_cast<int>(text.size()))));
                state->typed = std::move(text);
                EndDialog(dialog, IDOK);
                return TRUE;
            }
            if (LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, IDCANCEL);
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

std::optional<std::string> runEntryDialog(const EntryDialogRequest& request,
                                          const std::function<void()>& whileWaiting) {
    std::wstring font = win32::interfaceFaceName();
    if (!win32::interfaceFontHasCjk() || font.empty()) {
        font = L"MS Shell Dlg 2";  // the system's dialog font, with its own fallback
    }
    // The prompt may take two lines; the edit box below it, the buttons at the bottom right.
    DialogTemplate dialog(
        WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_CENTER, 260, 70,
        win32::wideFromUtf8(request.title), font);
    dialog.add(kStaticClass, SS_LEFT | SS_NOPREFIX, 7, 7, 246, 20, kPromptId,
               win32::wideFromUtf8(request.prompt));
    dialog.add(kEditClass, WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 7, 30, 246, 14, kEditId, L"");
    dialog.add(kButtonClass, BS_DEFPUSHBUTTON | WS_TABSTOP, 149, 50, 50, 14, IDOK,
               L"\u786E\u5B9A");  // 确定
    dialog.add(kButtonClass, BS_PUSHBUTTON | WS_TABSTOP, 203, 50, 50, 14, IDCANCEL,
               L"\u53D6\u6D88");  // 取消
    const std::wstring initial = win32::wideFromUtf8(request.initial);
    EntryState state{&initial, {}};
    INT_PTR result = 0;
    {
        win32::ModalDialogScope modal(whileWaiting);
        result =
            DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dialog.get(),
                                    reinterpret_cast<HWND>(static_cast<uintptr_t>(request.owner)),
                                    entryProcedure, reinterpret_cast<LPARAM>(&state));
    }
    if (result != IDOK) {
        return std::nullopt;
    }
    return win32::utf8FromWide(state.typed);
}

}  // namespace vidora
