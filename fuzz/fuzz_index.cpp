// libFuzzer target: the record index on arbitrary bytes (see index_harness.h for the input).

#include <cstdio>
#include <cstdlib>

#include "fuzz/index_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static vidora::fuzz::MemoryFile* file = new vidora::fuzz::MemoryFile;
    const std::string findings = vidora::fuzz::runIndexCase(*file, data, size);
    if (!findings.empty()) {
        std::fprintf(stderr, "fuzz_index: failed checks:\n%s", findings.c_str());
        std::abort();
    }
    return 0;
}
