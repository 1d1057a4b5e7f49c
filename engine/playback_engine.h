#pragma once
// The one object that plays a recording. It owns every buffer, flag, counter and handle that the
// four playback threads share, and offers the skin a small set of operations. Its operations are
// spread over the subsystem folders: the lifecycle here in engine/, the rings (a part of their
// own) in engine/stream_rings.h, the reader's in recording/, the video thread's and the presenter's
// in video/, the audio threads' in audio/.
//
// Sharing rules: flags and counters that several threads touch are 32-bit atomics. Ring totals
// are published with release ordering after the bytes they cover and read with acquire ordering
// before the bytes are copied. The few values wider than one word (the drawing target and its
// rectangle, the path, the record time) are kept under short locks of their own.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_types.h"
#include "engine/playback_clock.h"
#include "engine/stream_marks.h"
#include "engine/stream_rings.h"
#include "engine/wake_signal.h"
#include "platform/geometry.h"
#include "platform/wave_out.h"

struct AVCodec;
struct AVCodecContext;
struct AVCodecParserContext;
struct AVFrame;
struct SwsContext;

namespace vidora {

class Surface;
class PlaybackEngine;

// Thread entry points; each receives the engine and, as its very last step, clears the flag that
// marks it as running.
void VideoThread(PlaybackEngine& engine);
void AudioDecodeThread(PlaybackEngine& engine);
void AudioOutThread(PlaybackEngine& engine);
void ReaderThread(PlaybackEngine& engine);

// The wave output's completion callback: counts the finished blocks of the engine given as
// `instance` (audio/audio_out_thread.cpp).
void waveOutCallback(WaveOut* device, uint32_t message, void* instance, WaveHeader* header,
                     uintptr_t reserved);

class PlaybackEngine {
  public:
    PlaybackEngine();
    ~PlaybackEngine();
    PlaybackEngine(const PlaybackEngine&) = delete;
    PlaybackEngine& operator=(const PlaybackEngine&) = delete;

    // --- Operations used by the skin (window thread only) ----------------------------------------

    // Stops the previous run and starts the four threads on `path`, drawing into `surface` at
    // `rect`. Returns 1, or 0 when the ring storage or the wave block could not be allocated
    // (nothing is started then). Whether the file is a valid recording is found out by the
    // reader, which shows the invalid-file text itself.
    int open(const std::string& path, Surface* surface, Rect rect);
    // Stops all threads. Returns 1.
    int close();
    // Asks every thread to end and joins all four.
    void stopThreads();
    // While playing: pause or resume. Otherwise: start a new reader from the first record.
    void togglePlay();
    // Stores a seek request in percent; the running reader serves it.
    void requestSeek(int32_t percent);
    // Moves the drawing target; only while a recording is open (1), else nothing changes (0).
    // The video thread then draws the picture it last showed into the new target.
    int retarget(Surface* surface, Rect rect);
    // Counts the targets handed over by retarget.
    std::atomic<uint32_t> targetChanges{0};
    int isPlaying() const { return playing.load(); }
    int isPaused() const { return paused.load(); }
    int progress() const { return progressPercent.load(); }

    void resetCounters();
    // Allocates the three ring storages, once per process (open does it); false when they
    // cannot be had.
    bool allocateRings();

    // --- Stream rings (engine/stream_rings.h) -------------------------------------------------

    // The reader's records for the video thread and the audio decode thread, and the decoded
    // sound for the audio output.
    ByteRing videoRing{kVideoRingBytes};
    ByteRing audioRing{kAudioRingBytes};
    PcmRing pcmRing;

    // --- Decoders (engine/decoders.cpp), on the video thread -------------------------------------

    // Opens the video decoder of the stream's codec and the two frames; 1 when all are ready
    // (and decodersReady is raised, which starts the audio decode thread too, with an AMR-NB
    // decoder of its own), 0 at the first failure.
    int setupDecoders();
    // Releases whatever setupDecoders created; safe when nothing is held.
    void teardownDecoders();

    // --- Video path (video/), on the video thread ------------------------------------------------

