// The audio path with its real threads: AMR-NB from the audio ring through FFmpeg's decoder into
// the PCM ring, and PCM blocks to the wave output, whose sound SDL's disk driver writes into a
// file. The sound is checked sample for sample against FFmpeg's own decoding of the same frames.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "audio/amr_frame_decoder.h"
#include "audio/audio_decode.h"
#include "engine/decoders.h"
#include "engine/playback_engine.h"
#include "platform/surface.h"
#include "support/sleep_recorder.h"

namespace vidora {
namespace {

using test::waitFor;
using Bytes = std::vector<uint8_t>;
using Frames = std::vector<Bytes>;

constexpr uint32_t kBlock = 2000;
constexpr uint32_t kFramePcmBytes = 320;  // 160 samples of 16 bits

// Storage frame sizes by frame type, written out here apart from the player's own table.
int storageSize(uint8_t header) {
    static const int sizes[16] = {13, 14, 16, 18, 20, 21, 27, 32, 6, -1, -1, -1, -1, -1, -1, 1};
    return sizes[(header >> 3) & 0x0F];
}

Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Frames splitFrames(const Bytes& stream) {
    Frames frames;
    for (size_t at = 0; at < stream.size();) {
        int size = storageSize(stream[at]);
        if (size < 0 || at + static_cast<size_t>(size) > stream.size()) {
            ADD_FAILURE() << "not a stream of storage frames at byte " << at;
            break;
        }
        frames.emplace_back(stream.begin() + at, stream.begin() + at + size);
        at += static_cast<size_t>(size);
    }
    return frames;
}

Bytes join(const Frames& frames, size_t first = 0, size_t count = SIZE_MAX) {
    Bytes out;
    for (size_t i = first; i < frames.size() && i - first < count; ++i) {
        out.insert(out.end(), frames[i].begin(), frames[i].end());
    }
    return out;
}

Frames speechFrames() {
    return splitFrames(readFile(VIDORA_TEST_DATA_DIR "/speech.amr"));
}

// FFmpeg's own decoding: each frame sent as one packet to a fresh AMR-NB decoder, the float
// samples turned into 16-bit by libswresample with its defaults. Frames the decoder rejects
// give no sound.
Bytes referencePcm(const Frames& frames) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AMR_NB);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->sample_rate = 8000;
    av_channel_layout_default(&context->ch_layout, 1);
    EXPECT_EQ(avcodec_open2(context, codec, nullptr), 0);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    SwrContext* swr = nullptr;
    Bytes pcm;
    for (const Bytes& bytes : frames) {
        av_new_packet(packet, static_cast<int>(bytes.size()));
        std::memcpy(packet->data, bytes.data(), bytes.size());
        int sent = avcodec_send_packet(context, packet);
        av_packet_unref(packet);
        if (sent < 0 || avcodec_receive_frame(context, frame) < 0) {
            continue;
        }
        if (swr == nullptr) {
            swr_alloc_set_opts2(&swr, &frame->ch_layout, AV_SAMPLE_FMT_S16, frame->sample_rate,
                                &frame->ch_layout, static_cast<AVSampleFormat>(frame->format),
                                frame->sample_rate, 0, nullptr);
            swr_init(swr);
        }
        size_t at = pcm.size();
        pcm.resize(at + static_cast<size_t>(frame->nb_samples) * 2);
        uint8_t* out[1] = {pcm.data() + at};
        swr_convert(swr, out, frame->nb_samples, const_cast<const uint8_t**>(frame->extended_data),
                    frame->nb_samples);
        av_frame_unref(frame);
    }
    swr_free(&swr);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return pcm;
}

// Opens the engine's AMR-NB decoder as the video thread's decoder setup does, and raises
// decodersReady after it.
void openAudioDecoder(PlaybackEngine& engine) {
    engine.audioCodec = avcodec_find_decoder(AV_CODEC_ID_AMR_NB);
    engine.audioCtx = avcodec_alloc_context3(engine.audioCodec);
    engine.audioCtx->sample_rate = 8000;
    av_channel_layout_default(&engine.audioCtx->ch_layout, 1);
    engine.audioCtx->sample_fmt = AV_SAMPLE_FMT_S16;
    ASSERT_EQ(avcodec_open2(engine.audioCtx, engine.audioCodec, nullptr), 0);
    engine.decodersReady.store(1, std::memory_order_release);
}

