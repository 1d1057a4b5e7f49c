// A camera's folder of consecutive recordings: neighbours, first records and calendar seconds.

#include "recording/camera_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "recording/recording_format.h"

namespace vidora {
namespace {

namespace fs = std::filesystem;

void putLe(std::vector<uint8_t>& bytes, size_t at, uint32_t value, int width) {
    for (int i = 0; i < width; ++i) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// A recording header and one record dated `t` with `payload` bytes, of which `written` exist.
std::vector<uint8_t> recording(const RecordTime& t, uint32_t payload, uint32_t written) {
    std::vector<uint8_t> bytes(kRecordingHeaderBytes + kRecordHeaderBytes + written);
    std::copy_n("h264", 4, bytes.begin());
    const size_t at = kRecordingHeaderBytes;
    putLe(bytes, at, RECORD_SYNC, 4);
    putLe(bytes, at + 4, RECORD_KIND, 4);
    const uint16_t fields[] = {t.year, t.month, t.day, t.hour, t.minute, t.second};
    for (int i = 0; i < 6; ++i) {
        putLe(bytes, at + 8 + 2 * i, fields[i], 2);
    }
    putLe(bytes, at + 24, payload, 4);
    return bytes;
}

class CameraFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir / "d.krm");
        for (const char* name : {"a.krm", "b.KRM", "c.txt", "e.krm"}) {
            write(name, {});
        }
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) {
        const fs::path path = dir / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }
    std::string at(const char* name) const { return (dir / name).string(); }
    const fs::path dir = fs::temp_directory_path() / ("vidora-camera-" + std::to_string(getpid()));
};

TEST_F(CameraFilesTest, NeighboursAreTheNextRecordingsInNameOrder) {
    EXPECT_EQ(neighbourRecording(at("a.krm"), +1), at("b.KRM"));
    EXPECT_EQ(neighbourRecording(at("b.KRM"), +1), at("e.krm"));  // not the text, not the folder
    EXPECT_EQ(neighbourRecording(at("e.krm"), -1), at("b.KRM"));
    EXPECT_EQ(neighbourRecording(at("b.KRM"), -1), at("a.krm"));
    EXPECT_EQ(neighbourRecording(at("e.krm"), +1), std::nullopt);
    EXPECT_EQ(neighbourRecording(at("a.krm"), -1), std::nullopt);
    // A file that is gone still has its place; a link to a recording counts, a broken one not.
    EXPECT_EQ(neighbourRecording(at("c.txt"), +1), at("e.krm"));
    fs::create_symlink(dir / "e.krm", dir / "f.krm");
    fs::create_symlink(dir / "missing.krm", dir / "g.krm");
    EXPECT_EQ(neighbourRecording(at("e.krm"), +1), at("f.krm"));
    EXPECT_EQ(neighbourRecording(at("f.krm"), +1), std::nullopt);
    // Byte order: upper case sorts before lower case, and UTF-8 after both.
    write("B.krm", {});
    write("录像.krm", {});
    EXPECT_EQ(neighbourRecording(at("a.krm"), -1), at("B.krm"));
    EXPECT_EQ(neighbourRecording(at("g.krm"), +1), at("录像.krm"));
    EXPECT_EQ(neighbourRecording((dir / "no-folder" / "a.krm").string(), +1), std::nullopt);
}

TEST_F(CameraFilesTest, FirstRecordTimeOnlyFromAValidFirstRecord) {
    const RecordTime t{2016, 2, 29, 23, 59, 58};
    EXPECT_EQ(firstRecordTime(write("good.krm", recording(t, 100, 100))), t);
    EXPECT_EQ(firstRecordTime(write("short.krm", recording(t, 100, 99))), std::nullopt);
    EXPECT_EQ(firstRecordTime(write("bad-date.krm", recording({2016, 2, 30, 0, 0, 0}, 0, 0))),
              std::nullopt);
    EXPECT_EQ(firstRecordTime(write("huge.krm", recording(t, kMaxRecordPayloadBytes + 1,
                                                          kMaxRecordPayloadBytes + 1))),
              std::nullopt);
    std::vector<uint8_t> notRecording = recording(t, 0, 0);
    notRecording[1] = 'x';  // "hx64": no "h26" in the header
    EXPECT_EQ(firstRecordTime(write("header.krm", notRecording)), std::nullopt);
    std::vector<uint8_t> badSync = recording(t, 0, 0);
    badSync[kRecordingHeaderBytes] ^= 1;
    EXPECT_EQ(firstRecordTime(write("sync.krm", badSync)), std::nullopt);
    EXPECT_EQ(firstRecordTime(at("a.krm")), std::nullopt);  // empty
    EXPECT_EQ(firstRecordTime(at("d.krm")), std::nullopt);  // a folder
}

TEST(CameraFilesCalendarTest, SecondsBetweenCountCalendarDays) {
    EXPECT_EQ(secondsBetween({2015, 6, 1, 12, 0, 0}, {2015, 6, 1, 12, 31, 5}), 31 * 60 + 5);
    EXPECT_EQ(secondsBetween({2015, 6, 1, 12, 31, 5}, {2015, 6, 1, 12, 0, 0}), -(31 * 60 + 5));
    EXPECT_EQ(secondsBetween({2015, 4, 30, 23, 59, 59}, {2015, 5, 1, 0, 0, 0}), 1);
    EXPECT_EQ(secondsBetween({2015, 12, 31, 23, 59, 59}, {2016, 1, 1, 0, 0, 1}), 2);
    EXPECT_EQ(secondsBetween({2016, 2, 28, 12, 0, 0}, {2016, 3, 1, 12, 0, 0}), 2 * 86400);
    EXPECT_EQ(secondsBetween({2015, 2, 28, 12, 0, 0}, {2015, 3, 1, 12, 0, 0}), 86400);
    EXPECT_EQ(secondsBetween({2012, 1, 1, 0, 0, 0}, {2018, 12, 31, 23, 59, 59}),
              int64_t{2557} * 86400 - 1);
}

}  // namespace
}  // namespace vidora
