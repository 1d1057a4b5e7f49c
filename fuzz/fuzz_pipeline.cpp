// libFuzzer target: the headless pipeline on arbitrary records (see pipeline_harness.h for the
// input layout).

#include <cstdio>
#include <cstdlib>

#include "fuzz/pipeline_harness.h"

namespace {

struct Process {
    vidora::PlaybackEngine engine{vidora::Pacer::Kind::Virtual};
    vidora::fuzz::MemoryFile file;
    vidora::Surface surface{512, 324};
    vidora::Surface second{332, 236};
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
        vidora::fuzz::runPipelineCase(p.engine, p.file, p.surface, p.second, data, size);
    if (!findings.empty()) {
        std::fprintf(stderr, "fuzz_pipeline: failed checks:\n%s", findings.c_str());
        std::abort();
    }
    return 0;
}
