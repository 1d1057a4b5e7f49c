// libFuzzer target: the stream rings against a model (see rings_harness.h for the input layout).

#include <cstdio>
#include <cstdlib>

#include "fuzz/rings_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string findings = vidora::fuzz::runRingsCase(data, size);
    if (!findings.empty()) {
        std::fprintf(stderr, "fuzz_rings: failed checks:\n%s", findings.c_str());
        std::abort();
    }
    return 0;
}
