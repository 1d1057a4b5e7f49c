// A camera's folder of consecutive recordings: neighbours, first records and calendar seconds.

#include "recording/camera_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/file.h"
#include "recording/recording_format.h"
#include "support/recording_bytes.h"

namespace vidora {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

TEST(CameraFilesTest, NeighboursAreTheNextRecordingsInNameOrder) {
    const fs::path dir = fs::temp_directory_path() / ("vidora-camera-" + std::to_string(getpid()));
    // Paths as the player has them: UTF-8, on every system.
    auto at = [&](const std::string& name) { return utf8FromPath(dir / pathFromUtf8(name)); };
    fs::create_directories(dir / "d.krm");
    for (const char* name : {"a.krm", "b.KRM", "c.txt", "e.krm", "录像.krm"}) {
        std::ofstream(pathFromUtf8(at(name))).put('x');
    }
    auto next = [&](const char* name, int direction) {
        return neighbourRecording(at(name), direction).value_or("none");
    };
    EXPECT_EQ(next("a.krm", +1), at("b.KRM"));  // any case of the extension
    EXPECT_EQ(next("b.KRM", +1), at("e.krm"));  // not the text, not the folder
    EXPECT_EQ(next("e.krm", -1), at("b.KRM"));
    EXPECT_EQ(next("c.krm", +1), at("e.krm"));  // from a file that is gone
    EXPECT_EQ(next("录像.krm", +1), "none");
    EXPECT_EQ(next("no-folder/a.krm", +1), "none");
#ifdef _WIN32
    EXPECT_EQ(next("e.krm", +1), at("录像.krm"));  // in byte order UTF-8 comes after ASCII
    EXPECT_EQ(next("a.krm", -1), "none");
#else
    // Names that differ only in case, and links (neither of which Windows' names have).
    std::ofstream(dir / "B.krm").put('x');
    fs::create_symlink(dir / "e.krm", dir / "f.krm");
    fs::create_symlink(dir / "missing.krm", dir / "g.krm");
    EXPECT_EQ(next("e.krm", +1), at("f.krm"));  // a link to a recording
    // Not a broken link; in byte order UTF-8 comes after lower case, and upper case before it.
    EXPECT_EQ(next("f.krm", +1), at("录像.krm"));
    EXPECT_EQ(next("a.krm", -1), at("B.krm"));
    EXPECT_EQ(next("B.krm", -1), "none");
#endif
    fs::remove_all(dir);
}

TEST(CameraFilesTest, FirstRecordTimeOnlyFromAValidFirstRecord) {
    const RecordTime t{2016, 2, 29, 23, 59, 58};
    // A recording of one record dated `t` with `video` bytes of video, one byte changed.
    auto firstTime = [&](size_t at = 0, uint8_t value = 'h', size_t video = 100) {
        test::TestRecord r;
        r.time = t;
        r.video.resize(video);
        Bytes bytes = test::recordingHeader("h264");
        test::appendRecord(bytes, r);
        bytes[at] = value;
        return firstRecordTime(test::TempFile("camera.krm", bytes).path());
    };
    EXPECT_EQ(firstTime(), t);
    EXPECT_EQ(firstTime(1024 + 24, 101), std::nullopt);  // its payload cut short
    EXPECT_EQ(firstTime(0, 'h', kMaxRecordPayloadBytes + 1), std::nullopt);  // over a record's
    EXPECT_EQ(firstTime(1024 + 12, 30), std::nullopt);                       // February 30th
    EXPECT_EQ(firstTime(1024, 0), std::nullopt);                             // the sync word
    EXPECT_EQ(firstTime(1, 'x'), std::nullopt);                              // no "h26" in "hx64"
    EXPECT_EQ(firstRecordTime(test::TempFile("empty.krm").path()), std::nullopt);
}

TEST(CameraFilesTest, SecondsBetweenCountCalendarDays) {
    EXPECT_EQ(secondsBetween({2015, 6, 1, 12, 31, 5}, {2015, 6, 1, 12, 0, 0}), -(31 * 60 + 5));
    EXPECT_EQ(secondsBetween({2015, 12, 31, 23, 59, 59}, {2016, 1, 1, 0, 0, 1}), 2);
    EXPECT_EQ(secondsBetween({2016, 2, 28, 12, 0, 0}, {2016, 3, 1, 12, 0, 0}), 2 * 86400);
    EXPECT_EQ(secondsBetween({2015, 2, 28, 12, 0, 0}, {2015, 3, 1, 12, 0, 0}), 86400);
}

}  // namespace
}  // namespace vidora
