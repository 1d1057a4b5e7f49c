// libFuzzer target: the reader on arbitrary bytes (see reader_harness.h for the input layout).

#include <cstdio>
#include <cstdlib>

#include "fuzz/reader_harness.h"

namespace {

struct Process {
    vidora::fuzz::ReaderRig rig;
    vidora::fuzz::MemoryFile file;
};

// One reader for the whole process, as in the player.
Process& process() {
    static Process* p = new Process;
    return *p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Process& p = process();
    const std::string findings = vidora::fuzz::runReaderCase(p.rig, p.file, data, size);
    if (!findings.empty()) {
        std::fprintf(stderr, "fuzz_reader: failed checks:\n%s", findings.c_str());
        std::abort();
    }
    return 0;
}
