// libFuzzer target: krmtool's info report and export --salvage on arbitrary bytes (see
// krmtool_harness.h for the input layout).

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "fuzz/krmtool_harness.h"

namespace {

struct Process {
    vidora::fuzz::ScratchFolder folder;
    vidora::fuzz::MemoryFile file;
    // The export says why it refuses a file on standard error, once per input; that goes to
    // /dev/null, while the sanitizers' reports keep the real standard error.
    int realStderr = ::dup(STDERR_FILENO);
    int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);

    Process() {
        if (realStderr >= 0) {
            __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(realStderr)));
        }
    }
};

Process& process() {
    static Process* p = new Process;
    return *p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Process& p = process();
    const bool quiet = p.realStderr >= 0 && p.devNull >= 0;
    if (quiet) {
        std::fflush(stderr);
        ::dup2(p.devNull, STDERR_FILENO);
    }
    const std::string findings = vidora::fuzz::runKrmtoolCase(p.folder, p.file, data, size);
    if (quiet) {
        std::fflush(stderr);
        ::dup2(p.realStderr, STDERR_FILENO);
    }
    if (!findings.empty()) {
        std::fprintf(stderr, "fuzz_krmtool: failed checks:\n%s", findings.c_str());
        std::abort();
    }
    return 0;
}
