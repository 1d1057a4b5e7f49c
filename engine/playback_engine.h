#pragma once
// The one object the skin plays recordings with. It owns the parts of a run and wires them
// together, and gives each its thread, the four roles of a run:
//   ReaderThread: the Reader (recording/), file to video and audio ring at recorded speed;
//   VideoThread: the VideoPath (video/), video ring to decoder, scaler, presenter and surface;
//   AudioDecodeThread: the AudioDecoder (audio/), audio ring to PCM ring;
//   AudioOutThread: the SoundOutput (audio/), PCM ring to the sound device, and how far it played.
// The rings are engine/stream_rings.h, the clock that pictures follow engine/playback_clock.h,
// and every wait goes through one Pacer (engine/pacer.h), which a test makes virtual.
//
// The operations are the window thread's; the queries may be asked from any thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "audio/audio_decoder.h"
#include "audio/sound_output.h"
#include "engine/engine_types.h"
#include "engine/index_keeper.h"
#include "engine/pacer.h"
#include "engine/playback_clock.h"
#include "engine/stream_rings.h"
#include "platform/geometry.h"
#include "recording/reader.h"
#include "video/video_path.h"

namespace vidora {

class Surface;

class PlaybackEngine {
  public:
    explicit PlaybackEngine(Pacer::Kind time = Pacer::Kind::Real);
    ~PlaybackEngine();
    PlaybackEngine(const PlaybackEngine&) = delete;
    PlaybackEngine& operator=(const PlaybackEngine&) = delete;

    // Stops the previous run and starts the four threads on `path`, drawing into `surface` at
    // `rect`. Returns 1, or 0 when the ring storage or the sound blocks could not be allocated
    // (nothing is started then). Whether the file is a valid recording is found out by the
    // reader: fileProblem() tells.
    int open(const std::string& path, Surface* surface, Rect rect);
    // Stops all threads. Returns 1.
    int close();
    // While playing: pause or resume. Otherwise: start a new reader from the first record.
    void togglePlay();
    // Asks the reader to jump to `percent` of the file; with the index ready, to the first record
    // at or after that place, shown exactly.
    void requestSeek(int32_t percent);

    // --- With the record index (nothing happens, or false, before it is ready) ---
    // The index of the recording being played, once complete.
    std::shared_ptr<const RecordIndex> index() const { return index_.index(); }
    // Lands on `record` exactly: its picture is the first shown, its sound the first heard.
    // Paused, the picture is shown and playback stays paused; after the end, the recording
    // plays again from there.
    void seekToRecord(size_t record);
    // The record whose picture is on show, or the one a seek is on its way to.
    std::optional<size_t> currentRecord() const;
    // Moves `us` of the recording's time forward (or back) from the current record; the record
    // it lands on.
    std::optional<size_t> seekBy(int64_t us);
    // Pauses, and shows the next (+1) or previous (−1) picture; the record shown.
    std::optional<size_t> stepPicture(int direction);

    // How fast the recording plays, kMinSpeed to kMaxSpeed; kept from one recording to the next.
    void setSpeed(double speed);
    double speed() const { return speed_.load(); }
    // The sound's loudness, 0 to 1.
    void setVolume(float volume);
    // Which file follows `ended`, for playback to go on into when the camera's clock runs on
    // from one to the other; by default the next .krm of the folder by name. Set before open.
    void setFollowingFile(std::function<std::optional<std::string>(const std::string&)> following) {
        following_ = std::move(following);
    }
    // The recording being played: the one opened, or the one playback went on into.
    std::string currentPath() const;
    // Moves the drawing target; only while a recording is open (1), else nothing changes (0).
    // The picture last shown is drawn again into the new target.
    int retarget(Surface* surface, Rect rect);

    int isPlaying() const { return reader_.playing() ? 1 : 0; }
    int isPaused() const { return paused_.load() ? 1 : 0; }
    // The reader has ended and every picture and sound it handed on has been shown and heard.
    bool playedOut() const {
        return !reader_.playing() && video_.allShown() && audioRing_.unread() == 0 && sound_.idle();
    }
    int progress() const { return reader_.progress(); }
    FileProblem fileProblem() const { return reader_.problem(); }

    // --- The window's side of the video surface ---
    // Called each time a picture has been drawn into the video surface, or the file turned out
    // unplayable, so that the window shows it now. Set before open.
    void setPictureReady(std::function<void()> pictureReady);
    // The window has brought the surface to the screen with every picture up to the
    // `drawn`-th, as picturesDrawn() read before it took the surface.
    void pictureShown(uint32_t drawn) { video_.pictureShown(drawn); }
    uint32_t picturesDrawn() const { return video_.picturesDrawn(); }
    // Held while copying out of the video surface, so that no picture is drawn meanwhile.
    std::unique_lock<std::mutex> lockVideoSurface() { return video_.presenter().lockTarget(); }
    // Forgets `surface` as the drawing target before the window frees it.
    void forgetSurface(const Surface* surface) { video_.presenter().forgetTarget(surface); }

    // --- The parts, for tests, fuzzing and measurements that drive them on their own ---
    // Readies the parts for a run on `surface` at `rect` without starting any thread (open does
    // this first); false when the storage could not be had.
    bool prepare(Surface* surface, Rect rect);
    Pacer& pacer() { return pacer_; }
    PlaybackClock& clock() { return clock_; }
    ByteRing& videoRing() { return videoRing_; }
    ByteRing& audioRing() { return audioRing_; }
    ByteRing& pcmRing() { return pcmRing_; }
    Reader& reader() { return reader_; }
    VideoPath& video() { return video_; }
    AudioDecoder& audioDecoder() { return audioDecoder_; }

  private:
    void stopThreads();
    void startReader();
    std::optional<size_t> shownRecord(const RecordIndex& index) const;
    std::optional<std::string> continuation(const std::string& ended, const RecordTime& last);
    void setPaused(bool paused);

    Pacer pacer_;
    PlaybackClock clock_;
    ByteRing videoRing_{kVideoRingBytes};
    ByteRing audioRing_{kAudioRingBytes};
    ByteRing pcmRing_{kPcmRingBytes};
    Reader reader_;
    VideoPath video_;
    AudioDecoder audioDecoder_;
    SoundOutput sound_;
    std::function<void()> pictureReady_;
    std::function<std::optional<std::string>(const std::string&)> following_;
    IndexKeeper index_;
    std::atomic<double> speed_{1.0};
    // The record the last exact seek asked for, until its picture is shown: further steps and
    // jumps count from it.
    mutable std::mutex targetMutex_;
    mutable std::optional<size_t> target_;
    int64_t targetAt_ = 0;
    uint32_t seeksShownAtTarget_ = 0;

    // Held by open and close, so that two of them never interleave their stop and start.
    std::mutex controlMutex_;
    // The recording open, for a restart from its first record, or the one playback went on into.
    mutable std::mutex pathMutex_;
    std::string path_;
    std::atomic<bool> opened_{false};
    std::atomic<bool> paused_{true};
    // From before the reader's thread starts until its last step.
    std::atomic<bool> readerActive_{false};
    std::jthread readerThread_;
    std::jthread videoThread_;
    std::jthread audioDecodeThread_;
    std::jthread audioOutThread_;
};

}  // namespace vidora
