// The interface font on GDI: 16 pixels high, from a face that has the Chinese glyphs of the
// interface. The faces Windows ships for Simplified Chinese come first, in the order they read
// best at that size; after them any installed face that declares the GB2312 character set.
// Where no such face exists (a bare wine prefix) the system's message font draws what it can,
// so that dates and times still show.

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <vector>

#include "platform/windows/win32_internal.h"

namespace vidora::win32 {
namespace {

constexpr int kPixelSize = 16;  // the em height, as the 16-pixel font on Linux
constexpr const wchar_t* kPreferredFaces[] = {L"Microsoft YaHei", L"SimSun", L"SimHei"};
// 无 and 效: a face that has these has the CJK glyphs the interface needs.
constexpr wchar_t kProbe[] = L"\u65E0\u6548";
constexpr std::size_t kMaxFaces = 32;

struct FontState {
    std::once_flag once;
    HFONT font = nullptr;  // written once, inside call_once
    bool hasCjk = false;
    std::wstring face;
    HDC dc = nullptr;
};

// Never destroyed: a thread still drawing while the program exits must not find them gone.
FontState& state() {
    static auto* s = new FontState;
    return *s;
}
std::mutex& textMutex() {
    static auto* m = new std::mutex;
    return *m;
}

int CALLBACK noteFace(const LOGFONTW* font, const TEXTMETRICW*, DWORD, LPARAM found) {
    auto& faces = *reinterpret_cast<std::vector<std::wstring>*>(found);
    // '@' faces are the same fonts turned for vertical writing.
    if (font->lfFaceName[0] != L'@' &&
        std::find(faces.begin(), faces.end(), font->lfFaceName) == faces.end()) {
        faces.emplace_back(font->lfFaceName);
    }
    return faces.size() < kMaxFaces ? 1 : 0;
}

// The installed faces with this name and character set (an empty name: any face).
std::vector<std::wstring> installedFaces(HDC dc, const wchar_t* name, BYTE charset) {
    LOGFONTW wanted{};
    wanted.lfCharSet = charset;
    wcsncpy(wanted.lfFaceName, name, LF_FACESIZE - 1);
    std::vector<std::wstring> found;
    EnumFontFamiliesExW(dc, &wanted, noteFace, reinterpret_cast<LPARAM>(&found), 0);
    return found;
}

HFONT createFont(const wchar_t* face, BYTE charset) {
    LOGFONTW description{};
    description.lfHeight = -kPixelSize;
    description.lfWeight = FW_NORMAL;
    description.lfCharSet = charset;
    description.lfOutPrecision = OUT_TT_PRECIS;
    // Grey antialiasing like the Linux text: coloured ClearType fringes would show on the skin's
    // backgrounds and differ with the display's subpixel order.
    description.lfQuality = ANTIALIASED_QUALITY;
    wcsncpy(description.lfFaceName, face, LF_FACESIZE - 1);
    return CreateFontIndirectW(&description);
}

bool hasProbeGlyphs(HDC dc, HFONT font) {
    const HGDIOBJ previous = SelectObject(dc, font);
    WORD glyphs[std::size(kProbe) - 1] = {};
    const DWORD converted = GetGlyphIndicesW(dc, kProbe, static_cast<int>(std::size(glyphs)),
                                             glyphs, GGI_MARK_NONEXISTING_GLYPHS);
    SelectObject(dc, previous);
    if (converted == GDI_ERROR) {
        return false;
    }
    for (WORD glyph : glyphs) {
        if (glyph == 0xFFFF) {
            return false;
        }
    }
    return true;
}

void load(FontState& s) {
    s.dc = CreateCompatibleDC(nullptr);
    if (s.dc == nullptr) {
        return;
    }
    auto tryFace = [&s](const std::wstring& face, BYTE charset) {
        HFONT font = createFont(face.c_str(), charset);
        if (font != nullptr && hasProbeGlyphs(s.dc, font)) {
            s.font = font;
            s.face = face;
            s.hasCjk = true;
            return true;
        }
        if (font != nullptr) {
            DeleteObject(font);
        }
        return false;
    };
    std::vector<std::wstring> candidates;
    for (const wchar_t* name : kPreferredFaces) {
        for (std::wstring& face : installedFaces(s.dc, name, DEFAULT_CHARSET)) {
            candidates.push_back(std::move(face));
        }
    }
    for (std::wstring& face : installedFaces(s.dc, L"", GB2312_CHARSET)) {
        candidates.push_back(std::move(face));
    }
    for (const std::wstring& face : candidates) {
        if (tryFace(face, GB2312_CHARSET)) {
            break;
        }
    }
    if (s.font == nullptr) {
        NONCLIENTMETRICSW metrics{};
        metrics.cbSize = sizeof metrics;
        const wchar_t* face = L"Tahoma";
        if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
            face = metrics.lfMessageFont.lfFaceName;
        }
        s.font = createFont(face, DEFAULT_CHARSET);
        s.face = s.font != nullptr ? face : L"";
    }
    if (s.font != nullptr) {
        SelectObject(s.dc, s.font);
    }
}

FontState& loadedState() {
    FontState& s = state();
    std::call_once(s.once, [&s] { load(s); });
    return s;
}

}  // namespace

std::unique_lock<std::mutex> lockText() {
    return std::unique_lock<std::mutex>(textMutex());
}

HFONT interfaceFont() {
    return loadedState().font;
}

bool interfaceFontHasCjk() {
    return loadedState().hasCjk;
}

std::wstring interfaceFaceName() {
    return loadedState().face;
}

HDC measuringDc() {
    return loadedState().dc;
}

}  // namespace vidora::win32
