#include "recording/record_scan.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/file.h"

namespace vidora {

namespace {

// Large enough that a scan runs at the disk's speed, small enough to be no burden.
constexpr size_t kScanBlockBytes = 1 << 20;
constexpr uint8_t kSyncBytes[4] = {RECORD_SYNC & 0xFF, (RECORD_SYNC >> 8) & 0xFF,
                                   (RECORD_SYNC >> 16) & 0xFF, RECORD_SYNC >> 24};

// The end of the record whose header is at `offset` when it is plausible and fits in the file;
// 0 otherwise.
uint64_t recordEnd(const File& file, uint64_t offset, uint64_t fileSize) {
    uint8_t bytes[kRecordHeaderBytes];
    if (fileSize - offset < kRecordHeaderBytes ||
        file.readAt(offset, bytes, sizeof bytes) != sizeof bytes) {
        return 0;
    }
    const RecordHeader header = parseRecordHeader(bytes);
    const uint64_t end = offset + kRecordHeaderBytes + header.videoBytes + header.audioBytes;
    return isPlausibleRecordHeader(header) && end <= fileSize ? end : 0;
}

bool recordResumesAt(const File& file, uint64_t offset, uint64_t fileSize) {
    const uint64_t end = recordEnd(file, offset, fileSize);
    return end != 0 && (end == fileSize || recordEnd(file, end, fileSize) != 0);
}

}  // namespace

bool isPlausibleRecordHeader(const RecordHeader& header) {
    return header.sync == RECORD_SYNC && header.kind == RECORD_KIND &&
           isValidRecordTime(header.time) &&
           uint64_t{header.videoBytes} + header.audioBytes <= kMaxRecordPayloadBytes;
}

std::optional<uint64_t> nextValidRecord(const std::string& path, uint64_t from) {
    File file;
    if (!file.open(path)) {
        return std::nullopt;
    }
    std::optional<uint64_t> found;
    const uint64_t fileSize = file.size();
    std::vector<uint8_t> block(kScanBlockBytes);
    // Blocks overlap by three bytes, so that a sync word across two blocks is seen.
    for (uint64_t at = std::max<uint64_t>(from, kRecordingHeaderBytes);
         !found && at + kRecordHeaderBytes <= fileSize;) {
        const size_t got = file.readAt(at, block.data(), block.size());
        if (got < sizeof kSyncBytes) {
            break;
        }
        const uint8_t* p = block.data();
        const uint8_t* last = p + got - sizeof kSyncBytes;
        while (p <= last) {
            p = static_cast<const uint8_t*>(std::memchr(p, kSyncBytes[0], last - p + 1));
            if (p == nullptr) {
                break;
            }
            const uint64_t offset = at + static_cast<uint64_t>(p - block.data());
            if (std::memcmp(p, kSyncBytes, sizeof kSyncBytes) == 0 &&
                recordResumesAt(file, offset, fileSize)) {
                found = offset;
                break;
            }
            ++p;
        }
        if (got < block.size()) {
            break;
        }
        at += got - (sizeof kSyncBytes - 1);
    }
    return found;
}

}  // namespace vidora
