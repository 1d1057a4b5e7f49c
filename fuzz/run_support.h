#pragma once
// Pieces the fuzzing harnesses share: a list of failed checks and little-endian reads.

#include <cstdint>
#include <string>

namespace vidora::fuzz {

// Failed checks of one run, one per line; empty when the run was sound.
class Findings {
  public:
    void check(bool condition, const std::string& what) {
        if (!condition) {
            text_ += what;
            text_ += '\n';
        }
    }
    const std::string& text() const { return text_; }

  private:
    std::string text_;
};

inline uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace vidora::fuzz
