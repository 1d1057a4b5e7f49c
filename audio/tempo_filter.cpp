#include "audio/tempo_filter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

namespace vidora {

namespace {

// The recordings' sound, as the audio decoder hands it on.
constexpr int kRate = 8000;

}  // namespace

TempoFilter::TempoFilter() = default;

TempoFilter::~TempoFilter() {
    release();
}

bool TempoFilter::setTempo(double tempo) {
    // NaN is no tempo at all: it plays as recorded.
    tempo_ = std::isnan(tempo) ? 1.0 : std::clamp(tempo, kMinTempo, kMaxTempo);
    release();
    if (tempo_ == 1.0) {
        return true;
    }
    if (!build()) {
        release();
        tempo_ = 1.0;
        return false;
    }
    return true;
}

void TempoFilter::reset() {
    // The filter keeps its window of sound with no way to empty it but a new graph.
    if (graph_ != nullptr) {
        release();
        if (!build()) {
            release();
            tempo_ = 1.0;
        }
    }
}

bool TempoFilter::build() {
    graph_ = avfilter_graph_alloc();
    frame_ = av_frame_alloc();
    if (graph_ == nullptr || frame_ == nullptr) {
        return false;
    }
    // One thread: the graph is small, and the sound output's thread is the one that runs it.
    graph_->nb_threads = 1;
    char sourceArgs[128];
    std::snprintf(sourceArgs, sizeof sourceArgs,
                  "sample_rate=%d:sample_fmt=s16:channel_layout=mono:time_base=1/%d", kRate, kRate);
    char tempoArgs[64];
    std::snprintf(tempoArgs, sizeof tempoArgs, "tempo=%.6f", tempo_);
    AVFilterContext* atempo = nullptr;
    if (avfilter_graph_create_filter(&source_, avfilter_get_by_name("abuffer"), "in", sourceArgs,
                                     nullptr, graph_) < 0 ||
        avfilter_graph_create_filter(&atempo, avfilter_get_by_name("atempo"), "tempo", tempoArgs,
                                     nullptr, graph_) < 0) {
        return false;
    }
    sink_ = avfilter_graph_alloc_filter(graph_, avfilter_get_by_name("abuffersink"), "out");
    if (sink_ == nullptr) {
        return false;
    }
    // The sink takes the source's own format, so that the graph converts nothing.
    const AVSampleFormat formats[] = {AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_NONE};
    const int rates[] = {kRate, -1};
    if (av_opt_set_int_list(sink_, "sample_fmts", formats, AV_SAMPLE_FMT_NONE,
                            AV_OPT_SEARCH_CHILDREN) < 0 ||
        av_opt_set_int_list(sink_, "sample_rates", rates, -1, AV_OPT_SEARCH_CHILDREN) < 0 ||
        av_opt_set(sink_, "ch_layouts", "mono", AV_OPT_SEARCH_CHILDREN) < 0 ||
        avfilter_init_str(sink_, nullptr) < 0) {
        return false;
    }
    if (avfilter_link(source_, 0, atempo, 0) < 0 || avfilter_link(atempo, 0, sink_, 0) < 0 ||
        avfilter_graph_config(graph_, nullptr) < 0) {
        return false;
    }
    nextPts_ = 0;
    return true;
}

void TempoFilter::release() {
    avfilter_graph_free(&graph_);  // frees the filters in it too
    av_frame_free(&frame_);
    source_ = nullptr;
    sink_ = nullptr;
}

void TempoFilter::push(const int16_t* samples, size_t count, std::vector<int16_t>& out) {
    if (count == 0) {
        return;
    }
    if (graph_ == nullptr) {
        out.insert(out.end(), samples, samples + count);
        return;
    }
    frame_->format = AV_SAMPLE_FMT_S16;
    frame_->sample_rate = kRate;
    frame_->nb_samples = static_cast<int>(count);
    frame_->pts = nextPts_;
    av_channel_layout_default(&frame_->ch_layout, 1);
    // The source takes the frame's buffer over and leaves the frame empty for the next push.
    if (av_frame_get_buffer(frame_, 0) < 0) {
        av_frame_unref(frame_);
        return;
    }
    std::memcpy(frame_->data[0], samples, count * sizeof(int16_t));
    if (av_buffersrc_add_frame_flags(source_, frame_, 0) < 0) {
        av_frame_unref(frame_);
        return;
    }
    nextPts_ += static_cast<int64_t>(count);
    while (av_buffersink_get_frame(sink_, frame_) >= 0) {
        const auto* data = reinterpret_cast<const int16_t*>(frame_->data[0]);
        out.insert(out.end(), data, data + frame_->nb_samples);
        av_frame_unref(frame_);
    }
}

}  // namespace vidora
