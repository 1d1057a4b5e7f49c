// Vidora's entry point.

#include "engine/playback_engine.h"

namespace {
// Constructed before main and destroyed after it, as the one engine of the process.
vidora::PlaybackEngine engine;
}  // namespace

int main() {
    return 0;
}
