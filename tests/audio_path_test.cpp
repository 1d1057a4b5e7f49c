// The audio path: AMR-NB from the audio ring through FFmpeg's decoder into the PCM ring, frame by
// frame, and the PCM ring's slots to the sound device, whose sound SDL's disk driver writes into
// a file. The sound is checked sample for sample against FFmpeg's own decoding of the frames.

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "audio/audio_decoder.h"
#include "audio/sound_output.h"
#include "engine/playback_engine.h"
#include "platform/surface.h"
#include "support/ffmpeg_reference.h"
#include "support/recording_bytes.h"

namespace vidora {
namespace {

using test::Bytes;
using Frames = std::vector<Bytes>;

Frames speech() {
    return test::amrFrames(test::readFileBytes(VIDORA_TEST_DATA_DIR "/speech.amr"));
}

Bytes join(const Frames& frames, size_t first = 0, size_t count = SIZE_MAX) {
    Bytes out;
    for (size_t i = first; i < frames.size() && i - first < count; ++i) {
        out.insert(out.end(), frames[i].begin(), frames[i].end());
    }
    return out;
}

// The audio decoder between its two rings, driven by the test.
struct Decoding {
    Decoding() { EXPECT_TRUE(audio.allocate() && pcm.allocate()); }
    void put(const Bytes& bytes, int64_t streamTime) {
        ASSERT_TRUE(audio.putRecord(bytes.data(), static_cast<uint32_t>(bytes.size()), streamTime));
    }
    // Takes every frame out: its time (-1 for a flush) and its sound.
    void take() {
        StreamMark frame;
        uint8_t bytes[kPcmFrameBytes];
        uint32_t n = 0;
        while (pcm.takeRecord(bytes, sizeof bytes, &frame, &n)) {
            times.push_back(frame.flush ? -1 : frame.streamTime);
            sound.insert(sound.end(), bytes, bytes + n);
        }
    }
    Pacer pacer{Pacer::Kind::Virtual};
    ByteRing audio{kAudioRingBytes};
    ByteRing pcm{kPcmRingBytes};
    AudioDecoder decoder{audio, pcm, pacer};
    std::vector<int64_t> times;
    Bytes sound;
};

// Records whose sound does not break at frame boundaries: a frame is decoded once its last byte
// has come, and each plays at the time counted on from the record it began in.
TEST(AudioDecoder, FramesSplitAcrossRecordsPlayWholeAndInTime) {
    Frames frames = speech();
    frames.resize(40);
    const Bytes stream = join(frames);
    Decoding d;
    for (size_t at = 0; at < stream.size(); at += 100) {  // 62.5 ms of sound a record
        const size_t n = std::min<size_t>(100, stream.size() - at);
        d.put(Bytes(stream.begin() + at, stream.begin() + at + n),
              1000000 + static_cast<int64_t>(at / 100) * 62500);
        d.decoder.decodeAvailable(1000);
        d.take();
        EXPECT_EQ(d.times.size(), (at + n) / 32) << "every frame whose bytes are all in";
    }
    EXPECT_EQ(d.sound, test::referenceSound(frames));
    for (size_t i = 0; i < d.times.size(); ++i) {
        EXPECT_EQ(d.times[i], 1000000 + int64_t(i) * 20000) << "frame " << i;
    }
}

// A frame the decoder refuses plays as silence, so that what follows keeps its time; bytes that
// start no frame are passed over; a flush drops the bytes before it and is passed on.
TEST(AudioDecoder, RefusedFramesJunkAndFlushes) {
    const Frames s = speech();
    const Bytes sid = {0x44, 0x11, 0x22, 0x33, 0x44, 0x55};
    const Bytes noData = {0x7C};
    Frames heard = {s[0], s[1], sid, noData, s[2], s[3]};
    Bytes stream = join(heard);
    for (uint8_t junk : {0x4C, 0xFF, 0x81, 0x4C}) {  // a reserved type, set padding bits
        stream.push_back(junk);
    }
    for (size_t i = 4; i < 10; ++i) {
        stream.insert(stream.end(), s[i].begin(), s[i].end());
        heard.push_back(s[i]);
    }
    Decoding d;
    d.put(stream, 0);
    EXPECT_EQ(d.decoder.decodeAvailable(1000), 12u);
    EXPECT_EQ(d.audio.unread(), 0u);
    d.take();
    // A seek while an old frame and part of another were still unread.
    d.put(join(s, 10, 1), 300000);
    const Bytes cut(s[11].begin(), s[11].begin() + 10);
    d.put(cut, 320000);
    d.audio.flush();
    d.put(join(s, 20, 6), 7000000);
    EXPECT_EQ(d.decoder.decodeAvailable(1000), 6u);
    d.take();
    ASSERT_EQ(d.times.size(), 12u + 1 + 6);
    EXPECT_EQ(d.times[3], 60000);
    EXPECT_EQ(d.times[4], 80000);
    EXPECT_EQ(d.times[12], -1);
    EXPECT_EQ(d.times[13], 7000000);
    EXPECT_EQ(d.times[18], 7100000);
    // The frames after the seek decode as they would after the old ones.
    for (size_t i = 20; i < 26; ++i) {
        heard.push_back(s[i]);
    }
    EXPECT_EQ(d.sound, test::referenceSound(heard));
}

// While the PCM ring is full nothing is taken: not the next frame (it would go through the
// decoder twice) and not a seek's flush (it would be lost).
TEST(AudioDecoder, NothingIsTakenWhileThePcmRingIsFull) {
    const Frames s = speech();
    Decoding d;
    const uint8_t silence[kPcmFrameBytes] = {};
    auto fill = [&] {  // up to one frame short of full
        while (d.pcm.unread() * 5 + kPcmFrameBytes * 5 <= kPcmRingBytes * 4) {
            ASSERT_TRUE(d.pcm.putRecord(silence, kPcmFrameBytes, 0));
        }
    };
    fill();
    d.put(join(s, 0, 3), 0);
    EXPECT_EQ(d.decoder.decodeAvailable(1000), 1u);
    EXPECT_EQ(d.decoder.decodeAvailable(1000), 0u);
    d.take();
    EXPECT_EQ(d.decoder.decodeAvailable(1000), 2u);
    d.take();
    EXPECT_EQ(Bytes(d.sound.end() - 3 * kPcmFrameBytes, d.sound.end()),
              test::referenceSound({s[0], s[1], s[2]}));
    // Full again, with a seek's flush behind old frames: it waits for room, then drops them.
    fill();
    ASSERT_TRUE(d.pcm.putRecord(silence, kPcmFrameBytes, 0));
    d.put(join(s, 3, 2), 100000);
    d.audio.flush();
    d.put(join(s, 5, 4), 500000);  // after a seek, decoding resumes where frames follow
    EXPECT_EQ(d.decoder.decodeAvailable(1000), 0u);
    d.take();
    EXPECT_EQ(d.decoder.decodeAvailable(1000), 4u);
    d.take();
    EXPECT_EQ(std::vector<int64_t>(d.times.end() - 5, d.times.end() - 3),
              (std::vector<int64_t>{-1, 500000}));
}

// The sound device's tests hear what it played through SDL's disk driver, which writes it into a
// file; Windows' waveOut has no such recorder, so they stay Linux's.
#ifndef _WIN32
// One frame's worth of sound that tells slot `index` apart from every other, never silent.
Bytes patternSlot(int index) {
    Bytes slot(kPcmFrameBytes);
    for (uint32_t i = 0; i < kPcmFrameBytes; i += 2) {
        const uint16_t sample = static_cast<uint16_t>(1 + index * 977 + i * 7);
        slot[i] = static_cast<uint8_t>(sample | 1);
        slot[i + 1] = static_cast<uint8_t>(sample >> 8);
    }
    return slot;
}

// Whether `played` is `blocks` in order with nothing but silence before, between and after them.
std::string blocksInOrder(const Bytes& played, const Bytes& blocks) {
    size_t at = 0;
    for (size_t b = 0; b * kPcmFrameBytes < blocks.size(); ++b) {
        const auto block = blocks.begin() + b * kPcmFrameBytes;
        while (at + kPcmFrameBytes > played.size() ||
               !std::equal(block, block + kPcmFrameBytes, played.begin() + at)) {
            if (at + kPcmFrameBytes > played.size()) {
                return "block " + std::to_string(b) + " never played";
            }
            if (played[at] != 0 || played[at + 1] != 0) {
                return "sound that is not block " + std::to_string(b) + " at " + std::to_string(at);
            }
            at += 2;
        }
        at += kPcmFrameBytes;
    }
    for (; at < played.size(); ++at) {
        if (played[at] != 0) {
            return "sound after the last block at byte " + std::to_string(at);
        }
    }
    return "";
}

// SDL's disk driver writes what the device plays into a file, at the speed it would play.
class SoundDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", soundFile.c_str(), 1);
        ASSERT_TRUE(pcm.allocate());
    }
    void TearDown() override { std::filesystem::remove(soundFile); }
    void put(int first, int count, int64_t streamTime = 0) {
        for (int i = first; i < first + count; ++i, streamTime += 20000) {
            ASSERT_TRUE(pcm.putRecord(patternSlot(i).data(), kPcmFrameBytes, streamTime));
        }
    }
    Bytes slots(int first, int count) {
        Bytes out;
        for (int i = first; i < first + count; ++i) {
            const Bytes b = patternSlot(i);
            out.insert(out.end(), b.begin(), b.end());
        }
        return out;
    }
    bool played(size_t bytes) {
        for (int i = 0; i < 500; ++i) {
            if (std::filesystem::exists(soundFile) &&
                test::readFileBytes(soundFile).size() >= bytes + 8000) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::string soundFile = (std::filesystem::temp_directory_path() /
                             ("vidora-sound-" + std::to_string(getpid()) + ".raw"))
                                .string();
    Pacer pacer;
    PlaybackClock clock;
    ByteRing pcm{kPcmRingBytes};
};

// The slots go to the device in order; a pause holds what is queued; a flush drops it.
TEST_F(SoundDevice, PlaysInOrderHoldsWhilePausedAndDropsAtAFlush) {
    SoundOutput output(pcm, clock, pacer);
    pcm.setConsumerWake(&output.wake());
    std::jthread thread([&](std::stop_token stop) { output.run(stop); });
    put(0, 4);
    ASSERT_TRUE(played(4 * kPcmFrameBytes));
    output.setPaused(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const size_t beforePause = test::readFileBytes(soundFile).size();
    put(4, 4, 80000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(blocksInOrder(test::readFileBytes(soundFile), slots(0, 4)), "")
        << "sound played while paused";
    output.setPaused(false);
    ASSERT_TRUE(played(beforePause + 4 * kPcmFrameBytes));
    thread.request_stop();
    output.wake().notify();
    thread = std::jthread();
    EXPECT_EQ(blocksInOrder(test::readFileBytes(soundFile), slots(0, 8)), "");

    // Held back at the start of a stretch, the old sound never reaches the device past a flush.
    SoundOutput second(pcm, clock, pacer);
    pcm.setConsumerWake(&second.wake());
    std::filesystem::remove(soundFile);
    put(10, 3);
    pcm.flush();
    put(20, 3, 5000000);
    thread = std::jthread([&](std::stop_token stop) { second.run(stop); });
    ASSERT_TRUE(played(3 * kPcmFrameBytes));
    thread.request_stop();
    second.wake().notify();
    thread = std::jthread();
    EXPECT_EQ(blocksInOrder(test::readFileBytes(soundFile), slots(20, 3)), "");
}

// A recording opened with all four threads plays exactly FFmpeg's decoding of its speech, frame
// by frame, to the last frame delivered.
TEST_F(SoundDevice, RecordingPlaysItsSpeechAsFfmpegDecodesIt) {
    PlaybackEngine engine;
    Surface surface(64, 48);
    ASSERT_EQ(engine.open(VIDORA_TEST_DATA_DIR "/h264_320x240.krm", &surface, Rect{0, 0, 64, 48}),
              1);
    Frames frames = speech();
    EXPECT_TRUE(played(test::referenceSound(frames).size() * 9 / 10));
    for (int i = 0; i < 300 && engine.isPlaying(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    engine.close();
    // Everything delivered was decoded; the recording's audio is the speech, whole frames.
    const uint32_t delivered = engine.audioRing().readPosition();
    ASSERT_GT(delivered, join(frames).size() * 9 / 10);
    ASSERT_EQ(delivered % 32, 0u);
    frames.resize(delivered / 32);
    EXPECT_EQ(blocksInOrder(test::readFileBytes(soundFile), test::referenceSound(frames)), "");
}

#endif

}  // namespace
}  // namespace vidora
