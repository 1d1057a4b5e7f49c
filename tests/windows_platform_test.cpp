// The Windows platform layer (under wine or on Windows): bitmaps of every kind GDI decodes and
// damaged ones it must refuse, what the window shows where its colour key is, the window's
// messages as the program's events, and the program's own dialogs driven from another thread
// while the window keeps being served. The window and dialog tests need a display.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "platform/entry_dialog.h"
#include "platform/events.h"
#include "platform/file_dialog.h"
#include "platform/surface.h"
#include "platform/window.h"
#include "platform/windows/win32_internal.h"

#include <shlobj.h>

namespace vidora {
namespace {

// --- Bitmaps ------------------------------------------------------------------------------------

// A BMP file: the 40-byte info header, `table` (palette or masks), then `bits`.
std::vector<unsigned char> bmpFile(int32_t w, int32_t h, uint16_t bpp, uint32_t compression,
                                   const std::vector<uint8_t>& table,
                                   const std::vector<uint8_t>& bits, uint32_t colours = 0) {
    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = w;
    info.biHeight = h;
    info.biPlanes = 1;
    info.biBitCount = bpp;
    info.biCompression = compression;
    info.biSizeImage = static_cast<DWORD>(bits.size());
    info.biClrUsed = colours;
    const uint32_t offset = 14 + sizeof info + static_cast<uint32_t>(table.size());
    const uint32_t size = offset + static_cast<uint32_t>(bits.size());
    std::vector<unsigned char> file(size);
    file[0] = 'B';
    file[1] = 'M';
    std::memcpy(&file[2], &size, 4);
    std::memcpy(&file[10], &offset, 4);
    std::memcpy(&file[14], &info, sizeof info);
    std::copy(table.begin(), table.end(), file.begin() + 14 + sizeof info);
    std::copy(bits.begin(), bits.end(), file.begin() + offset);
    return file;
}

// Palette entries are blue, green, red, 0.
const std::vector<uint8_t> kTwoColours = {0x30, 0x20, 0x10, 0, 0xCC, 0xBB, 0xAA, 0};

TEST(WindowsBitmaps, EveryDepthAndRowOrderDecodesUpright) {
    struct Case {
        const char* what;
        std::vector<unsigned char> file;
        std::vector<uint32_t> want;  // 3 × 2, top row first
    };
    const Case cases[] = {
        {"24-bit, bottom-up, padded rows",
         bmpFile(3, 2, 24, BI_RGB, {},
                 {4,    5,    6,    7,    8,    9,    1,    2,    3,    0, 0, 0,  // bottom row
                  0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0, 0, 0}),
         {0x332211, 0x665544, 0x998877, 0x060504, 0x090807, 0x030201}},
        {"32-bit, top-down, alpha ignored",
         bmpFile(3, -2, 32, BI_RGB, {}, {1,  2,  3,  0xFF, 4,  5,  6,  0x80, 7,  8,  9,  0,
                                         10, 11, 12, 1,    13, 14, 15, 2,    16, 17, 18, 3}),
         {0x030201, 0x060504, 0x090807, 0x0C0B0A, 0x0F0E0D, 0x121110}},
        {"8-bit palette",
         bmpFile(3, 2, 8, BI_RGB, kTwoColours, {1, 0, 1, 0, 0, 1, 0, 0}, 2),
         {0x102030, 0xAABBCC, 0x102030, 0xAABBCC, 0x102030, 0xAABBCC}},
        {"1-bit",
         bmpFile(3, 2, 1, BI_RGB, kTwoColours, {0xA0, 0, 0, 0, 0x40, 0, 0, 0}),
         {0x102030, 0xAABBCC, 0x102030, 0xAABBCC, 0x102030, 0xAABBCC}},
        {"8-bit run-length",
         bmpFile(3, 2, 8, BI_RLE8, kTwoColours, {3, 1, 0, 0, 1, 0, 2, 1, 0, 1}, 2),
         {0x102030, 0xAABBCC, 0xAABBCC, 0xAABBCC, 0xAABBCC, 0xAABBCC}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Surface s = Surface::fromBmp(c.file.data(), c.file.size());
        ASSERT_TRUE(s.valid());
        ASSERT_EQ(s.width(), 3);
        ASSERT_EQ(s.height(), 2);
        for (int32_t i = 0; i < 6; ++i) {
            EXPECT_EQ(s.pixel(i % 3, i / 3), c.want[i]) << "pixel " << i % 3 << "," << i / 3;
        }
    }
}

TEST(WindowsBitmaps, DamagedFilesAreRefusedWithoutReadingPastTheirEnd) {
    const std::vector<unsigned char> good =
        bmpFile(3, 2, 24, BI_RGB, {}, std::vector<uint8_t>(24, 0x55));
    auto with = [&good](std::size_t at, uint32_t value) {
        std::vector<unsigned char> bad = good;
        std::memcpy(&bad[at], &value, 4);
        return bad;
    };
    std::vector<unsigned char> truncated = good;
    truncated.pop_back();
    const std::vector<std::vector<unsigned char>> damaged = {
        truncated,
        with(10, 0xFFFFFF00),  // pixels beyond the end
        with(14, 0x7FFFFFFF),  // header longer than the file
        with(18, 0),           // no width
        with(22, 0x40000000),  // rows that cannot be there
        with(18, 0x40000000),  // so wide the surface could not be made
        with(30, 4),           // an embedded JPEG
        bmpFile(3, 2, 8, BI_RGB, kTwoColours, std::vector<uint8_t>(8), 1 << 24),  // palette
        bmpFile(3, 2, 8, BI_RGB, kTwoColours, {}, 2),  // a palette and no pixels
    };
    for (std::size_t i = 0; i < damaged.size(); ++i) {
        // Exactly as large as the file, so that a read past its end touches no other bytes.
        std::vector<unsigned char> copy(damaged[i]);
        EXPECT_FALSE(Surface::fromBmp(copy.data(), copy.size()).valid()) << "case " << i;
    }
    EXPECT_TRUE(Surface::fromBmp(good.data(), good.size()).valid());
}

// --- The window ---------------------------------------------------------------------------------

class WindowsWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(initEvents());
        window = Window::create("Vidora");
        if (window == nullptr) {
            GTEST_SKIP() << "no display";
        }
        hwnd = static_cast<HWND>(window->nativeHandle());
    }
    // The events that arrive within `ms`.
    std::vector<InputEvent> drain(int32_t ms = 200) {
        std::vector<InputEvent> events;
        InputEvent e;
        for (uint64_t end = monotonicMilliseconds() + ms; monotonicMilliseconds() < end;) {
            if (waitEvent(e, 10) && e.kind != InputEvent::Kind::Expose) {
                events.push_back(e);
            }
        }
        return events;
    }
    std::unique_ptr<Window> window;
    HWND hwnd = nullptr;
};

// The shape's pure-red pixels are see-through whatever is presented there; a pure-red pixel of
// the picture elsewhere is shown a step darker so that the key cannot punch a hole into it.
TEST_F(WindowsWindowTest, TheShapeAloneDecidesWhereTheKeyColourIs) {
    Surface shape(40, 20);
    shape.fill({0, 0, 4, 2}, rgb(255, 0, 0));
    Surface picture(40, 20);
    picture.fill({0, 0, 40, 20}, rgb(10, 20, 30));
    picture.fill({20, 10, 22, 12}, rgb(255, 0, 0));
    window->place(50, 60, 40, 20, &shape);
    window->present(picture);
    drain(300);
    auto keyOf = [this] {
        COLORREF key = 0;
        DWORD flags = 0;
        GetLayeredWindowAttributes(hwnd, &key, nullptr, &flags);
        return (flags & LWA_COLORKEY) != 0 ? key : CLR_INVALID;
    };
    EXPECT_EQ(keyOf(), RGB(255, 0, 0));
    HDC dc = GetDC(hwnd);
    auto shown = [dc](int x, int y) { return GetPixel(dc, x, y); };
    EXPECT_EQ(shown(0, 0), RGB(255, 0, 0));
    EXPECT_EQ(shown(3, 1), RGB(255, 0, 0));
    EXPECT_EQ(shown(4, 0), RGB(10, 20, 30));
    EXPECT_EQ(shown(21, 11), RGB(254, 0, 0));
    // A part presented leaves the rest as it was; a repaint shows the same.
    Surface other(40, 20);
    other.fill({0, 0, 40, 20}, rgb(200, 100, 50));
    window->presentArea(other, {0, 0, 10, 10});
    InvalidateRect(hwnd, nullptr, FALSE);
    drain(300);
    EXPECT_EQ(shown(1, 1), RGB(255, 0, 0));
    EXPECT_EQ(shown(9, 9), RGB(200, 100, 50));
    EXPECT_EQ(shown(10, 10), RGB(10, 20, 30));
    // Without a key pixel the window takes no key at all: pure red is shown as it is.
    window->place(50, 60, 40, 20, nullptr);
    window->present(picture);
    drain(300);
    EXPECT_EQ(keyOf(), CLR_INVALID);
    EXPECT_EQ(shown(21, 11), RGB(255, 0, 0));
    ReleaseDC(hwnd, dc);
    EXPECT_EQ(window->position(), (Point{50, 60}));
}

// A file list as the shell hands it over on a drop: DROPFILES, then wide names, each ended by a
// null, the list by a second one.
HGLOBAL droppedFiles(const std::wstring& name) {
    const std::size_t bytes = sizeof(DROPFILES) + (name.size() + 2) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GHND, bytes);
    auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    std::memcpy(reinterpret_cast<char*>(drop) + sizeof(DROPFILES), name.c_str(),
                name.size() * sizeof(wchar_t));
    GlobalUnlock(memory);
    return memory;
}

