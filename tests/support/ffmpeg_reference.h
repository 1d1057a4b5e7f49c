#pragma once
// FFmpeg's own decoding, the yardstick for the video and the audio path: every picture, in
// display order, scaled bicubically to the display size as packed blue-green-red bytes and turned
// bottom-up, as the presenter hands it to its observer; and the sound of AMR-NB frames.

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

// AMR-NB storage frames, each whole, as a stream's bytes split them.
std::vector<std::vector<uint8_t>> amrFrames(const std::vector<uint8_t>& stream);

// The sound the player must play for these frames: each frame sent as one packet to one AMR-NB
// decoder, its samples made 16-bit by libswresample with its defaults, and 20 ms of silence for
// each frame the decoder rejects.
std::vector<uint8_t> referenceSound(const std::vector<std::vector<uint8_t>>& frames);

}  // namespace vidora::test