Bytes pcmWrittenSoFar(const PlaybackEngine& engine) {
    uint32_t n = engine.pcmWritten.load(std::memory_order_acquire);
    return Bytes(engine.pcmRingData.get(), engine.pcmRingData.get() + n);
}

// Two thousand bytes that tell block `index` apart from every other, with no silent sample.
Bytes patternBlock(int index) {
    Bytes block(kBlock);
    for (uint32_t i = 0; i < kBlock; i += 2) {
        uint16_t sample = static_cast<uint16_t>(1 + index * 977 + i * 7);
        block[i] = static_cast<uint8_t>(sample | 1);
        block[i + 1] = static_cast<uint8_t>(sample >> 8);
    }
    return block;
}

// Whether `played` is `blocks` whole and in order, with nothing but silence before, between
// (when the device ran dry) and after them. Empty when so, else what is wrong.
std::string blocksInOrder(const Bytes& played, const Bytes& blocks) {
    size_t at = 0;
    for (size_t b = 0; b * kBlock < blocks.size(); ++b) {
        auto block = blocks.begin() + static_cast<std::ptrdiff_t>(b * kBlock);
        // A block may itself begin with silent samples: it starts at the first place, after
        // silence only, where all of it matches.
        while (true) {
            if (at + kBlock > played.size()) {
                return "block " + std::to_string(b) + " never played";
            }
            if (std::equal(block, block + kBlock,
                           played.begin() + static_cast<std::ptrdiff_t>(at))) {
                break;
            }
            if (played[at] != 0 || played[at + 1] != 0) {
                return "sound that is not block " + std::to_string(b) + " at byte " +
                       std::to_string(at);
            }
            at += 2;
        }
        at += kBlock;
    }
    for (; at < played.size(); ++at) {
        if (played[at] != 0) {
            return "sound after the last block at byte " + std::to_string(at);
        }
    }
    return "";
}

// The engine with the audio threads started and stopped by the test (or all four by open), and a
// sleep that records every request and may act on it.
class AudioPathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Keeps the decoder's complaints about the damaged frames off the test output.
        openDecoderLibrary();
        ASSERT_TRUE(engine.allocateRings());
        engine.paused.store(0);
        engine.setSleepFunction([this](SleepSite site, uint32_t ms) {
            if (hook) {
                hook(site);
            }
            {
                std::lock_guard<std::mutex> lock(sleepMutex);
                sleeps.emplace_back(site, ms);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        });
        playInto(soundFile);
    }
    void TearDown() override {
        // Also ends the threads that open started when a test stopped half-way.
        engine.close();
        stopThreads();
        engine.setSleepFunction(nullptr);
        std::filesystem::remove(soundFile);
    }

    // The driver is chosen when SDL's audio first starts in the process; the file at each open.
    static void playInto(const std::filesystem::path& file) {
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
    }

    void start(std::atomic<uint32_t>& handle, void (*entry)(PlaybackEngine&)) {
        handle.store(1);
        threads.emplace_back(entry, std::ref(engine));
    }
    void startDecoding() { start(engine.audioDecodeHandle, AudioDecodeThread); }
    void startOutput() { start(engine.audioOutHandle, AudioOutThread); }
    void stopThreads() {
        engine.stopRequested.store(1);
        for (std::thread& t : threads) {
            t.join();
        }
        threads.clear();
        EXPECT_EQ(engine.audioDecodeHandle.load(), 0u);
        EXPECT_EQ(engine.audioOutHandle.load(), 0u);
    }

    std::vector<uint32_t> delays(SleepSite site) {
        std::lock_guard<std::mutex> lock(sleepMutex);
        std::vector<uint32_t> result;
        for (auto& [s, ms] : sleeps) {
            if (s == site) {
                result.push_back(ms);
            }
        }
        return result;
    }
    size_t count(SleepSite site) { return delays(site).size(); }
    // Waits until the thread sleeping at `site` has gone round `turns` more times.
    bool waitTurns(SleepSite site, size_t turns) {
        size_t target = count(site) + turns;
        return waitFor([&] { return count(site) >= target; });
    }
    bool outputIdle() { return engine.outBuffersQueued.load() == engine.outBuffersDone.load(); }
    // The counters, for a failure message.
    std::string state() {
        return "audio written " + std::to_string(engine.audioRingWritten.load()) + ", read " +
               std::to_string(engine.audioRingRead.load()) + "; pcm " +
               std::to_string(engine.pcmWritten.load()) + "; blocks played " +
               std::to_string(engine.pcmBlocksPlayed.load()) + ", queued " +
               std::to_string(engine.outBuffersQueued.load()) + ", done " +
               std::to_string(engine.outBuffersDone.load()) + "; decoders ready " +
               std::to_string(engine.decodersReady.load()) + ", reader running " +
               std::to_string(engine.readerHandle.load() != 0);
    }

    // Declared before the engine: its threads sleep through these until they end.
    std::mutex sleepMutex;
    std::vector<std::pair<SleepSite, uint32_t>> sleeps;
    // Runs on the sleeping thread; set before the threads start.
    std::function<void(SleepSite)> hook;
    std::filesystem::path soundFile =
        std::filesystem::temp_directory_path() /
        ("vidora-audio-" + std::to_string(getpid()) + "-" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".raw");
    // The video thread draws into it until the engine is closed.
    Surface surface{64, 48};
    PlaybackEngine engine;
    std::vector<std::thread> threads;
};

