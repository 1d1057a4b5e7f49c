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
    return scheduleRunning_ ? now - scheduleBase_ : scheduleHeld_;
}

void PlaybackClock::setAudioPosition(int64_t streamTime, bool flowing) {
    std::lock_guard<std::mutex> lock(mutex_);
    audioKnown_ = true;
    audioFlowing_ = flowing;
    audioPosition_ = streamTime;
}

void PlaybackClock::clearAudioPosition() {
    std::lock_guard<std::mutex> lock(mutex_);
    audioKnown_ = false;
    audioFlowing_ = false;
}

bool PlaybackClock::flowingAudioPosition(int64_t* streamTime) const {
    std::lock_guard<std::mutex> lock(mutex_);
    *streamTime = audioPosition_;
    return audioKnown_ && audioFlowing_;
}

int64_t PlaybackClock::presentationTime(int64_t now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t schedule = scheduleRunning_ ? now - scheduleBase_ : scheduleHeld_;
    const int64_t followingSchedule = schedule - kAudioLeadUs - kScheduleSlackUs;
    // The sound's position never runs ahead of the schedule's (sound is delivered on it), so the
    // later of the two is the sound's while it flows, and the schedule's lagging time otherwise.
    return audioKnown_ ? std::max(audioPosition_, followingSchedule) : followingSchedule;
}

void PlaybackClock::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    scheduleRunning_ = false;
    scheduleBase_ = 0;
    scheduleHeld_ = 0;
    audioKnown_ = false;
    audioFlowing_ = false;
    audioPosition_ = 0;
}

}  // namespace vidora
