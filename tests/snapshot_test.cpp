// Snapshots: the BMP headers field by field, the bottom-up BGR rows taken from the composed video
// area (black beyond the composition), the name's extension rule, replacing a file, and the
// faults: a folder that takes no file, and a write that fails halfway.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/playback_engine.h"
#include "skin/skin_window.h"

namespace vidora {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

uint32_t le16(const std::vector<uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8);
}

uint32_t le32(const std::vector<uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class Snapshot : public ::testing::Test {
  protected:
    Snapshot() : skin(engine) {
        skin.setDesktopSource([this] { return desktop; });
        folder = fs::temp_directory_path() /
                 ("snapshot-test-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    ~Snapshot() override { fs::remove_all(folder); }

    void build(int32_t large, int32_t full) {
        skin.largeSkin = large;
        skin.fullscreen = full;
        skin.computeLayout();
        skin.buildSurfaces();
        if (full != 0) {
            skin.computeLayout();
            skin.buildSurfaces();
        }
    }

    // Paints with a pattern in the video surface that tells every pixel's row and column apart.
    void paintPattern() {
        Surface& v = *skin.video;
        for (int32_t y = 0; y < v.height(); ++y) {
            for (int32_t x = 0; x < v.width(); ++x) {
                v.row(y)[x] = (static_cast<uint32_t>(x & 0xFF) << 16) |
                              (static_cast<uint32_t>(y & 0xFF) << 8) |
                              static_cast<uint32_t>(((x >> 8) << 4) | (y >> 8));
            }
        }
        skin.paint();
    }

    // Checks every header field and every pixel of a snapshot of the current video area.
    void expectSnapshot(const fs::path& file, int32_t w, int32_t h, uint32_t fileSize) {
        const std::vector<uint8_t> b = readFile(file);
        ASSERT_EQ(b.size(), fileSize);
        EXPECT_EQ(b[0], 'B');
        EXPECT_EQ(b[1], 'M');
        EXPECT_EQ(le32(b, 2), fileSize);
        EXPECT_EQ(le16(b, 6), 0u);
        EXPECT_EQ(le16(b, 8), 0u);
        EXPECT_EQ(le32(b, 10), 54u);
        EXPECT_EQ(le32(b, 14), 40u);
        EXPECT_EQ(le32(b, 18), static_cast<uint32_t>(w));
        EXPECT_EQ(le32(b, 22), static_cast<uint32_t>(h));
        EXPECT_EQ(le16(b, 26), 1u);
        EXPECT_EQ(le16(b, 28), 24u);
        for (std::size_t at = 30; at < 54; at += 4) {
            EXPECT_EQ(le32(b, at), 0u) << "offset " << at;
        }
        const Rect& area = skin.videoArea;
        int mismatches = 0;
        for (int32_t r = 0; r < h; ++r) {
            for (int32_t x = 0; x < w; ++x) {
                const std::size_t at = 54 + (static_cast<std::size_t>(r) * w + x) * 3;
                const uint32_t got = (b[at + 2] << 16) | (b[at + 1] << 8) | b[at];
                const uint32_t want = skin.composition.pixel(area.left + x, area.bottom - 1 - r);
                mismatches += got != want ? 1 : 0;
            }
        }
        EXPECT_EQ(mismatches, 0);
    }

    PlaybackEngine engine;
    SkinWindow skin;
    Rect desktop{0, 0, 1024, 768};
    fs::path folder;
};

TEST_F(Snapshot, VideoAreaOfEachWindowedSkin) {
    build(0, 0);
    paintPattern();
    skin.saveSnapshot((folder / "normal").string());
    expectSnapshot(folder / "normal.bmp", 332, 236, 235110);
    build(1, 0);
    paintPattern();
    skin.saveSnapshot((folder / "large.bmp").string());
    expectSnapshot(folder / "large.bmp", 512, 324, 497718);
}

TEST_F(Snapshot, WidthIsRaisedToAMultipleOf4WithBlackBeyondTheWindow) {
    desktop = {0, 0, 1366, 768};
    build(0, 1);
    ASSERT_EQ(skin.videoArea, (Rect{0, 0, 1366, 640}));
    paintPattern();
    skin.saveSnapshot((folder / "wide").string());
    expectSnapshot(folder / "wide.bmp", 1368, 640, 2626614);
    // The two columns beyond the composition are zero bytes in every row.
    const std::vector<uint8_t> b = readFile(folder / "wide.bmp");
    ASSERT_EQ(b.size(), 2626614u);
    for (std::size_t r = 0; r < 640; ++r) {
        for (std::size_t i = 1366 * 3; i < 1368 * 3; ++i) {
            ASSERT_EQ(b[54 + r * 1368 * 3 + i], 0) << "row " << r;
        }
    }
}

TEST_F(Snapshot, ExtensionIsAppendedUnlessTheNameEndsInExactlyDotBmp) {
    build(0, 0);
    skin.paint();
    skin.saveSnapshot((folder / "shot").string());
    skin.saveSnapshot((folder / "kept.bmp").string());
    skin.saveSnapshot((folder / "upper.BMP").string());
    skin.saveSnapshot((folder / "bmp").string());
    skin.saveSnapshot((folder / "dot.bmp.").string());
    EXPECT_EQ(namesIn(folder), (std::vector<std::string>{"bmp.bmp", "dot.bmp..bmp", "kept.bmp",
                                                         "shot.bmp", "upper.BMP.bmp"}));
}

TEST_F(Snapshot, LongPathsAreSavedWhole) {
    build(0, 0);
    skin.paint();
    fs::path deep = folder;
    for (int i = 0; i < 6; ++i) {
        deep /= std::string(60, static_cast<char>('a' + i));
    }
    fs::create_directories(deep);
    const std::string name = std::string(240, 'n');
    ASSERT_GT((deep / name).string().size(), 400u);
    skin.saveSnapshot((deep / name).string());
    EXPECT_EQ(namesIn(deep), std::vector<std::string>{name + ".bmp"});
    EXPECT_EQ(fs::file_size(deep / (name + ".bmp")), 235110u);
}

TEST_F(Snapshot, AnExistingFileIsReplaced) {
    build(0, 0);
    paintPattern();
    writeFile(folder / "shot.bmp", "an older picture");
    skin.saveSnapshot((folder / "shot.bmp").string());
    expectSnapshot(folder / "shot.bmp", 332, 236, 235110);
    EXPECT_EQ(namesIn(folder), std::vector<std::string>{"shot.bmp"});
}

TEST_F(Snapshot, AFolderThatTakesNoFileLeavesNoTrace) {
    build(0, 0);
    skin.paint();
    writeFile(folder / "plain", "a file, not a folder");
    EXPECT_FALSE(skin.saveSnapshot((folder / "plain" / "shot").string()));
    EXPECT_FALSE(skin.saveSnapshot((folder / "missing" / "shot").string()));
    // A folder of that name stands where the file would go.
    fs::create_directories(folder / "taken.bmp");
    EXPECT_FALSE(skin.saveSnapshot((folder / "taken.bmp").string()));
    // A pipe (or a device) is never replaced by a picture.
    ASSERT_EQ(mkfifo((folder / "pipe.bmp").c_str(), 0600), 0);
    EXPECT_FALSE(skin.saveSnapshot((folder / "pipe.bmp").string()));
    EXPECT_TRUE(fs::is_fifo(folder / "pipe.bmp"));
    fs::remove(folder / "pipe.bmp");
    // A name longer than the file system takes.
    EXPECT_FALSE(skin.saveSnapshot((folder / std::string(300, 'n')).string()));
    EXPECT_EQ(namesIn(folder), (std::vector<std::string>{"plain", "taken.bmp"}));
    EXPECT_TRUE(fs::is_empty(folder / "taken.bmp"));
    EXPECT_EQ(readFile(folder / "plain").size(), 20u);
}

// The process may write no file longer than 100,000 bytes: the snapshot's write fails partway,
// as it would on a full disk.
TEST_F(Snapshot, AWriteThatFailsHalfwayKeepsTheOldFile) {
    build(0, 0);
    paintPattern();
    writeFile(folder / "shot.bmp", "an older picture");

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 100000;
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_FALSE(skin.saveSnapshot((folder / "shot.bmp").string()));
    EXPECT_FALSE(skin.saveSnapshot((folder / "new").string()));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);

    const std::vector<uint8_t> old = readFile(folder / "shot.bmp");
    EXPECT_EQ(std::string(old.begin(), old.end()), "an older picture");
    EXPECT_EQ(namesIn(folder), std::vector<std::string>{"shot.bmp"});

    // With the limit lifted the same snapshot goes through.
    EXPECT_TRUE(skin.saveSnapshot((folder / "shot.bmp").string()));
    expectSnapshot(folder / "shot.bmp", 332, 236, 235110);
}

// The user hears of a snapshot that failed: the notice lies over the picture until it expires
// or the next snapshot is taken, and is never part of a saved picture.
TEST_F(Snapshot, AFailedSnapshotSaysSoOverThePicture) {
    build(0, 0);
    paintPattern();
    std::string answer = (folder / "missing" / "shot").string();
    skin.setFileDialogFunction(
        [&](const FileDialogRequest&, const std::function<void()>&) -> std::optional<std::string> {
            return answer;
        });
    auto clickSnapshot = [&] {
        skin.onClick(skin.snapshotButton.left + 1, skin.snapshotButton.top + 1);
    };
    clickSnapshot();
    EXPECT_TRUE(skin.noticeShown());
    EXPECT_TRUE(skin.needsPaint);
    EXPECT_TRUE(namesIn(folder).empty());
    skin.paint();
    if (textFontAvailable()) {
        const int32_t middle = skin.videoArea.top + skin.videoArea.height() / 2;
        int white = 0;
        for (int32_t x = skin.videoArea.left; x < skin.videoArea.right; ++x) {
            white += skin.composition.pixel(x, middle) == 0xFFFFFF ? 1 : 0;
        }
        EXPECT_GT(white, 3);
    }

    answer = (folder / "shot").string();
    clickSnapshot();
    EXPECT_FALSE(skin.noticeShown());
    paintPattern();
    expectSnapshot(folder / "shot.bmp", 332, 236, 235110);
}

}  // namespace
}  // namespace vidora
