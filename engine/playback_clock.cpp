#include "engine/playback_clock.h"

#include <algorithm>

namespace vidora {

void PlaybackClock::runSchedule(int64_t base) {
    std::lock_guard<std::mutex> lock(mutex_);
    scheduleRunning_ = true;
    scheduleBase_ = base;
}

void PlaybackClock::holdSchedule(int64_t streamTime) {
    std::lock_guard<std::mutex> lock(mutex_);
    scheduleRunning_ = false;
    scheduleHeld_ = streamTime;
}

int64_t PlaybackClock::scheduleAt(int64_t now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scheduleTime(now);
}

int64_t PlaybackClock::scheduleTime(int64_t now) const {
    return scheduleRunning_ ? now - scheduleBase_ : scheduleHeld_;
}

void PlaybackClock::setAudioPosition(int64_t from, int64_t to, int64_t at, bool flowing) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        audioKnown_ = true;
        audioFlowing_ = flowing;
        audioFrom_ = std::min(from, to);
        audioTo_ = to;
        audioAt_ = at;
    }
    if (listener_ != nullptr) {
        listener_->notify();
    }
}

int64_t PlaybackClock::audioTime(int64_t now) const {
    // Standing still (paused, run dry), the device has played all it took.
    if (!audioFlowing_) {
        return audioTo_;
    }
    return std::clamp(audioFrom_ + (now - audioAt_), audioFrom_, audioTo_);
}

void PlaybackClock::clearAudioPosition() {
    std::lock_guard<std::mutex> lock(mutex_);
    audioKnown_ = false;
    audioFlowing_ = false;
}

bool PlaybackClock::flowingAudioPosition(int64_t now, int64_t* streamTime) const {
    std::lock_guard<std::mutex> lock(mutex_);
    *streamTime = audioTo_;
    return audioKnown_ && audioFlowing_ && now - audioAt_ < kSoundStalledUs;
}

int64_t PlaybackClock::presentationTime(int64_t now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t followingSchedule = scheduleTime(now) - kAudioLeadUs - kScheduleSlackUs;
    // The sound's position never runs ahead of the schedule's (sound is delivered on it), so the
    // later of the two is the sound's while it flows, and the schedule's lagging time otherwise.
    return audioKnown_ ? std::max(audioTime(now), followingSchedule) : followingSchedule;
}

int64_t PlaybackClock::timeUntil(int64_t streamTime, int64_t now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t wait = kForever;
    if (scheduleRunning_) {
        wait = streamTime - (scheduleTime(now) - kAudioLeadUs - kScheduleSlackUs);
    }
    if (audioKnown_ && audioFlowing_ && streamTime <= audioTo_) {
        wait = std::min(wait, audioAt_ + (streamTime - audioFrom_) - now);
    }
    return wait;
}

void PlaybackClock::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    scheduleRunning_ = false;
    scheduleBase_ = 0;
    scheduleHeld_ = 0;
    audioKnown_ = false;
    audioFlowing_ = false;
    audioFrom_ = 0;
    audioTo_ = 0;
    audioAt_ = 0;
}

}  // namespace vidora
