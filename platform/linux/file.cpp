// Files on a POSIX system: positioned reads on a descriptor, new files made with mkstemp and
// put in place with rename (or link, where nothing may be replaced). Paths are bytes, UTF-8 as
// the program has them.

#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace vidora {

namespace {

void tell(std::string* reason, const std::string& text) {
    if (reason != nullptr) {
        *reason = text;
    }
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

}  // namespace

void File::close() {
    if (handle_ >= 0) {
        ::close(static_cast<int>(handle_));
        handle_ = -1;
    }
}

bool File::open(const std::string& path, std::string* reason) {
    close();
    if (path.empty()) {
        tell(reason, "no file named");
        return false;
    }
    // Non-blocking, so that a FIFO given by mistake is refused rather than waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        tell(reason, std::strerror(errno));
        return false;
    }
    struct stat info {};
    const char* refusal = nullptr;
    if (fstat(fd, &info) != 0) {
        refusal = std::strerror(errno);
    } else if (S_ISDIR(info.st_mode)) {
        refusal = "it is a folder";
    } else if (!S_ISREG(info.st_mode)) {
        refusal = "it is not a regular file";
    }
    if (refusal != nullptr) {
        tell(reason, refusal);
        ::close(fd);
        return false;
    }
    handle_ = fd;
    return true;
}

bool File::isOpen() const {
    return handle_ >= 0;
}

size_t File::readAt(uint64_t offset, void* into, size_t n) const {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = pread(static_cast<int>(handle_), static_cast<uint8_t*>(into) + done,
                                n - done, static_cast<off_t>(offset + done));
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

uint64_t File::size() const {
    struct stat info {};
    if (handle_ < 0 || fstat(static_cast<int>(handle_), &info) != 0 || info.st_size < 0) {
        return 0;
    }
    return static_cast<uint64_t>(info.st_size);
}

FileReplacement::~FileReplacement() {
    close();
    if (!temporary_.empty() && !committed_) {
        ::unlink(temporary_.c_str());
    }
}

bool FileReplacement::create(const std::string& target, const std::string& stem,
                             std::string* reason) {
    target_ = target;
    const std::string folder = folderOf(target);
    std::string name = folder + "/." + stem + "XXXXXX";
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        tell(reason, std::strerror(errno));
        return false;
    }
    temporary_ = std::move(name);
    handle_ = fd;
    // As a newly made file would be: readable by others as the umask allows.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0) {
        tell(reason, std::strerror(errno));
        return false;
    }
    return true;
}

bool FileReplacement::write(const void* bytes, size_t n) {
    const auto* from = static_cast<const uint8_t*>(bytes);
    for (size_t done = 0; failure_.empty() && done < n;) {
        const ssize_t r = ::write(static_cast<int>(handle_), from + done, n - done);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            failure_ = r < 0 ? std::strerror(errno) : "nothing could be written";
        }
        done += r > 0 ? static_cast<size_t>(r) : 0;
    }
    return failure_.empty();
}

bool FileReplacement::close() {
    if (handle_ >= 0) {
        // A delayed write error (a full disk on a network file system) shows here.
        if (::close(static_cast<int>(handle_)) != 0 && failure_.empty()) {
            failure_ = std::strerror(errno);
        }
        handle_ = -1;
    }
    return failure_.empty();
}

FileReplacement::Outcome FileReplacement::commit(bool replace, std::string* reason) {
    if (temporary_.empty() || !close()) {
        tell(reason, temporary_.empty() ? "no file was made" : failure_);
        return Outcome::Failed;
    }
    const char* from = temporary_.c_str();
    const char* to = target_.c_str();
    if (!replace) {
        // A hard link takes the name only where no file has it, in one step.
        if (::link(from, to) == 0) {
            ::unlink(from);
            committed_ = true;
            return Outcome::Done;
        }
        if (errno == EEXIST) {
            return Outcome::TargetExists;
        }
        // A file system without hard links: the check and the rename are as near as it gets.
        struct stat info {};
        if (::lstat(to, &info) == 0) {
            return Outcome::TargetExists;
        }
    }
    if (::rename(from, to) != 0) {
        tell(reason, std::strerror(errno));
        return Outcome::Failed;
    }
    committed_ = true;
    return Outcome::Done;
}

std::filesystem::path pathFromUtf8(const std::string& utf8) {
    return std::filesystem::path(utf8);
}

std::string utf8FromPath(const std::filesystem::path& path) {
    return path.string();
}

}  // namespace vidora
