#pragma once
// What the parts of `krmtool export` share: the time bases and rates of what it writes, and its
// messages, one line each on standard error.

#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/rational.h>
}

namespace vidora::exporting {

constexpr AVRational kMicroseconds{1, 1000000};
constexpr AVRational kVideoTicks{1, 90000};
constexpr AVRational kMilliseconds{1, 1000};
constexpr int kAmrRate = 8000;
constexpr int kAmrFrameSamples = 160;
// AAC-LC at 48 kHz mono: a rate every phone and browser decodes.
constexpr int kAacRate = 48000;
constexpr int64_t kAacBitRate = 64000;
// A picture's length when nothing follows it to tell.
constexpr int64_t kDefaultPictureUs = 40000;

// A progress line stands on the terminal: a message first clears it.
extern bool progressShown;

// One line on standard error, "krmtool: ...".
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string avError(int code);
// A time in seconds as a person reads it: "90", "1.5".
std::string seconds(int64_t us);

}  // namespace vidora::exporting
