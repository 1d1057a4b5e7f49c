#include "engine/playback_clock.h"

#include <algorithm>

namespace vidora {

void PlaybackClock::runSchedule(const ScheduleMapping& mapping) {
    std::lock_guard<std::mutex> lock(mutex_);
    scheduleRunning_ = true;
    schedule_ = mapping;
}

void PlaybackClock::holdSchedule(int64_t streamTime) {
    std::lock_guard<std::mutex> lock(mutex_);
    scheduleRunning_ = false;
    scheduleHeld_ = streamTime;
}

double PlaybackClock::speed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return schedule_.speed;
}

int64_t PlaybackClock::scheduleAt(int64_t now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scheduleTime(now);
}

int64_t PlaybackClock::scheduleTime(int64_t now) const {
    return scheduleRunning_ ? schedule_.streamAt(now) : scheduleHeld_;
}

int64_t PlaybackClock::laggingSchedule(int64_t now) const {
    // The lag is clock time (how long sound is held back), whatever the speed.
    constexpr int64_t lag = kAudioLeadUs + kScheduleSlackUs;
    return scheduleRunning_
               ? schedule_.streamAt(now - lag)
               : scheduleHeld_ - static_cast<int64_t>(static_cast<double>(lag) * schedule_.speed);
}

void PlaybackClock::setAudioPosition(int64_t from, int64_t to, int64_t at, bool flowing,
                                     double rate) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        audioKnown_ = true;
        audioFlowing_ = flowing;
        audioFrom_ = std::min(from, to);
        audioTo_ = to;
        audioAt_ = at;
        audioRate_ = rate;
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
    const auto played = static_cast<int64_t>(static_cast<double>(now - audioAt_) * audioRate_);
    return std::clamp(audioFrom_ + played, audioFrom_, audioTo_);
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
    const int64_t followingSchedule = laggingSchedule(now);
    // The sound's position never runs ahead of the schedule's (sound is delivered on it), so the
    // later of the two is the sound's while it flows, and the schedule's lagging time otherwise.
    return audioKnown_ ? std::max(audioTime(now), followingSchedule) : followingSchedule;
}

int64_t PlaybackClock::timeUntil(int64_t streamTime, int64_t now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t wait = kForever;
    if (scheduleRunning_) {
        wait = schedule_.clockAt(streamTime) + kAudioLeadUs + kScheduleSlackUs - now;
    }
    if (audioKnown_ && audioFlowing_ && streamTime <= audioTo_) {
        const auto ahead =
            static_cast<int64_t>(static_cast<double>(streamTime - audioFrom_) / audioRate_);
        wait = std::min(wait, audioAt_ + ahead - now);
    }
    return wait;
}

void PlaybackClock::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    scheduleRunning_ = false;
    schedule_ = ScheduleMapping{};
    scheduleHeld_ = 0;
    audioKnown_ = false;
    audioFlowing_ = false;
    audioFrom_ = 0;
    audioTo_ = 0;
    audioAt_ = 0;
    audioRate_ = 1.0;
}

}  // namespace vidora
