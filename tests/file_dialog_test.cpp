// The file dialog against a fake chooser: a shell script that records how it was started and
// answers as the test tells it to, in place of the desktop's chooser.

#include "platform/file_dialog.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace vidora {
namespace {

// Records its arguments and NO_AT_BRIDGE one per line, optionally waits for a marker file (and
// gives up after about ten seconds), then prints FAKE_ANSWER and exits with FAKE_EXIT.
constexpr const char* kFakeChooser = R"(#!/bin/sh
printf '%s\n' "$@" "NO_AT_BRIDGE=$NO_AT_BRIDGE" > "$FAKE_DIR/args"
i=0
while [ -n "$FAKE_WAIT_FOR" ] && [ ! -e "$FAKE_WAIT_FOR" ]; do
    i=$((i + 1)); [ $i -gt 1000 ] && exit 3; sleep 0.01
done
[ -n "$FAKE_KILL_SELF" ] && kill -9 $$
printf '%s' "$FAKE_ANSWER"
exit "$FAKE_EXIT"
)";

const FileDialogRequest kOpen{"选择文件对话框", "KRM Files", "*.krm", false};
const FileDialogRequest kSave{"保存图片对话框", "BMP Files", "*.bmp", true};

class FileDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vidora-file-dialog-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::ofstream(dir_ / "chooser") << kFakeChooser;
        fs::permissions(dir_ / "chooser", fs::perms::owner_all);
        std::ofstream(dir_ / "clip.krm") << "x";
        setenv("VIDORA_FILE_DIALOG", (dir_ / "chooser").c_str(), 1);
        setenv("FAKE_DIR", dir_.c_str(), 1);
        unsetenv("FAKE_WAIT_FOR");
        unsetenv("FAKE_KILL_SELF");
    }
    void TearDown() override {
        // Every chooser has been reaped: no zombie is left behind.
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // Runs the dialog with the fake answering `text` and exiting with `exitCode`.
    static std::optional<std::string> run(const FileDialogRequest& request, const std::string& text,
                                          int exitCode = 0) {
        setenv("FAKE_ANSWER", text.c_str(), 1);
        setenv("FAKE_EXIT", std::to_string(exitCode).c_str(), 1);
        return runFileDialog(request, [] {});
    }
    std::vector<std::string> argumentsSeen() const {
        std::ifstream in(dir_ / "args");
        std::vector<std::string> args;
        for (std::string line; std::getline(in, line);) {
            args.push_back(line);
        }
        return args;
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

TEST_F(FileDialogTest, OpenAcceptsOnlyAnExistingRegularFile) {
    EXPECT_EQ(run(kOpen, path("clip.krm") + "\n"), path("clip.krm"));
    EXPECT_EQ(run(kOpen, path("clip.krm")), path("clip.krm"));  // no newline: nothing lost
    EXPECT_EQ(run(kOpen, path("missing.krm") + "\n"), std::nullopt);
    EXPECT_EQ(run(kOpen, dir_.string() + "\n"), std::nullopt);
    EXPECT_EQ(run(kOpen, "\n"), std::nullopt);
}

TEST_F(FileDialogTest, SaveNeedsAnExistingFolderButNotAnExistingFile) {
    EXPECT_EQ(run(kSave, path("shot.bmp") + "\n"), path("shot.bmp"));
    EXPECT_EQ(run(kSave, path("clip.krm") + "\n"), path("clip.krm"));  // overwritten later
    EXPECT_EQ(run(kSave, "/shot.bmp\n"), "/shot.bmp");
    EXPECT_EQ(run(kSave, path("no-such-folder/shot.bmp") + "\n"), std::nullopt);
    EXPECT_EQ(run(kSave, dir_.string() + "/\n"), std::nullopt);  // a folder is no file name
    EXPECT_EQ(run(kSave, dir_.string() + "\n"), std::nullopt);
}

TEST_F(FileDialogTest, CancelledFailedOrMissingChooserGivesNothing) {
    EXPECT_EQ(run(kOpen, path("clip.krm") + "\n", 1), std::nullopt);  // Cancel
    EXPECT_EQ(run(kOpen, path("clip.krm") + "\n", 5), std::nullopt);  // its own error
    setenv("FAKE_KILL_SELF", "1", 1);
    EXPECT_EQ(run(kOpen, path("clip.krm") + "\n"), std::nullopt);
    setenv("VIDORA_FILE_DIALOG", path("not-installed").c_str(), 1);
    EXPECT_EQ(run(kOpen, path("clip.krm") + "\n"), std::nullopt);
}

TEST_F(FileDialogTest, ChooserGetsTitleFilterSaveFlagsOwnerAndNoAccessibilityBridge) {
    setenv("NO_AT_BRIDGE", "0", 1);
    run(kOpen, "", 1);
    EXPECT_EQ(argumentsSeen(),
              (std::vector<std::string>{"--file-selection", "--title=选择文件对话框",
                                        "--file-filter=KRM Files | *.krm", "NO_AT_BRIDGE=1"}));
    // A save dialog asks before replacing a file; a dialog with an owner belongs to its window.
    FileDialogRequest save = kSave;
    save.owner = 0x4a00007;
    run(save, "", 1);
    EXPECT_EQ(argumentsSeen(),
              (std::vector<std::string>{"--file-selection", "--save", "--confirm-overwrite",
                                        "--attach=77594631", "--title=保存图片对话框",
                                        "--file-filter=BMP Files | *.bmp", "NO_AT_BRIDGE=1"}));
    unsetenv("NO_AT_BRIDGE");
}

TEST_F(FileDialogTest, CallerKeepsRunningWhileTheChooserIsOpen) {
    // The fake answers only after the caller's callback has created the marker, so a dialog
    // that blocked on the chooser without calling back would see it give up (exit 3).
    const std::string marker = path("painted");
    setenv("FAKE_WAIT_FOR", marker.c_str(), 1);
    setenv("FAKE_ANSWER", (path("clip.krm") + "\n").c_str(), 1);
    setenv("FAKE_EXIT", "0", 1);
    int calls = 0;
    auto result = runFileDialog(kOpen, [&] {
        if (++calls == 3) {
            std::ofstream(marker) << "";
        }
    });
    EXPECT_EQ(result, path("clip.krm"));
    EXPECT_GE(calls, 3);
}

}  // namespace
}  // namespace vidora
