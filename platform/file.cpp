// What File does the same way on every system; each backend opens, reads and closes.

#include "platform/file.h"

#include <utility>

namespace vidora {

File::~File() {
    close();
}

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
}

}  // namespace vidora
