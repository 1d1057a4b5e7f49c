// The skin without a window: what presses and keys do in each display mode, what a paint
// composes, and snapshots of the video area.

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/playback_engine.h"
#include "platform/events.h"
#include "skin/skin_window.h"
#include "support/recording_bytes.h"
#include "support/wait_for.h"

namespace vidora {
namespace {

namespace fs = std::filesystem;

const std::string kDemo = VIDORA_SOURCE_DIR "/samples/demo.krm";

class Skin : public ::testing::Test {
  protected:
    Skin() : skin(engine) {
        skin.setDesktopSource([this] { return desktop; });
        skin.setSleepFunction([this](uint32_t ms) { pauses.emplace_back(ms, skin.hoverTracking); });
        skin.setCloseFunction([this] { ++closes; });
        skin.setFileDialogFunction([this](const FileDialogRequest& request, const auto& whileOpen) {
            requests.push_back(request.title + request.filterName + request.filterGlob +
                               (request.save ? " save" : " open") + char('0' + skin.hoverTracking));
            whileOpen();
            return answer;
        });
        skin.attach(nullptr);
        fs::create_directories(folder);
    }
    ~Skin() override {
        engine.close();
        fs::remove_all(folder);
    }

    // The seek a press asks the engine for.
    int32_t seekRequestedAt(int32_t x, int32_t y) {
        const int32_t percent = skin.seekPercentAt(x, y);
        skin.onClick(x, y);
        return percent;
    }

