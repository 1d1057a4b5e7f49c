// The audio path: AMR-NB from the audio ring through FFmpeg's decoder into the PCM ring, frame by
// frame, and the PCM ring's slots to the wave output, whose sound SDL's disk driver writes into a
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

// FFmpeg's own decoding: each frame sent as one packet to one AMR-NB decoder, the float samples
// turned into 16-bit by libswresample with its defaults. One entry per frame; empty where the
// decoder rejects the frame.
Frames referenceFrames(const Frames& frames) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AMR_NB);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->sample_rate = 8000;
    av_channel_layout_default(&context->ch_layout, 1);
    EXPECT_EQ(avcodec_open2(context, codec, nullptr), 0);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    SwrContext* swr = nullptr;
    Frames pcm;
    for (const Bytes& bytes : frames) {
        pcm.emplace_back();
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
        pcm.back().resize(static_cast<size_t>(frame->nb_samples) * 2);
        uint8_t* out[1] = {pcm.back().data()};
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

// What the engine must play for these frames: FFmpeg's sound for each, 20 ms of silence for each
// frame FFmpeg rejects.
Bytes expectedSound(const Frames& frames) {
    Bytes sound;
    for (const Bytes& pcm : referenceFrames(frames)) {
        const Bytes frame = pcm.empty() ? Bytes(kFramePcmBytes, 0) : pcm;
        sound.insert(sound.end(), frame.begin(), frame.end());
    }
    return sound;
}

// What the video thread does once it has set up for the stream: the audio decode thread then
// opens its decoder and starts.
void startStream(PlaybackEngine& engine) {
    engine.decodersReady.store(1, std::memory_order_release);
}

// The sound in PCM slots `first` to `end` - 1, one after another; flush slots hold none.
Bytes slotSound(const PlaybackEngine& engine, uint32_t first, uint32_t end) {
    Bytes sound;
    Bytes slot(kPcmSlotBytes);
    for (uint32_t n = first; n != end; ++n) {
        PcmSlot info;
        engine.pcmRing.readSlot(n, slot.data(), &info);
        sound.insert(sound.end(), slot.begin(), slot.begin() + info.bytes);
    }
    return sound;
}

// One frame's worth of sound that tells slot `index` apart from every other, with no silent
// sample.
Bytes patternSlot(int index) {
    Bytes slot(kPcmSlotBytes);
    for (uint32_t i = 0; i < kPcmSlotBytes; i += 2) {
        uint16_t sample = static_cast<uint16_t>(1 + index * 977 + i * 7);
        slot[i] = static_cast<uint8_t>(sample | 1);
        slot[i + 1] = static_cast<uint8_t>(sample >> 8);
    }
    return slot;
}

// Whether `played` is `blocks` (whole slots of sound) in order, with nothing but silence
// before, between (when the device ran dry) and after them. Empty when so, else what is wrong.
std::string blocksInOrder(const Bytes& played, const Bytes& blocks) {
    constexpr size_t kBlock = kPcmSlotBytes;
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

    void start(std::atomic<bool>& running, void (*entry)(PlaybackEngine&)) {
        running.store(true);
        threads.emplace_back(entry, std::ref(engine));
    }
    void startDecoding() { start(engine.audioDecodeRunning, AudioDecodeThread); }
    void startOutput() { start(engine.audioOutRunning, AudioOutThread); }
    void stopThreads() {
        engine.stopRequested.store(1);
        for (std::thread& t : threads) {
            t.join();
        }
        threads.clear();
        EXPECT_FALSE(engine.audioDecodeRunning.load());
        EXPECT_FALSE(engine.audioOutRunning.load());
    }
    void putSlots(const Bytes& sound, int64_t streamTime = 0) {
        for (size_t at = 0; at < sound.size(); at += kPcmSlotBytes) {
            ASSERT_TRUE(engine.pcmRing.put(sound.data() + at, kPcmSlotBytes, streamTime));
            streamTime += 20000;
        }
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
        return "audio written " + std::to_string(engine.audioRing.written.load()) + ", read " +
               std::to_string(engine.audioRing.read.load()) + "; pcm written " +
               std::to_string(engine.pcmRing.written.load()) + ", taken " +
               std::to_string(engine.pcmRing.taken.load()) + "; blocks queued " +
               std::to_string(engine.outBuffersQueued.load()) + ", done " +
               std::to_string(engine.outBuffersDone.load()) + "; decoders ready " +
               std::to_string(engine.decodersReady.load()) + ", reader running " +
               std::to_string(engine.readerRunning.load() != 0);
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

TEST_F(AudioPathTest, DecodingWaitsForTheDecodersThenTakesEveryWholeFrame) {
    Frames frames = speechFrames();
    ASSERT_GE(frames.size(), 9u);
    Bytes nine = join(frames, 0, 9);
    engine.audioRing.put(nine.data(), 8 * 32 + 31);  // the ninth frame one byte short
    startDecoding();
    ASSERT_TRUE(waitTurns(SleepSite::AudioWaitDecoders, 3));
    EXPECT_EQ(engine.audioRing.read.load(), 0u);
    for (uint32_t ms : delays(SleepSite::AudioWaitDecoders)) {
        EXPECT_EQ(ms, 100u);
    }

    startStream(engine);
    engine.audioDecodeWake.notify();
    ASSERT_TRUE(waitFor([&] { return engine.pcmRing.written.load() == 8; })) << state();
    ASSERT_TRUE(waitTurns(SleepSite::AudioTurn, 5));
    EXPECT_EQ(engine.pcmRing.written.load(), 8u) << "a frame decoded before all its bytes came";
    EXPECT_EQ(engine.audioRing.read.load(), 8u * 32u);
    engine.audioRing.put(nine.data() + 8 * 32 + 31, 1);
    ASSERT_TRUE(waitFor([&] { return engine.pcmRing.written.load() == 9; })) << state();
    EXPECT_EQ(engine.audioRing.read.load(), 9u * 32u);
    EXPECT_EQ(slotSound(engine, 0, 9), expectedSound(Frames(frames.begin(), frames.begin() + 9)));
    for (uint32_t ms : delays(SleepSite::AudioTurn)) {
        EXPECT_EQ(ms, 1u);
    }
}

// decodeAudioFrames on the calling thread, with the real decoder or a stand-in.
struct FrameBench {
    FrameBench() {
        openDecoderLibrary();
        EXPECT_TRUE(engine.allocateRings());
        engine.setSleepFunction([](SleepSite, uint32_t) {});
    }
    // Appends a record's sound with its mark, as the reader does.
    void put(const Bytes& bytes, int64_t streamTime) {
        engine.audioRing.marks.push(StreamMark{engine.audioRing.written.load(), streamTime});
        engine.audioRing.put(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    uint32_t decode(uint32_t most = 1000) {
        return decodeAudioFrames(
            engine, *state,
            [this](uint8_t* out, int32_t* outBytes, const uint8_t* in, int32_t length) {
                return frameDecoder.decode(out, outBytes, in, length);
            },
            most);
    }
    std::vector<int64_t> slotTimes(uint32_t first, uint32_t end) const {
        std::vector<int64_t> times;
        Bytes slot(kPcmSlotBytes);
        for (uint32_t n = first; n != end; ++n) {
            PcmSlot info;
            engine.pcmRing.readSlot(n, slot.data(), &info);
            times.push_back(info.flush ? -1 : info.streamTime);
        }
        return times;
    }
    PlaybackEngine engine;
    std::unique_ptr<AudioDecodeState> state = std::make_unique<AudioDecodeState>();
    AmrFrameDecoder frameDecoder;
};

// Records whose sound does not break at frame boundaries, the first ones across the end of the
// audio ring: a frame is decoded once its last byte has come, each plays at the time counted on
// from the record it began in, and the last frames of the stream play too.
TEST(AudioDecodeFrames, FramesSplitAcrossRecordsPlayWholeAndInTime) {
    Frames frames = speechFrames();
    ASSERT_GE(frames.size(), 40u);
    frames.resize(40);
    const Bytes stream = join(frames);
    FrameBench bench;
    ASSERT_TRUE(bench.frameDecoder.open());
    bench.engine.audioRing.written = kAudioRingBytes - 50;
    bench.engine.audioRing.read = kAudioRingBytes - 50;
    // Records of 100 bytes, 62.5 ms of sound each.
    for (size_t at = 0; at < stream.size(); at += 100) {
        const size_t n = std::min<size_t>(100, stream.size() - at);
        bench.put(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                        stream.begin() + static_cast<std::ptrdiff_t>(at + n)),
                  1000000 + static_cast<int64_t>(at / 100) * 62500);
        bench.decode();
        // Every frame whose bytes are all in, and none other.
        EXPECT_EQ(bench.engine.pcmRing.written.load(), (at + n) / 32) << "after byte " << at + n;
    }
    ASSERT_EQ(bench.engine.pcmRing.written.load(), 40u);
    EXPECT_EQ(bench.engine.audioRing.written.load(), bench.engine.audioRing.read.load());
    EXPECT_EQ(slotSound(bench.engine, 0, 40), expectedSound(frames));
    std::vector<int64_t> times = bench.slotTimes(0, 40);
    for (uint32_t i = 0; i < 40; ++i) {
        EXPECT_EQ(times[i], 1000000 + int64_t{i} * 20000) << "frame " << i;
    }
}

// A frame the decoder refuses plays as silence, so that what follows keeps its time; a byte that
// starts no frame is passed over until the frames are found again.
TEST(AudioDecodeFrames, RefusedFramesPlaySilenceAndJunkIsPassedOver) {
    Frames speech = speechFrames();
    const Bytes sid = {0x44, 0x11, 0x22, 0x33, 0x44, 0x55};
    const Bytes noData = {0x7C};
    Frames fed = {speech[0], speech[1], sid, noData, speech[2], speech[3]};
    Bytes stream = join(fed);
    // Bytes that begin no frame (a reserved frame type, set padding bits), then frames again.
    for (uint8_t junk : {0x4C, 0xFF, 0x81, 0x4C}) {
        stream.push_back(junk);
    }
    for (size_t i = 4; i < 10; ++i) {
        stream.insert(stream.end(), speech[i].begin(), speech[i].end());
        fed.push_back(speech[i]);
    }
    FrameBench bench;
    ASSERT_TRUE(bench.frameDecoder.open());
    bench.put(stream, 0);
    EXPECT_EQ(bench.decode(), 12u);
    EXPECT_EQ(bench.engine.audioRing.read.load(), bench.engine.audioRing.written.load());
    EXPECT_EQ(slotSound(bench.engine, 0, 12), expectedSound(fed));
    EXPECT_EQ(bench.slotTimes(3, 5), (std::vector<int64_t>{60000, 80000}));
}

// A seek: the bytes before the flush are dropped, decoded or not, a flush slot tells the output
// to drop what it holds, and the sound after the seek plays at its record's time.
TEST(AudioDecodeFrames, FlushDropsTheOldBytesAndIsPassedToTheOutput) {
    Frames speech = speechFrames();
    FrameBench bench;
    ASSERT_TRUE(bench.frameDecoder.open());
    bench.put(join(speech, 0, 3), 0);
    EXPECT_EQ(bench.decode(1), 1u);
    // A seek came while two old frames and part of a third were still unread.
    const Bytes cut(speech[3].begin(), speech[3].begin() + 10);
    bench.engine.audioRing.put(cut.data(), static_cast<uint32_t>(cut.size()));
    bench.engine.audioRing.marks.push(StreamMark{bench.engine.audioRing.written.load(), 0, true});
    bench.put(join(speech, 20, 6), 7000000);
    EXPECT_EQ(bench.decode(), 6u);
    EXPECT_EQ(bench.engine.pcmRing.written.load(), 8u);
    EXPECT_EQ(bench.slotTimes(0, 8),
              (std::vector<int64_t>{0, -1, 7000000, 7020000, 7040000, 7060000, 7080000, 7100000}));
    // The new frames decode as a stream of their own would after the old frame.
    Frames heard = {speech[0]};
    for (size_t i = 20; i < 26; ++i) {
        heard.push_back(speech[i]);
    }
    EXPECT_EQ(slotSound(bench.engine, 0, 8), expectedSound(heard));
}

// While the PCM ring is full nothing is taken: not the next frame (which would otherwise go
// through the decoder twice) and not a seek's flush (which would otherwise be lost); both wait for
// room.
TEST(AudioDecodeFrames, NothingIsTakenWhileThePcmRingIsFull) {
    Frames speech = speechFrames();
    FrameBench bench;
    ASSERT_TRUE(bench.frameDecoder.open());
    bench.engine.pcmRing.written = kPcmSlots - 1;
    bench.engine.pcmRing.taken = 0;
    bench.put(join(speech, 0, 3), 0);
    EXPECT_EQ(bench.decode(), 1u);
    EXPECT_EQ(bench.engine.audioRing.read.load(), 32u);
    EXPECT_EQ(bench.decode(), 0u);
    bench.engine.pcmRing.taken = 2;
    EXPECT_EQ(bench.decode(), 2u);
    EXPECT_EQ(bench.engine.audioRing.read.load(), 96u);
    EXPECT_EQ(slotSound(bench.engine, kPcmSlots - 1, kPcmSlots + 2),
              expectedSound(Frames(speech.begin(), speech.begin() + 3)));

    // Full again, with old frames and a seek's flush behind them.
    bench.engine.pcmRing.taken = 2;
    bench.put(join(speech, 3, 2), 0);
    bench.engine.audioRing.marks.push(StreamMark{bench.engine.audioRing.written.load(), 0, true});
    EXPECT_EQ(bench.decode(), 0u);
    bench.engine.pcmRing.taken = 3;
    bench.decode();
    EXPECT_EQ(bench.engine.audioRing.read.load(), bench.engine.audioRing.written.load());
    ASSERT_EQ(bench.engine.pcmRing.written.load(), kPcmSlots + 3) << "the old sound was decoded";
    EXPECT_EQ(bench.slotTimes(kPcmSlots + 2, kPcmSlots + 3), (std::vector<int64_t>{-1}));
}

// --- Output --------------------------------------------------------------------------------------

// The slots go to the device in order, also across the end of the PCM ring; a pause holds the
// device and what is queued on it, and resuming plays on where it stood.
TEST_F(AudioPathTest, SlotsPlayInOrderAndAPauseHoldsThem) {
    engine.pcmRing.written = kPcmSlots - 2;
    engine.pcmRing.taken = kPcmSlots - 2;
    Bytes sound;
    for (int i = 0; i < 8; ++i) {
        Bytes b = patternSlot(i);
        sound.insert(sound.end(), b.begin(), b.end());
    }
    startOutput();
    putSlots(Bytes(sound.begin(), sound.begin() + 4 * kPcmSlotBytes));
    ASSERT_TRUE(waitFor([&] { return engine.outBuffersDone.load() == 4; })) << state();

    engine.paused.store(1);
    ASSERT_TRUE(waitTurns(SleepSite::AudioOutFeed, 3));
    putSlots(Bytes(sound.begin() + 4 * kPcmSlotBytes, sound.end()), 80000);
    ASSERT_TRUE(waitFor([&] { return engine.pcmRing.taken.load() == kPcmSlots + 6; })) << state();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(engine.outBuffersDone.load(), 4) << "sound played while paused";

    engine.paused.store(0);
    ASSERT_TRUE(waitFor([&] { return engine.outBuffersDone.load() == 8; })) << state();
    stopThreads();
    EXPECT_EQ(engine.outBuffersQueued.load(), 8);
    EXPECT_EQ(blocksInOrder(readFile(soundFile), sound), "");
}

// A flush slot drops the sound still queued on the device; what comes after it plays.
TEST_F(AudioPathTest, FlushSlotDropsWhatTheDeviceHolds) {
    Bytes before;
    Bytes after;
    for (int i = 0; i < 3; ++i) {
        Bytes b = patternSlot(i);
        before.insert(before.end(), b.begin(), b.end());
        Bytes c = patternSlot(10 + i);
        after.insert(after.end(), c.begin(), c.end());
    }
    // All there before the output starts: it takes them in one go, the old sound still held
    // back from the device when the flush comes.
    putSlots(before);
    ASSERT_TRUE(engine.pcmRing.putFlush());
    putSlots(after, 5000000);
    startOutput();
    ASSERT_TRUE(waitFor([&] { return engine.outBuffersDone.load() == 6 && outputIdle(); }))
        << state();
    stopThreads();
    EXPECT_EQ(engine.outBuffersQueued.load(), 6);
    EXPECT_EQ(blocksInOrder(readFile(soundFile), after), "");
}

// At a stop the queue may play for the grace, then the reset drops it and the device closes.
// The engine is paused from the start, so what was handed over stays queued until then.
TEST_F(AudioPathTest, StopLetsTheQueueRunForTheGraceThenDropsItAndCloses) {
    std::atomic<bool> deviceOpenAtGrace{false};
    std::atomic<int> outstandingAtGrace{-1};
    hook = [&](SleepSite site) {
        if (site == SleepSite::AudioOutGrace) {
            deviceOpenAtGrace = engine.waveOut != nullptr;
            outstandingAtGrace = engine.outBuffersQueued.load() - engine.outBuffersDone.load();
        }
    };
    engine.paused.store(1);
    startOutput();
    Bytes sound;
    for (int i = 0; i < 3; ++i) {
        Bytes b = patternSlot(i);
        sound.insert(sound.end(), b.begin(), b.end());
    }
    putSlots(sound);
    ASSERT_TRUE(waitFor([&] { return engine.outBuffersQueued.load() == 3; })) << state();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    stopThreads();
    EXPECT_EQ(delays(SleepSite::AudioOutGrace), std::vector<uint32_t>{200});
    EXPECT_TRUE(deviceOpenAtGrace.load());
    EXPECT_EQ(outstandingAtGrace.load(), 3);
    EXPECT_TRUE(outputIdle()) << "the reset reports every dropped block";
    EXPECT_EQ(engine.waveOut, nullptr);
    EXPECT_EQ(blocksInOrder(readFile(soundFile), Bytes()), "") << "nothing was heard";
}

// A recording played without a device must not leave blocks counted as queued that no device
// will ever report: the next recording, whose device opens, would then stay silent.
TEST_F(AudioPathTest, ARunWithoutADeviceDoesNotSilenceTheNextRun) {
    playInto("/nonexistent-vidora-folder/sound.raw");
    startOutput();
    Bytes sound;
    for (int i = 0; i < 3; ++i) {
        Bytes b = patternSlot(i);
        sound.insert(sound.end(), b.begin(), b.end());
    }
    putSlots(sound);
    ASSERT_TRUE(waitFor([&] { return engine.pcmRing.taken.load() == 3; }));
    EXPECT_EQ(engine.outBuffersQueued.load(), 0);
    stopThreads();

    playInto(soundFile);
    engine.resetCounters();
    engine.stopRequested.store(0);
    startOutput();
    putSlots(sound);
    ASSERT_TRUE(waitFor([&] { return engine.outBuffersDone.load() == 3 && outputIdle(); }));
    stopThreads();
    EXPECT_EQ(engine.outBuffersQueued.load(), 3);
    EXPECT_EQ(blocksInOrder(readFile(soundFile), sound), "");
}

// --- The whole path ------------------------------------------------------------------------------

// A real recording opened with all four threads, its audio read, paced and handed over by the
// reader, the decoder opened by the video thread, plays exactly FFmpeg's decoding of its speech,
// frame by frame, to the last frame delivered.
TEST_F(AudioPathTest, RecordingPlaysItsSpeechAsFfmpegDecodesIt) {
    ASSERT_EQ(engine.open(VIDORA_TEST_DATA_DIR "/h264_320x240.krm", &surface, Rect{0, 0, 64, 48}),
              1);
    ASSERT_TRUE(waitFor([&] {
        return engine.readerRunning.load() == 0 && engine.audioRing.written.load() > 0 &&
               engine.audioRing.read.load() == engine.audioRing.written.load() &&
               engine.pcmRing.taken.load() == engine.pcmRing.written.load() && outputIdle();
    })) << state();
    engine.close();

    Frames frames = speechFrames();
    const uint32_t delivered = engine.audioRing.written.load();
    ASSERT_LE(delivered, join(frames).size());
    EXPECT_GT(delivered, join(frames).size() * 9 / 10);
    ASSERT_EQ(delivered % 32, 0u);
    frames.resize(delivered / 32);
    EXPECT_EQ(blocksInOrder(readFile(soundFile), expectedSound(frames)), "");
}

}  // namespace
}  // namespace vidora
