#pragma once
// What the surface backends share with the backend-independent half of Surface
// (platform/surface.cpp): clipping arithmetic. For the platform layer only.

#include <algorithm>
#include <cstdint>

#include "platform/geometry.h"

namespace vidora::surface_internal {

// Only the low three bytes of a surface word are colour.
constexpr uint32_t kRgbMask = 0x00FFFFFF;

// A rectangle in 64-bit arithmetic, so that clipping sums of 32-bit coordinates cannot overflow.
struct Box {
    int64_t left;
    int64_t top;
    int64_t right;
    int64_t bottom;

    bool empty() const { return right <= left || bottom <= top; }
};

inline Box boxOf(const Rect& r) {
    return {r.left, r.top, r.right, r.bottom};
}

inline Box intersect(const Box& a, const Box& b) {
    return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
            std::min(a.bottom, b.bottom)};
}

}  // namespace vidora::surface_internal
