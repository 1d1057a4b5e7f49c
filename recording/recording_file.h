#pragma once
// A recording opened for reading, with 64-bit positions, and why one cannot be opened.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace vidora {

// Reads n bytes at `offset` of the file descriptor `fd`, going on after interruptions and short
// reads; the count read, fewer at the end of the file or on an error.
size_t readFully(int fd, void* into, size_t n, uint64_t offset);

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
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
};

}  // namespace vidora
