// The recording writer makes the input of most other tests, so its output is judged by others:
// FFmpeg's decoder takes its access units, and the player's record parser reads its files.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "recording/recording_format.h"
#include "tools/krm_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vidora {
namespace {

ByteVector testData(const std::string& name) {  // made by the krm_testdata build step
    std::ifstream in(VIDORA_TEST_DATA_DIR "/" + name, std::ios::binary);
    EXPECT_TRUE(in) << name << " is missing";
    return {std::istreambuf_iterator<char>(in), {}};
}

ByteVector concat(const std::vector<ByteVector>& parts) {
    ByteVector all;
    for (const ByteVector& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// Pictures a fresh H.264 decoder gives for `units`, each sent as one packet; -1 as soon as it
// rejects one (a broken packet must fail, not be concealed).
int decodeAsPackets(const std::vector<ByteVector>& units) {
    av_log_set_level(AV_LOG_QUIET);
    AVCodecContext* context = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
    context->err_recognition = AV_EF_EXPLODE;
    avcodec_open2(context, nullptr, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    int frames = 0;
    for (size_t i = 0; i <= units.size() && frames >= 0; ++i) {
        if (i < units.size()) {  // then a last round that drains the delayed pictures
            av_new_packet(packet, static_cast<int>(units[i].size()));
            std::copy(units[i].begin(), units[i].end(), packet->data);
        }
        frames =
            avcodec_send_packet(context, i < units.size() ? packet : nullptr) < 0 ? -1 : frames;
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

struct Record {
    size_t offset;
    RecordHeader header;
    ByteVector video, audio;
};

// The file's records as the player parses them; the header must be one the player accepts.
std::vector<Record> recordsOf(const ByteVector& file) {
    EXPECT_TRUE(file.size() >= kRecordingHeaderBytes && acceptRecordingHeader(file.data()));
    std::vector<Record> records;
    for (size_t at = kRecordingHeaderBytes; at + kRecordHeaderBytes <= file.size();) {
        Record r{at, parseRecordHeader(&file[at]), {}, {}};
        const size_t video = at + kRecordHeaderBytes, audio = video + r.header.videoBytes;
        at = std::min(file.size(), audio + r.header.audioBytes);
        r.video.assign(file.begin() + std::min(video, at), file.begin() + std::min(audio, at));
        r.audio.assign(file.begin() + std::min(audio, at), file.begin() + at);
        records.push_back(r);
    }
    return records;
}

// The length-prefixed packets of a record's video bytes; false unless they are whole.
bool packetsOf(const ByteVector& video, std::vector<ByteVector>* packets) {
    for (size_t at = 0; at < video.size();) {
        const size_t size = at + 4 <= video.size() ? readLe32(&video[at]) : video.size();
        if (at + 4 + size > video.size()) {
            return false;
        }
        packets->emplace_back(video.begin() + at + 4, video.begin() + at + 4 + size);
        at += 4 + size;
    }
    return true;
}

TEST(KrmWriter, H264AccessUnitsDecodeToOnePictureEach) {
    // Two slices per picture in the first stream, B-frames and delimiters in the second.
    for (auto [name, pictures] :
         {std::pair{"h264_320x240.h264", 100}, {"h264_1280x720_b.h264", 50}}) {
        const ByteVector stream = testData(name);
        const std::vector<ByteVector> units = splitH264AccessUnits(stream);
        ASSERT_EQ(units.size(), static_cast<size_t>(pictures)) << name;
        EXPECT_EQ(concat(units), stream) << name;
        EXPECT_EQ(decodeAsPackets(units), pictures) << name;
        // Parameter sets travel with each IDR picture: playback can start at any of them.
        for (size_t i = 0; i < units.size(); i += 25) {
            EXPECT_EQ(decodeAsPackets({units[i]}), 1) << name << " picture " << i;
        }
    }
}

TEST(KrmWriter, RecordsAsThePlayerReadsThemHoldWholePacketsAndEveryInputByte) {
    // 2.5 pictures per record; 2 s of pictures and 4 s of sound: the last records hold sound.
    const std::vector<ByteVector> units = splitH264AccessUnits(testData("h264_1280x720_b.h264"));
    const ByteVector amr = testData("speech.amr");
    std::vector<size_t> frames;
    std::string error;
    ASSERT_TRUE(splitAmrFrames(amr, &frames, &error)) << error;
    EXPECT_EQ(frames, std::vector<size_t>(200, 32)) << "4 s of the 12.2 kbit/s mode";
    KrmOptions options;
    options.width = 1280;
    options.height = 720;
    options.recordsPerSecond = 10;
    options.timestampStep = 100;
    KrmFile file;
    ASSERT_TRUE(buildKrmFile(units, amr, options, &file, &error)) << error;
    EXPECT_TRUE(isH264Tag(file.bytes.data()));
    EXPECT_EQ(std::pair(readLe32(&file.bytes[kHeaderWidthOffset]),
                        readLe32(&file.bytes[kHeaderHeightOffset])),
              std::pair(1280u, 720u));
    const std::vector<Record> records = recordsOf(file.bytes);
    ASSERT_EQ(records.size(), 40u);
    std::vector<ByteVector> packets, audio;
    for (size_t r = 0; r < records.size(); ++r) {
        const RecordHeader& h = records[r].header;
        EXPECT_TRUE(h.sync == RECORD_SYNC && h.kind == RECORD_KIND && isValidRecordTime(h.time))
            << r;
        EXPECT_EQ(h.timestamp, 1000 + 100 * r);
        EXPECT_LE(h.videoBytes + h.audioBytes, kMaxRecordPayloadBytes);
        ASSERT_TRUE(packetsOf(records[r].video, &packets)) << r;
        EXPECT_EQ(packets.size(), std::min<size_t>(50, (r + 1) * 5 / 2)) << r;
        audio.push_back(records[r].audio);
        EXPECT_TRUE(r + 1 == records.size() || concat(audio).size() % 32 != 0)
            << "cut inside a frame";
    }
    EXPECT_EQ(packets, units);
    EXPECT_EQ(concat(audio), amr);
    EXPECT_EQ(records.back().offset + kRecordHeaderBytes + records.back().video.size() +
                  records.back().audio.size(),
              file.bytes.size());
}

TEST(KrmWriter, H263IsCutInsidePicturesAndDatesRollOver) {
    const ByteVector stream = testData("h263_352x288.h263");
    KrmOptions options;
    options.codec = KrmVideoCodec::kH263;
    options.start = {2016, 12, 31, 23, 59, 58};
    KrmFile file;
    std::string error;
    ASSERT_TRUE(buildKrmFile(splitH263Pictures(stream), {}, options, &file, &error)) << error;
    const std::vector<Record> records = recordsOf(file.bytes);
    ASSERT_EQ(records.size(), 100u);
    EXPECT_FALSE(isH264Tag(file.bytes.data()));
    ByteVector video;
    for (const Record& r : records) {
        video.insert(video.end(), r.video.begin(), r.video.end());
        EXPECT_FALSE(&r != &records[0] && r.video[0] == 0 && r.video[1] == 0 &&
                     (r.video[2] & 0xFC) == 0x80)
            << "record " << &r - &records[0] << " starts at a picture start code";
    }
    EXPECT_EQ(video, stream);
    EXPECT_EQ(records[24].header.time, (RecordTime{2016, 12, 31, 23, 59, 58}));  // 960 ms in
    EXPECT_EQ(records[50].header.time, (RecordTime{2017, 1, 1, 0, 0, 0}));
}

TEST(KrmWriter, EachFaultBreaksOnlyItsOwnBytes) {
    const std::vector<ByteVector> units = splitH264AccessUnits(testData("h264_320x240.h264"));
    const ByteVector amr = testData("speech.amr");
    auto build = [&](KrmFaults faults) {
        KrmOptions options;
        options.faults = faults;
        KrmFile file;
        std::string error;
        EXPECT_TRUE(buildKrmFile(units, amr, options, &file, &error)) << error;
        return file;
    };
    const KrmFile clean = build({});
    const size_t at = clean.records[3].offset;
    KrmFaults sync, kind, date, length;
    sync.badSyncRecord = kind.badKindRecord = date.badDateRecord = length.badLengthRecord = 3;
    for (auto [faults, from, count] :
         {std::tuple{sync, at, 4}, {kind, at + 4, 4}, {date, at + 10, 4}, {length, at + 32, 4}}) {
        const ByteVector bytes = build(faults).bytes;
        ByteVector expected = clean.bytes;
        std::copy_n(bytes.begin() + from, count, expected.begin() + from);
        EXPECT_TRUE(bytes == expected) << "changed outside " << from;
        EXPECT_FALSE(std::equal(bytes.begin() + from, bytes.begin() + from + count,
                                clean.bytes.begin() + from));
    }
    KrmFaults damage;
    damage.badDateRecord = 3;
    EXPECT_EQ(recordsOf(build(damage).bytes)[3].header.time.day, 31) << "31 April";
    damage = {};
    damage.oversizeRecord = 3;
    const std::vector<Record> records = recordsOf(build(damage).bytes);
    EXPECT_GT(records[3].header.videoBytes + records[3].header.audioBytes, kMaxRecordPayloadBytes);
    EXPECT_EQ(records[4].video, recordsOf(clean.bytes)[4].video) << "the bytes are really there";
}

}  // namespace
}  // namespace vidora
