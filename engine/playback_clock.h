#pragma once
// The clock that pictures are shown by. Everything that plays carries a stream time: the
// reader gives each record one as it schedules it (the sum of the pacing delays so far), and the
// picture and the sound of that record keep it on their way through the decoders.
//
// Two sources tell which stream time is being played now:
// - the sound device: it takes sound in pulls of a few tens of milliseconds and plays each pull
//   from the moment it takes it. While sound flows the clock runs through the last pull as it
//   plays, so a picture goes on the screen when its sound is played.
// - the reader's schedule, as it runs (stream time = now − base) or stands still while paused.
//   Sound reaches the device a fixed lag behind the schedule (the output holds that much back
//   to ride out late turns of the threads), so without sound (none recorded, no device, a gap in
//   the recording's sound) pictures follow the schedule with the same lag.
// Shared by the reader, the audio output and the video thread, under a lock of its own.

#include <climits>
#include <cstdint>
#include <mutex>

#include "engine/engine_types.h"
#include "engine/wake_signal.h"

namespace vidora {

// How long the sound output holds the first sound of a stretch back before the device plays
// it, and so how far sound (and pictures with it) run behind the reader's deliveries.
constexpr int64_t kAudioLeadUs = 100000;
// Pictures follow the schedule this far behind the sound's lag when no sound flows.
constexpr int64_t kScheduleSlackUs = 40000;
// How far the sound's position may fall behind the schedule, beyond its lag, before the reader
// waits for it: more than the device's position lags between two of its pulls (32 ms), so that
// only a device that really plays slower than the clock slows the reader.
constexpr int64_t kSoundDriftSlackUs = 80000;
// A device that has taken no sound for this long counts as stopped.
constexpr int64_t kSoundStalledUs = 250000;

class PlaybackClock {
  public:
    // Rung whenever the sound's position moves: the video path waits on it for its pictures.
    void setListener(WakeSignal* listener) { listener_ = listener; }

    // The reader's schedule runs, as `mapping` says; at recorded speed from `base`, the stream
    // time at `now` is now − base.
    void runSchedule(const ScheduleMapping& mapping);
    void runSchedule(int64_t base) { runSchedule(ScheduleMapping{base, 0, 1.0}); }
    // The reader's schedule stands at `streamTime` (paused, or not started).
    void holdSchedule(int64_t streamTime);
    // How many times as fast as recorded the schedule runs.
    double speed() const;
    // Stream time of the schedule at `now`.
    int64_t scheduleAt(int64_t now) const;

    // The device took the sound from stream time `from` up to `to` at clock time `at`, and
    // whether sound is flowing (the device plays and has sound queued); a pull plays `rate`
    // microseconds of stream time per microsecond (the playback speed).
    void setAudioPosition(int64_t from, int64_t to, int64_t at, bool flowing, double rate = 1.0);
    // No sound position: after a seek or at the start of a run.
    void clearAudioPosition();
    // True, with the end of what the device has taken, while sound flows: the device plays, has
    // sound queued and has taken some lately (a device that stopped taking sound, whatever it
    // says, must not hold the reader back).
    bool flowingAudioPosition(int64_t now, int64_t* streamTime) const;

    // The stream time whose picture belongs on the screen at `now`.
    int64_t presentationTime(int64_t now) const;
    // How long after `now` the presentation time reaches `streamTime`, as far as is known now
    // (kForever while nothing moves it); the sound's next pull may bring it sooner.
    int64_t timeUntil(int64_t streamTime, int64_t now) const;
    static constexpr int64_t kForever = INT64_MAX;

    // Back to the start of a run: schedule at 0 and standing, no sound position.
    void reset();

  private:
    WakeSignal* listener_ = nullptr;
    mutable std::mutex mutex_;
    bool scheduleRunning_ = false;
    ScheduleMapping schedule_;
    int64_t scheduleHeld_ = 0;
    // Both with the lock held.
    int64_t scheduleTime(int64_t now) const;
    int64_t audioTime(int64_t now) const;
    // The schedule's stream time, as far behind as sound is held back.
    int64_t laggingSchedule(int64_t now) const;

    bool audioKnown_ = false;
    bool audioFlowing_ = false;
    int64_t audioFrom_ = 0;
    int64_t audioTo_ = 0;
    int64_t audioAt_ = 0;
    double audioRate_ = 1.0;
};

}  // namespace vidora
