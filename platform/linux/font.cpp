#include "platform/font.h"

#include <SDL_ttf.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <iterator>
#include <mutex>
#include <utility>

namespace vidora::font {
namespace {

constexpr int kPixelSize = 16;  // SDL_ttf's default is 72 dpi, so points are pixels
// 无 and 效: a font that has these has the CJK glyphs the interface needs.
constexpr FcChar32 kProbeChars[] = {0x65E0, 0x6548};
constexpr std::size_t kMaxCandidates = 8;

bool coversProbe(FcPattern* font) {
    FcCharSet* charset = nullptr;
    if (FcPatternGetCharSet(font, FC_CHARSET, 0, &charset) != FcResultMatch || !charset) {
        return false;
    }
    return std::all_of(std::begin(kProbeChars), std::end(kProbeChars),
                       [charset](FcChar32 c) { return FcCharSetHasChar(charset, c) == FcTrue; });
}

void addCandidate(std::vector<FontFile>& out, FcPattern* font) {
    FcChar8* file = nullptr;
    if (FcPatternGetString(font, FC_FILE, 0, &file) != FcResultMatch || !file) {
        return;
    }
    int index = 0;
    if (FcPatternGetInteger(font, FC_INDEX, 0, &index) != FcResultMatch) {
        index = 0;
    }
    FontFile candidate{reinterpret_cast<const char*>(file), index};
    for (const FontFile& known : out) {
        if (known.path == candidate.path && known.index == candidate.index) {
            return;
        }
    }
    out.push_back(std::move(candidate));
}

// "sans:lang=zh-cn" with the configuration's substitutions applied; null on failure.
FcPattern* preferredPattern(FcConfig* config) {
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("sans:lang=zh-cn"));
    if (!pattern) {
        return nullptr;
    }
    FcConfigSubstitute(config, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    return pattern;
}

struct FontState {
    std::once_flag once;
    TTF_Font* font = nullptr;  // written once, inside call_once; used under lockSdl()
};

// Never destroyed: a thread still drawing while the program exits must not find them gone.
FontState& state() {
    static FontState* s = new FontState;
    return *s;
}
std::mutex& sdlMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

bool providesProbe(TTF_Font* font) {
    return std::all_of(std::begin(kProbeChars), std::end(kProbeChars),
                       [font](FcChar32 c) { return TTF_GlyphIsProvided32(font, c) != 0; });
}

void load(FontState& s) {
    const std::vector<FontFile> candidates = findInterfaceFontCandidates();
    auto lock = lockSdl();
    if (TTF_Init() != 0) {
        return;
    }
    for (const FontFile& file : candidates) {
        TTF_Font* font = TTF_OpenFontIndex(file.path.c_str(), kPixelSize, file.index);
        if (!font) {
            continue;
        }
        if (!providesProbe(font)) {
            TTF_CloseFont(font);
            continue;
        }
        s.font = font;
        return;
    }
}

FontState& loadedState() {
    FontState& s = state();
    std::call_once(s.once, [&s] { load(s); });
    return s;
}

}  // namespace

std::unique_lock<std::mutex> lockSdl() {
    return std::unique_lock<std::mutex>(sdlMutex());
}

void SurfaceDeleter::operator()(SDL_Surface* s) const {
    auto lock = lockSdl();
    SDL_FreeSurface(s);
}

std::vector<FontFile> findInterfaceFontCandidates() {
    std::vector<FontFile> out;
    // A configuration of our own, destroyed when done: fontconfig's default one (FcInit) is
    // never freed and leaks a little, which LeakSanitizer reports.
    FcConfig* config = FcInitLoadConfigAndFonts();
    if (!config) {
        return out;
    }

    if (FcPattern* pattern = preferredPattern(config)) {
        FcResult result = FcResultNoMatch;
        if (FcPattern* match = FcFontMatch(config, pattern, &result)) {
            if (coversProbe(match)) {
                addCandidate(out, match);
            }
            FcPatternDestroy(match);
        }

        // The preferred match lacks the glyphs (or is not loadable): any font that has them,
        // still in the order of how well it fits "sans:lang=zh-cn".
        FcCharSet* needed = FcCharSetCreate();
        if (needed) {
            for (FcChar32 c : kProbeChars) {
                FcCharSetAddChar(needed, c);
            }
            FcPatternAddCharSet(pattern, FC_CHARSET, needed);
            FcCharSetDestroy(needed);
        }
        if (FcFontSet* sorted = FcFontSort(config, pattern, FcFalse, nullptr, &result)) {
            for (int i = 0; i < sorted->nfont && out.size() < kMaxCandidates; ++i) {
                if (coversProbe(sorted->fonts[i])) {
                    addCandidate(out, sorted->fonts[i]);
                }
            }
            FcFontSetDestroy(sorted);
        }
        FcPatternDestroy(pattern);
    }
    FcConfigDestroy(config);
    return out;
}

bool available() {
    return loadedState().font != nullptr;
}

RenderedLine renderLine(const std::string& utf8) {
    RenderedLine line;
    FontState& s = loadedState();
    if (!s.font || utf8.empty()) {
        return line;
    }
    auto lock = lockSdl();
    line.lineHeight = TTF_FontHeight(s.font);
    SDL_Surface* glyphs =
        TTF_RenderUTF8_Blended(s.font, utf8.c_str(), SDL_Color{255, 255, 255, 255});
    if (glyphs && glyphs->format->format != SDL_PIXELFORMAT_ARGB8888) {
        SDL_Surface* converted = SDL_ConvertSurfaceFormat(glyphs, SDL_PIXELFORMAT_ARGB8888, 0);
        SDL_FreeSurface(glyphs);
        glyphs = converted;
    }
    lock.unlock();
    line.glyphs.reset(glyphs);
    return line;
}

}  // namespace vidora::font
