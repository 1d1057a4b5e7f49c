// The sound output's contract with the audio path, on SDL's disk audio driver: every accepted
// block is reported done once, in order, also when reset or close drops it, and the position
// counts what was played. What is heard is checked sample for sample in audio_path_test.
// On Windows the device is the system's default output (under wine, ALSA's default device);
// without one the tests are skipped, and what is heard is not read back.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/wave_out.h"
#include "support/recording_bytes.h"
#include "support/wait_for.h"

namespace vidora {
namespace {

constexpr uint32_t kBlockBytes = 2000;
const WaveFormat kFormat{1, 1, 8000, 16000, 2, 16};  // 16-bit mono PCM at 8 kHz

// Where SDL's disk driver writes what it plays. Windows has no such driver: the device is the
// system's default output, and nothing is written.
std::filesystem::path soundFile() {
#ifdef _WIN32
    return {};
#else
    return std::filesystem::temp_directory_path() / ("vidora-wave-" + std::to_string(getpid()));
#endif
}

void playInto([[maybe_unused]] const std::filesystem::path& file) {
#ifndef _WIN32
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
#endif
}

// SDL's disk driver is always there; a Windows machine may have no sound device.
bool soundDeviceAvailable() {
#ifdef _WIN32
    WaveOut* probe = WaveOut::open(kFormat, nullptr, nullptr);
    if (probe != nullptr) {
        probe->close();
    }
    return probe != nullptr;
#else
    return true;
#endif
}

struct Block {
    Block() {
        header.data = samples.data();
        header.length = kBlockBytes;
    }
    Block(const Block&) = delete;  // the header points into the samples
    std::vector<uint8_t> samples = std::vector<uint8_t>(kBlockBytes, 0x11);
    WaveHeader header;
};

class WaveOutTest : public ::testing::Test {
  protected:
    // The driver is chosen when SDL's audio starts, once per process; the file at each open.
    WaveOut* open(const std::filesystem::path& into, WaveFormat format = kFormat) {
        playInto(into);
        return WaveOut::open(format, record, this);
    }
    void SetUp() override {
        if (!soundDeviceAvailable()) {
            GTEST_SKIP() << "no sound device";
        }
    }
    static void record(WaveOut*, uint32_t message, void* self, WaveHeader* header, uintptr_t) {
        auto* test = static_cast<WaveOutTest*>(self);
        std::lock_guard<std::mutex> lock(test->mutex);
        test->messages.push_back(message);
        if (message == kWaveOutDone) {
            test->done.push_back(header);
        }
    }
    size_t doneCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return done.size();
    }
    // Queues the blocks, held, so that none plays before all are written.
    WaveOut* openWith(std::initializer_list<Block*> blocks) {
        WaveOut* device = open(file);
        if (device == nullptr) {
            ADD_FAILURE() << "no sound device";
            return nullptr;
        }
        device->pause();
        for (Block* block : blocks) {
            EXPECT_EQ(device->prepareHeader(&block->header), kWaveOutOk);
            EXPECT_EQ(device->write(&block->header), kWaveOutOk);
        }
        return device;
    }
    void TearDown() override { std::filesystem::remove(file); }

    const std::filesystem::path file = soundFile();
    std::mutex mutex;
    std::vector<uint32_t> messages;
    std::vector<WaveHeader*> done;
};

TEST_F(WaveOutTest, PlayedBlocksAreReportedDoneOnceInOrderAndCountedByThePosition) {
    Block blocks[3];
    WaveOut* device = openWith({&blocks[0], &blocks[1], &blocks[2]});
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->position(), 0u) << "held: nothing played yet";
    device->restart();
    ASSERT_TRUE(test::waitFor([&] { return doneCount() == 3; }));
    EXPECT_EQ(device->position(), 3u * kBlockBytes);
    device->close();
    EXPECT_EQ(done,
              (std::vector<WaveHeader*>{&blocks[0].header, &blocks[1].header, &blocks[2].header}));
    for (const Block& block : blocks) {
        EXPECT_EQ(block.header.flags & (kWaveHeaderDone | kWaveHeaderInQueue), kWaveHeaderDone);
    }
    EXPECT_EQ(messages, (std::vector<uint32_t>{kWaveOutOpened, kWaveOutDone, kWaveOutDone,
                                               kWaveOutDone, kWaveOutClosed}));
}

