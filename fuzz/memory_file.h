#pragma once
// A recording held in memory under a path the reader opens like any other file: an anonymous
// memory file reached through /proc/self/fd. One serves a whole fuzzing process and is rewritten
// for every input, so no input ever touches the disk.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace vidora::fuzz {

class MemoryFile {
  public:
    MemoryFile() : fd_(memfd_create("vidora-input", MFD_CLOEXEC)) {}
    ~MemoryFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    bool valid() const { return fd_ >= 0; }
    // Replaces the contents with `first` followed by `second`.
    bool write(const uint8_t* first, size_t firstSize, const uint8_t* second = nullptr,
               size_t secondSize = 0) {
        if (fd_ < 0 || ftruncate(fd_, 0) != 0) {
            return false;
        }
        return writeAt(0, first, firstSize) && writeAt(firstSize, second, secondSize);
    }
    // Cuts the contents to `size` bytes, as another program shortening the file would.
    bool truncate(size_t size) { return fd_ >= 0 && ftruncate(fd_, static_cast<off_t>(size)) == 0; }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

  private:
    bool writeAt(size_t offset, const uint8_t* bytes, size_t size) {
        while (size > 0) {
            ssize_t n = pwrite(fd_, bytes, size, static_cast<off_t>(offset));
            if (n <= 0) {
                return false;
            }
            bytes += n;
            offset += static_cast<size_t>(n);
            size -= static_cast<size_t>(n);
        }
        return true;
    }

    int fd_;
};

}  // namespace vidora::fuzz
