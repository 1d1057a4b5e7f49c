// The recording writer is what every other test's input comes from, so its output is checked
// against independent judges: FFmpeg's own decoder for the access units, and a separate parse of
// the written bytes for the layout.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/krm_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vidora {
namespace {

ByteVector readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path << " is missing";
    return ByteVector(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The krm_testdata build step makes these.
ByteVector readTestFile(const std::string& name) {
    return readFile(std::string(VIDORA_TEST_DATA_DIR) + "/" + name);
}

uint32_t read32(const ByteVector& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t{bytes[at + 3]} << 24;
}

uint16_t read16(const ByteVector& bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

ByteVector concat(const std::vector<ByteVector>& parts) {
    ByteVector all;
    for (const ByteVector& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

struct ParsedRecord {
    size_t offset = 0;
    uint32_t sync = 0, kind = 0, timestamp = 0, videoBytes = 0, audioBytes = 0;
    KrmDateTime time;
    ByteVector video, audio;  // as much of the payload as the file holds
};

// Walks the records the way a reader would, trusting nothing but the byte counts.
std::vector<ParsedRecord> parseRecords(const ByteVector& file) {
    std::vector<ParsedRecord> records;
    for (size_t at = kKrmHeaderBytes; at + kKrmRecordHeaderBytes <= file.size();) {
        ParsedRecord r;
        r.offset = at;
        r.sync = read32(file, at);
        r.kind = read32(file, at + 4);
        r.time = {read16(file, at + 8),  read16(file, at + 10), read16(file, at + 12),
                  read16(file, at + 14), read16(file, at + 16), read16(file, at + 18)};
        r.timestamp = read32(file, at + 20);
        r.videoBytes = read32(file, at + 24);
        r.audioBytes = read32(file, at + 28);
        const size_t video = at + kKrmRecordHeaderBytes;
        const size_t audio = std::min(file.size(), video + r.videoBytes);
        const size_t end = std::min(file.size(), audio + r.audioBytes);
        r.video.assign(file.begin() + video, file.begin() + audio);
        r.audio.assign(file.begin() + audio, file.begin() + end);
        records.push_back(r);
        at = video + r.videoBytes + r.audioBytes;
    }
    return records;
}

// Splits a record's video bytes into its length-prefixed packets; false if they are not a whole
// number of packets.
bool splitPackets(const ByteVector& video, std::vector<ByteVector>* packets) {
    for (size_t at = 0; at < video.size();) {
        if (at + 4 > video.size() || at + 4 + read32(video, at) > video.size()) {
            return false;
        }
        packets->emplace_back(video.begin() + at + 4, video.begin() + at + 4 + read32(video, at));
        at += 4 + read32(video, at);
    }
    return true;
}

// Feeds each unit to a fresh H.264 decoder as one packet: the number of pictures that come out,
// or -1 as soon as the decoder rejects a packet.
int decodeAsPackets(const std::vector<ByteVector>& units) {
    av_log_set_level(AV_LOG_QUIET);
    AVCodecContext* context = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
    context->err_recognition = AV_EF_EXPLODE;  // a broken packet must fail, not be concealed
    avcodec_open2(context, nullptr, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    int frames = 0;
    for (size_t i = 0; i <= units.size() && frames >= 0; ++i) {
        if (i < units.size()) {  // the last round drains the decoder's delayed pictures
            av_new_packet(packet, static_cast<int>(units[i].size()));
            std::copy(units[i].begin(), units[i].end(), packet->data);
        }
        if (avcodec_send_packet(context, i < units.size() ? packet : nullptr) < 0) {
            frames = -1;
        }
        av_packet_unref(packet);
        while (frames >= 0 && avcodec_receive_frame(context, frame) == 0) {
            ++frames;
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return frames;
}

bool hasIdrSlice(const ByteVector& unit) {
    for (size_t i = 0; i + 3 < unit.size(); ++i) {
        if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1 && (unit[i + 3] & 0x1F) == 5) {
            return true;
        }
    }
    return false;
}

TEST(H264AccessUnits, RealStreamsGiveOneDecodablePacketPerPicture) {
    // Two slices per picture in the first, B-frames and delimiters in the second.
    for (auto [name, frames] :
         {std::pair{"h264_320x240.h264", 100}, {"h264_1280x720_b.h264", 50}}) {
        SCOPED_TRACE(name);
        const ByteVector stream = readTestFile(name);
        const std::vector<ByteVector> units = splitH264AccessUnits(stream);
        ASSERT_EQ(units.size(), static_cast<size_t>(frames));
        EXPECT_EQ(concat(units), stream);

        EXPECT_EQ(decodeAsPackets(units), frames);

        // Parameter sets travel with each IDR picture, so a decoder can start at any of them.
        int idrUnits = 0;
        for (const ByteVector& unit : units) {
            if (hasIdrSlice(unit)) {
                ++idrUnits;
                EXPECT_EQ(decodeAsPackets({unit}), 1);
            }
        }
        EXPECT_EQ(idrUnits, frames / 25);
    }
}

TEST(H264AccessUnits, NalTypesDecideWherePicturesStart) {
    const ByteVector sps = {0, 0, 0, 1, 0x67, 0x42}, pps = {0, 0, 1, 0x68, 0xCE};
    const ByteVector sei = {0, 0, 1, 0x06, 0x05}, aud = {0, 0, 0, 1, 0x09, 0xF0};
    const ByteVector idrFirst = {0, 0, 1, 0x65, 0x88, 0x84},
                     idrSecond = {0, 0, 1, 0x65, 0x40, 0x11};
    const ByteVector slice = {0, 0, 0, 1, 0x41, 0x9A, 0x21}, endOfSequence = {0, 0, 1, 0x0A};
    const std::vector<std::vector<ByteVector>> expected = {
        {{0xAB}, sps, pps, sei, idrFirst, idrSecond},  // stray leading bytes stay with the first
        {slice},
        {sei, slice},
        {aud, slice, endOfSequence},
        {aud, sps, pps, idrFirst, idrSecond},
    };
    std::vector<ByteVector> groups;
    for (const auto& group : expected) {
        groups.push_back(concat(group));
    }
    EXPECT_EQ(splitH264AccessUnits(concat(groups)), groups);
}

TEST(AmrFrames, SizeFollowsFrameTypeOfTheHeaderByte) {
    const std::vector<size_t> sizes = {1, 6, 13, 14, 16, 18, 20, 21, 27, 32};
    const int types[] = {15, 8, 0, 1, 2, 3, 4, 5, 6, 7};
    ByteVector stream;
    for (size_t i = 0; i < sizes.size(); ++i) {
        stream.push_back(static_cast<uint8_t>(types[i] << 3 | 0x04));
        stream.insert(stream.end(), sizes[i] - 1, 0xFF);  // 0xFF would read as type 15
    }
    std::vector<size_t> found;
    std::string error;
    ASSERT_TRUE(splitAmrFrames(stream, &found, &error)) << error;
    EXPECT_EQ(found, sizes);

    ByteVector cutOff = stream;
    cutOff.pop_back();
    EXPECT_FALSE(splitAmrFrames(cutOff, &found, &error));
    for (int undefinedType = 9; undefinedType <= 14; ++undefinedType) {
        const ByteVector bad = {static_cast<uint8_t>(undefinedType << 3 | 0x04)};
        EXPECT_FALSE(splitAmrFrames(bad, &found, &error)) << undefinedType;
    }

    ASSERT_TRUE(splitAmrFrames(readTestFile("speech.amr"), &found, &error)) << error;
    EXPECT_EQ(found, std::vector<size_t>(200, 32));  // 4 s of MR122
}

struct Inputs {
    std::vector<ByteVector> units;
    ByteVector audio;
};

Inputs h264Inputs(const char* name) {
    return {splitH264AccessUnits(readTestFile(name)), readTestFile("speech.amr")};
}

TEST(KrmLayout, RecordsHoldWholePacketsAndEveryInputByte) {
    // 2.5 pictures per record, and 2 s of video against 4 s of sound: the later records carry
    // audio only.
    const Inputs in = h264Inputs("h264_1280x720_b.h264");
    KrmOptions options;
    options.width = 1280;
    options.height = 720;
    options.recordsPerSecond = 10;
    options.timestampStep = 100;
    KrmFile file;
    std::string error;
    ASSERT_TRUE(buildKrmFile(in.units, in.audio, options, &file, &error)) << error;

    EXPECT_EQ(ByteVector(file.bytes.begin(), file.bytes.begin() + 8),
              ByteVector({'h', '2', '6', '4', 0, 0, 0, 0}));
    EXPECT_EQ(read32(file.bytes, 1016), 1280u);
    EXPECT_EQ(read32(file.bytes, 1020), 720u);

    const std::vector<ParsedRecord> records = parseRecords(file.bytes);
    ASSERT_EQ(records.size(), 40u);
    std::vector<ByteVector> packets;
    std::vector<ByteVector> audio;
    for (size_t r = 0; r < records.size(); ++r) {
        SCOPED_TRACE(r);
        EXPECT_EQ(records[r].sync, kKrmRecordSync);
        EXPECT_EQ(records[r].kind, kKrmRecordKind);
        EXPECT_EQ(records[r].timestamp, 1000 + 100 * r);
        EXPECT_LE(records[r].videoBytes + records[r].audioBytes, kKrmMaxPayloadBytes);
        ASSERT_TRUE(splitPackets(records[r].video, &packets));
        EXPECT_EQ(packets.size(), std::min<size_t>(50, (r + 1) * 5 / 2));
        audio.push_back(records[r].audio);
        if (r + 1 < records.size()) {
            EXPECT_NE(concat(audio).size() % 32, 0u) << "audio cut at a frame boundary";
        }
    }
    EXPECT_EQ(file.bytes.size(),
              records.back().offset + 32 + records.back().videoBytes + records.back().audioBytes);
    EXPECT_EQ(packets, in.units);
    EXPECT_EQ(concat(audio), in.audio);
}

TEST(KrmLayout, H263StreamIsCutInsidePictures) {
    const ByteVector stream = readTestFile("h263_352x288.h263");
    const std::vector<ByteVector> pictures = splitH263Pictures(stream);
    ASSERT_EQ(pictures.size(), 100u);
    KrmOptions options;
    options.codec = KrmVideoCodec::kH263;
    KrmFile file;
    std::string error;
    ASSERT_TRUE(buildKrmFile(pictures, {}, options, &file, &error)) << error;
    const std::vector<ParsedRecord> records = parseRecords(file.bytes);
    ASSERT_EQ(records.size(), 100u);
    std::vector<ByteVector> video;
    for (const ParsedRecord& record : records) {
        video.push_back(record.video);
        EXPECT_EQ(record.audioBytes, 0u);
        ASSERT_GE(record.video.size(), 3u);
        if (&record != &records.front()) {
            EXPECT_FALSE(record.video[0] == 0 && record.video[1] == 0 &&
                         (record.video[2] & 0xFC) == 0x80)
                << "record starts at a picture start code";
        }
    }
    EXPECT_EQ(concat(video), stream);
}

TEST(KrmLayout, RecordTimeFollowsTimestampsAcrossCalendarBoundaries) {
    struct Case {
        KrmDateTime start;
        int64_t seconds;
        KrmDateTime expected;
    } cases[] = {
        {{2015, 6, 1, 12, 0, 59}, 1, {2015, 6, 1, 12, 1, 0}},
        {{2016, 2, 28, 23, 59, 58}, 2, {2016, 2, 29, 0, 0, 0}},  // leap year
        {{2017, 2, 28, 23, 59, 59}, 1, {2017, 3, 1, 0, 0, 0}},
        {{2014, 4, 30, 23, 59, 30}, 31, {2014, 5, 1, 0, 0, 1}},
        {{2015, 12, 31, 23, 59, 59}, 3601, {2016, 1, 1, 1, 0, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(addSeconds(c.start, c.seconds), c.expected)
            << c.start.year << "-" << c.start.month;
    }

    const Inputs in = h264Inputs("h264_320x240.h264");
    KrmOptions options;
    options.start = {2016, 12, 31, 23, 59, 58};
    KrmFile file;
    std::string error;
    ASSERT_TRUE(buildKrmFile(in.units, in.audio, options, &file, &error)) << error;
    const std::vector<ParsedRecord> records = parseRecords(file.bytes);
    ASSERT_EQ(records.size(), 100u);
    EXPECT_EQ(records[24].time, (KrmDateTime{2016, 12, 31, 23, 59, 58}));  // 960 ms in
    EXPECT_EQ(records[25].time, (KrmDateTime{2016, 12, 31, 23, 59, 59}));
    EXPECT_EQ(records[50].time, (KrmDateTime{2017, 1, 1, 0, 0, 0}));

    options.start = {2018, 12, 31, 23, 59, 59};  // would run into 2019
    EXPECT_FALSE(buildKrmFile(in.units, in.audio, options, &file, &error));
    EXPECT_FALSE(parseDateTime("2014-04-31 10:00:00").has_value());
    EXPECT_FALSE(parseDateTime("2011-12-31 23:59:59").has_value());
    EXPECT_EQ(parseDateTime("2016-02-29 00:00:00"), (KrmDateTime{2016, 2, 29, 0, 0, 0}));
}

TEST(KrmLayout, RefusesRecordsBeyondThePayloadLimit) {
    const std::vector<ByteVector> units = {ByteVector(kKrmMaxPayloadBytes - 3, 0)};
    KrmFile file;
    std::string error;
    EXPECT_FALSE(buildKrmFile(units, {}, KrmOptions{}, &file, &error));
    EXPECT_NE(error.find("65536"), std::string::npos) << error;
    const std::vector<ByteVector> fits = {ByteVector(kKrmMaxPayloadBytes - 4, 0)};
    EXPECT_TRUE(buildKrmFile(fits, {}, KrmOptions{}, &file, &error)) << error;
}

class KrmFaultTest : public testing::Test {
  protected:
    void SetUp() override {
        in_ = h264Inputs("h264_320x240.h264");
        std::string error;
        ASSERT_TRUE(buildKrmFile(in_.units, in_.audio, KrmOptions{}, &clean_, &error)) << error;
    }

    KrmFile damaged(void (*damage)(KrmFaults&)) {
        KrmOptions options;
        damage(options.faults);
        KrmFile file;
        std::string error;
        EXPECT_TRUE(buildKrmFile(in_.units, in_.audio, options, &file, &error)) << error;
        return file;
    }

    // The damaged file must equal the clean one except for the bytes [from, from + count).
    void expectOnlyChanged(const KrmFile& file, size_t from, size_t count) {
        ASSERT_EQ(file.bytes.size(), clean_.bytes.size());
        for (size_t i = 0; i < file.bytes.size(); ++i) {
            if (i < from || i >= from + count) {
                ASSERT_EQ(file.bytes[i], clean_.bytes[i]) << "byte " << i;
            }
        }
        EXPECT_FALSE(std::equal(file.bytes.begin() + from, file.bytes.begin() + from + count,
                                clean_.bytes.begin() + from));
    }

    Inputs in_;
    KrmFile clean_;
};

TEST_F(KrmFaultTest, HeaderWordsOfOneRecordAreBroken) {
    const size_t at = clean_.records[3].offset;
    expectOnlyChanged(damaged([](KrmFaults& f) { f.badSyncRecord = 3; }), at, 4);
    expectOnlyChanged(damaged([](KrmFaults& f) { f.badKindRecord = 3; }), at + 4, 4);

    const KrmFile badDate = damaged([](KrmFaults& f) { f.badDateRecord = 3; });
    expectOnlyChanged(badDate, at + 10, 4);
    EXPECT_EQ(parseRecords(badDate.bytes)[3].time.month, 4);
    EXPECT_EQ(parseRecords(badDate.bytes)[3].time.day, 31);

    const KrmFile badLength = damaged([](KrmFaults& f) { f.badLengthRecord = 3; });
    expectOnlyChanged(badLength, at + 32, 4);
    EXPECT_EQ(read32(badLength.bytes, at + 32), kKrmBadPacketLength);
}

TEST_F(KrmFaultTest, OversizeRecordReallyHoldsItsBytes) {
    const KrmFile file = damaged([](KrmFaults& f) { f.oversizeRecord = 3; });
    const std::vector<ParsedRecord> records = parseRecords(file.bytes);
    ASSERT_EQ(records.size(), clean_.records.size());
    EXPECT_GT(records[3].videoBytes + records[3].audioBytes, kKrmMaxPayloadBytes);
    EXPECT_EQ(records[4].sync, kKrmRecordSync);
    EXPECT_EQ(records[4].video, parseRecords(clean_.bytes)[4].video);
    std::vector<ByteVector> packets;
    ASSERT_TRUE(splitPackets(records[3].video, &packets));
    EXPECT_EQ(packets.back()[4] & 0x1F, 12) << "the padding is a filler NAL unit";
}

TEST_F(KrmFaultTest, FileEndsEarly) {
    const KrmFile truncated = damaged([](KrmFaults& f) { f.truncateBytes = 5000; });
    ASSERT_EQ(truncated.bytes.size(), 5000u);
    EXPECT_TRUE(std::equal(truncated.bytes.begin(), truncated.bytes.end(), clean_.bytes.begin()));

    const KrmFile shortPayload = damaged([](KrmFaults& f) { f.shortPayload = true; });
    const ParsedRecord last = parseRecords(shortPayload.bytes).back();
    EXPECT_EQ(last.offset, clean_.records.back().offset);
    EXPECT_LT(shortPayload.bytes.size(), last.offset + 32 + last.videoBytes + last.audioBytes);
    EXPECT_GT(shortPayload.bytes.size(), last.offset + 32);
}

TEST_F(KrmFaultTest, ImpossibleRequestsAreRefused) {
    KrmOptions options;
    KrmFile file;
    std::string error;
    options.faults.badSyncRecord = clean_.records.size();  // one past the last
    EXPECT_FALSE(buildKrmFile(in_.units, in_.audio, options, &file, &error));
    options.faults = {};
    options.faults.badLengthRecord = 0;
    options.codec = KrmVideoCodec::kH263;
    EXPECT_FALSE(buildKrmFile(in_.units, in_.audio, options, &file, &error));
}

TEST(KrmMuxCommand, DefaultsMatchTheLibraryAndBadInputFails) {
    // The build step made these with krm-mux's defaults.
    const Inputs in = h264Inputs("h264_320x240.h264");
    KrmOptions options;
    options.width = 320;
    options.height = 240;
    KrmFile file;
    std::string error;
    ASSERT_TRUE(buildKrmFile(in.units, in.audio, options, &file, &error)) << error;
    EXPECT_EQ(readTestFile("h264_320x240.krm"), file.bytes);

    const std::string dir = testing::TempDir();
    const std::string mux = std::string(VIDORA_BINARY_DIR) + "/tools/krm-mux";
    const std::string data = std::string(VIDORA_TEST_DATA_DIR) + "/";
    {
        std::ofstream magic(dir + "magic.amr", std::ios::binary);
        magic << "#!AMR\n";
        magic.write(reinterpret_cast<const char*>(in.audio.data()), in.audio.size());
    }
    const std::string quiet = " 2>/dev/null";
    const std::string run = mux + " --h264 " + data + "h264_320x240.h264 --amr " + dir +
                            "magic.amr --size 320x240 --raw-tag 'x\\x00h26' --out " + dir +
                            "tagged.krm";
    ASSERT_EQ(std::system(run.c_str()), 0) << run;
    ByteVector expected = file.bytes;
    std::copy_n("x\0h26", 5, expected.begin());
    EXPECT_EQ(readFile(dir + "tagged.krm"), expected) << "AMR file magic skipped, tag verbatim";

    for (const std::string& bad : {" --h263 " + data + "h264_320x240.h264 --out " + dir + "x.krm",
                                   " --h264 " + data + "h264_320x240.h264"}) {
        EXPECT_NE(std::system((mux + bad + quiet).c_str()), 0) << bad;
    }
}

}  // namespace
}  // namespace vidora
