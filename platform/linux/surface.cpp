#include "platform/surface.h"

#include <SDL.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "platform/font.h"
#include "platform/surface_internal.h"

namespace vidora {
namespace {

using surface_internal::Box;
using surface_internal::boxOf;
using surface_internal::intersect;

SDL_Surface* sdl(void* native) {
    return static_cast<SDL_Surface*>(native);
}

uint8_t mix(uint32_t fg, uint32_t bg, uint32_t alpha) {
    return static_cast<uint8_t>((fg * alpha + bg * (255 - alpha) + 127) / 255);
}

uint32_t blend(uint32_t dst, uint32_t fg, uint32_t alpha) {
    const uint32_t r = mix((fg >> 16) & 0xFF, (dst >> 16) & 0xFF, alpha);
    const uint32_t g = mix((fg >> 8) & 0xFF, (dst >> 8) & 0xFF, alpha);
    const uint32_t b = mix(fg & 0xFF, dst & 0xFF, alpha);
    return (r << 16) | (g << 8) | b;
}

// The glyphs of the last few lines drawn, by their text. The video's time line is drawn with
// every frame and changes once a second; rendering it afresh each time cost more than all the
// rest of a small frame's drawing. One font and white glyphs: a kept line is exactly what
// rendering the text again would give.
class RenderedLineCache {
  public:
    std::shared_ptr<const font::RenderedLine> lookUp(const std::string& text) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const Entry& e : entries_) {
                if (e.line && e.text == text) {
                    return e.line;
                }
            }
        }
        auto line = std::make_shared<const font::RenderedLine>(font::renderLine(text));
        if (line->glyphs) {
            Entry dropped{text, line};
            {
                std::lock_guard<std::mutex> lock(mutex_);
                std::swap(entries_[next_], dropped);
                next_ = (next_ + 1) % entries_.size();
            }
            // The line pushed out (its glyphs are freed under the SDL lock) goes only here,
            // outside this cache's lock.
        }
        return line;
    }

  private:
    struct Entry {
        std::string text;
        std::shared_ptr<const font::RenderedLine> line;
    };
    std::mutex mutex_;
    std::array<Entry, 4> entries_;
    size_t next_ = 0;
};

RenderedLineCache& lineCache() {
    // Never destroyed: its glyphs would be freed under the SDL lock, which may already be gone
    // when the process ends.
    static auto* cache = new RenderedLineCache;
    return *cache;
}

}  // namespace

// The pixels are a buffer of exactly width × height words that the surface owns and SDL only
// borrows (SDL_CreateRGBSurfaceWithFormatFrom): SDL's own allocation pads the end of the buffer,
// which would hide a small overrun from AddressSanitizer. SDL surfaces are made and freed under
// the layer's SDL lock (font.h): they share SDL's pixel-format objects across threads.
Surface::Surface(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0 ||
        static_cast<int64_t>(width) * height > INT32_MAX / static_cast<int64_t>(sizeof(uint32_t))) {
        return;
    }
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    auto* pixels = static_cast<uint32_t*>(std::calloc(count, sizeof(uint32_t)));
    if (!pixels) {
        return;
    }
    SDL_Surface* s = nullptr;
    {
        auto lock = font::lockSdl();
        s = SDL_CreateRGBSurfaceWithFormatFrom(pixels, width, height, 32,
                                               width * static_cast<int>(sizeof(uint32_t)),
                                               SDL_PIXELFORMAT_XRGB8888);
    }
    if (!s) {
        std::free(pixels);
        return;
    }
    native_ = s;
    pixels_ = pixels;
    width_ = width;
    height_ = height;
    pitchPixels_ = width;
}

void Surface::reset() {
    if (native_) {
        auto lock = font::lockSdl();
        SDL_FreeSurface(sdl(native_));  // leaves the borrowed pixels alone
    }
    std::free(pixels_);
    native_ = nullptr;
    pixels_ = nullptr;
    width_ = height_ = pitchPixels_ = 0;
}

