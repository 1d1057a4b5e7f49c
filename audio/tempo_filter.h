#pragma once
// Faster or slower sound at the same pitch, for playback speeds from 0.5x to 2x: the decoded
// 8000 Hz mono 16-bit sound goes through FFmpeg's atempo filter on its way to the device.
//
// The filter works on 64 ms windows: fed 20 ms at a time, its first output comes after 80 ms of
// sound went in (100 ms at 2x), and about that much stays inside while it runs. It belongs to one
// thread.

#include <cstddef>
#include <cstdint>
#include <vector>

struct AVFilterGraph;
struct AVFilterContext;
struct AVFrame;

namespace vidora {

class TempoFilter {
  public:
    static constexpr double kMinTempo = 0.5;
    static constexpr double kMaxTempo = 2.0;

    TempoFilter();
    ~TempoFilter();
    TempoFilter(const TempoFilter&) = delete;
    TempoFilter& operator=(const TempoFilter&) = delete;

    // 0.5 to 2 (clamped). 1 passes the samples through unchanged, without a filter. Any other
    // tempo (re)builds the filter graph and forgets what it held. False when the graph cannot be
    // built: the sound then passes unchanged and tempo() is 1.
    bool setTempo(double tempo);
    double tempo() const { return tempo_; }
    // Feeds `count` samples and appends whatever sound comes out to `out`. Samples the filter
    // cannot take (out of memory) are dropped.
    void push(const int16_t* samples, size_t count, std::vector<int16_t>& out);
    // Forgets the sound held inside (after a seek), keeping the tempo.
    void reset();

  private:
    bool build();
    void release();

    double tempo_ = 1.0;
    AVFilterGraph* graph_ = nullptr;
    AVFilterContext* source_ = nullptr;
    AVFilterContext* sink_ = nullptr;
    AVFrame* frame_ = nullptr;
    int64_t nextPts_ = 0;
};

}  // namespace vidora
