#pragma once
// A benchmark recording held in memory: its stream's codec and size and, record by record, the
// video and audio bytes exactly as the player's reader hands them on. The plain FFmpeg loops
// that give the benchmark's limits decode these same bytes.

#include <cstdint>
#include <string>
#include <vector>

namespace vidora::bench {

using Bytes = std::vector<uint8_t>;

struct BenchRecording {
    std::string path;
    std::string name;  // the file name without its folder and extension
    bool h263 = false;
    int width = 0;
    int height = 0;
    std::vector<Bytes> video;  // per record
    std::vector<Bytes> audio;  // per record
    std::vector<uint32_t> timestamps;
    // Recorded time from the first record to the end of the last, which lasts one record gap.
    double mediaSeconds() const;
    double recordGapSeconds() const;
};

// Reads a whole recording; false, with a reason, when it is not one or a record is bad.
bool loadRecording(const std::string& path, BenchRecording* recording, std::string* error);

// The decoder's packets: for H.264 the payloads of the length-prefixed packets of every record,
// for H.263 the whole byte stream in one piece, which a parser cuts into pictures. False when an
// H.264 length word runs past its record.
bool videoPackets(const BenchRecording& recording, std::vector<Bytes>* packets);

// The AMR-NB storage frames of the sound, in order; frames of undefined types end the list.
std::vector<Bytes> audioFrames(const BenchRecording& recording);

}  // namespace vidora::bench
