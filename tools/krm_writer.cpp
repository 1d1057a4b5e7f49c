#include "tools/krm_writer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace vidora {

namespace {

constexpr int kMinYear = 2012;
constexpr int kMaxYear = 2018;
constexpr size_t kRawTagMaxBytes = 1016;  // the tag may run over the private data, not the size
constexpr size_t kWidthOffset = 1016;
constexpr size_t kHeightOffset = 1020;

// Near misses rather than garbage, so that a reader that compares only some bytes is caught.
constexpr uint32_t kBadSync = kKrmRecordSync + 1;
constexpr uint32_t kBadKind = kKrmRecordKind + 1;

void put16(ByteVector& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void put32(ByteVector& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

void store32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

ByteVector copyRange(std::span<const uint8_t> stream, size_t begin, size_t end) {
    return ByteVector(stream.begin() + static_cast<std::ptrdiff_t>(begin),
                      stream.begin() + static_cast<std::ptrdiff_t>(end));
}

// Units between the given start positions; the first unit always begins at offset 0 so that
// nothing of the stream is lost.
std::vector<ByteVector> cutAt(std::span<const uint8_t> stream, const std::vector<size_t>& starts) {
    std::vector<ByteVector> units;
    size_t begin = 0;
    for (size_t start : starts) {
        if (start > begin) {
            units.push_back(copyRange(stream, begin, start));
            begin = start;
        }
    }
    if (stream.size() > begin) {
        units.push_back(copyRange(stream, begin, stream.size()));
    }
    return units;
}

bool isSliceNal(int type) {
    return type == 1 || type == 2 || type == 5;
}

// NAL types that may only come before the first slice of an access unit: SEI, SPS, PPS, and the
// prefix / subset-SPS / reserved types 14 to 18.
bool opensAccessUnit(int type) {
    return type == 6 || type == 7 || type == 8 || (type >= 14 && type <= 18);
}

std::string recordError(const char* what, size_t record, size_t recordCount) {
    char text[160];
    std::snprintf(text, sizeof text, "%s: record %zu does not exist (the recording has %zu)", what,
                  record, recordCount);
    return text;
}

// Byte position in a stream of frames (frameOffsets has one entry more than there are frames)
// where record `boundary` begins, for records of 1 / recordsPerSecond s over frames of
// 1 / framesPerSecond s. The cut falls inside the frame that the boundary's time lands in, never
// at its first byte, so records end mid-frame the way a camera's do.
size_t cutPosition(const std::vector<size_t>& frameOffsets, uint64_t framesPerSecond,
                   uint64_t recordsPerSecond, uint64_t boundary) {
    if (boundary == 0) {
        return 0;
    }
    const size_t frameCount = frameOffsets.size() - 1;
    const uint64_t scaled = boundary * framesPerSecond;
    const uint64_t frame = scaled / recordsPerSecond;
    if (frame >= frameCount) {
        return frameOffsets[frameCount];
    }
    const size_t size = frameOffsets[frame + 1] - frameOffsets[frame];
    size_t inner = static_cast<size_t>((scaled % recordsPerSecond) * size / recordsPerSecond);
    if (inner == 0 && size > 1) {
        inner = 1 + static_cast<size_t>((7 * boundary) % (size - 1));
    }
    return frameOffsets[frame] + inner;
}

std::vector<size_t> offsetsFromSizes(const std::vector<size_t>& sizes) {
    std::vector<size_t> offsets{0};
    for (size_t size : sizes) {
        offsets.push_back(offsets.back() + size);
    }
    return offsets;
}

// One H.264 packet of filler data (NAL type 12): lets --oversize make a record too large with
// bytes a decoder would still accept.
void appendFillerPacket(ByteVector& out, size_t packetBytes) {
    const size_t payload = packetBytes - 4;
    put32(out, static_cast<uint32_t>(payload));
    const uint8_t prefix[] = {0, 0, 0, 1, 0x0C};
    out.insert(out.end(), std::begin(prefix), std::end(prefix));
    out.insert(out.end(), payload - sizeof prefix - 1, 0xFF);
    out.push_back(0x80);
}

bool validateOptions(const KrmOptions& options, std::string* error) {
    if (options.fps <= 0 || options.recordsPerSecond <= 0) {
        *error = "frames and records per second must be positive";
    } else if (options.width < 0 || options.height < 0) {
        *error = "the picture size must not be negative";
    } else if (!options.tag.empty() && options.tag.size() != 4) {
        *error = "the codec tag must be 4 characters";
    } else if (!isValidDateTime(options.start)) {
        *error = "the start time is not a date and time between 2012 and 2018";
    } else if (options.faults.rawTag && (options.faults.rawTag->empty() ||
                                         options.faults.rawTag->size() > kRawTagMaxBytes)) {
        *error = "the raw tag must be 1 to 1016 bytes";
    } else if (options.faults.badLengthRecord && options.codec != KrmVideoCodec::kH264) {
        *error = "a bad packet length needs H.264 video";
    } else {
        return true;
    }
    return false;
}

ByteVector makeHeader(const KrmOptions& options) {
    ByteVector header(kKrmHeaderBytes, 0);
    std::string tag = options.tag;
    if (tag.empty()) {
        tag = options.codec == KrmVideoCodec::kH264 ? "h264" : "h263";
    }
    std::copy(tag.begin(), tag.end(), header.begin());
    if (options.faults.rawTag) {
        std::copy(options.faults.rawTag->begin(), options.faults.rawTag->end(), header.begin());
    }
    store32(&header[kWidthOffset], static_cast<uint32_t>(options.width));
    store32(&header[kHeightOffset], static_cast<uint32_t>(options.height));
    return header;
}

}  // namespace

bool isValidDateTime(const KrmDateTime& time) {
    using namespace std::chrono;
    const year_month_day date{year{time.year}, month{static_cast<unsigned>(time.month)},
                              day{static_cast<unsigned>(time.day)}};
    return time.year >= kMinYear && time.year <= kMaxYear && date.ok() && time.hour >= 0 &&
           time.hour <= 23 && time.minute >= 0 && time.minute <= 59 && time.second >= 0 &&
           time.second <= 59;
}

KrmDateTime addSeconds(const KrmDateTime& time, int64_t seconds) {
    using namespace std::chrono;
    const sys_days date{year{time.year} / time.month / time.day};
    const sys_seconds then = date + hours{time.hour} + minutes{time.minute} +
                             std::chrono::seconds{time.second + seconds};
    const sys_days thenDate = floor<days>(then);
    const year_month_day ymd{thenDate};
    const hh_mm_ss clock{then - thenDate};
    return {int(ymd.year()),
            static_cast<int>(unsigned(ymd.month())),
            static_cast<int>(unsigned(ymd.day())),
            static_cast<int>(clock.hours().count()),
            static_cast<int>(clock.minutes().count()),
            static_cast<int>(clock.seconds().count())};
}

std::optional<KrmDateTime> parseDateTime(const std::string& text) {
    KrmDateTime time;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &time.year, &time.month, &time.day,
                    &time.hour, &time.minute, &time.second, &tail) != 6) {
        return std::nullopt;
    }
    if (!isValidDateTime(time)) {
        return std::nullopt;
    }
    return time;
}