// --- Decoding ---------------------------------------------------------------------------------

TEST_F(AudioPathTest, DecodingWaitsForTheDecodersAndForMoreThanOneChunk) {
    Frames frames = speechFrames();
    ASSERT_GE(frames.size(), 9u);
    Bytes eight = join(frames, 0, 8);
    ASSERT_EQ(eight.size(), 256u);
    engine.audioRingPut(eight.data(), 256);
    startDecoding();
    ASSERT_TRUE(waitTurns(SleepSite::AudioWaitDecoders, 3));
    EXPECT_EQ(engine.audioRingRead.load(), 0u);
    for (uint32_t ms : delays(SleepSite::AudioWaitDecoders)) {
        EXPECT_EQ(ms, 100u);
    }

    openAudioDecoder(engine);
    ASSERT_TRUE(waitTurns(SleepSite::AudioTurn, 5));
    EXPECT_EQ(engine.audioRingRead.load(), 0u) << "exactly 256 bytes buffered is not a chunk";
    EXPECT_EQ(engine.pcmWritten.load(), 0u);

    engine.audioRingPut(frames[8].data(), 1);
    ASSERT_TRUE(waitFor([&] { return engine.pcmWritten.load() == 8 * kFramePcmBytes; }));
    EXPECT_EQ(engine.audioRingRead.load(), 256u);
    EXPECT_EQ(pcmWrittenSoFar(engine), referencePcm(Frames(frames.begin(), frames.begin() + 8)));
    EXPECT_EQ(delays(SleepSite::AudioAfterDecode), std::vector<uint32_t>(8, 1));
    for (uint32_t ms : delays(SleepSite::AudioTurn)) {
        EXPECT_EQ(ms, 1u);
    }
}

// Speech encoded again in 21-byte frames, which do not fit a 256-byte chunk evenly.
Frames speechIn21ByteFrames(const std::filesystem::path& scratch) {
    Bytes speech = referencePcm(speechFrames());
    std::filesystem::path raw = scratch.string() + ".pcm";
    std::filesystem::path amr = scratch.string() + ".amr";
    {
        std::ofstream out(raw, std::ios::binary);
        out.write(reinterpret_cast<const char*>(speech.data()),
                  static_cast<std::streamsize>(speech.size()));
    }
    std::string encode = std::string("'") + VIDORA_BINARY_DIR +
                         "/tools/amrnb-encode' --mode MR795 '" + raw.string() + "' '" +
                         amr.string() + "'";
    EXPECT_EQ(std::system(encode.c_str()), 0);
    Frames frames = splitFrames(readFile(amr));
    std::filesystem::remove(raw);
    std::filesystem::remove(amr);
    return frames;
}

