// libFuzzer target: the whole pipeline on arbitrary records (see pipeline_harness.h for the input
// layout).

#include <cstdio>
#include <cstdlib>

#include "fuzz/pipeline_harness.h"

namespace {

struct Process {
    vidora::PlaybackEngine engine;
    vidora::fuzz::MemoryFile file;
    vidora::Surface surface{512, 324};
};

// One engine for the whole process, as in the player; kept to the end of the process.
Process& process() {
    static Process* p = new Process;
    return *p;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No sound device: opening and closing even SDL's dummy one costs a tenth of a second, ten
    // times what the rest of a run takes. The audio output thread then runs silent, passing
    // the blocks over as it does on a machine without sound.
    setenv("SDL_AUDIODRIVER", "none", 0);
    setenv("SDL_VIDEODRIVER", "dummy", 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Process& p = process();
    std::string findings = vidora::fuzz::runPipelineCase(p.engine, p.file, p.surface, data, size);
    if (!findings.empty()) {
        std::fprintf(stderr, "fuzz_pipeline: failed checks:\n%s", findings.c_str());
        std::abort();
    }
    return 0;
}
