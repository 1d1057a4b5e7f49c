#pragma once
// `krmtool export FILE OUT.mp4 [--from T] [--to T] [--salvage] [--force]`: a recording as an MP4
// file that phones and browsers open. The video is copied as it is, the AMR-NB sound becomes
// AAC-LC, and the camera's clock rides along as a subtitle track.

#include <string>
#include <vector>

namespace vidora {

// `args` are the words after "export". Returns the exit code: 0 when OUT was written; otherwise
// one line on standard error says why, and no OUT (nor any temporary file) is left behind.
int exportCommand(const std::vector<std::string>& args);

}  // namespace vidora
