#pragma once
// The interface font behind Surface::drawText (internal to the platform layer): a 16-pixel sans
// font with the CJK glyphs, found through fontconfig and opened with SDL2_ttf on first use.
// Every use of the font goes through this module, under the layer's SDL lock.

#include <SDL.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vidora::font {

// A font face as fontconfig names it: a file and the face's index in it (.ttc collections).
struct FontFile {
    std::string path;
    int index = 0;
};

// Fonts that cover U+65E0 and U+6548, best first: fontconfig's match for "sans:lang=zh-cn" when
// it covers both, then any other font that does. Empty when fontconfig finds none.
std::vector<FontFile> findInterfaceFontCandidates();

// One lock for the SDL calls of the platform layer that touch state shared between threads:
// SDL_ttf with the font, and SDL's pixel-format objects, which all surfaces of one format share
// and which SDL counts under a spin lock of its own that ThreadSanitizer cannot see. Held around
// creating, decoding, blitting and freeing SDL surfaces and around rendering text. Not recursive.
std::unique_lock<std::mutex> lockSdl();

// Frees under lockSdl().
struct SurfaceDeleter {
    void operator()(SDL_Surface* s) const;
};
using SurfacePtr = std::unique_ptr<SDL_Surface, SurfaceDeleter>;

struct RenderedLine {
    // ARGB8888; the glyph coverage is in the alpha channel. Null when there is nothing to draw.
    SurfacePtr glyphs;
    int lineHeight = 0;  // TTF_FontHeight
};

// True when the interface font was found and opened (the first call looks for it).
bool available();

// Renders one line of UTF-8 text in the interface font; an empty result without a font or for
// empty text. Safe to call from several threads.
RenderedLine renderLine(const std::string& utf8);

}  // namespace vidora::font
