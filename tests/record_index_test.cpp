// The record index. Whole recordings are compared with the reading of the index fuzzing harness
// (every record read whole, in order, and every lookup answered by walking all of them); the
// rest pins down what that comparison cannot: which pictures are key, the lookup rules on
// hand-made times, damage, and offsets past 4 GiB.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "fuzz/index_harness.h"
#include "support/recording_bytes.h"

namespace vidora {
namespace {

using test::appendRecord;
using test::Bytes;
using test::recordingHeader;
using test::TempFile;
using test::TestRecord;
constexpr size_t npos = RecordIndex::npos;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// One length-prefixed packet as the records hold them.
Bytes packet(const Bytes& annexB) {
    Bytes out;
    test::putLe32(out, static_cast<uint32_t>(annexB.size()));
    return cat({out, annexB});
}

const Bytes kAud{0, 0, 0, 1, 0x09, 0xF0};
const Bytes kSps{0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1E};
const Bytes kPps{0, 0, 0, 1, 0x68, 0xCE, 0x38};
const Bytes kIdr{0, 0, 1, 0x65, 0x88, 0x84};
const Bytes kNonIdr{0, 0, 1, 0x41, 0x9A, 0x02};

Bytes sei(size_t bytes) {
    Bytes out{0, 0, 0, 1, 0x06, 0x05};
    out.resize(bytes, 0x55);
    return out;
}

// An H.263 picture header: PSC, TR, PTYPE with the given source format and then `tail`.
Bytes h263Header(int format, const std::vector<std::pair<uint32_t, int>>& tail) {
    std::vector<std::pair<uint32_t, int>> fields{{0x20, 22}, {7, 8}, {0b10000, 5}, {format, 3}};
    fields.insert(fields.end(), tail.begin(), tail.end());
    Bytes out;
    int used = 0;
    for (auto [value, count] : fields) {
        for (int n = count - 1; n >= 0; --n, ++used) {
            if (used % 8 == 0) {
                out.push_back(0);
            }
            out.back() |= static_cast<uint8_t>(((value >> n) & 1) << (7 - used % 8));
        }
    }
    out.resize(out.size() + 4, 0x3C);
    return out;
}

bool key(const Bytes& video, bool h264) {
    return startsWithKeyPicture(video.data(), video.size(), h264);
}

TEST(RecordIndex, TellsKeyPictures) {
    EXPECT_TRUE(key(packet(cat({kAud, kSps, kPps, sei(40), kIdr})), true));
    EXPECT_TRUE(key(cat({kSps, kPps, kIdr}), true));          // bare Annex B
    EXPECT_TRUE(key(packet(cat({kAud, kSps, kPps})), true));  // runs out after an SPS
    EXPECT_TRUE(key(cat({packet(cat({kAud, kIdr})), packet(kNonIdr)}), true));
    EXPECT_FALSE(key(packet(cat({kAud, sei(40), kNonIdr})), true));
    EXPECT_FALSE(key(cat({kNonIdr, kIdr}), true));
    EXPECT_FALSE(key(packet(cat({kAud, sei(10)})), true));               // no SPS, no slice
    EXPECT_FALSE(key(Bytes{0x12, 0x34, 0x00, 0x00, 0x01, 0x65}, true));  // a NAL unit's tail
    EXPECT_FALSE(key(Bytes{}, true));
    // Only the first packet counts: its IDR slice lies beyond the length word's end.
    Bytes cut = packet(cat({kAud, kNonIdr}));
    cut[0] = static_cast<uint8_t>(kAud.size());
    EXPECT_FALSE(key(cat({cut, kIdr}), true));

    EXPECT_TRUE(key(h263Header(2, {{0, 1}}), false));                   // QCIF, INTRA
    EXPECT_FALSE(key(h263Header(2, {{1, 1}}), false));                  // INTER
    EXPECT_TRUE(key(h263Header(7, {{1, 3}, {0, 18}, {0, 3}}), false));  // PLUSPTYPE with OPPTYPE
    EXPECT_FALSE(key(h263Header(7, {{1, 3}, {0, 18}, {1, 3}}), false));
    EXPECT_TRUE(key(h263Header(7, {{0, 3}, {0, 3}}), false));  // PLUSPTYPE without OPPTYPE
    EXPECT_FALSE(key(h263Header(7, {{0, 3}, {2, 3}}), false));
    Bytes shifted = h263Header(2, {{0, 1}});
    shifted.insert(shifted.begin(), 0x11);  // a picture cut across records
    EXPECT_FALSE(key(shifted, false));
    Bytes early = h263Header(2, {{0, 1}});
    early.resize(4);  // cut before the coding type
    EXPECT_FALSE(key(early, false));
}

// A file of records with a 5,000-byte SEI before the IDR slice, which the index must read past
// its first look, and records without any key picture.
TEST(RecordIndex, AgreesWithAWholeReadingOnHandMadeFiles) {
    std::vector<TestRecord> records(70);
    for (size_t i = 0; i < records.size(); ++i) {
        records[i].timestamp = 1000 + 40 * static_cast<uint32_t>(i);
        records[i].video =
            packet(cat({kAud, i % 10 == 0 ? cat({kSps, sei(5000), kIdr}) : kNonIdr}));
        records[i].audio = test::filler(30);
    }
    Bytes file = recordingHeader("h264");
    for (const TestRecord& r : records) {
        appendRecord(file, r);
    }
    TempFile f("index-sei.krm", file);
    RecordIndex index;
    EXPECT_EQ(fuzz::compareIndex(index, index.build(f.path()), file.data(), file.size(), 0), "");
    ASSERT_EQ(index.size(), 70u);
    EXPECT_EQ(index.keyAtOrBefore(69), 60u);
    EXPECT_EQ(index.keyAtOrBefore(9), 0u);

    Bytes keyless = recordingHeader("h264");
    for (TestRecord& r : records) {
        r.video = packet(cat({kAud, kNonIdr}));
        appendRecord(keyless, r);
    }
    f.write(keyless);
    EXPECT_EQ(index.build(f.path()), RecordIndex::End::Complete);
    EXPECT_EQ(index.keyAtOrBefore(0), npos);
    EXPECT_EQ(index.keyAtOrBefore(1000), npos);
}

TEST(RecordIndex, AgreesWithAWholeReadingOnTheTestRecordings) {
    const std::pair<const char*, std::vector<size_t>> recordings[] = {
        {"h264_320x240.krm", {0, 25, 50, 75}},
        {"h264_1280x720_b.krm", {0, 25}},
        // Records cut the H.263 stream inside pictures: only the first starts with one.
        {"h263_352x288.krm", {0}},
        {"h263_176x144_low.krm", {0}}};
    for (const auto& [name, keys] : recordings) {
        SCOPED_TRACE(name);
        const std::string path = std::string(VIDORA_TEST_DATA_DIR) + "/" + name;
        const Bytes file = test::readFileBytes(path);
        ASSERT_FALSE(file.empty());
        RecordIndex index;
        EXPECT_EQ(fuzz::compareIndex(index, index.build(path), file.data(), file.size(), 12345),
                  "");
        EXPECT_EQ(index.h264(), name[3] == '4');
        std::vector<size_t> found;
        for (size_t i = 0; i < index.size(); ++i) {
            if (index.at(i).key) {
                found.push_back(i);
            }
        }
        EXPECT_EQ(found, keys);
        EXPECT_LE(index.bytesPerRecord(), 16.2);  // 16, and a checkpoint per 64 records
    }
}

TEST(RecordIndex, EndsAtTheFirstBadRecord) {
    const std::string path = std::string(VIDORA_TEST_DATA_DIR) + "/h264_320x240.krm";
    const Bytes whole = test::readFileBytes(path);
    RecordIndex index;
    ASSERT_EQ(index.build(path), RecordIndex::End::Complete);
    ASSERT_GT(index.size(), 50u);
    const uint64_t at40 = index.at(40).offset;
    const uint64_t at41 = index.at(41).offset;
    struct Damage {
        size_t byte;  // from record 40's header on
        uint8_t value;
        const char* reason;
    };
    for (const Damage& d : {Damage{0, 0x79, "bad sync word"}, Damage{4, 0x09, "bad record kind"},
                            Damage{10, 13, "invalid date or time"},      // month 13
                            Damage{27, 0x01, "payload over 64 KiB"}}) {  // video + 16 MiB
        Bytes file = whole;
        file[at40 + d.byte] = d.value;
        TempFile f("index-damaged.krm", file);
        EXPECT_EQ(index.build(f.path()), RecordIndex::End::BadRecord);
        EXPECT_STREQ(index.badReason(), d.reason);
        EXPECT_EQ(index.badOffset(), at40);
        EXPECT_EQ(
            fuzz::compareIndex(index, RecordIndex::End::BadRecord, file.data(), file.size(), 0),
            "");
    }
    for (auto [size, reason] : {std::pair{at41 - 1, "payload cut short by the end of the file"},
                                {at40 + 20, "record header cut short"}}) {
        TempFile f("index-cut.krm", Bytes(whole.begin(), whole.begin() + size));
        EXPECT_EQ(index.build(f.path()), RecordIndex::End::BadRecord);
        EXPECT_STREQ(index.badReason(), reason);
        EXPECT_EQ(index.size(), 40u);
        EXPECT_EQ(index.badOffset(), at40);
    }

    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_EQ(index.build(path, stopped.get_token()), RecordIndex::End::Stopped);
    EXPECT_EQ(index.size(), 0u);
    EXPECT_EQ(index.build(VIDORA_TEST_DATA_DIR), RecordIndex::End::CannotOpen);
    EXPECT_EQ(index.build(std::string(VIDORA_TEST_DATA_DIR) + "/none.krm"),
              RecordIndex::End::CannotOpen);
    TempFile notOne("index-mpg4.krm", recordingHeader("mpg4"));
    EXPECT_EQ(index.build(notOne.path()), RecordIndex::End::NotARecording);
}

TEST(RecordIndex, FindsRecordsByPlayTimeAndClock) {
    // Gaps of 40, 0, backwards (a second), 5 s (a second) and 50 ms; the clock jumps over
    // midnight with a gap, then is set back.
    const uint32_t stamps[] = {1000, 1040, 1040, 900, 5900, 5950, 6000};
    const RecordTime times[] = {{2015, 6, 1, 23, 59, 58}, {2015, 6, 1, 23, 59, 58},
                                {2015, 6, 1, 23, 59, 59}, {2015, 6, 2, 0, 0, 5},
                                {2015, 6, 2, 0, 0, 6},    {2015, 6, 2, 0, 0, 6},
                                {2015, 6, 2, 0, 0, 2}};
    Bytes file = recordingHeader("h263");
    for (size_t i = 0; i < std::size(stamps); ++i) {
        TestRecord r;
        r.timestamp = stamps[i];
        r.time = times[i];
        appendRecord(file, r);
    }
    TempFile f("index-times.krm", file);
    RecordIndex index;
    ASSERT_EQ(index.build(f.path()), RecordIndex::End::Complete);
    const int64_t plays[] = {0, 40000, 40000, 1040000, 2040000, 2090000, 2140000};
    for (size_t i = 0; i < std::size(plays); ++i) {
        EXPECT_EQ(index.at(i).playUs, plays[i]) << i;
        EXPECT_EQ(index.at(i).time, times[i]) << i;
    }
    EXPECT_EQ(index.atPlayTime(-5), 0u);
    EXPECT_EQ(index.atPlayTime(39999), 0u);
    EXPECT_EQ(index.atPlayTime(40000), 2u);
    EXPECT_EQ(index.atPlayTime(1039999), 2u);
    EXPECT_EQ(index.atPlayTime(99000000), 6u);

    EXPECT_EQ(index.atClock({2015, 6, 1, 23, 59, 59}), 2u);
    EXPECT_EQ(index.atClock({2015, 6, 2, 0, 0, 2}), 6u);  // an exact second beats a gap
    EXPECT_EQ(index.atClock({2015, 6, 2, 0, 0, 3}), 3u);  // in the gap
    EXPECT_EQ(index.atClock({2015, 6, 1, 23, 59, 57}), npos);
    EXPECT_EQ(index.atClock({2015, 6, 2, 0, 0, 7}), npos);
    EXPECT_EQ(index.atClock({2015, 6, 31, 0, 0, 0}), npos);
    EXPECT_EQ(index.atTimeOfDay(23, 59, 58), 0u);
    EXPECT_EQ(index.atTimeOfDay(0, 0, 3), 3u);  // not on the first date, on the second
    EXPECT_EQ(index.atTimeOfDay(12, 0, 0), npos);
    EXPECT_EQ(index.firstAtOrAfterOffset(0), 0u);
    EXPECT_EQ(index.firstAtOrAfterOffset(index.at(3).offset - 1), 3u);
    EXPECT_EQ(index.firstAtOrAfterOffset(file.size()), 7u);

    RecordIndex empty;
    EXPECT_EQ(empty.atPlayTime(0), npos);
    EXPECT_EQ(empty.keyAtOrBefore(0), npos);
}

// Records whose payloads are holes, a header every 64 KiB up to 5 GiB: about 320 MiB on disk
// for the blocks that hold the headers, while the test runs.
TEST(RecordIndex, IndexesPast4GiB) {
    TempFile f("index-5gib.krm");
    constexpr uint64_t kStride = 32 + 65536;
    constexpr uint64_t kCount = (5ull << 30) / kStride + 2;
    const int fd = ::open(f.path().c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    Bytes header = recordingHeader("h264");
    bool written = ::pwrite(fd, header.data(), header.size(), 0) == 1024 &&
                   ::ftruncate(fd, static_cast<off_t>(1024 + kCount * kStride)) == 0;
    const uint64_t keyRecord = kCount - 10;
    for (uint64_t i = 0; i < kCount && written; ++i) {
        TestRecord r;
        r.timestamp = static_cast<uint32_t>(i * 40);
        Bytes bytes;
        appendRecord(bytes, r);
        bytes[24] = 0;  // 65,536 video bytes, in a hole but for a key picture in one record
        bytes[26] = 1;
        if (i == keyRecord) {
            bytes.insert(bytes.end(), kIdr.begin(), kIdr.end());
        }
        written =
            ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(1024 + i * kStride)) ==
            static_cast<ssize_t>(bytes.size());
    }
    ::close(fd);
    ASSERT_TRUE(written);
    RecordIndex index;
    ASSERT_EQ(index.build(f.path()), RecordIndex::End::Complete);
    ASSERT_EQ(index.size(), kCount);
    EXPECT_EQ(index.at(kCount - 1).offset, 1024 + (kCount - 1) * kStride);
    EXPECT_GT(index.at(kCount - 1).offset, 5ull << 30);
    const size_t past4GiB = index.firstAtOrAfterOffset(4ull << 30);
    EXPECT_EQ(past4GiB, ((4ull << 30) - 1024 + kStride - 1) / kStride);
    EXPECT_EQ(index.keyAtOrBefore(kCount - 1), keyRecord);
    EXPECT_TRUE(index.at(keyRecord).key);
    EXPECT_EQ(index.keyAtOrBefore(keyRecord - 1), npos);
    EXPECT_EQ(index.atPlayTime(index.at(past4GiB).playUs), past4GiB);
    EXPECT_LE(index.bytesPerRecord(), 16.2);
}

}  // namespace
}  // namespace vidora
