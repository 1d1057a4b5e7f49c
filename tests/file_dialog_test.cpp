// The file dialog against a fake chooser: a shell script that records how it was started and
// answers as the test tells it to, in place of the desktop's chooser.

#include "platform/file_dialog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace vidora {
namespace {

// Records its arguments (NUL-separated) and NO_AT_BRIDGE, optionally waits for a marker file,
// then prints FAKE_ANSWER and exits with FAKE_EXIT.
constexpr const char* kFakeChooser = R"(#!/bin/sh
printf '%s\0' "$@" > "$FAKE_DIR/args"
printf '%s' "$NO_AT_BRIDGE" > "$FAKE_DIR/no_at_bridge"
if [ -n "$FAKE_WAIT_FOR" ]; then
    i=0
    while [ ! -e "$FAKE_WAIT_FOR" ]; do
        i=$((i + 1))
        [ $i -gt 1000 ] && exit 3
        sleep 0.01
    done
fi
[ -n "$FAKE_KILL_SELF" ] && kill -9 $$
printf '%s' "$FAKE_ANSWER"
exit "${FAKE_EXIT:-0}"
)";

class FileDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vidora-file-dialog-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        chooser_ = dir_ / "fake-chooser";
        std::ofstream(chooser_) << kFakeChooser;
        fs::permissions(chooser_, fs::perms::owner_all);
        setenv("VIDORA_FILE_DIALOG", chooser_.c_str(), 1);
        setenv("FAKE_DIR", dir_.c_str(), 1);
        unsetenv("FAKE_WAIT_FOR");
        unsetenv("FAKE_KILL_SELF");
        setenv("FAKE_EXIT", "0", 1);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    static void answer(const std::string& text, int exitCode = 0) {
        setenv("FAKE_ANSWER", text.c_str(), 1);
        setenv("FAKE_EXIT", std::to_string(exitCode).c_str(), 1);
    }
    std::string makeFile(const std::string& name) {
        fs::path p = dir_ / name;
        std::ofstream(p) << "x";
        return p.string();
    }
    std::vector<std::string> argumentsSeen() const {
        std::ifstream in(dir_ / "args", std::ios::binary);
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::string> args;
        std::size_t start = 0;
        for (std::size_t end; (end = all.find('\0', start)) != std::string::npos; start = end + 1) {
            args.push_back(all.substr(start, end - start));
        }
        return args;
    }
    static bool noChildLeft() {
        int status = 0;
        return waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
    }

    static FileDialogRequest openRequest() {
        return {"选择文件对话框", "KRM Files", "*.krm", false};
    }
    static FileDialogRequest saveRequest() {
        return {"保存图片对话框", "BMP Files", "*.bmp", true};
    }
    static std::optional<std::string> run(const FileDialogRequest& request) {
        return runFileDialog(request, [] {});
    }

    fs::path dir_;
    fs::path chooser_;
};

TEST_F(FileDialogTest, OpenReturnsAnExistingFileWithTheTrailingNewlineStripped) {
    std::string file = makeFile("clip.krm");
    answer(file + "\n");
    EXPECT_EQ(run(openRequest()), file);
    // A chooser that ends its answer without a newline loses nothing.
    answer(file);
    EXPECT_EQ(run(openRequest()), file);
    // Only one newline is the terminator; a name with spaces survives whole.
    std::string spaced = makeFile("my clip .krm");
    answer(spaced + "\n");
    EXPECT_EQ(run(openRequest()), spaced);
    EXPECT_TRUE(noChildLeft());
}

TEST_F(FileDialogTest, OpenRejectsWhatIsNotAnExistingRegularFile) {
    answer((dir_ / "missing.krm").string() + "\n");
    EXPECT_EQ(run(openRequest()), std::nullopt);
    answer(dir_.string() + "\n");
    EXPECT_EQ(run(openRequest()), std::nullopt);
    answer("\n");
    EXPECT_EQ(run(openRequest()), std::nullopt);
    EXPECT_TRUE(noChildLeft());
}

TEST_F(FileDialogTest, SaveNeedsAnExistingFolderButNotAnExistingFile) {
    std::string fresh = (dir_ / "shot.bmp").string();
    answer(fresh + "\n");
    EXPECT_EQ(run(saveRequest()), fresh);

    std::string existing = makeFile("old.bmp");
    answer(existing + "\n");
    EXPECT_EQ(run(saveRequest()), existing);

    answer((dir_ / "no-such-folder" / "shot.bmp").string() + "\n");
    EXPECT_EQ(run(saveRequest()), std::nullopt);

    // A folder is no name to write to.
    answer(dir_.string() + "/\n");
    EXPECT_EQ(run(saveRequest()), std::nullopt);
    answer(dir_.string() + "\n");
    EXPECT_EQ(run(saveRequest()), std::nullopt);

    answer("/shot.bmp\n");
    EXPECT_EQ(run(saveRequest()), "/shot.bmp");
    EXPECT_TRUE(noChildLeft());
}

TEST_F(FileDialogTest, CancelledOrFailedChooserGivesNothing) {
    std::string file = makeFile("clip.krm");
    answer(file + "\n", 1);  // cancel
    EXPECT_EQ(run(openRequest()), std::nullopt);
    answer(file + "\n", 5);  // the chooser's own error
    EXPECT_EQ(run(openRequest()), std::nullopt);
    answer(file + "\n", 0);
    setenv("FAKE_KILL_SELF", "1", 1);
    EXPECT_EQ(run(openRequest()), std::nullopt);
    EXPECT_TRUE(noChildLeft());
}

TEST_F(FileDialogTest, MissingChooserProgramGivesNothing) {
    setenv("VIDORA_FILE_DIALOG", (dir_ / "not-installed").c_str(), 1);
    int calls = 0;
    EXPECT_EQ(runFileDialog(openRequest(), [&] { ++calls; }), std::nullopt);
    EXPECT_TRUE(noChildLeft());
}

TEST_F(FileDialogTest, ChooserGetsTitleFilterSaveFlagAndNoAccessibilityBridge) {
    setenv("NO_AT_BRIDGE", "0", 1);
    answer("", 1);
    run(openRequest());
    EXPECT_EQ(argumentsSeen(),
              (std::vector<std::string>{"--file-selection", "--title=选择文件对话框",
                                        "--file-filter=KRM Files | *.krm"}));
    std::ifstream bridge(dir_ / "no_at_bridge");
    std::string value;
    std::getline(bridge, value);
    EXPECT_EQ(value, "1");

    run(saveRequest());
    EXPECT_EQ(argumentsSeen(),
              (std::vector<std::string>{"--file-selection", "--save", "--title=保存图片对话框",
                                        "--file-filter=BMP Files | *.bmp"}));
    unsetenv("NO_AT_BRIDGE");
}

TEST_F(FileDialogTest, CallerKeepsRunningWhileTheChooserIsOpen) {
    // The fake answers only after the caller's callback has created the marker, so a dialog
    // that blocked on the chooser without calling back would see it give up (exit 3).
    fs::path marker = dir_ / "painted";
    setenv("FAKE_WAIT_FOR", marker.c_str(), 1);
    std::string file = makeFile("clip.krm");
    answer(file + "\n");
    int calls = 0;
    auto result = runFileDialog(openRequest(), [&] {
        if (++calls == 3) {
            std::ofstream(marker) << "";
        }
    });
    EXPECT_EQ(result, file);
    EXPECT_GE(calls, 3);
    EXPECT_TRUE(noChildLeft());
}

}  // namespace
}  // namespace vidora
