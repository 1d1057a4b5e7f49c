#include "engine/index_keeper.h"

#include <system_error>

namespace vidora {

void IndexKeeper::start(const std::string& path) {
    std::lock_guard<std::mutex> control(controlMutex_);
    builder_ = std::jthread();  // stops and joins the build before
    {
        std::lock_guard<std::mutex> lock(indexMutex_);
        index_.reset();
    }
    try {
        builder_ = std::jthread([this, path](std::stop_token stop) {
            auto built = std::make_shared<RecordIndex>();
            const RecordIndex::End end = built->build(path, stop);
            // A damaged file is indexed up to its first bad record, which is also where it
            // stops playing.
            if (end == RecordIndex::End::Complete || end == RecordIndex::End::BadRecord) {
                std::lock_guard<std::mutex> lock(indexMutex_);
                index_ = std::move(built);
            }
        });
    } catch (const std::system_error&) {
        // Without a thread there is no index: seeks work as without one.
    }
}

void IndexKeeper::stop() {
    std::lock_guard<std::mutex> control(controlMutex_);
    builder_ = std::jthread();
    std::lock_guard<std::mutex> lock(indexMutex_);
    index_.reset();
}

std::shared_ptr<const RecordIndex> IndexKeeper::index() const {
    std::lock_guard<std::mutex> lock(indexMutex_);
    return index_;
}

}  // namespace vidora