TEST_F(WindowsWindowTest, MessagesBecomeTheEventsTheSkinIsWrittenFor) {
    window->place(0, 0, 40, 20, nullptr);
    drain();
    using K = InputEvent::Kind;
    struct Row {
        UINT message;
        WPARAM w;
        LPARAM l;
        K kind;
        int32_t value;  // key, clicks or notches
    };
    constexpr LPARAM kAlt = 1 << 29, kRepeat = 1 << 30;
    const Row rows[] = {
        {WM_KEYDOWN, VK_F2, 0, K::Key, kKeyF2},
        {WM_KEYDOWN, VK_OEM_COMMA, 0, K::Key, kKeyComma},
        {WM_SYSKEYDOWN, VK_F4, kAlt, K::CloseRequest, 0},
        {WM_SYSKEYDOWN, VK_F4, kAlt | kRepeat, K::Expose, 0},  // held: closes once
        {WM_SYSKEYDOWN, VK_F10, 0, K::Expose, 0},              // a system key: never seen
        {WM_LBUTTONDOWN, 0, MAKELPARAM(5, -3), K::LeftPress, 1},
        {WM_LBUTTONDBLCLK, 0, MAKELPARAM(5, 3), K::LeftPress, 2},
        {WM_MOUSEWHEEL, MAKEWPARAM(0, 60), 0, K::Expose, 0},  // half a notch: not yet
        {WM_MOUSEWHEEL, MAKEWPARAM(0, 60), 0, K::Wheel, 1},
        {WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-240)), 0, K::Wheel, -2},
        {WM_CLOSE, 0, 0, K::CloseRequest, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message()
                     << "message " << std::hex << row.message << " " << row.w << " " << row.l);
        PostMessageW(hwnd, row.message, row.w, row.l);
        const std::vector<InputEvent> got = drain(100);
        if (row.kind == K::Expose) {
            EXPECT_TRUE(got.empty());
            continue;
        }
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].kind, row.kind);
        const int32_t value = row.kind == K::Key         ? got[0].key
                              : row.kind == K::LeftPress ? got[0].clicks
                              : row.kind == K::Wheel     ? got[0].wheel
                                                         : 0;
        EXPECT_EQ(value, row.value);
        if (row.kind == K::LeftPress) {
            EXPECT_EQ(got[0].y, row.message == WM_LBUTTONDOWN ? -3 : 3);
        }
    }
    // The program's own messages, from another thread; two pictures waiting make one event.
    std::thread([] {
        postPictureReady();
        postPictureReady();
        postCloseMessage();
    }).join();
    const std::wstring name = L"C:\\\u5F55\u50CF\\\u6F14\u793A.krm";  // C:\录像\演示.krm
    PostMessageW(hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(droppedFiles(name)), 0);
    const std::vector<InputEvent> got = drain();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].kind, K::PictureReady);
    EXPECT_EQ(got[1].kind, K::Close);
    EXPECT_EQ(got[2].kind, K::FileDropped);
    EXPECT_EQ(got[2].path, "C:\\\xE5\xBD\x95\xE5\x83\x8F\\\xE6\xBC\x94\xE7\xA4\xBA.krm");
}

