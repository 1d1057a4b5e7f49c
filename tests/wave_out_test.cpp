// The wave output on SDL's disk audio driver, which writes what the device plays into a file:
// what is played, in which order, what is reported done, and what is refused.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wave_out.h"
#include "support/sleep_recorder.h"

namespace vidora {
namespace {

using test::waitFor;

constexpr uint32_t kBlockBytes = 2000;

WaveFormat pcm8000Mono16() {
    WaveFormat format;
    format.channels = 1;
    format.samplesPerSecond = 8000;
    format.averageBytesPerSecond = 16000;
    format.blockAlign = 2;
    format.bitsPerSample = 16;
    return format;
}

// Sends the device's sound to `file`. The driver is chosen when SDL's audio starts, once per
// process, so every test sets it before its first open; the file is read at each open.
void playInto(const std::filesystem::path& file) {
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
}

std::filesystem::path scratchFile(const char* name) {
    return std::filesystem::temp_directory_path() /
           ("vidora-wave-" + std::to_string(getpid()) + "-" + name + ".raw");
}

std::vector<int16_t> readSamples(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

// A block whose samples are all non-zero and tell the block apart from every other.
std::vector<int16_t> distinctBlock(int index) {
    std::vector<int16_t> samples(kBlockBytes / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(1000 * (index + 1) + static_cast<int>(i % 700) + 1);
    }
    return samples;
}

// Every message the device sent, in order.
struct CallbackLog {
    std::mutex mutex;
    std::vector<std::pair<uint32_t, WaveHeader*>> messages;
    std::atomic<int> done{0};

    static void record(WaveOut*, uint32_t message, void* instance, WaveHeader* header, uintptr_t) {
        auto* log = static_cast<CallbackLog*>(instance);
        std::lock_guard<std::mutex> lock(log->mutex);
        log->messages.emplace_back(message, header);
        if (message == kWaveOutDone) {
            log->done.fetch_add(1);
        }
    }
    std::vector<WaveHeader*> doneHeaders() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<WaveHeader*> result;
        for (auto& [message, header] : messages) {
            if (message == kWaveOutDone) {
                result.push_back(header);
            }
        }
        return result;
    }
};

struct Block {
    std::vector<int16_t> samples;
    WaveHeader header;
    explicit Block(int index) : samples(distinctBlock(index)) {
        header.data = reinterpret_cast<uint8_t*>(samples.data());
        header.length = kBlockBytes;
    }
};

class WaveOutTest : public ::testing::Test {
  protected:
    void TearDown() override { std::filesystem::remove(file); }
    std::filesystem::path file =
        scratchFile(::testing::UnitTest::GetInstance()->current_test_info()->name());
};

TEST_F(WaveOutTest, QueuedBlocksPlayInOrderWithoutGapsAndEachIsReportedDone) {
    playInto(file);
    CallbackLog log;
    WaveOut* device = WaveOut::open(pcm8000Mono16(), CallbackLog::record, &log);
    ASSERT_NE(device, nullptr);
    // Held while the blocks are written, so that all three are queued before any plays.
    device->pause();
    std::vector<Block> blocks;
    blocks.reserve(3);
    for (int i = 0; i < 3; ++i) {
        blocks.emplace_back(i);
        ASSERT_EQ(device->prepareHeader(&blocks[i].header), kWaveOutOk);
        ASSERT_EQ(device->write(&blocks[i].header), kWaveOutOk);
    }
    // Held, the device has played nothing of them: the position counts only what it plays.
    EXPECT_EQ(device->position(), 0u);
    device->restart();
    ASSERT_TRUE(waitFor([&] { return log.done.load() == 3; }));
    EXPECT_EQ(device->position(), 3u * kBlockBytes);
    device->close();

    EXPECT_EQ(log.doneHeaders(),
              (std::vector<WaveHeader*>{&blocks[0].header, &blocks[1].header, &blocks[2].header}));
    for (Block& block : blocks) {
        EXPECT_EQ(block.header.flags & (kWaveHeaderDone | kWaveHeaderInQueue), kWaveHeaderDone);
    }
    EXPECT_EQ(log.messages.front().first, kWaveOutOpened);
    EXPECT_EQ(log.messages.back().first, kWaveOutClosed);

    std::vector<int16_t> played = readSamples(file);
    size_t start = 0;
    while (start < played.size() && played[start] == 0) {
        ++start;
    }
    std::vector<int16_t> expected;
    for (Block& block : blocks) {
        expected.insert(expected.end(), block.samples.begin(), block.samples.end());
    }
    ASSERT_GE(played.size(), start + expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), played.begin() + start));
    for (size_t i = start + expected.size(); i < played.size(); ++i) {
        ASSERT_EQ(played[i], 0) << "sound after the last block at sample " << i;
    }
}