Surface Surface::fromBmp(const unsigned char* data, std::size_t size) {
    if (!data || size == 0 || size > static_cast<std::size_t>(INT_MAX)) {
        return {};
    }
    font::SurfacePtr loaded;
    {
        auto lock = font::lockSdl();
        SDL_RWops* rw = SDL_RWFromConstMem(data, static_cast<int>(size));
        if (!rw) {
            return {};
        }
        loaded.reset(SDL_LoadBMP_RW(rw, 1));
    }
    if (!loaded) {
        return {};
    }
    Surface out(loaded->w, loaded->h);
    if (!out.valid()) {
        return {};
    }
    {
        // A plain copy: a 32-bit bitmap's alpha is not blended, and the X byte stays zero.
        auto lock = font::lockSdl();
        SDL_SetSurfaceBlendMode(loaded.get(), SDL_BLENDMODE_NONE);
        if (SDL_BlitSurface(loaded.get(), nullptr, sdl(out.native_), nullptr) != 0) {
            return {};
        }
    }
    out.keepRgbOnly();
    return out;
}

Point Surface::textExtent(std::string_view utf8) {
    if (utf8.empty()) {
        return {0, 0};
    }
    const std::shared_ptr<const font::RenderedLine> rendered =
        lineCache().lookUp(std::string(utf8));
    if (!rendered->glyphs) {
        return {0, 0};
    }
    return {rendered->glyphs->w, rendered->lineHeight};
}

void Surface::drawTextImpl(std::string_view utf8, const Rect& box, TextAlign align,
                           Colorref textColor, const Colorref* backgroundColor) {
    if (!valid() || utf8.empty()) {
        return;
    }
    const Box target = boxOf(box);
    const Box clip = intersect(target, Box{0, 0, width_, height_});
    if (clip.empty()) {
        return;
    }
    const std::shared_ptr<const font::RenderedLine> rendered =
        lineCache().lookUp(std::string(utf8));
    const font::RenderedLine& line = *rendered;
    if (!line.glyphs) {
        return;
    }
    const SDL_Surface& glyphs = *line.glyphs;
    const int64_t textWidth = glyphs.w;
    const int64_t x = align == TextAlign::Left
                          ? target.left
                          : target.left + (target.right - target.left - textWidth) / 2;
    const int64_t y = align == TextAlign::TopCentre
                          ? target.top
                          : target.top + (target.bottom - target.top - line.lineHeight) / 2;

    if (backgroundColor) {
        const Box band = intersect(Box{x, y, x + textWidth, y + line.lineHeight}, clip);
        if (!band.empty()) {
            const uint32_t value = xrgbOf(*backgroundColor);
            for (int64_t py = band.top; py < band.bottom; ++py) {
                uint32_t* out = row(static_cast<int32_t>(py));
                std::fill(out + band.left, out + band.right, value);
            }
        }
    }

    const Box drawn = intersect(Box{x, y, x + glyphs.w, y + glyphs.h}, clip);
    if (drawn.empty()) {
        return;
    }
    const uint32_t color = xrgbOf(textColor);
    const auto* base = static_cast<const uint8_t*>(glyphs.pixels);
    for (int64_t py = drawn.top; py < drawn.bottom; ++py) {
        const auto* in = reinterpret_cast<const uint32_t*>(base + (py - y) * glyphs.pitch);
        uint32_t* out = row(static_cast<int32_t>(py));
        for (int64_t px = drawn.left; px < drawn.right; ++px) {
            const uint32_t alpha = in[px - x] >> 24;  // ARGB8888
            if (alpha == 255) {
                out[px] = color;
            } else if (alpha != 0) {
                out[px] = blend(out[px], color, alpha);
            }
        }
    }
}

bool textFontAvailable() {
    return font::available();
}

}  // namespace vidora
