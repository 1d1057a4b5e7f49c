// What the event layer does the same way on every system.

#include "platform/events.h"

#include <chrono>

namespace vidora {

uint64_t monotonicMilliseconds() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace vidora
