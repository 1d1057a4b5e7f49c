#pragma once
// Hand-made recordings for tests that need exact control over each record: headers with any tag
// and size, records with any date, timestamp and payload, and files written to a temporary
// folder. Laid out independently of the player's parser, so a parser fault cannot hide itself.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine/engine_types.h"

namespace vidora::test {

using Bytes = std::vector<uint8_t>;

inline void putLe32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}
inline void putLe16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

// The 1024-byte header: `tag` at offset 0, private length 0, width and height at 1016 and 1020.
inline Bytes recordingHeader(const std::string& tag, int32_t width = 0, int32_t height = 0) {
    Bytes h(1024, 0);
    for (size_t i = 0; i < tag.size() && i < 1016; ++i) {
        h[i] = static_cast<uint8_t>(tag[i]);
    }
    for (int i = 0; i < 4; ++i) {
        h[1016 + i] = static_cast<uint8_t>(static_cast<uint32_t>(width) >> (8 * i));
        h[1020 + i] = static_cast<uint8_t>(static_cast<uint32_t>(height) >> (8 * i));
    }
    return h;
}

struct TestRecord {
    RecordTime time{2015, 6, 1, 12, 30, 45};
    uint32_t timestamp = 1000;
    Bytes video;
    Bytes audio;
    uint32_t sync = 0x12345678;
    uint32_t kind = 0x12340008;
};

inline void appendRecord(Bytes& out, const TestRecord& r) {
    putLe32(out, r.sync);
    putLe32(out, r.kind);
    for (uint16_t v :
         {r.time.year, r.time.month, r.time.day, r.time.hour, r.time.minute, r.time.second}) {
        putLe16(out, v);
    }
    putLe32(out, r.timestamp);
    putLe32(out, static_cast<uint32_t>(r.video.size()));
    putLe32(out, static_cast<uint32_t>(r.audio.size()));
    out.insert(out.end(), r.video.begin(), r.video.end());
    out.insert(out.end(), r.audio.begin(), r.audio.end());
}

// A payload of n bytes that never contains the sync word's bytes in order.
inline Bytes filler(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>((seed + i * 7) % 0x50);
    }
    return b;
}

// The whole contents of a file; empty when it cannot be read.
inline Bytes readFileBytes(const std::string& path) {
    Bytes bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return bytes;
    }
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    std::fclose(f);
    return bytes;
}

// A file in the system's temporary folder, removed when the object goes.
class TempFile {
  public:
    explicit TempFile(const std::string& name, const Bytes& contents = {}) {
        path_ = (std::filesystem::temp_directory_path() /
                 ("vidora-test-" + std::to_string(::getpid()) + "-" + name))
                    .string();
        write(contents);
    }
    ~TempFile() {
        std::error_code error;
        std::filesystem::remove(path_, error);
    }
    void write(const Bytes& contents) const {
        std::FILE* f = std::fopen(path_.c_str(), "wb");
        if (f != nullptr) {
            if (!contents.empty()) {  // an empty vector's data() may be null
                std::fwrite(contents.data(), 1, contents.size(), f);
            }
            std::fclose(f);
        }
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace vidora::test