std::vector<ByteVector> splitH264AccessUnits(std::span<const uint8_t> stream) {
    std::vector<size_t> unitStarts;
    bool unitHasNal = false;
    bool unitHasSlice = false;
    const size_t size = stream.size();
    for (size_t i = 0; i + 3 < size; ++i) {
        if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1) {
            continue;
        }
        // The zero_byte of a four-byte start code belongs to the NAL unit it introduces.
        const size_t nalStart = (i > 0 && stream[i - 1] == 0) ? i - 1 : i;
        const size_t header = i + 3;
        const int type = stream[header] & 0x1F;
        // first_mb_in_slice is the slice header's first ue(v) field: it is 0 exactly when the
        // first bit after the NAL header is 1.
        const bool firstSliceOfPicture =
            isSliceNal(type) && header + 1 < size && (stream[header + 1] & 0x80) != 0;
        const bool startsUnit = (type == 9 && unitHasNal) ||
                                (unitHasSlice && (opensAccessUnit(type) || firstSliceOfPicture));
        if (startsUnit) {
            unitStarts.push_back(nalStart);
            unitHasSlice = false;
        }
        unitHasNal = true;
        unitHasSlice = unitHasSlice || isSliceNal(type);
        i = header;
    }
    return cutAt(stream, unitStarts);
}

