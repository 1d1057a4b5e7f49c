// libFuzzer target: the stream rings against a model (see rings_harness.h for the input layout).

#include <cstdio>
#include <cstdlib>

#include "fuzz/rings_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The rings are allocated once and reused, as by the player.
    static vidora::PlaybackEngine* engine = new vidora::PlaybackEngine;
    std::string findings = vidora::fuzz::runRingsCase(*engine, data, size);
    if (!findings.empty()) {
        std::fprintf(stderr, "fuzz_rings: failed checks:\n%s", findings.c_str());
        std::abort();
    }
    return 0;
}