TEST_F(WaveOutTest, ResetReportsEveryDroppedBlockAndTheDeviceGoesOn) {
    playInto(file);
    CallbackLog log;
    WaveOut* device = WaveOut::open(pcm8000Mono16(), CallbackLog::record, &log);
    ASSERT_NE(device, nullptr);
    device->pause();
    Block first(0);
    Block second(1);
    for (Block* block : {&first, &second}) {
        device->prepareHeader(&block->header);
        ASSERT_EQ(device->write(&block->header), kWaveOutOk);
    }
    device->reset();
    // Reported by the time reset returns, in queue order.
    EXPECT_EQ(log.doneHeaders(), (std::vector<WaveHeader*>{&first.header, &second.header}));
    EXPECT_EQ(first.header.flags & kWaveHeaderInQueue, 0u);

    // A dropped header may be written again, and the device plays it; the position starts
    // again from the reset.
    device->restart();
    ASSERT_EQ(device->write(&second.header), kWaveOutOk);
    ASSERT_TRUE(waitFor([&] { return log.done.load() == 3; }));
    EXPECT_EQ(device->position(), uint64_t{kBlockBytes});
    device->close();

    std::vector<int16_t> played = readSamples(file);
    std::vector<int16_t> sound;
    for (int16_t s : played) {
        if (s != 0) {
            sound.push_back(s);
        }
    }
    EXPECT_EQ(sound, second.samples) << "only the block written after the reset is heard";
}

TEST_F(WaveOutTest, RefusedWritesQueueNothingAndCloseReportsWhatIsStillQueued) {
    playInto(file);
    CallbackLog log;
    WaveOut* device = WaveOut::open(pcm8000Mono16(), CallbackLog::record, &log);
    ASSERT_NE(device, nullptr);
    device->pause();
    Block block(0);
    EXPECT_EQ(device->write(&block.header), kWaveOutUnprepared);
    EXPECT_EQ(device->write(nullptr), kWaveOutInvalidHeader);
    WaveHeader noData;
    EXPECT_EQ(device->prepareHeader(&noData), kWaveOutInvalidHeader);

    ASSERT_EQ(device->prepareHeader(&block.header), kWaveOutOk);
    ASSERT_EQ(device->prepareHeader(&block.header), kWaveOutOk);
    ASSERT_EQ(device->write(&block.header), kWaveOutOk);
    EXPECT_EQ(device->write(&block.header), kWaveOutStillQueued);
    Block odd(1);
    odd.header.length = 1999;
    device->prepareHeader(&odd.header);
    EXPECT_EQ(device->write(&odd.header), kWaveOutInvalidHeader);
    EXPECT_EQ(log.done.load(), 0);

    device->close();
    EXPECT_EQ(log.doneHeaders(), std::vector<WaveHeader*>{&block.header});
}

TEST_F(WaveOutTest, OpenFailsWithoutADeviceOrForAnUnplayableFormat) {
    playInto("/nonexistent-vidora-folder/sound.raw");
    EXPECT_EQ(WaveOut::open(pcm8000Mono16(), nullptr, nullptr), nullptr);
    playInto(file);
    WaveFormat format = pcm8000Mono16();
    format.bitsPerSample = 24;
    EXPECT_EQ(WaveOut::open(format, nullptr, nullptr), nullptr);
    WaveOut* device = WaveOut::open(pcm8000Mono16(), nullptr, nullptr);
    ASSERT_NE(device, nullptr);
    device->close();
}

}  // namespace
}  // namespace vidora