std::vector<ByteVector> splitH263Pictures(std::span<const uint8_t> stream) {
    // The picture start code is 22 bits, 0000 0000 0000 0000 1000 00, byte-aligned.
    std::vector<size_t> pictureStarts;
    for (size_t i = 0; i + 2 < stream.size(); ++i) {
        if (stream[i] == 0 && stream[i + 1] == 0 && (stream[i + 2] & 0xFC) == 0x80) {
            pictureStarts.push_back(i);
            i += 2;
        }
    }
    return cutAt(stream, pictureStarts);
}

size_t amrFrameBytes(uint8_t header) {
    // Header byte plus speech bits rounded up to bytes, by frame type: the eight modes, SID (8),
    // then 9 to 14 which AMR-NB does not define, and NO_DATA (15).
    static constexpr size_t kBytesByType[16] = {13, 14, 16, 18, 20, 21, 27, 32,
                                                6,  0,  0,  0,  0,  0,  0,  1};
    return kBytesByType[(header >> 3) & 0x0F];
}

bool splitAmrFrames(std::span<const uint8_t> stream, std::vector<size_t>* frameSizes,
                    std::string* error) {
    frameSizes->clear();
    char text[120];
    for (size_t offset = 0; offset < stream.size();) {
        const size_t bytes = amrFrameBytes(stream[offset]);
        if (bytes == 0) {
            std::snprintf(text, sizeof text, "AMR-NB frame type %d at byte %zu is not defined",
                          (stream[offset] >> 3) & 0x0F, offset);
            *error = text;
            return false;
        }
        if (offset + bytes > stream.size()) {
            std::snprintf(text, sizeof text, "the AMR-NB frame at byte %zu is cut off", offset);
            *error = text;
            return false;
        }
        frameSizes->push_back(bytes);
        offset += bytes;
    }
    return true;
}

