#pragma once
// Files by their UTF-8 paths: recordings read at 64-bit offsets, files written whole before they
// take their name, and the bridge between UTF-8 paths and std::filesystem. Paths inside the
// program are UTF-8 on every system; only this layer turns them into what the system takes.

#include <cstdint>
#include <filesystem>
#include <string>

namespace vidora {

// A file opened for reading. Reads name their offset, so several threads may read one File at
// once.
class File {
  public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Only regular files: a folder, a FIFO or a device "cannot be opened" (a FIFO is refused,
    // never waited on). On failure `*reason` (when given) says why, in words for a person.
    bool open(const std::string& path, std::string* reason = nullptr);
    bool isOpen() const;
    // Up to n bytes at `offset`, going on after interruptions and short reads; the count read,
    // fewer at the end of the file or on an error.
    size_t readAt(uint64_t offset, void* into, size_t n) const;
    // The file's size now, asked of the file system: a camera may still be writing it. 0 when
    // it cannot be told.
    uint64_t size() const;

  private:
    void close();

    intptr_t handle_ = -1;  // a file descriptor, or a Windows handle
};

// A file that only ever appears whole under its name: it is written as a new temporary file in
// the target's folder, readable by others as any new file would be, which then takes the
// target's name. Whatever does not take its name is removed again.
class FileReplacement {
  public:
    enum class Outcome { Done, TargetExists, Failed };

    FileReplacement() = default;
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // Creates the temporary file ".<stem>XXXXXX" (six characters that make it new) beside
    // `target`. False, with `*reason` (when given), when the folder takes no new file.
    bool create(const std::string& target, const std::string& stem, std::string* reason = nullptr);
    // The temporary file, for writers that open it by name themselves (close it first).
    const std::string& temporaryPath() const { return temporary_; }
    // Appends bytes to the temporary file; false on a write error (a full disk).
    bool write(const void* bytes, size_t n);
    // Closes the temporary file; false when what was written could not all be kept.
    bool close();
    // Closes the temporary file and gives it the target's name: over a file there when
    // `replace`, otherwise only where nothing has that name (TargetExists). On Failed `*reason`
    // says why.
    Outcome commit(bool replace, std::string* reason = nullptr);

  private:
    std::string target_;
    std::string temporary_;
    intptr_t handle_ = -1;
    std::string failure_;  // why writing failed, at the first failure
    bool committed_ = false;
};

// A UTF-8 path as std::filesystem takes it, and back (never through a local code page).
std::filesystem::path pathFromUtf8(const std::string& utf8);
std::string utf8FromPath(const std::filesystem::path& path);

}  // namespace vidora