// --- The dialogs --------------------------------------------------------------------------------

// Finds the top-level dialog with this title within a few seconds, then lets `answer` work it.
std::thread answerDialog(const wchar_t* title, std::function<void(HWND)> answer) {
    return std::thread([title, answer] {
        HWND dialog = nullptr;
        for (int i = 0; i < 250 && dialog == nullptr; ++i) {
            Sleep(20);
            dialog = FindWindowW(L"#32770", title);
        }
        if (dialog != nullptr) {
            Sleep(100);  // until it has set its controls up
            answer(dialog);
        }
    });
}

// While a dialog is open the window is still served: the callback runs, and a picture posted
// meanwhile reaches the loop through it rather than waiting for the dialog to close.
class ModalServing {
  public:
    std::function<void()> callback() {
        return [this] {
            ++calls;
            InputEvent e;
            while (waitEvent(e, 0)) {
                sawPicture = sawPicture || e.kind == InputEvent::Kind::PictureReady;
            }
        };
    }
    // Until the callback has run `n` more times than when called, or 5 s; from the answering
    // thread, so that a dialog is not closed before the window could have been served.
    void waitForCalls(int n) const {
        const int until = calls.load() + n;
        for (int i = 0; i < 250 && calls.load() < until; ++i) {
            Sleep(20);
        }
    }
    std::atomic<int> calls{0};
    bool sawPicture = false;
};