// The frames as the decoder gets them from 256-byte chunks: whole frames, a frame that does not
// fit in what is left of a chunk starting the next one. Chunks are taken while more than 256
// bytes are left. Sets `consumed` to the bytes taken.
Frames framesAsChunked(const Bytes& stream, size_t* consumed) {
    Frames fed;
    size_t chunk = 0;
    while (stream.size() > chunk + 256) {
        size_t used = 0;
        for (;;) {
            size_t at = chunk + used;
            size_t size = static_cast<size_t>(storageSize(stream[at]));
            if (used + size > 256) {
                break;
            }
            fed.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at),
                             stream.begin() + static_cast<std::ptrdiff_t>(at + size));
            used += size;
        }
        chunk += used;
    }
    *consumed = chunk;
    return fed;
}

// The first chunk also wraps round the end of the audio ring.
TEST_F(AudioPathTest, FrameAcrossAChunkEndWaitsForTheNextChunkAndPlaysWhole) {
    Frames frames = speechIn21ByteFrames(soundFile);
    ASSERT_GT(frames.size(), 100u);
    ASSERT_EQ(frames[0].size(), 21u);
    Bytes stream = join(frames);
    size_t consumed = 0;
    Frames fed = framesAsChunked(stream, &consumed);

    const uint32_t start = kAudioRingBytes - 100;
    engine.audioRingWritten.store(start);
    engine.audioRingRead.store(start);
    engine.audioRingPut(stream.data(), static_cast<uint32_t>(stream.size()));
    openAudioDecoder(engine);
    startDecoding();
    ASSERT_TRUE(waitFor([&] {
        return engine.audioRingRead.load() - start == consumed &&
               engine.pcmWritten.load() == fed.size() * kFramePcmBytes;
    }));
    ASSERT_TRUE(waitTurns(SleepSite::AudioTurn, 5));
    EXPECT_EQ(engine.audioRingRead.load() - start, consumed) << "decoded past the last chunk";
    EXPECT_TRUE(pcmWrittenSoFar(engine) == referencePcm(fed)) << "decoded sound differs";
}

TEST_F(AudioPathTest, StopInTheMiddleOfAChunkKeepsWhatWasDecoded) {
    Frames frames = speechFrames();
    Bytes stream = join(frames, 0, 10);
    engine.audioRingPut(stream.data(), static_cast<uint32_t>(stream.size()));
    std::atomic<int> decoded{0};
    hook = [&](SleepSite site) {
        if (site == SleepSite::AudioAfterDecode && ++decoded == 3) {
            engine.stopRequested.store(1);
        }
    };
    openAudioDecoder(engine);
    startDecoding();
    ASSERT_TRUE(waitFor([&] { return engine.audioDecodeHandle.load() == 0; }));
    EXPECT_EQ(engine.audioRingRead.load(), 3 * 32u);
    EXPECT_EQ(pcmWrittenSoFar(engine), referencePcm(Frames(frames.begin(), frames.begin() + 3)));
}

