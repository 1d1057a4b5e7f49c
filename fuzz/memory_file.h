#pragma once
// A recording held in memory under a path the reader opens like any other file: an anonymous
// memory file reached through /proc/self/fd. One serves a whole fuzzing process and is rewritten
// for every input, so no input ever touches the disk.
//
// Windows has no anonymous memory files: there, for the tests that replay the harnesses, a file
// in the temporary folder stands in, removed again at the end.

#include <cstddef>
#include <cstdint>
#include <string>

#ifdef _WIN32
#include <process.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <system_error>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace vidora::fuzz {

#ifdef _WIN32
class MemoryFile {
  public:
    MemoryFile() {
        static std::atomic<int> serial{0};
        path_ =
            (std::filesystem::temp_directory_path() / ("vidora-input-" + std::to_string(_getpid()) +
                                                       "-" + std::to_string(serial.fetch_add(1))))
                .string();
        valid_ = std::ofstream(path_, std::ios::binary).good();
    }
    ~MemoryFile() {
        std::error_code error;
        std::filesystem::remove(path_, error);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    bool valid() const { return valid_; }
    bool write(const uint8_t* first, size_t firstSize, const uint8_t* second = nullptr,
               size_t secondSize = 0) {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(first), static_cast<std::streamsize>(firstSize));
        if (secondSize > 0) {
            out.write(reinterpret_cast<const char*>(second),
                      static_cast<std::streamsize>(secondSize));
        }
        out.close();
        return !out.fail();
    }
    bool truncate(size_t size) {
        std::error_code error;
        std::filesystem::resize_file(path_, size, error);
        return !error;
    }
    std::string path() const { return path_; }

  private:
    std::string path_;
    bool valid_ = false;
};
#else
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
#endif

}  // namespace vidora::fuzz
