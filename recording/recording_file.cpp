#include "recording/recording_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

namespace vidora {

namespace {

void tell(std::string* reason, const std::string& text) {
    if (reason != nullptr) {
        *reason = text;
    }
}

}  // namespace

bool RecordingFile::open(const std::string& path, std::string* reason) {
    namespace fs = std::filesystem;
    if (path.empty()) {
        tell(reason, "no file named");
        return false;
    }
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (error) {
        tell(reason, error.message());
        return false;
    }
    if (fs::is_directory(status)) {
        tell(reason, "it is a folder");
        return false;
    }
    if (!fs::is_regular_file(status)) {
        tell(reason, "it is not a regular file");
        return false;
    }
    file_.reset(std::fopen(path.c_str(), "rb"));
    if (!file_) {
        tell(reason, std::strerror(errno));
        return false;
    }
    return true;
}

size_t RecordingFile::read(void* destination, size_t n) {
    return std::fread(destination, 1, n, file_.get());
}

bool RecordingFile::seekTo(uint64_t position) {
    return fseeko(file_.get(), static_cast<off_t>(position), SEEK_SET) == 0;
}

size_t readFully(int fd, void* into, size_t n, uint64_t offset) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = pread(fd, static_cast<uint8_t*>(into) + done, n - done,
                                static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            break;
        }
        done += static_cast<size_t>(r);
    }
    return done;
}

uint64_t RecordingFile::position() {
    const off_t at = file_ ? ftello(file_.get()) : -1;
    return at < 0 ? 0 : static_cast<uint64_t>(at);
}

bool RecordingFile::seekBack(uint64_t bytes) {
    return fseeko(file_.get(), -static_cast<off_t>(bytes), SEEK_CUR) == 0;
}

uint64_t RecordingFile::size() {
    // Asked of the file system, not by seeking: the read position and the stream's buffer stay
    // as they are, so the size of a file that is still being written can be asked at any time.
    struct stat info {};
    if (fstat(fileno(file_.get()), &info) != 0 || info.st_size < 0) {
        return 0;
    }
    return static_cast<uint64_t>(info.st_size);
}

}  // namespace vidora