// One chunk at a time on the calling thread, with the real decoder or a stand-in.
struct ChunkBench {
    ChunkBench() {
        openDecoderLibrary();
        EXPECT_TRUE(engine.allocateRings());
        engine.setSleepFunction([](SleepSite, uint32_t) {});
    }
    void put(const Bytes& bytes) {
        engine.audioRingPut(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    void decodeChunk() {
        decodeAudioChunk(
            engine, *buffers,
            [this](uint8_t* out, int32_t* outBytes, const uint8_t* in, int32_t length) {
                return frameDecoder.decode(engine.audioCtx, &engine.audioResampler, out, outBytes,
                                           in, length);
            });
    }
    PlaybackEngine engine;
    std::unique_ptr<AudioDecodeBuffers> buffers = std::make_unique<AudioDecodeBuffers>();
    AmrFrameDecoder frameDecoder;
};

// A frame the decoder cannot take, at the start of a chunk or after two good frames: the chunk
// ends there, the PCM before it is kept, and decoding goes on a chunk's length behind it.
TEST(AudioDecodeFailure, UndecodableFrameSkipsAChunkLengthFromWhereItStands) {
    Frames speech = speechFrames();
    const std::vector<std::pair<const char*, Bytes>> damaged = {
        {"reserved frame type 9", Bytes{0x4C, 1, 2, 3, 4, 5, 6, 7}},
        {"SID frame", Bytes{0x44, 0x11, 0x22, 0x33, 0x44, 0x55}},
        {"NO_DATA frame", Bytes{0x7C}},
    };
    for (const auto& [what, frame] : damaged) {
        for (size_t before : {0u, 2u}) {
            SCOPED_TRACE(std::string(what) + " after " + std::to_string(before) + " frames");
            ChunkBench bench;
            openAudioDecoder(bench.engine);
            // The bytes between the bad frame and the place decoding resumes are never looked at.
            Bytes stream = join(speech, 0, before);
            stream.insert(stream.end(), frame.begin(), frame.end());
            stream.resize(before * 32 + 256, 0xFF);
            Bytes after = join(speech, before, 8);
            stream.insert(stream.end(), after.begin(), after.end());
            stream.push_back(0x3C);
            bench.put(stream);

            bench.decodeChunk();
            EXPECT_EQ(bench.engine.audioRingRead.load(), before * 32 + 256);
            EXPECT_EQ(bench.engine.pcmWritten.load(), before * kFramePcmBytes);
            bench.decodeChunk();
            EXPECT_EQ(bench.engine.audioRingRead.load(), before * 32 + 512);

            Frames fed(speech.begin(), speech.begin() + static_cast<std::ptrdiff_t>(before));
            fed.push_back(frame);
            fed.insert(fed.end(), speech.begin() + static_cast<std::ptrdiff_t>(before),
                       speech.begin() + static_cast<std::ptrdiff_t>(before + 8));
            EXPECT_EQ(pcmWrittenSoFar(bench.engine), referencePcm(fed));
        }
    }
}

// A decode call that reports neither progress nor -1 is a failure too: a 0 must not repeat the
// same call for ever, and a negative count must not move the read position backwards.
TEST(AudioDecodeFailure, ZeroOrOtherNegativeResultsCountAsFailure) {
    for (int32_t bad : {0, -22, -1}) {
        SCOPED_TRACE("second call returns " + std::to_string(bad));
        ChunkBench bench;
        bench.put(Bytes(300, 0x3C));
        int calls = 0;
        decodeAudioChunk(bench.engine, *bench.buffers,
                         [&](uint8_t* out, int32_t* outBytes, const uint8_t*, int32_t) {
                             if (++calls == 1) {
                                 std::memset(out, 0x5A, kFramePcmBytes);
                                 *outBytes = kFramePcmBytes;
                                 return 32;
                             }
                             *outBytes = 0;
                             // Ends a loop that would otherwise go on for ever.
                             if (calls > 5) {
                                 bench.engine.stopRequested.store(1);
                             }
                             return bad;
                         });
        EXPECT_EQ(calls, 2);
        EXPECT_EQ(bench.engine.audioRingRead.load(), 32u + 256u);
        EXPECT_EQ(pcmWrittenSoFar(bench.engine), Bytes(kFramePcmBytes, 0x5A));
    }
}

// --- Output --------------------------------------------------------------------------------------

TEST_F(AudioPathTest, ABlockIsPlayedOnlyOnceItsLastByteIsDecoded) {
    startOutput();
    ASSERT_TRUE(waitTurns(SleepSite::AudioOutFeed, 1));
    Bytes block = patternBlock(0);
    engine.pcmRingPut(block.data(), kBlock - 1);
    ASSERT_TRUE(waitTurns(SleepSite::AudioOutFeed, 5));
    EXPECT_EQ(engine.pcmBlocksPlayed.load(), 0);
    EXPECT_EQ(engine.outBuffersQueued.load(), 0);

    engine.pcmRingPut(block.data() + kBlock - 1, 1);
    EXPECT_EQ(engine.pcmBlocksAvailable.load(), 1);
    ASSERT_TRUE(waitFor([&] { return engine.outBuffersDone.load() == 1; }));
    stopThreads();
    EXPECT_EQ(blocksInOrder(readFile(soundFile), block), "");
}

TEST_F(AudioPathTest, PauseHoldsBackNewBlocksAndResumeGoesOnInOrder) {
    Bytes blocks;
    for (int i = 0; i < 4; ++i) {
        Bytes b = patternBlock(i);
        blocks.insert(blocks.end(), b.begin(), b.end());
    }
    startOutput();
    engine.pcmRingPut(blocks.data(), 2 * kBlock);
    ASSERT_TRUE(waitFor([&] { return engine.pcmBlocksPlayed.load() == 2; }));

    engine.paused.store(1);
    ASSERT_TRUE(waitTurns(SleepSite::AudioOutPause, 1));
    engine.pcmRingPut(blocks.data() + 2 * kBlock, 2 * kBlock);
    ASSERT_TRUE(waitTurns(SleepSite::AudioOutPause, 3));
    EXPECT_EQ(engine.pcmBlocksPlayed.load(), 2);
    EXPECT_LE(engine.outBuffersQueued.load(), 2);
    for (uint32_t ms : delays(SleepSite::AudioOutPause)) {
        EXPECT_EQ(ms, 100u);
    }

    engine.paused.store(0);
    ASSERT_TRUE(waitFor([&] { return engine.pcmBlocksPlayed.load() == 4 && outputIdle(); }));
    stopThreads();
    EXPECT_EQ(engine.outBuffersQueued.load(), 4);
    EXPECT_EQ(blocksInOrder(readFile(soundFile), blocks), "");
}

// The device is held still from the start, so the two blocks handed over stay queued until the
// stop: the grace sleep comes first, the reset drops them after it.
TEST_F(AudioPathTest, StopLetsTheQueueRunForTheGraceThenDropsItAndCloses) {
    std::atomic<bool> held{false};
    std::atomic<bool> deviceOpenAtGrace{false};
    std::atomic<int> outstandingAtGrace{-1};
    hook = [&](SleepSite site) {
        if (site == SleepSite::AudioOutFeed && !held && engine.waveOut != nullptr) {
            engine.waveOut->pause();
            held = true;
        }
        if (site == SleepSite::AudioOutGrace) {
            deviceOpenAtGrace = engine.waveOut != nullptr;
            outstandingAtGrace = engine.outBuffersQueued.load() - engine.outBuffersDone.load();
        }
    };
    startOutput();
    ASSERT_TRUE(waitFor([&] { return held.load(); }));
    Bytes blocks;
    for (int i = 0; i < 3; ++i) {
        Bytes b = patternBlock(i);
        blocks.insert(blocks.end(), b.begin(), b.end());
    }
    engine.pcmRingPut(blocks.data(), 3 * kBlock);
    ASSERT_TRUE(waitFor([&] { return engine.pcmBlocksPlayed.load() == 2; }));
    ASSERT_TRUE(waitTurns(SleepSite::AudioOutFeed, 5));
    EXPECT_EQ(engine.pcmBlocksPlayed.load(), 2) << "more than two blocks queued";

    stopThreads();
    EXPECT_EQ(delays(SleepSite::AudioOutGrace), std::vector<uint32_t>{200});
    EXPECT_TRUE(deviceOpenAtGrace.load());
    EXPECT_EQ(outstandingAtGrace.load(), 2);
    EXPECT_TRUE(outputIdle()) << "the reset reports both dropped blocks";
    EXPECT_EQ(engine.waveOut, nullptr);
    EXPECT_EQ(blocksInOrder(readFile(soundFile), Bytes()), "") << "nothing was heard";
}

TEST_F(AudioPathTest, Block524ComesFromSlot0ThroughHeader4) {
    ASSERT_EQ(engine.openAudioOut(8000, 1, 16), 1);
    EXPECT_EQ(engine.outBlockSize.load(), 2000);
    for (uint32_t i = 0; i < kWaveHeaderCount; ++i) {
        EXPECT_EQ(engine.waveHeaders[i].data, engine.waveBufferMemory.get() + i * kBlock);
        EXPECT_EQ(engine.waveHeaders[i].length, kBlock);
    }
    engine.waveOut->pause();
    for (int i = 0; i <= 524; ++i) {
        Bytes b = patternBlock(i);
        engine.pcmRingPut(b.data(), kBlock);
    }
    Bytes slot0(engine.pcmRingData.get(), engine.pcmRingData.get() + kBlock);
    ASSERT_EQ(slot0, patternBlock(524));
    engine.pcmBlocksPlayed.store(524);
    engine.feedAudioBlock();
    EXPECT_EQ(engine.pcmBlocksPlayed.load(), 525);
    EXPECT_EQ(engine.outBuffersQueued.load(), 1);
    EXPECT_NE(engine.waveHeaders[4].flags & kWaveHeaderInQueue, 0u);
    EXPECT_EQ(Bytes(engine.waveHeaders[4].data, engine.waveHeaders[4].data + kBlock), slot0);
    engine.closeAudioOut();
    EXPECT_EQ(engine.waveOut, nullptr);
    EXPECT_TRUE(outputIdle());
}

// A recording played without a device must not leave blocks counted as queued that no device
// will ever report: the next recording, whose device opens, would then stay silent.
TEST_F(AudioPathTest, ARunWithoutADeviceDoesNotSilenceTheNextRun) {
    playInto("/nonexistent-vidora-folder/sound.raw");
    startOutput();
    Bytes blocks;
    for (int i = 0; i < 3; ++i) {
        Bytes b = patternBlock(i);
        blocks.insert(blocks.end(), b.begin(), b.end());
    }
    engine.pcmRingPut(blocks.data(), 3 * kBlock);
    ASSERT_TRUE(waitFor([&] { return engine.pcmBlocksPlayed.load() == 3; }));
    EXPECT_EQ(engine.outBuffersQueued.load(), 0);
    stopThreads();

    playInto(soundFile);
    engine.resetCounters();
    engine.stopRequested.store(0);
    startOutput();
    engine.pcmRingPut(blocks.data(), 3 * kBlock);
    ASSERT_TRUE(waitFor([&] { return engine.pcmBlocksPlayed.load() == 3 && outputIdle(); }));
    stopThreads();
    EXPECT_EQ(engine.outBuffersQueued.load(), 3);
    EXPECT_EQ(blocksInOrder(readFile(soundFile), blocks), "");
}

// --- The whole path ------------------------------------------------------------------------------

// A real recording opened with all four threads, its audio read, paced and handed over by the
// reader, the decoder opened by the video thread, plays exactly FFmpeg's decoding of its speech
// block by block, less the last chunk's worth that is never decoded and the final partial block.
TEST_F(AudioPathTest, RecordingPlaysItsSpeechAsFfmpegDecodesIt) {
    ASSERT_EQ(engine.open(VIDORA_TEST_DATA_DIR "/h264_320x240.krm", &surface, Rect{0, 0, 64, 48}),
              1);
    auto consumedFrames = [&] { return engine.audioRingRead.load() / 32; };
    ASSERT_TRUE(waitFor([&] {
        int32_t unread =
            static_cast<int32_t>(engine.audioRingWritten.load() - engine.audioRingRead.load());
        uint32_t pcm = engine.pcmWritten.load();
        return engine.readerHandle.load() == 0 && engine.audioRingWritten.load() > 0 &&
               unread <= 256 && pcm == consumedFrames() * kFramePcmBytes &&
               engine.pcmBlocksPlayed.load() == static_cast<int32_t>(pcm / kBlock) && outputIdle();
    })) << state();
    engine.close();

    Frames frames = speechFrames();
    const uint32_t delivered = engine.audioRingWritten.load();
    ASSERT_LE(delivered, join(frames).size());
    EXPECT_GT(delivered, join(frames).size() * 9 / 10);
    EXPECT_LE(delivered - engine.audioRingRead.load(), 256u);
    const uint32_t blocks = engine.pcmWritten.load() / kBlock;
    EXPECT_GT(blocks, 20u);
    Bytes reference = referencePcm(frames);
    reference.resize(blocks * kBlock);
    EXPECT_EQ(blocksInOrder(readFile(soundFile), reference), "");
}

}  // namespace
}  // namespace vidora
