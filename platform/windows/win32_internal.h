#pragma once
// What the Windows files of the platform layer share among themselves and with nobody else: text
// conversion at the Win32 boundary, the GDI objects behind a Surface, the interface font, the
// window class and its event queue, and the modal state of the program's own dialogs.

// The wide-character forms of every Win32 call and constant.
#ifndef UNICODE
#define UNICODE
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace vidora {

struct InputEvent;

namespace win32 {

// UTF-8 inside the program, UTF-16 at every Win32 call. Invalid sequences become U+FFFD.
std::wstring wideFromUtf8(std::string_view utf8);
std::string utf8FromWide(std::wstring_view wide);

// What Surface::nativeHandle() points at: a memory DC with the surface's DIB section selected.
struct GdiSurface {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ previousBitmap = nullptr;
};

// The interface font (font.cpp). Every use of the font, and every GDI text call, happens under
// lockText(): one HFONT serves every surface's DC, and GDI text output from two threads into DCs
// that share a font is not something to rely on.
std::unique_lock<std::mutex> lockText();
// The 16-pixel interface font, found on first use; nullptr when not even a fallback exists.
// Call under lockText().
HFONT interfaceFont();
// Whether that font has the CJK glyphs the interface needs (无 and 效).
bool interfaceFontHasCjk();
// The face name of the interface font, for the program's own dialogs; empty without one.
std::wstring interfaceFaceName();
// A memory DC with the interface font selected, for measuring. Call under lockText().
HDC measuringDc();

// The class of the player's window and of the hidden window that receives the program's own
// messages (events.cpp); registered on first use.
const wchar_t* playerWindowClass();
// Paints the update region of the player's window from what was last presented (window.cpp);
// called by the window procedure on WM_PAINT.
void paintFromLastPresented(HWND hwnd);

// While one of the program's own modal dialogs runs, its message loop dispatches the window's
// messages; waitEvent then only hands out what the window procedure queued and never pumps
// itself (that would steal the dialog's keys from IsDialogMessage). `whileWaiting` is called
// about every 20 ms from a thread timer that the dialog's loop dispatches.
class ModalDialogScope {
  public:
    explicit ModalDialogScope(const std::function<void()>& whileWaiting);
    ~ModalDialogScope();
    ModalDialogScope(const ModalDialogScope&) = delete;
    ModalDialogScope& operator=(const ModalDialogScope&) = delete;

  private:
    static void CALLBACK onTimer(HWND, UINT, UINT_PTR, DWORD);
    const std::function<void()>* previous_;
    UINT_PTR timer_;
};

}  // namespace win32
}  // namespace vidora