    // Decodes what arrives in the video ring and presents each picture when the clock reaches
    // it, until stopRequested.
    void videoLoop();
    // Fits the source picture into videoRect keeping its aspect ratio; sizes rounded up to
    // multiples of 4.
    void computeDisplaySize();
    // Draws presentImage centred on black with the record's date and time into targetDc.
    void presentFrame();
    // Writes a displayWidth × displayHeight picture into targetDc's pixels.
    using PictureWriter = std::function<void(uint8_t* pixels, int32_t strideBytes)>;
    enum class InPlace {
        Presented,   // the picture was written where presentFrame would put it, and framed
        NoTarget,    // there is no video surface or rectangle: nothing was drawn
        DoesNotFit,  // the picture would not lie whole on the surface: nothing was drawn
    };
    // Presents a frame whose picture `writePicture` draws straight into the video surface, as
    // XRGB words at `pixels` (top row first, rows strideBytes apart; the top byte is free), under
    // the surface's lock; the frame then looks as presentFrame would have made it. Saves the
    // scaled copy and its conversion, a pass over every pixel of every frame.
    InPlace presentFrameInPlace(const PictureWriter& writePicture);
    // Called on the video thread with every picture presented (a bottom-up BGR image, rows
    // packed one after another, and its size); for tests and measurements. Set before open.
    using FrameObserver = std::function<void(const uint8_t* image, int32_t width, int32_t height)>;
    FrameObserver frameObserver;
    // Packed rows for the observer when presentImage's rows are not packed (video thread only).
    std::vector<uint8_t> observedImage;

    // --- Reader (recording/reader_thread.cpp) ----------------------------------------------------

    void configureStream(const uint8_t tag[4]);
    // Hands a record's video and audio bytes to their rings, marked with the stream time they
    // play at.
    void deliverRecord(const uint8_t* payload, uint32_t videoBytes, uint32_t audioBytes,
                       int64_t streamTime);
    // After a seek: the consumers of both rings drop what they hold from before it.
    void flushStreams();

    // --- Audio output (audio/audio_out_thread.cpp), on the audio output thread -------------------

    // Opens the wave output for PCM of this format and lays the headers over the wave block;
    // 1 when the device opened, 0 when there is none (the thread then runs silent).
    int openAudioOut(uint32_t rate, uint32_t channels, int32_t bits);
    // Drops what is still queued and closes the device.
    void closeAudioOut();
    // --- Time ------------------------------------------------------------------------------------

    // The engine's monotonic clock, in microseconds. Where a test injects the reader's pacing
    // sleep, the clock jumps ahead by what the reader would have waited.
    int64_t nowUs() const;
    std::atomic<int64_t> clockOffsetUs{0};
    // What is playing now, by the sound device or the reader's schedule.
    PlaybackClock clock;
    // Seeks served by the reader; the video thread drops a picture it holds when this moves.
    std::atomic<uint32_t> videoFlushes{0};

    // Called on the video thread each time a picture has been drawn into the video surface, so
    // that the window shows it now. Set before open. While it is set, the video thread gives the
    // window a moment to take a picture (pictureShown) before it draws the next one over it.
    std::function<void()> pictureReady;
    // The window has brought the video surface to the screen, with every picture up to the
    // `drawn`-th: the count read before it took the surface (several pictures drawn in quick
    // succession are shown by one copy, the last of them).
    void pictureShown(uint32_t drawn);
    std::atomic<uint32_t> picturesDrawn{0};
    std::atomic<uint32_t> picturesShown{0};
    std::atomic<int64_t> lastPictureShownAt{0};
    std::atomic<bool> waitingForWindow{false};

    // --- Pacing and polling ----------------------------------------------------------------------

    // Every sleep that paces or polls goes through here, so that tests can record the requested
    // delays instead of waiting. Set the function before open; it is called from every thread.
    // Only the sleeps of `sites` go to the function; the others stay the engine's own, so that a
    // measurement can replace the reader's pacing and leave the threads' waiting as it is.
    void setSleepFunction(SleepFunction function, SleepSites sites = kAllSleepSites);
    // The engine's own pacing sleep (before each record, up to a second) ends early when the
    // threads are told to stop, so that closing or opening another file never waits out a long
    // gap between records; every other sleep lasts its whole delay.
    void sleepFor(SleepSite site, uint32_t milliseconds);
    // Whether a test has taken over the reader's pacing sleep.
    bool pacingInjected() const {
        return (sleepSites & sleepSiteBit(SleepSite::ReaderPacing)) != 0;
    }

