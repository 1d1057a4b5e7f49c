#include "tools/krmtool/export_support.h"

#include <cstdarg>
#include <cstdio>

extern "C" {
#include <libavutil/error.h>
}

namespace vidora::exporting {

// A progress line stands on the terminal: a message first clears it.
bool progressShown = false;

void say(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "%skrmtool: %s\n", progressShown ? "\r\x1b[K" : "", line);
    progressShown = false;
}

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

std::string seconds(int64_t us) {
    char text[32];
    const double s = static_cast<double>(us) / 1e6;
    std::snprintf(text, sizeof text,
                  us % 1000000 < 50000 || us % 1000000 >= 950000 ? "%.0f" : "%.1f", s);
    return text;
}

}  // namespace vidora::exporting
