// The record index. Whole recordings are compared with the index fuzzing harness's own reading
// (every record read whole, every lookup answered by walking them all); the rest pins down what
// that comparison cannot: which pictures are key, the lookup rules, damage and offsets past 4 GiB.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fuzz/index_harness.h"
#include "support/recording_bytes.h"

namespace vidora {
namespace {

using test::Bytes;
using test::TestRecord;
constexpr size_t npos = RecordIndex::npos;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// NAL units in one length-prefixed packet, as the records hold them.
Bytes packet(std::initializer_list<Bytes> units) {
    Bytes out;
    test::putLe32(out, static_cast<uint32_t>(cat(units).size()));
    return cat({out, cat(units)});
}

const Bytes kAud{0, 0, 0, 1, 0x09, 0xF0};
const Bytes kSps{0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1E};
const Bytes kIdr{0, 0, 1, 0x65, 0x88, 0x84};
const Bytes kNonIdr{0, 0, 1, 0x41, 0x9A, 0x02};
Bytes sei(size_t bytes) {
    Bytes out{0, 0, 0, 1, 0x06, 0x05};
    out.resize(bytes, 0x55);
    return out;
}

// An H.263 picture header: start code, temporal reference, PTYPE's first five bits, then `bits`
// ('0' and '1', spaces for reading).
Bytes h263(const std::string& bits) {
    Bytes out;
    int used = 0;
    for (char c : "0000000000000000100000 00000111 10000 " + bits) {
        if (c == '0' || c == '1') {
            out.resize(used / 8 + 1);
            out.back() |= static_cast<uint8_t>((c - '0') << (7 - used++ % 8));
        }
    }
    return out;
}

bool key(const Bytes& video, bool h264) {
    return startsWithKeyPicture(video.data(), video.size(), h264);
}

// Builds `index` from `file` and compares it with the harness's reading: empty when they agree.
std::string indexAgrees(RecordIndex& index, const Bytes& file) {
    test::TempFile f("index.krm", file);
    return fuzz::compareIndex(index, index.build(f.path()), file.data(), file.size(), 0);
}

TEST(RecordIndex, TellsKeyPictures) {
    EXPECT_TRUE(key(packet({kAud, kSps, sei(40), kIdr}), true));  // after non-slice units
    EXPECT_TRUE(key(cat({kSps, kIdr}), true));                    // bare Annex B
    EXPECT_TRUE(key(packet({kAud, kSps}), true));                 // ends after an SPS
    EXPECT_FALSE(key(packet({kAud, sei(40), kNonIdr, kIdr}), true));
    EXPECT_FALSE(key(packet({kAud, sei(10)}), true));                    // no SPS, no slice
    EXPECT_FALSE(key(Bytes{0x12, 0x34, 0x00, 0x00, 0x01, 0x65}, true));  // a NAL unit's tail
    EXPECT_FALSE(key(cat({packet({kAud}), kIdr}), true));  // only the first packet counts

    EXPECT_TRUE(key(h263("010 0"), false));   // QCIF, INTRA
    EXPECT_FALSE(key(h263("010 1"), false));  // INTER
    // PLUSPTYPE: the picture type follows OPPTYPE when UFEP is 001, else comes at once.
    EXPECT_TRUE(key(h263("111 001 111111111111111111 000"), false));
    EXPECT_FALSE(key(h263("111 000 010 000000000000000000000"), false));
    EXPECT_FALSE(key(cat({{0x11}, h263("010 0")}), false));  // a picture cut across records
    EXPECT_FALSE(key(Bytes{0, 0, 0x80, 0x1E}, false));       // cut before the source format
}

TEST(RecordIndex, AgreesWithAWholeReading) {
    const std::pair<const char*, std::vector<size_t>> recordings[] = {
        {"h264_320x240.krm", {0, 25, 50, 75}},
        {"h264_1280x720_b.krm", {0, 25}},
        // Records cut the H.263 stream inside pictures: only the first starts with one.
        {"h263_352x288.krm", {0}},
        {"h263_176x144_low.krm", {0}}};
    RecordIndex index;
    for (const auto& [name, keys] : recordings) {
        SCOPED_TRACE(name);
        const std::string path = std::string(VIDORA_TEST_DATA_DIR) + "/" + name;
        const Bytes file = test::readFileBytes(path);
        EXPECT_EQ(fuzz::compareIndex(index, index.build(path), file.data(), file.size(), 12345),
                  "");
        std::vector<size_t> found;
        for (size_t i = 0; i < index.size(); ++i) {
            if (index.at(i).key) {
                found.push_back(i);
            }
        }
        EXPECT_EQ(found, keys);
        EXPECT_LE(index.bytesPerRecord(), 16.2);  // 16, and a checkpoint per 64 records
    }
    // A 5,000-byte SEI before each IDR slice makes the index read past its first look, and a gap
    // counted as a second lies before the second block of 64 records; then no key pictures.
    for (bool keys : {true, false}) {
        Bytes file = test::recordingHeader("h264");
        for (uint32_t i = 0; i < 70; ++i) {
            TestRecord r;
            r.timestamp = 40 * i + (i > 30 ? 5000 : 0);
            r.video = keys && i % 10 == 0 ? packet({kAud, kSps, sei(5000), kIdr})
                                          : packet({kAud, kNonIdr});
            test::appendRecord(file, r);
        }
        EXPECT_EQ(indexAgrees(index, file), "");
        EXPECT_EQ(index.keyAtOrBefore(69), keys ? 60u : npos);
    }
}

TEST(RecordIndex, EndsAtTheFirstBadRecord) {
    const std::string path = std::string(VIDORA_TEST_DATA_DIR) + "/h264_320x240.krm";
    const Bytes whole = test::readFileBytes(path);
    RecordIndex index;
    ASSERT_EQ(index.build(path), RecordIndex::End::Complete);
    ASSERT_GT(index.size(), 41u);
    const uint64_t at40 = index.at(40).offset;
    // Record 40 with a bad sync word, month 13, 16 MiB more video, cut in its payload or header.
    for (auto [byte, value, size] : {std::tuple{0, 0x79, whole.size()},
                                     {10, 13, whole.size()},
                                     {27, 1, whole.size()},
                                     {0, -1, index.at(41).offset - 1},
                                     {0, -1, at40 + 20}}) {
        Bytes file(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(size));
        if (value >= 0) {
            file[at40 + byte] = static_cast<uint8_t>(value);
        }
        EXPECT_EQ(indexAgrees(index, file), "");
        EXPECT_EQ(index.size(), 40u);
        EXPECT_EQ(index.badOffset(), at40);
    }
    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_EQ(index.build(path, stopped.get_token()), RecordIndex::End::Stopped);
    // Bounded: at most so many records, none that begins past so many bytes.
    EXPECT_EQ(index.build(path, kRecordingHeaderBytes, {}, IndexLimit{10}),
              RecordIndex::End::Stopped);
    EXPECT_EQ(index.size(), 10u);
    EXPECT_EQ(index.build(path, kRecordingHeaderBytes, {},
                          IndexLimit{SIZE_MAX, at40 - kRecordingHeaderBytes + 1}),
              RecordIndex::End::Stopped);
    EXPECT_EQ(index.size(), 41u);
    EXPECT_EQ(index.build(VIDORA_TEST_DATA_DIR), RecordIndex::End::CannotOpen);
}

TEST(RecordIndex, FindsRecordsByPlayTimeAndClock) {
    // Gaps of 40, 0, backwards (a second), 5 s (a second), 50 and 40 ms; the clock jumps over
    // midnight with a gap, then is set back, and then back to the day before.
    const std::pair<uint32_t, RecordTime> records[] = {
        {1000, {2015, 6, 1, 23, 59, 58}}, {1040, {2015, 6, 1, 23, 59, 58}},
        {1040, {2015, 6, 1, 23, 59, 59}}, {900, {2015, 6, 2, 0, 0, 5}},
        {5900, {2015, 6, 2, 0, 0, 6}},    {5950, {2015, 6, 2, 0, 0, 6}},
        {6000, {2015, 6, 2, 0, 0, 2}},    {6040, {2015, 5, 31, 0, 0, 5}}};
    Bytes file = test::recordingHeader("h263");
    for (const auto& [stamp, time] : records) {
        TestRecord r;
        r.timestamp = stamp;
        r.time = time;
        test::appendRecord(file, r);
    }
    RecordIndex index;
    EXPECT_EQ(indexAgrees(index, file), "");
    EXPECT_EQ(index.at(3).playUs, 1040000);
    EXPECT_EQ(index.at(4).playUs, 2040000);
    EXPECT_EQ(index.atPlayTime(40000), 2u);                 // the last of records at the same time
    EXPECT_EQ(index.atPlayTime(99000000), 7u);              // past the last record
    EXPECT_EQ(index.atClock({2015, 6, 2, 0, 0, 2}), 6u);    // an exact second beats a gap
    EXPECT_EQ(index.atClock({2015, 6, 2, 0, 0, 3}), 3u);    // in the gap
    EXPECT_EQ(index.atClock({2015, 6, 2, 0, 0, 7}), npos);  // after the last
    EXPECT_EQ(index.atClock({2015, 6, 31, 0, 0, 0}), npos);
    EXPECT_EQ(index.atTimeOfDay(0, 0, 3), 3u);  // not on the first date, on the second
    EXPECT_EQ(index.atTimeOfDay(0, 0, 5), 3u);  // on the first date in file order that has it
    EXPECT_EQ(index.atTimeOfDay(12, 0, 0), npos);
}

// Records whose payloads are holes, a header every 64 KiB up to 5 GiB: about 320 MiB on disk
// for the blocks that hold the headers, while the test runs.
TEST(RecordIndex, IndexesPast4GiB) {
    test::TempFile f("index-5gib.krm");
    constexpr uint64_t kStride = 32 + 65536;
    constexpr uint64_t kCount = (5ull << 30) / kStride + 2;
    const uint64_t keyRecord = kCount - 10;
    // The size first, then the headers: the rest stays a hole where the file system has them.
    std::filesystem::resize_file(f.path(), 1024 + kCount * kStride);
    std::fstream file(f.path(), std::ios::in | std::ios::out | std::ios::binary);
    const Bytes header = test::recordingHeader("h264");
    file.write(reinterpret_cast<const char*>(header.data()), 1024);
    for (uint64_t i = 0; i < kCount && file; ++i) {
        TestRecord r;
        r.timestamp = static_cast<uint32_t>(i * 40);
        r.video = i == keyRecord ? kIdr : Bytes{};
        Bytes bytes;
        test::appendRecord(bytes, r);
        bytes[24] = 0;  // 65,536 video bytes, a hole but for a key picture in one record
        bytes[26] = 1;
        file.seekp(static_cast<std::streamoff>(1024 + i * kStride));
        file.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    file.close();
    const bool written = !file.fail();
    ASSERT_TRUE(written);
    RecordIndex index;
    ASSERT_EQ(index.build(f.path()), RecordIndex::End::Complete);
    ASSERT_EQ(index.size(), kCount);
    EXPECT_EQ(index.at(kCount - 1).offset, 1024 + (kCount - 1) * kStride);
    const size_t past4GiB = index.firstAtOrAfterOffset(4ull << 30);
    EXPECT_EQ(past4GiB, ((4ull << 30) - 1024 + kStride - 1) / kStride);
    EXPECT_EQ(index.keyAtOrBefore(kCount - 1), keyRecord);
    EXPECT_EQ(index.keyAtOrBefore(keyRecord - 1), npos);
    EXPECT_EQ(index.atPlayTime(index.at(past4GiB).playUs), past4GiB);
}

}  // namespace
}  // namespace vidora