TEST_F(WindowsWindowTest, TheEntryDialogGivesWhatWasTypedAndNothingWhenCancelled) {
    window->place(0, 0, 40, 20, nullptr);
    drain();
    const wchar_t* title = L"\u8F6C\u5230\u65F6\u95F4";  // 转到时间
    const EntryDialogRequest request{"\xE8\xBD\xAC\xE5\x88\xB0\xE6\x97\xB6\xE9\x97\xB4",
                                     "Time:", "12:00:00", window->systemId()};
    ModalServing serving;
    std::thread answer = answerDialog(title, [&serving](HWND dialog) {
        postPictureReady();
        serving.waitForCalls(2);
        HWND edit = FindWindowExW(dialog, nullptr, L"Edit", nullptr);
        wchar_t initial[32] = {};
        GetWindowTextW(edit, initial, 32);
        // What the user would have typed over the initial text, which must have been there.
        SetWindowTextW(edit, wcscmp(initial, L"12:00:00") == 0 ? L"+1:30 \u6D4B" : L"wrong");
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    });
    const std::optional<std::string> typed = runEntryDialog(request, serving.callback());
    answer.join();
    EXPECT_EQ(typed, std::optional<std::string>("+1:30 \xE6\xB5\x8B"));
    EXPECT_GT(serving.calls, 0);
    EXPECT_TRUE(serving.sawPicture);

    answer =
        answerDialog(title, [](HWND dialog) { PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0); });
    EXPECT_EQ(runEntryDialog(request, [] {}), std::nullopt);
    answer.join();
}

TEST_F(WindowsWindowTest, TheFileDialogOpensAFileInAFolderNamedInChinese) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / L"vidora \u5F55\u50CF";  // 录像
    fs::create_directories(folder);
    const fs::path file = folder / L"\u6F14\u793A.krm";  // 演示.krm
    std::ofstream(file) << "x";
    const std::wstring path = file.wstring();
    const wchar_t* title = L"\u9009\u62E9\u6587\u4EF6\u5BF9\u8BDD\u6846";  // 选择文件对话框
    FileDialogRequest request{win32::utf8FromWide(title), "KRM Files", "*.krm", false,
                              window->systemId(),         {}};
    ModalServing serving;
    std::thread answer = answerDialog(title, [&path, &serving](HWND dialog) {
        serving.waitForCalls(1);
        SetDlgItemTextW(dialog, 0x47C, path.c_str());  // the file name box
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    });
    const std::optional<std::string> chosen = runFileDialog(request, serving.callback());
    answer.join();
    EXPECT_EQ(chosen, std::optional<std::string>(win32::utf8FromWide(path)));
    EXPECT_GT(serving.calls, 0);
    fs::remove_all(folder);
}

}  // namespace
}  // namespace vidora