    // The end of one turn of a polling loop at `site` (the video thread's packet step, the audio
    // decode thread's turn, the audio output's feeding). A sleep function that covers the site
    // sleeps `milliseconds` through it after every turn, as the loops were designed. Without
    // one, a turn that found work (`busy`) is followed by a sleep of `busyMilliseconds` (none
    // for 0), and a turn that found none waits on `wake` until someone hands the thread work
    // (see WakeSignal; `seen` is the count read before the turn looked for work), at most
    // idleWaitMs, instead of waking every millisecond to look again.
    void endPollTurn(SleepSite site, uint32_t milliseconds, uint32_t busyMilliseconds, bool busy,
                     WakeSignal& wake, uint64_t seen);
    // The longest idle wait: a thread looks again after it even when nobody woke it. Set before
    // open (tests make it long, so that a missing wake-up shows as a stall).
    uint32_t idleWaitMs = 100;
    // Rung by whoever gives the thread work: the reader's deliveries and its end wake the video
    // thread, the deliveries the audio decode thread, new PCM and finished wave blocks the audio
    // output; the sound's progress wakes the video thread; stopThreads rings all, and readerWake,
    // which pause, resume and seek requests ring too, ends the reader's waits.
    WakeSignal videoWake;
    WakeSignal audioDecodeWake;
    WakeSignal audioOutWake;
    WakeSignal readerWake;

    // --- Values wider than one word, under their own locks ---------------------------------------

    void setRecordTime(const RecordTime& time);
    RecordTime currentRecordTime() const;
    std::string currentFilePath() const;

    // --- Fields shared with the threads ----------------------------------------------------------

    std::atomic<int32_t> paused{1};
    std::atomic<int32_t> stopRequested{0};
    std::atomic<int32_t> outBuffersQueued{0};
    std::atomic<int32_t> outBuffersDone{0};
    // Held by open and close, so that two of them never interleave their stop and start.
    std::mutex controlMutex;

    // The video surface and the rectangle of it that frames are fitted into. Everyone who draws
    // into the surface, copies out of it or replaces it holds targetMutex meanwhile.
    std::mutex targetMutex;
    Surface* targetDc = nullptr;  // guarded by targetMutex
    Rect videoRect;               // guarded by targetMutex

    std::atomic<int32_t> opened{0};
    std::atomic<int32_t> decodersReady{0};
    // True from a thread's start until its last step: the reader's tells whether the recording
    // has been read to its end (or a bad record), which the other threads wait for.
    std::atomic<bool> audioOutRunning{false};
    std::atomic<bool> readerRunning{false};
    std::atomic<bool> videoRunning{false};
    std::atomic<bool> audioDecodeRunning{false};

    // The video decoder's state, owned by the video thread while it runs.
    const AVCodec* videoCodec = nullptr;
    AVCodecContext* videoCtx = nullptr;
    AVFrame* decodedFrame = nullptr;
    AVFrame* scaledPicture = nullptr;
    uint8_t* scaledBuffer = nullptr;

    // The picture presentFrame shows: displayWidth × displayHeight BGR pixels in rows of
    // presentStride bytes (0 stands for displayWidth × 3), the bottom row first in memory, or the
    // top row first when presentTopDown is set. The video thread hands over its scaled picture
    // as the scaler left it, top row first, rather than turn it over first.
    const uint8_t* presentImage = nullptr;
    int32_t presentStride = 0;
    bool presentTopDown = false;
    std::atomic<int32_t> streamConfigured{0};
    std::atomic<int32_t> isH263{1};
    // Pictures scaled for the presenter (apart or in place), and pictures it has presented: the
    // presenter shows a picture only while it has one it has not shown yet.
    std::atomic<uint32_t> picturesScaled{0};
    std::atomic<uint32_t> framesPresented{0};
    std::atomic<int32_t> sourceWidth{320};
    std::atomic<int32_t> sourceHeight{240};
    std::atomic<int32_t> displayWidth{0};
    std::atomic<int32_t> displayHeight{0};
    WaveHeader waveHeaders[kWaveHeaderCount] = {};
    WaveOut* waveOut = nullptr;
    std::unique_ptr<uint8_t[]> waveBufferMemory;
    std::atomic<int32_t> playing{0};
    // Set by the reader for a file it cannot play (then it announces a picture, so that the
    // window shows the message); cleared by open.
    std::atomic<FileProblem> fileProblem{FileProblem::None};
    std::atomic<int32_t> progressPercent{0};
    std::atomic<int32_t> seekPercent{0};

  private:
    using ThreadEntry = void (*)(PlaybackEngine&);
    // Marks the thread as running before it exists, so that a thread that ends at once can
    // never clear its flag before the creator has raised it.
    void startThread(std::atomic<bool>& running, std::thread& thread, ThreadEntry entry);
    void setFilePath(const std::string& path);

    mutable std::mutex valueMutex;  // filePath, recordTime
    std::string filePath;
    RecordTime recordTime;

    // The sites whose sleeps go to sleepFunction; none without one.
    SleepFunction sleepFunction;
    SleepSites sleepSites = 0;

    std::thread videoThread;
    std::thread audioDecodeThread;
    std::thread audioOutThread;
    std::thread readerThread;
};

}  // namespace vidora
