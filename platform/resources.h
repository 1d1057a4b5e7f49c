#pragma once
// Files of res/ that are compiled into the program (the skin bitmaps and the icon).

#include <cstddef>

namespace vidora {

struct ResourceBytes {
    const unsigned char* data;
    std::size_t size;
};

// The bytes of the embedded file with this name ("skin-normal.bmp"), or {nullptr, 0}.
ResourceBytes embeddedResource(const char* name);

}  // namespace vidora