TEST_F(WaveOutTest, ResetReportsEveryQueuedBlockAtOnceAndCountsFromZeroAgain) {
    Block first, second, third;
    WaveOut* device = openWith({&first, &second, &third});
    ASSERT_NE(device, nullptr);
    device->restart();
    ASSERT_TRUE(test::waitFor([&] { return doneCount() == 1; }));
    device->reset();  // while the second plays
    EXPECT_EQ(done, (std::vector<WaveHeader*>{&first.header, &second.header, &third.header}));
    EXPECT_EQ(device->position(), 0u);
    ASSERT_EQ(device->write(&second.header), kWaveOutOk);  // a dropped block may come again
    ASSERT_TRUE(test::waitFor([&] { return doneCount() == 4; }));
    EXPECT_EQ(device->position(), uint64_t{kBlockBytes});
    device->close();
}

TEST_F(WaveOutTest, RefusedBlocksAreNeitherQueuedNorReportedAndCloseReportsTheRest) {
    Block queued, unprepared, odd;
    WaveOut* device = openWith({&queued});
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->write(&queued.header), kWaveOutStillQueued);
    EXPECT_EQ(device->write(&unprepared.header), kWaveOutUnprepared);
    odd.header.length = 1999;  // half a sample
    device->prepareHeader(&odd.header);
    EXPECT_EQ(device->write(&odd.header), kWaveOutInvalidHeader);
    EXPECT_EQ(doneCount(), 0u);
    device->close();
    EXPECT_EQ(done, std::vector<WaveHeader*>{&queued.header});
    WaveFormat threeBytes = kFormat;
    threeBytes.bitsPerSample = 24;
    EXPECT_EQ(open(file, threeBytes), nullptr);
}

#ifndef _WIN32
// The volume is applied as the device hands the samples on, queued blocks included, and leaves
// the caller's blocks as written: a block at half volume, then one at 0, in both formats.
TEST_F(WaveOutTest, VolumeScalesWhatIsPlayedAroundSilence) {
    struct Case {
        uint16_t bits;
        uint8_t silence;
        std::vector<uint8_t> loud, half;  // none of their bytes is the silence byte
    };
    for (const Case& c :
         {Case{16, 0, {0xe8, 0x03, 0x18, 0xfc}, {0xf4, 0x01, 0x0c, 0xfe}},  // +-1000
          Case{8, 128, {200, 56}, {164, 92}}}) {
        SCOPED_TRACE(c.bits);
        Block first, second;
        for (size_t i = 0; i < kBlockBytes; ++i) {
            first.samples[i] = second.samples[i] = c.loud[i % c.loud.size()];
        }
        WaveFormat format = kFormat;
        format.bitsPerSample = c.bits;
        const size_t before = doneCount();
        WaveOut* device = open(file, format);
        ASSERT_NE(device, nullptr);
        device->pause();
        device->prepareHeader(&first.header);
        device->prepareHeader(&second.header);
        ASSERT_EQ(device->write(&first.header), kWaveOutOk);
        device->setVolume(0.5f);  // after the block was queued
        EXPECT_EQ(device->volume(), 0.5f);
        device->restart();
        ASSERT_TRUE(test::waitFor([&] { return doneCount() == before + 1; }));
        device->setVolume(0);
        ASSERT_EQ(device->write(&second.header), kWaveOutOk);
        ASSERT_TRUE(test::waitFor([&] { return doneCount() == before + 2; }));
        device->close();

        std::vector<uint8_t> heard, expected;
        for (uint8_t byte : test::readFileBytes(file)) {
            if (byte != c.silence) {
                heard.push_back(byte);
            }
        }
        while (expected.size() < kBlockBytes) {
            expected.insert(expected.end(), c.half.begin(), c.half.end());
        }
        EXPECT_EQ(heard, expected) << "the first block at half volume, the second not at all";
        EXPECT_EQ(first.samples[0], c.loud[0]) << "the caller's block is left as written";
    }
}
#endif

}  // namespace
}  // namespace vidora
