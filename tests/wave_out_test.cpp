// The sound output's contract with the audio path, on SDL's disk audio driver: every accepted
// block is reported done once, in order, also when reset or close drops it, and the position
// counts what was played. What is heard is checked sample for sample in audio_path_test.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/wave_out.h"
#include "support/wait_for.h"

namespace vidora {
namespace {

constexpr uint32_t kBlockBytes = 2000;
const WaveFormat kFormat{1, 1, 8000, 16000, 2, 16};  // 16-bit mono PCM at 8 kHz

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
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", into.c_str(), 1);
        return WaveOut::open(format, record, this);
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

    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("vidora-wave-" + std::to_string(getpid()));
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

}  // namespace
}  // namespace vidora
