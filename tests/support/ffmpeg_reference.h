#pragma once
// FFmpeg's own decoding of a stream, the yardstick for the video path: every picture, in display
// order, scaled bicubically to the display size as packed blue-green-red bytes and turned
// bottom-up, as the engine presents it.

#include <cstdint>
#include <functional>
#include <vector>

namespace vidora::test {

using Picture = std::vector<uint8_t>;

// H.264: `pieces` are access units, each sent to the decoder as one packet. H.263: `pieces`
// joined make the stream, which FFmpeg's parser cuts into pictures. Each picture goes to `take`.
void forEachReferencePicture(bool h263, const std::vector<std::vector<uint8_t>>& pieces, int width,
                             int height, const std::function<void(const Picture&)>& take);

// The same, kept.
std::vector<Picture> referencePictures(bool h263, const std::vector<std::vector<uint8_t>>& pieces,
                                       int width, int height);

}  // namespace vidora::test
