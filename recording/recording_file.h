#pragma once
// A recording opened for reading, read in order from a position, with 64-bit positions, and why
// one cannot be opened.

#include <cstdint>
#include <string>

#include "platform/file.h"

namespace vidora {

class RecordingFile {
  public:
    // Only regular files: a folder, a FIFO or a device "cannot be opened", as on systems where
    // opening one for reading fails outright. On failure `*reason` (when given) says why, in
    // words for a person.
    bool open(const std::string& path, std::string* reason = nullptr);
    // Bytes read; fewer than n at the end of the file or on an error.
    size_t read(void* destination, size_t n);
    bool seekTo(uint64_t position);
    bool seekBack(uint64_t bytes);
    // Where the next read begins.
    uint64_t position();
    // The file's size now: a camera may still be writing it.
    uint64_t size();

  private:
    File file_;
    uint64_t position_ = 0;
};

}  // namespace vidora
