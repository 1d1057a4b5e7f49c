// amrnb-encode: turns raw 8000 Hz signed 16-bit little-endian mono PCM into AMR-NB storage
// frames, the audio a recording carries. DTX stays off: FFmpeg's AMR-NB decoder, which the player
// uses, cannot decode the SID frames that DTX would produce in pauses.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <opencore-amrnb/interf_enc.h>

namespace {

constexpr size_t kSamplesPerFrame = 160;  // 20 ms at 8000 Hz
constexpr size_t kMaxFrameBytes = 32;     // MR122 with its header byte
constexpr char kAmrFileMagic[] = "#!AMR\n";

constexpr char kUsage[] =
    "usage: amrnb-encode [--mode MODE] [--magic] INPUT OUTPUT\n"
    "  INPUT: raw 8000 Hz s16le mono PCM, - for standard input\n"
    "  OUTPUT: AMR-NB storage frames, - for standard output\n"
    "  MODE: MR475 MR515 MR59 MR67 MR74 MR795 MR102 MR122 (default) or 0 to 7\n"
    "  --magic: put the \"#!AMR\\n\" file header in front (for other tools; recordings have "
    "none)\n";

bool parseMode(std::string_view text, Mode* mode) {
    static constexpr std::string_view kNames[] = {"MR475", "MR515", "MR59",  "MR67",
                                                  "MR74",  "MR795", "MR102", "MR122"};
    for (int i = 0; i < 8; ++i) {
        if (text == kNames[i] || (text.size() == 1 && text[0] == '0' + i)) {
            *mode = static_cast<Mode>(i);
            return true;
        }
    }
    return false;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "amrnb-encode: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Mode mode = MR122;
    bool magic = false;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--mode" && i + 1 < argc) {
            if (!parseMode(argv[++i], &mode)) {
                return fail(std::string("unknown mode ") + argv[i] + "\n" + kUsage);
            }
        } else if (arg == "--magic") {
            magic = true;
        } else if (arg == "-" || !arg.starts_with("-")) {
            paths.emplace_back(arg);
        } else {
            return fail(std::string("unknown option ") + argv[i] + "\n" + kUsage);
        }
    }
    if (paths.size() != 2) {
        return fail(std::string("an input and an output are needed\n") + kUsage);
    }

    FILE* in = paths[0] == "-" ? stdin : std::fopen(paths[0].c_str(), "rb");
    if (in == nullptr) {
        return fail("cannot open " + paths[0]);
    }
    FILE* out = paths[1] == "-" ? stdout : std::fopen(paths[1].c_str(), "wb");
    if (out == nullptr) {
        return fail("cannot create " + paths[1]);
    }
    if (magic) {
        std::fwrite(kAmrFileMagic, 1, std::strlen(kAmrFileMagic), out);
    }

    void* encoder = Encoder_Interface_init(0);
    unsigned char pcm[kSamplesPerFrame * 2];
    short samples[kSamplesPerFrame];
    unsigned char frame[kMaxFrameBytes + 32];
    bool ok = true;
    for (;;) {
        const size_t got = std::fread(pcm, 1, sizeof pcm, in);
        if (got == 0) {
            break;
        }
        // A last partial frame is completed with silence rather than dropped.
        std::memset(pcm + got, 0, sizeof pcm - got);
        for (size_t i = 0; i < kSamplesPerFrame; ++i) {
            samples[i] = static_cast<short>(pcm[2 * i] | (pcm[2 * i + 1] << 8));
        }
        const int bytes = Encoder_Interface_Encode(encoder, mode, samples, frame, 0);
        if (bytes <= 0 ||
            std::fwrite(frame, 1, static_cast<size_t>(bytes), out) != static_cast<size_t>(bytes)) {
            ok = false;
            break;
        }
        if (got < sizeof pcm) {
            break;
        }
    }
    Encoder_Interface_exit(encoder);
    if (std::ferror(in)) {
        ok = false;
    }
    if (in != stdin) {
        std::fclose(in);
    }
    if (out == stdout ? std::fflush(out) != 0 : std::fclose(out) != 0) {
        ok = false;
    }
    return ok ? 0 : fail("encoding or writing failed");
}
