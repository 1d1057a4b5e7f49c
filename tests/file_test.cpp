// The file layer, on each system: files named in UTF-8 (in a folder named in Chinese) open and
// read at their offsets while another program still writes them, what cannot be opened says
// why, and a replacement appears only whole, under a name it may take, leaving nothing behind.

#include "platform/file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "support/recording_bytes.h"

namespace vidora {
namespace {

namespace fs = std::filesystem;

class FileTest : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directories(dir_); }
    void TearDown() override { fs::remove_all(dir_); }

    std::string at(const std::string& name) const {
        return utf8FromPath(dir_ / pathFromUtf8(name));
    }
    static std::string contents(const std::string& path) {
        std::ifstream in(pathFromUtf8(path), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    size_t entries() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {}));
    }

    const fs::path dir_ =
        fs::temp_directory_path() / pathFromUtf8("vidora-录像-" + std::to_string(getpid()));
};

TEST_F(FileTest, OpensByUtf8NameReadsAtOffsetsAndSaysWhyNot) {
    const std::string path = at("摄像机 1.krm");
    std::ofstream(pathFromUtf8(path), std::ios::binary) << "0123456789";
    File file;
    ASSERT_TRUE(file.open(path));
    char bytes[8] = {};
    EXPECT_EQ(file.readAt(6, bytes, sizeof bytes), 4u);  // fewer at the end
    EXPECT_EQ(std::string(bytes, 4), "6789");
    EXPECT_EQ(file.readAt(1, bytes, 2), 2u);
    EXPECT_EQ(std::string(bytes, 2), "12");
    EXPECT_EQ(file.readAt(20, bytes, sizeof bytes), 0u);
    // A camera still writing the file: the open file is no obstacle, and the size follows.
    std::ofstream(pathFromUtf8(path), std::ios::binary | std::ios::app) << "ab";
    EXPECT_EQ(file.size(), 12u);
    EXPECT_EQ(file.readAt(10, bytes, sizeof bytes), 2u);

    std::string reason;
    EXPECT_FALSE(file.open(utf8FromPath(dir_), &reason));
    EXPECT_EQ(reason, "it is a folder");
    EXPECT_FALSE(file.open(at("gone.krm"), &reason));
    EXPECT_EQ(reason, "No such file or directory");
    EXPECT_FALSE(file.isOpen());
}

TEST_F(FileTest, AReplacementAppearsOnlyWholeAndOnlyWhereItMay) {
    const std::string target = at("快照.bmp");
    auto replace = [&](const std::string& text, bool force) {
        FileReplacement file;
        EXPECT_TRUE(file.create(target, "snapshot-"));
        EXPECT_TRUE(file.write(text.data(), text.size()));
        EXPECT_EQ(entries(), fs::exists(pathFromUtf8(target)) ? 2u : 1u);  // only the temporary
        return file.commit(force);
    };
    EXPECT_EQ(replace("first", false), FileReplacement::Outcome::Done);
    EXPECT_EQ(replace("second", false), FileReplacement::Outcome::TargetExists);
    EXPECT_EQ(contents(target), "first");
    EXPECT_EQ(replace("third", true), FileReplacement::Outcome::Done);
    EXPECT_EQ(contents(target), "third");
    {
        FileReplacement abandoned;
        ASSERT_TRUE(abandoned.create(target, "snapshot-"));
    }
    EXPECT_EQ(entries(), 1u);  // no temporary file left by any of them

    std::string reason;
    FileReplacement nowhere;
    EXPECT_FALSE(nowhere.create(at("no folder/x.png"), "snapshot-", &reason));
    EXPECT_EQ(reason, "No such file or directory");
}

}  // namespace
}  // namespace vidora
