// libFuzzer target: the reader on arbitrary bytes (see reader_harness.h for the input layout).

#include <cstdio>
#include <cstdlib>

#include "fuzz/reader_harness.h"

namespace {

struct Process {
    vidora::PlaybackEngine engine{vidora::Pacer::Kind::Virtual};
    vidora::fuzz::MemoryFile file;
    vidora::Surface surface{120, 80};
};

// One engine for the whole process, as in the player.
Process& process() {
    static Process* p = new Process;
    return *p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Process& p = process();
    const std::string findings =
        vidora::fuzz::runReaderCase(p.engine, p.file, p.surface, data, size);
    if (!findings.empty()) {
        std::fprintf(stderr, "fuzz_reader: failed checks:\n%s", findings.c_str());
        std::abort();
    }
    return 0;
}
