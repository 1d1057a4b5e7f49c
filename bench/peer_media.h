#pragma once
// The benchmark recordings in a container other players read: a 3GP file holding exactly the
// recording's pictures and AMR-NB frames, copied byte for byte, one picture per record.

#include <cstdint>
#include <string>
#include <vector>

#include "bench/bench_recording.h"

namespace vidora::bench {

// Presentation and decoding times, in records, of pictures stored in decoding order, given the
// record each decoded picture came from in the order the decoder gave them out (its display
// order). Decoding times start early by the deepest reordering, so that no picture is presented
// before it is decoded; a record the decoder never gave out is presented at its decoding time.
struct PictureTimes {
    std::vector<int64_t> pts;
    std::vector<int64_t> dts;
};
PictureTimes pictureTimes(size_t records, const std::vector<int64_t>& displayOrder);

// Writes `path` as 3GP; false, with a reason, when the recording or the file cannot be written.
bool writePeerMedia(const BenchRecording& recording, const std::string& path, std::string* error);

}  // namespace vidora::bench
