#pragma once
// The record index of the recording being played, built on a thread of its own as soon as the
// recording opens, while it already plays, and handed out once complete. Until then (and for a
// file it cannot index) there is none, and every seek works as it does without one.

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "recording/record_index.h"

namespace vidora {

class IndexKeeper {
  public:
    IndexKeeper() = default;
    ~IndexKeeper() { stop(); }
    IndexKeeper(const IndexKeeper&) = delete;
    IndexKeeper& operator=(const IndexKeeper&) = delete;

    // Forgets the index there is and starts building the one of `path`. From any thread.
    void start(const std::string& path);
    // Stops a build in progress and forgets the index.
    void stop();
    // The index, once complete; nullptr before.
    std::shared_ptr<const RecordIndex> index() const;

  private:
    std::mutex controlMutex_;  // start and stop, which join the builder
    mutable std::mutex indexMutex_;
    std::shared_ptr<const RecordIndex> index_;
    std::jthread builder_;
};

}  // namespace vidora
