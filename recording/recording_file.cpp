#include "recording/recording_file.h"

namespace vidora {

bool RecordingFile::open(const std::string& path, std::string* reason) {
    position_ = 0;
    return file_.open(path, reason);
}

size_t RecordingFile::read(void* destination, size_t n) {
    // As a stream's read does, one that ends early moves on by what it read.
    const size_t got = file_.isOpen() ? file_.readAt(position_, destination, n) : 0;
    position_ += got;
    return got;
}

bool RecordingFile::seekTo(uint64_t position) {
    position_ = position;
    return file_.isOpen();
}

uint64_t RecordingFile::position() {
    return position_;
}

bool RecordingFile::seekBack(uint64_t bytes) {
    if (!file_.isOpen() || bytes > position_) {
        return false;
    }
    position_ -= bytes;
    return true;
}

uint64_t RecordingFile::size() {
    // Asked of the file system, not by seeking: the read position stays as it is, so the size of
    // a file that is still being written can be asked at any time.
    return file_.isOpen() ? file_.size() : 0;
}

}  // namespace vidora
