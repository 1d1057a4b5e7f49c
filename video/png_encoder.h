#pragma once
// Pictures as PNG files, by FFmpeg's PNG encoder: the player's snapshots and krmtool's
// thumbnails write them the same way.

#include <cstdint>
#include <vector>

namespace vidora {

// `rgb` holds `height` rows of `width` red-green-blue pixels, top row first, without padding.
// The whole PNG file; empty when it cannot be encoded.
std::vector<uint8_t> encodePng(const std::vector<uint8_t>& rgb, int32_t width, int32_t height);

}  // namespace vidora
