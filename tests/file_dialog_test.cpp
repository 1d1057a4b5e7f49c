// The file and entry dialogs against a fake dialog program: a script that records how it was
// started and answers as the test tells it to.

#include "platform/file_dialog.h"
#include "platform/entry_dialog.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace vidora {
namespace {

namespace fs = std::filesystem;

// Records its arguments and NO_AT_BRIDGE, waits (ten seconds at most) for FAKE_WAIT_FOR to exist
// when it is set, then prints FAKE_ANSWER and exits with FAKE_EXIT.
constexpr const char* kFakeChooser = R"(#!/bin/sh
printf '%s\n' "$@" "NO_AT_BRIDGE=$NO_AT_BRIDGE" > "$FAKE_DIR/args"
i=0
while [ -n "$FAKE_WAIT_FOR" ] && [ ! -e "$FAKE_WAIT_FOR" ]; do
    i=$((i + 1)); [ $i -gt 1000 ] && exit 3; sleep 0.01
done
[ "$FAKE_EXIT" = killed ] && kill -9 $$
printf '%s' "$FAKE_ANSWER"
exit "$FAKE_EXIT"
)";

const FileDialogRequest kOpen{"选择文件对话框", "KRM Files", "*.krm", false, 0, {}};
const FileDialogRequest kSave{"保存图片对话框",        "BMP Files", "*.bmp", true, 0x4a00007,
                              {{"PNG Files", "*.png"}}};

class FileDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir);
        std::ofstream(dir / "chooser") << kFakeChooser;
        fs::permissions(dir / "chooser", fs::perms::owner_all);
        std::ofstream(clip) << "x";
        std::ofstream(odd) << "x";
        setenv("VIDORA_FILE_DIALOG", (dir / "chooser").c_str(), 1);
        setenv("FAKE_DIR", dir.c_str(), 1);
        setenv("NO_AT_BRIDGE", "0", 1);
        setenv("FAKE_EXIT", "0", 1);
        unsetenv("FAKE_WAIT_FOR");
    }
    void TearDown() override {
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a chooser left unreaped";
        EXPECT_EQ(errno, ECHILD);
        fs::remove_all(dir);
    }
    std::string seenArguments() const {
        std::ifstream in(dir / "args");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::optional<std::string> run(const FileDialogRequest& request, const std::string& answer,
                                   const char* exitCode = "0") {
        setenv("FAKE_ANSWER", answer.c_str(), 1);
        setenv("FAKE_EXIT", exitCode, 1);
        return runFileDialog(request, [] {});
    }
    const fs::path dir = fs::temp_directory_path() / ("vidora-dialog-" + std::to_string(getpid()));
    const std::string clip = (dir / "clip.krm").string();
    const std::string odd = (dir / " -片 'a\"$(b)\\.krm").string();  // spaces, quotes, dash
};

TEST_F(FileDialogTest, AnswerCountsOnlyWhenItMeetsTheRequestsRule) {
    EXPECT_EQ(run(kOpen, clip + "\n"), clip);
    EXPECT_EQ(run(kOpen, clip), clip);  // no newline: nothing cut off
    EXPECT_EQ(run(kOpen, odd + "\n"), odd);
    for (const char* failed : {"1", "5", "killed"}) {  // cancelled, the chooser's error, killed
        EXPECT_EQ(run(kOpen, clip + "\n", failed), std::nullopt) << failed;
    }
    for (const fs::path& path : {dir / "missing.krm", dir, fs::path()}) {
        EXPECT_EQ(run(kOpen, path.string() + "\n"), std::nullopt) << path;
    }
    const std::string shot = (dir / "shot.bmp").string();
    EXPECT_EQ(run(kSave, shot + "\n"), shot);  // need not exist
    EXPECT_EQ(run(kSave, clip + "\n"), clip);  // may: the chooser asked before replacing it
    EXPECT_EQ(run(kSave, "/shot.bmp\n"), "/shot.bmp");
    for (const std::string& bad : {(dir / "no-folder/shot.bmp").string(), dir.string() + "/"}) {
        EXPECT_EQ(run(kSave, bad + "\n"), std::nullopt) << bad;
    }
    EXPECT_EQ(run(kSave, dir.string() + "\n"), std::nullopt);
    setenv("VIDORA_FILE_DIALOG", (dir / "not-installed").c_str(), 1);
    EXPECT_EQ(run(kOpen, clip + "\n"), std::nullopt);
}

TEST_F(FileDialogTest, ChooserGetsItsArgumentsAndNoAccessibilityBridge) {
    auto seen = [this] { return seenArguments(); };
    run(kOpen, "", "1");
    EXPECT_EQ(seen(),
              "--file-selection\n--title=选择文件对话框\n--file-filter=KRM Files | *.krm\n"
              "NO_AT_BRIDGE=1\n");
    run(kSave, "", "1");  // with an owner window, which the dialog is attached to
    EXPECT_EQ(seen(),
              "--file-selection\n--save\n--confirm-overwrite\n--attach=77594631\n"
              "--title=保存图片对话框\n--file-filter=BMP Files | *.bmp\n"
              "--file-filter=PNG Files | *.png\nNO_AT_BRIDGE=1\n");
}

TEST_F(FileDialogTest, CallerKeepsRunningWhileTheChooserIsOpen) {
    // The chooser answers only once the third callback has made the marker.
    const std::string marker = (dir / "painted").string();
    setenv("FAKE_WAIT_FOR", marker.c_str(), 1);
    setenv("FAKE_ANSWER", clip.c_str(), 1);
    int calls = 0;
    auto paint = [&] {
        if (++calls == 3) {
            std::ofstream(marker) << "";
        }
    };
    EXPECT_EQ(runFileDialog(kOpen, paint), clip);
}

TEST_F(FileDialogTest, EntryDialogReturnsTheTypedLine) {
    const EntryDialogRequest jump{"跳转", "输入时间_例如 2015.06.01 12:31:00 或 +1:30\\", "12:31",
                                  0x4a00007};
    auto typed = [&](const std::string& answer, const char* exitCode) {
        setenv("FAKE_ANSWER", answer.c_str(), 1);
        setenv("FAKE_EXIT", exitCode, 1);
        return runEntryDialog(jump, [] {});
    };
    EXPECT_EQ(typed("2015.06.01 12:31:00\n", "0"), "2015.06.01 12:31:00");
    // The prompt's mnemonic mark and escape character are doubled so that they show as typed.
    EXPECT_EQ(seenArguments(),
              "--entry\n--attach=77594631\n--title=跳转\n"
              "--text=输入时间__例如 2015.06.01 12:31:00 或 +1:30\\\\\n--entry-text=12:31\n"
              "NO_AT_BRIDGE=1\n");
    EXPECT_EQ(typed("录像 第二段\n", "0"), "录像 第二段");
    EXPECT_EQ(typed("\n", "0"), "");  // confirmed empty: the caller decides
    EXPECT_EQ(typed("12:31\n", "1"), std::nullopt);
    EXPECT_EQ(typed("12:31\n", "killed"), std::nullopt);
}

}  // namespace
}  // namespace vidora
