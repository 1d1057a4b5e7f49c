// Writes .krm recordings from real encoder output, so the player's tests, benchmarks and samples
// run on files laid out exactly as the camera lays them out, and on deliberately damaged ones.
// Independent of the player's own library: a bug in the player's parser must not be able to hide
// itself by being shared with the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vidora {

using ByteVector = std::vector<uint8_t>;

inline constexpr size_t kKrmHeaderBytes = 1024;
inline constexpr size_t kKrmRecordHeaderBytes = 32;
inline constexpr uint32_t kKrmRecordSync = 0x12345678;
inline constexpr uint32_t kKrmRecordKind = 0x12340008;
// The player holds one record's payload in a buffer of this size.
inline constexpr size_t kKrmMaxPayloadBytes = 65536;
// What --bad-length writes into a packet's length word: far beyond any record.
inline constexpr uint32_t kKrmBadPacketLength = 200000;
inline constexpr int kAmrFramesPerSecond = 50;  // 20 ms per AMR-NB frame

enum class KrmVideoCodec { kH264, kH263 };

// A record's wall-clock time; the player accepts years 2012 to 2018 only.
struct KrmDateTime {
    int year = 2015;
    int month = 6;
    int day = 1;
    int hour = 12;
    int minute = 0;
    int second = 0;

    bool operator==(const KrmDateTime&) const = default;
};

bool isValidDateTime(const KrmDateTime& time);
KrmDateTime addSeconds(const KrmDateTime& time, int64_t seconds);
// Parses "YYYY-MM-DD HH:MM:SS"; nullopt unless it names a real date and time.
std::optional<KrmDateTime> parseDateTime(const std::string& text);

// Cuts an Annex B H.264 byte stream into access units, start codes kept, so that each unit fed to
// a decoder as one packet yields exactly one picture. Parameter sets and SEI stay with the
// picture that follows them. Bytes before the first start code stay with the first unit, so the
// units always add up to the whole stream.
std::vector<ByteVector> splitH264AccessUnits(std::span<const uint8_t> stream);

// Cuts an H.263 elementary stream at its picture start codes: one unit per picture.
std::vector<ByteVector> splitH263Pictures(std::span<const uint8_t> stream);

// Size of an AMR-NB storage frame, header byte included, from that header byte; 0 for the frame
// types that AMR-NB does not define.
size_t amrFrameBytes(uint8_t header);

// Frame sizes of a stream of AMR-NB storage frames (no "#!AMR\n" in front). False, with a
// reason, on an undefined frame type or a cut-off last frame.
bool splitAmrFrames(std::span<const uint8_t> stream, std::vector<size_t>* frameSizes,
                    std::string* error);

// Damage to build into a recording, so the player's handling of bad files can be tested. Record
// numbers count from 0.
struct KrmFaults {
    std::optional<size_t> truncateBytes;  // cut the whole file to this length
    std::optional<size_t> badSyncRecord;
    std::optional<size_t> badKindRecord;
    std::optional<size_t> badDateRecord;    // dated 31 April
    std::optional<size_t> oversizeRecord;   // V + A beyond the limit, the bytes really there
    std::optional<size_t> badLengthRecord;  // first H.264 packet claims kKrmBadPacketLength
    bool shortPayload = false;              // the last record's payload runs past the file end
    std::optional<ByteVector> rawTag;       // written verbatim at header offset 0
};

struct KrmOptions {
    KrmVideoCodec codec = KrmVideoCodec::kH264;
    std::string tag;  // empty: "h264" or "h263" by codec
    int width = 0;    // 0: not given
    int height = 0;
    KrmDateTime start;
    int fps = 25;
    int recordsPerSecond = 25;
    uint32_t timestampStart = 1000;
    uint32_t timestampStep = 40;
    KrmFaults faults;
};

// Where each record landed in the written file, before any truncation.
struct KrmRecordInfo {
    size_t offset = 0;
    uint32_t videoBytes = 0;
    uint32_t audioBytes = 0;
    uint32_t timestamp = 0;
    KrmDateTime time;
};

struct KrmFile {
    ByteVector bytes;
    std::vector<KrmRecordInfo> records;
};

// Lays out a recording. videoUnits holds one unit per video frame in decode order (H.264 access
// units, or H.263 pictures); audio is AMR-NB storage frames. Record r covers the time
// [r / recordsPerSecond, (r + 1) / recordsPerSecond) s: H.264 records take the whole access
// units of that span, H.263 and audio records take the bytes up to a cut inside the frame that
// starts the next span. False, with a reason, when the options are inconsistent or a record
// would break a limit that the options did not ask to break.
bool buildKrmFile(const std::vector<ByteVector>& videoUnits, std::span<const uint8_t> audio,
                  const KrmOptions& options, KrmFile* file, std::string* error);

}  // namespace vidora