bool buildKrmFile(const std::vector<ByteVector>& videoUnits, std::span<const uint8_t> audio,
                  const KrmOptions& options, KrmFile* file, std::string* error) {
    if (!validateOptions(options, error)) {
        return false;
    }
    std::vector<size_t> audioFrameSizes;
    if (!splitAmrFrames(audio, &audioFrameSizes, error)) {
        return false;
    }
    const std::vector<size_t> audioOffsets = offsetsFromSizes(audioFrameSizes);
    const bool h264 = options.codec == KrmVideoCodec::kH264;
    std::vector<size_t> videoSizes;
    ByteVector videoStream;  // H.263 only: the pictures back to back, cut anywhere
    for (const ByteVector& unit : videoUnits) {
        videoSizes.push_back(unit.size());
        if (!h264) {
            videoStream.insert(videoStream.end(), unit.begin(), unit.end());
        }
    }
    const std::vector<size_t> videoOffsets = offsetsFromSizes(videoSizes);

    const uint64_t fps = static_cast<uint64_t>(options.fps);
    const uint64_t perSecond = static_cast<uint64_t>(options.recordsPerSecond);
    const uint64_t videoRecords = (videoUnits.size() * perSecond + fps - 1) / fps;
    const uint64_t audioRecords =
        (audioFrameSizes.size() * perSecond + kAmrFramesPerSecond - 1) / kAmrFramesPerSecond;
    const size_t recordCount = static_cast<size_t>(std::max(videoRecords, audioRecords));

    const KrmFaults& faults = options.faults;
    for (auto [what, record] : {std::pair{"bad sync", faults.badSyncRecord},
                                {"bad kind", faults.badKindRecord},
                                {"bad date", faults.badDateRecord},
                                {"oversize", faults.oversizeRecord},
                                {"bad length", faults.badLengthRecord}}) {
        if (record && *record >= recordCount) {
            *error = recordError(what, *record, recordCount);
            return false;
        }
    }

    file->bytes = makeHeader(options);
    file->records.clear();
    size_t videoBegin = 0;  // H.263 only
    size_t audioBegin = 0;
    for (size_t r = 0; r < recordCount; ++r) {
        KrmRecordInfo info;
        info.offset = file->bytes.size();
        const uint64_t elapsedMs = static_cast<uint64_t>(r) * options.timestampStep;
        info.timestamp = static_cast<uint32_t>(options.timestampStart + elapsedMs);
        info.time = addSeconds(options.start, static_cast<int64_t>(elapsedMs / 1000));
        if (!isValidDateTime(info.time)) {
            char text[120];
            std::snprintf(text, sizeof text, "record %zu would be dated %04d, outside 2012 to 2018",
                          r, info.time.year);
            *error = text;
            return false;
        }

        ByteVector video;
        size_t packetCount = 0;
        if (h264) {
            const size_t first = std::min<uint64_t>(r * fps / perSecond, videoUnits.size());
            const size_t last = std::min<uint64_t>((r + 1) * fps / perSecond, videoUnits.size());
            packetCount = last - first;
            for (size_t u = first; u < last; ++u) {
                put32(video, static_cast<uint32_t>(videoUnits[u].size()));
                video.insert(video.end(), videoUnits[u].begin(), videoUnits[u].end());
            }
        } else {
            const size_t videoEnd =
                r + 1 == recordCount
                    ? videoStream.size()
                    : std::max(videoBegin, cutPosition(videoOffsets, fps, perSecond, r + 1));
            video.assign(videoStream.begin() + static_cast<std::ptrdiff_t>(videoBegin),
                         videoStream.begin() + static_cast<std::ptrdiff_t>(videoEnd));
            videoBegin = videoEnd;
        }
        const size_t audioEnd =
            r + 1 == recordCount
                ? audio.size()
                : std::max(audioBegin,
                           cutPosition(audioOffsets, kAmrFramesPerSecond, perSecond, r + 1));

        size_t payload = video.size() + (audioEnd - audioBegin);
        if (faults.oversizeRecord == r && payload <= kKrmMaxPayloadBytes) {
            const size_t missing = kKrmMaxPayloadBytes + 1 - payload;
            if (h264) {
                appendFillerPacket(video, std::max<size_t>(missing, 10));
            } else {
                video.insert(video.end(), missing, 0);  // zero stuffing before the next picture
            }
            payload = video.size() + (audioEnd - audioBegin);
        }
        if (payload > kKrmMaxPayloadBytes && faults.oversizeRecord != r) {
            char text[200];
            std::snprintf(text, sizeof text,
                          "record %zu would hold %zu bytes, more than %zu: encode at a lower rate "
                          "or use more records per second",
                          r, payload, kKrmMaxPayloadBytes);
            *error = text;
            return false;
        }
        if (faults.badLengthRecord == r) {
            if (packetCount == 0) {
                *error = "bad length: record " + std::to_string(r) + " has no video packet";
                return false;
            }
            store32(video.data(), kKrmBadPacketLength);
        }
        if (faults.badDateRecord == r) {
            info.time.month = 4;
            info.time.day = 31;
        }
        info.videoBytes = static_cast<uint32_t>(video.size());
        info.audioBytes = static_cast<uint32_t>(audioEnd - audioBegin);

        ByteVector& out = file->bytes;
        put32(out, faults.badSyncRecord == r ? kBadSync : kKrmRecordSync);
        put32(out, faults.badKindRecord == r ? kBadKind : kKrmRecordKind);
        for (int field : {info.time.year, info.time.month, info.time.day, info.time.hour,
                          info.time.minute, info.time.second}) {
            put16(out, static_cast<uint16_t>(field));
        }
        put32(out, info.timestamp);
        put32(out, info.videoBytes);
        put32(out, info.audioBytes);
        out.insert(out.end(), video.begin(), video.end());
        out.insert(out.end(), audio.begin() + static_cast<std::ptrdiff_t>(audioBegin),
                   audio.begin() + static_cast<std::ptrdiff_t>(audioEnd));
        audioBegin = audioEnd;
        file->records.push_back(info);
    }

    if (faults.shortPayload) {
        if (file->records.empty() ||
            file->records.back().videoBytes + file->records.back().audioBytes == 0) {
            *error = "short payload: the last record has no payload to cut";
            return false;
        }
        const size_t payload = file->records.back().videoBytes + file->records.back().audioBytes;
        file->bytes.resize(file->bytes.size() - std::max<size_t>(1, payload / 2));
    }
    if (faults.truncateBytes) {
        if (*faults.truncateBytes > file->bytes.size()) {
            *error =
                "truncate: the recording has only " + std::to_string(file->bytes.size()) + " bytes";
            return false;
        }
        file->bytes.resize(*faults.truncateBytes);
    }
    return true;
}

}  // namespace vidora