    // Switches modes the way the keys and the double-click do.
    void setMode(int32_t large, int32_t full) {
        if (skin.fullscreen != 0) {
            skin.toggleFullscreen();
        }
        if (skin.largeSkin != large) {
            skin.onKey(kKeyF2);
        }
        if (full != 0) {
            skin.toggleFullscreen();
        }
    }
    // Paints, and counts the pixels of the video area that are not black.
    int videoAreaInk() {
        skin.paint();
        int ink = 0;
        for (int32_t y = skin.videoArea.top; y < skin.videoArea.bottom; ++y) {
            for (int32_t x = skin.videoArea.left; x < skin.videoArea.right; ++x) {
                ink += skin.composition.pixel(x, y) != 0 ? 1 : 0;
            }
        }
        return ink;
    }
    bool showsPicture() {
        return videoAreaInk() > skin.videoArea.width() * skin.videoArea.height() / 2;
    }
    std::vector<uint8_t> bytesOf(const std::string& name) const {
        std::ifstream in(folder / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    PlaybackEngine engine;
    SkinWindow skin;
    Rect desktop{0, 0, 1024, 768};
    std::vector<std::pair<uint32_t, int32_t>> pauses;  // with hover tracking meanwhile
    std::vector<std::string> requests;                 // and hover tracking meanwhile
    std::optional<std::string> answer;
    int closes = 0;
    const fs::path folder = fs::temp_directory_path() / ("vidora-skin-" + std::to_string(getpid()));
};

TEST_F(Skin, SeekBarOfEachModeRequestsTheShareUnderThePress) {
    struct {
        int32_t large, full, x, y, percent;
        bool drags;  // the normal skin's bar lies in the area that drags the window
    } cases[] = {
        {0, 0, 428, 139, 50, true},  // (257 − 139) × 100 / 236, bottom to top
        {0, 0, 431, 254, 1, true},   {0, 0, 431, 255, 0, true},  // 200 / 236 truncates to 0
        {0, 0, 428, 21, 0, true},                                // 100 % is no seek
        {1, 0, 273, 353, 50, false},  // 265 × 100 / 530, left to right on every row
        {1, 0, 537, 355, 99, false}, {1, 0, 13, 354, 0, false},   {1, 0, 14, 355, 1, false},
        {0, 1, 512, 668, 50, false}, {0, 1, 767, 662, 99, false}, {0, 1, 256, 673, 0, false},
    };
    for (const auto& c : cases) {
        setMode(c.large, c.full);
        skin.dragRequested = false;
        EXPECT_EQ(seekRequestedAt(c.x, c.y), c.percent) << c.x << ", " << c.y;
        EXPECT_EQ(skin.dragRequested, c.drags) << c.x << ", " << c.y;
    }
}

TEST_F(Skin, KeysDoubleClicksAndTheCloseAreasSwitchModesOrClose) {
    skin.onClick(30, 100);  // the grille left of the video, inside the drag area
    EXPECT_EQ(std::pair(closes, skin.dragRequested), std::pair(1, false));
    skin.onKey(kKeyF2);
    EXPECT_EQ(std::tuple(skin.largeSkin, skin.windowWidth, skin.video->width()),
              std::tuple(1, 548, 512));
    skin.onClick(530, 10);         // the large skin's close square, over its drag area
    skin.onDoubleClick(11, 100);   // left of the video
    skin.onDoubleClick(524, 100);  // its right and bottom edges are outside
    skin.onDoubleClick(100, 348);
    EXPECT_EQ(std::pair(closes, skin.fullscreen), std::pair(2, 0));
    skin.onDoubleClick(12, 24);  // fullscreen, built from the normal bitmaps
    EXPECT_EQ(std::tuple(skin.fullscreen, skin.windowWidth, skin.background.width()),
              std::tuple(1, 1024, 520));
    skin.onKey(kKeyF2);     // nothing in fullscreen, nor from the large skin's close and
    skin.onClick(530, 10);  // drag areas, which it keeps
    skin.onClick(100, 100);
    skin.onDoubleClick(500, 700);  // below the video
    skin.onKey(kKeyEscape);        // back to the skin chosen before
    EXPECT_EQ(
        std::tuple(skin.fullscreen, skin.largeSkin, skin.windowWidth, closes, skin.dragRequested),
        std::tuple(0, 1, 548, 2, false));
    skin.onDoubleClick(100, 100);
    skin.onDoubleClick(1023, 639);  // the fullscreen video's last pixel leaves it
    skin.onKey(kKeyF2);
    skin.onKey(kKeyEnter);
    EXPECT_EQ(std::tuple(skin.fullscreen, skin.largeSkin, skin.windowWidth, closes),
              std::tuple(0, 0, 520, 2));
    skin.onKey(kKeyEscape);
    EXPECT_EQ(closes, 3);
    // Each switch pauses 200 ms first, with hover tracking off.
    EXPECT_EQ(pauses, (std::vector<std::pair<uint32_t, int32_t>>(6, {200, 0})));
}

TEST_F(Skin, ButtonsPlayPauseOpenAndSaveAndDroppedFilesOpen) {
    skin.onClick(460, 60);   // open, cancelled
    skin.onClick(460, 200);  // snapshot, cancelled
    EXPECT_EQ(requests, (std::vector<std::string>{"选择文件对话框KRM Files*.krm open0",
                                                  "保存图片对话框BMP Files*.bmp save0"}));
    EXPECT_EQ(std::pair(engine.isPlaying(), skin.hoverTracking), std::pair(0, 1));
    answer = (folder / "shot").string();
    skin.onClick(460, 200);
    EXPECT_EQ(files(), std::vector<std::string>{"shot.bmp"});

    answer = kDemo;
    skin.onClick(460, 60);
    EXPECT_TRUE(test::waitFor([&] { return engine.isPlaying() == 1 && showsPicture(); }));
    skin.onClick(460, 130);
    EXPECT_EQ(engine.isPaused(), 1);
    skin.video->fill({0, 0, 332, 236}, rgb(255, 255, 255));
    EXPECT_EQ(videoAreaInk(), 332 * 236) << "paused picture stays";
    skin.onClick(460, 130);
    EXPECT_EQ(engine.isPaused(), 0);
    engine.close();
    skin.onClick(460, 130);  // nothing plays: a new run from the first record, on black
    EXPECT_EQ(skin.video->pixel(0, 0) | skin.video->pixel(331, 235), 0u);
    skin.video->fill({0, 0, 332, 236}, rgb(255, 255, 255));
    skin.openRecording("/nonexistent/recording.krm");  // a file dropped on the window: on black
    skin.paint();
    EXPECT_EQ(skin.composition.pixel(88, 20) | skin.composition.pixel(419, 255), 0u);
}

// Strip cells: play 1, pause 3, open 5, snapshot 7; a highlighted face is the cell before.
TEST_F(Skin, PaintComposesBackgroundBarButtonsAndVideoForEachModeAndState) {
    struct {
        int32_t large, full, width, height, playing, paused, progress, hover[4];
        Rect fill;
        int32_t playCell;
    } cases[] = {
        {0, 0, 1024, 768, 1, 1, 50, {1, 0, 0, 0}, {426, 139, 430, 257}, 1},
        {0, 0, 1024, 768, 1, 0, 33, {0, 0, 1, 1}, {426, 180, 430, 257}, 2},
        {0, 0, 1024, 768, 1, 0, 250, {0, 1, 0, 0}, {426, 21, 430, 257}, 3},  // never past 100
        {0, 0, 1024, 768, 0, 0, 0, {0, 1, 0, 0}, {}, 0},
        {1, 0, 1024, 768, 1, 0, 33, {0, 0, 0, 0}, {8, 353, 182, 356}, 3},
        {1, 0, 1024, 768, 0, 1, 100, {0, 0, 1, 0}, {8, 353, 538, 356}, 1},
        {1, 1, 1023, 768, 1, 0, 33, {1, 0, 0, 1}, {255, 665, 423, 671}, 3},    // 255.75 truncated
        {0, 1, 1280, 1024, 0, 0, 100, {0, 0, 0, 0}, {320, 921, 960, 927}, 1},  // a new desktop
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.large << c.full << c.playing << c.paused << c.progress);
        desktop = {0, 0, c.width, c.height};
        setMode(c.large, c.full);
        SkinWindow::Looks looks;
        std::copy_n(c.hover, 4, looks.hover);
        looks.playFace = c.playing != 0 && c.paused == 0 ? 1 : 0;
        looks.progress = c.progress;
        Surface& video = *skin.video;  // a pattern that shows a shifted copy
        for (int32_t y = 0; y < video.height(); ++y) {
            for (int32_t x = 0; x < video.width(); ++x) {
                video.row(y)[x] = 0x010000u * (x & 0xFF) + 0x100u * (y & 0xFF) + 0x40u;
            }
        }
        skin.compose(looks);
        const std::pair<const Rect*, int32_t> buttons[] = {{&skin.openButton, 5 - c.hover[0]},
                                                           {&skin.playButton, c.playCell},
                                                           {&skin.snapshotButton, 7 - c.hover[3]}};
        int wrong = 0;
        for (int32_t y = 0; y < skin.composition.height(); ++y) {
            for (int32_t x = 0; x < skin.composition.width(); ++x) {
                uint32_t want = skin.background.pixel(x, y);  // black beyond it in fullscreen
                if (skin.seekBar.contains(x, y)) {
                    want = c.fill.contains(x, y) ? 0xFFFFFF : 0x787878;
                }
                for (auto [button, cell] : buttons) {
                    if (button->contains(x, y)) {
                        want = skin.strip.pixel(cell * kButtonSize + x - button->left,
                                                y - button->top);
                    }
                }
                if (skin.videoArea.contains(x, y)) {
                    want = video.pixel(x - skin.videoArea.left, y - skin.videoArea.top);
                }
                wrong += skin.composition.pixel(x, y) != want ? 1 : 0;
            }
        }
        EXPECT_EQ(wrong, 0);
        if (c.full) {
            EXPECT_EQ(std::pair(skin.composition.width(), skin.videoArea),
                      std::pair(c.width, Rect{0, 0, c.width, c.height - 128}));
        }
    }
}

TEST_F(Skin, AFileThatPlaysNothingIsNamedInTheMiddleOfTheVideoInEveryMode) {
    if (!textFontAvailable()) {
        GTEST_SKIP() << "no interface font";
    }
    const test::TempFile junk("skin-junk.krm", test::Bytes(4096, 'x'));
    skin.openRecording(junk.path());
    ASSERT_TRUE(test::waitFor([&] { return videoAreaInk() > 0; }));
    for (auto [large, full] : {std::pair{1, 0}, {0, 1}, {0, 0}}) {
        setMode(large, full);  // each mode hands the engine a new, black surface
        const Rect& v = skin.videoArea;
        const Rect middle{(v.left + v.right) / 2 - 70, (v.top + v.bottom) / 2 - 20,
                          (v.left + v.right) / 2 + 70, (v.top + v.bottom) / 2 + 20};
        skin.paint();
        int white = 0, away = 0;
        for (int32_t y = v.top; y < v.bottom; ++y) {
            for (int32_t x = v.left; x < v.right; ++x) {
                white += skin.composition.pixel(x, y) == 0xFFFFFF ? 1 : 0;
                away += skin.composition.pixel(x, y) != 0 && !middle.contains(x, y) ? 1 : 0;
            }
        }
        EXPECT_GT(white, 20) << large << full;
        EXPECT_EQ(away, 0) << large << full;
    }
}

TEST_F(Skin, OnlyTheNormalSkinsCornersAreSeeThroughAndTheWindowSitsOnItsDisplay) {
    skin.video->fill({0, 0, 332, 236}, rgb(255, 0, 0));  // a recording's red punches no hole
    const Surface shape = skin.composeShape();
    int red = 0;
    for (int32_t y = 0; y < 276; ++y) {
        for (int32_t x = 0; x < 520; ++x) {
            const bool corner = (x < 16 || x >= 504) && (y < 16 || y >= 260);
            red += shape.pixel(x, y) == 0xFF0000 && !corner ? 1 : 0;
        }
    }
    EXPECT_EQ(red, 0);
    for (auto [x, y] : {std::pair{0, 0}, {519, 0}, {0, 275}, {519, 275}}) {
        EXPECT_EQ(shape.pixel(x, y), 0xFF0000u) << x << ", " << y;
    }
    desktop = {1920, 0, 3200, 1024};  // a second display, right of the first
    setMode(1, 0);
    EXPECT_FALSE(skin.composeShape().valid());
    setMode(0, 0);
    EXPECT_EQ(skin.windowPlacement(), (Rect{2300, 374, 2820, 650}));
    setMode(0, 1);
    EXPECT_EQ(skin.windowPlacement(), desktop);
    EXPECT_FALSE(skin.composeShape().valid());
}

// The engine's threads draw into the video surface while the window thread replaces it
// (AddressSanitizer reports a picture drawn into a freed one).
TEST_F(Skin, ModeSwitchesWhilePlayingHandEachNewSurfaceToTheEngine) {
    skin.openRecording(kDemo);
    for (int i = 0; i < 8; ++i) {
        setMode(i % 2, i % 3 == 1 ? 1 : 0);
        EXPECT_TRUE(test::waitFor([&] { return showsPicture(); })) << "switch " << i;
    }
}

// The bytes a snapshot of the video area as composed must hold: a bottom-up 24-bit BMP, its
// width raised to a multiple of 4 (black beyond the composition).
std::vector<uint8_t> expectedSnapshot(const SkinWindow& skin) {
    const Rect& area = skin.videoArea;
    const int64_t w = roundUpTo4(area.width()), h = area.height(), size = 54 + w * h * 3;
    // The two headers as a value and its size in bytes for each field.
    const int64_t fields[] = {
        'B' | 'M' << 8, 2, size, 4, 0, 4, 54, 4, 40, 4, w, 4, h, 4, 1, 2, 24, 2};
    std::vector<uint8_t> out;
    for (size_t f = 0; f < std::size(fields); f += 2) {
        for (int i = 0; i < fields[f + 1]; ++i) {
            out.push_back(static_cast<uint8_t>(fields[f] >> 8 * i));
        }
    }
    out.resize(54, 0);
    for (int32_t y = area.bottom - 1; y >= area.top; --y) {
        for (int32_t x = area.left; x < area.left + w; ++x) {
            const uint32_t p = skin.composition.pixel(x, y);
            out.insert(out.end(), {uint8_t(p), uint8_t(p >> 8), uint8_t(p >> 16)});
        }
    }
    return out;
}

// A PNG file decoded by FFmpeg, as the pixels of a bottom-up 24-bit BMP (blue first).
std::vector<uint8_t> pngAsBmpPixels(const std::vector<uint8_t>& png) {
    std::vector<uint8_t> out;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    packet->data = const_cast<uint8_t*>(png.data());
    packet->size = static_cast<int>(png.size());
    if (avcodec_open2(context, codec, nullptr) == 0 && avcodec_send_packet(context, packet) == 0 &&
        avcodec_receive_frame(context, frame) == 0 && frame->format == AV_PIX_FMT_RGB24) {
        for (int r = frame->height - 1; r >= 0; --r) {
            const uint8_t* in = frame->data[0] + static_cast<ptrdiff_t>(r) * frame->linesize[0];
            for (int x = 0; x < frame->width; ++x, in += 3) {
                out.insert(out.end(), {in[2], in[1], in[0]});
            }
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return out;
}

TEST_F(Skin, SnapshotIsTheComposedVideoAreaAsABitmap) {
    for (auto [large, full] : {std::pair{0, 0}, {1, 0}, {0, 1}}) {
        desktop = {0, 0, 1366, 768};  // fullscreen: 1366 columns, saved as 1368
        setMode(large, full);
        skin.video->fill({0, 0, 100, 50}, rgb(1, 2, 3));  // tells the rows and columns apart
        skin.paint();
        ASSERT_TRUE(skin.saveSnapshot((folder / "shot").string()));
        const std::vector<uint8_t> bmp = bytesOf("shot.bmp");
        EXPECT_TRUE(bmp == expectedSnapshot(skin)) << large << full;
        // A name ending in ".png" gets the same pixels as a PNG file.
        ASSERT_TRUE(skin.saveSnapshot((folder / "shot.png").string()));
        EXPECT_TRUE(pngAsBmpPixels(bytesOf("shot.png")) ==
                    std::vector<uint8_t>(bmp.begin() + 54, bmp.end()))
            << large << full;
    }
    EXPECT_EQ(fs::file_size(folder / "shot.bmp"), 54u + 1368 * 640 * 3);
}

// FIFOs and a limit on the size of the files a process writes are POSIX's.
#ifndef _WIN32
TEST_F(Skin, SnapshotNamesEndInDotBmpAndOnlyCompleteFilesReplaceOnlyFiles) {
    skin.paint();
    std::ofstream(folder / "plain") << "a file, not a folder";
    std::ofstream(folder / "old.bmp") << "an older picture";
    fs::create_directories(folder / "taken.bmp");
    ASSERT_EQ(mkfifo((folder / "pipe.bmp").c_str(), 0600), 0);
    for (const std::string& name : std::vector<std::string>{
             "plain/shot", "missing/shot", "taken.bmp", "pipe.bmp", std::string(300, 'n')}) {
        EXPECT_FALSE(skin.saveSnapshot((folder / name).string())) << name;
    }
    for (const std::string& name : std::vector<std::string>{"shot", "old.bmp", "upper.BMP",
                                                            "dot.bmp.", std::string(240, 'n')}) {
        EXPECT_TRUE(skin.saveSnapshot((folder / name).string())) << name;
    }
    EXPECT_EQ(files(), (std::vector<std::string>{"dot.bmp..bmp", std::string(240, 'n') + ".bmp",
                                                 "old.bmp", "pipe.bmp", "plain", "shot.bmp",
                                                 "taken.bmp", "upper.BMP.bmp"}));
    EXPECT_EQ(fs::file_size(folder / "old.bmp"), 235110u);
    EXPECT_TRUE(fs::is_fifo(folder / "pipe.bmp") && fs::is_empty(folder / "taken.bmp"));

    // A write that fails partway, as on a full disk, when no file may grow past 100,000 bytes.
    std::ofstream(folder / "shot.bmp") << "an older picture";
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 100000;
    const auto handler = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    answer = (folder / "shot.bmp").string();
    skin.onClick(460, 200);  // through the button: the user is told
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, handler);
    EXPECT_EQ(fs::file_size(folder / "shot.bmp"), 16u);
    EXPECT_EQ(files().size(), 8u) << "no temporary file left behind";
    EXPECT_TRUE(skin.noticeShown() && skin.needsPaint);
    EXPECT_GT(videoAreaInk(), 332 * 20) << "the notice lies over the picture";
    skin.onClick(460, 200);  // and is no part of the next snapshot
    EXPECT_FALSE(skin.noticeShown());
    EXPECT_EQ(videoAreaInk(), 0);
    EXPECT_TRUE(bytesOf("shot.bmp") == expectedSnapshot(skin));
}

#endif

}  // namespace
}  // namespace vidora
