// Snapshots: the video area as the last paint composed it, saved as an uncompressed 24-bit
// bottom-up BMP file, or as a PNG file with the same pixels when the name asks for one.

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/file.h"
#include "skin/skin_window.h"
#include "video/png_encoder.h"

namespace vidora {

namespace {

constexpr std::size_t kFileHeaderBytes = 14;
constexpr std::size_t kInfoHeaderBytes = 40;
constexpr std::size_t kHeaderBytes = kFileHeaderBytes + kInfoHeaderBytes;
constexpr const char* kExtension = ".bmp";
constexpr const char* kPngExtension = ".png";

void put16(std::vector<uint8_t>& out, std::size_t at, uint32_t value) {
    out[at] = static_cast<uint8_t>(value);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
}

void put32(std::vector<uint8_t>& out, std::size_t at, uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        out[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

bool endsIn(const std::string& path, const std::string& ext) {
    return path.size() >= ext.size() &&
           path.compare(path.size() - ext.size(), ext.size(), ext) == 0;
}

// Writes `bytes` to `target` so that the target only ever holds a complete file: the bytes go to
// a temporary file beside it (its name short, whatever the target's length, so that it is valid
// wherever the target is), which replaces the target once fully written.
bool writeWhole(const std::string& target, const std::vector<uint8_t>& bytes) {
    // Only a file takes the place of a file: a device, a pipe or a folder under that name is
    // never replaced by a picture.
    std::error_code error;
    const auto existing = std::filesystem::status(pathFromUtf8(target), error);
    if (std::filesystem::exists(existing) && !std::filesystem::is_regular_file(existing)) {
        return false;
    }
    FileReplacement file;
    return file.create(target, "snapshot-") && file.write(bytes.data(), bytes.size()) &&
           file.commit(true) == FileReplacement::Outcome::Done;
}

}  // namespace

bool SkinWindow::saveSnapshot(std::string path) {
    // Compared byte for byte: "shot.BMP" becomes "shot.BMP.bmp". A name that ends in ".png"
    // is saved as PNG, with the same pixels.
    const bool png = endsIn(path, kPngExtension);
    if (!png && !endsIn(path, kExtension)) {
        path += kExtension;
    }

    const int32_t h = videoArea.height();
    // Rows of a multiple of 4 pixels need no filler bytes.
    const int32_t w = roundUpTo4(videoArea.width());
    if (w <= 0 || h <= 0) {
        return false;
    }
    // A notice, the list of keys or a hover label still over the picture is not part of it.
    if (!notice.empty() || helpShown || !hoverLabel.empty()) {
        notice.clear();
        helpShown = false;
        hoverLabel.clear();
        drawVideo();
    }
    const std::size_t rowBytes = static_cast<std::size_t>(w) * 3;
    const std::size_t pixelBytes = rowBytes * static_cast<std::size_t>(h);
    std::vector<uint8_t> file(kHeaderBytes + pixelBytes, 0);

    // BITMAPFILEHEADER
    file[0] = 'B';
    file[1] = 'M';
    put32(file, 2, static_cast<uint32_t>(file.size()));
    put16(file, 6, 0);
    put16(file, 8, 0);
    put32(file, 10, static_cast<uint32_t>(kHeaderBytes));
    // BITMAPINFOHEADER: positive height, rows bottom-up, 24 bits, uncompressed, the rest zero.
    put32(file, 14, static_cast<uint32_t>(kInfoHeaderBytes));
    put32(file, 18, static_cast<uint32_t>(w));
    put32(file, 22, static_cast<uint32_t>(h));
    put16(file, 26, 1);
    put16(file, 28, 24);

    // The bottom row of the picture comes first; columns (or rows) beyond the composition
    // surface stay black.
    for (int32_t r = 0; r < h; ++r) {
        const int32_t y = videoArea.top + (h - 1 - r);
        uint8_t* out = file.data() + kHeaderBytes + static_cast<std::size_t>(r) * rowBytes;
        for (int32_t x = 0; x < w; ++x, out += 3) {
            const uint32_t px = composition.pixel(videoArea.left + x, y);
            out[0] = static_cast<uint8_t>(px);
            out[1] = static_cast<uint8_t>(px >> 8);
            out[2] = static_cast<uint8_t>(px >> 16);
        }
    }

    if (png) {
        // The same pixels, top row first, red first.
        std::vector<uint8_t> rgb(pixelBytes);
        for (int32_t r = 0; r < h; ++r) {
            const uint8_t* in =
                file.data() + kHeaderBytes + rowBytes * static_cast<size_t>(h - 1 - r);
            uint8_t* out = rgb.data() + rowBytes * static_cast<size_t>(r);
            for (int32_t x = 0; x < w; ++x, in += 3, out += 3) {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
            }
        }
        const std::vector<uint8_t> encoded = encodePng(rgb, w, h);
        return !encoded.empty() && writeWhole(path, encoded);
    }
    return writeWhole(path, file);
}

}  // namespace vidora
