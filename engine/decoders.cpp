// Opening and releasing the video decoder of a run, on the video thread only: the previous run's
// threads have all ended before a new run starts.

#include "engine/decoders.h"

#include <atomic>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "engine/playback_engine.h"

namespace vidora {

namespace {

std::atomic<bool> libraryOpened{false};

}  // namespace

void openDecoderLibrary() {
    // The flag is raised before the work, as a once-per-process guard.
    if (libraryOpened.exchange(true)) {
        return;
    }
    av_log_set_level(AV_LOG_QUIET);
}

int PlaybackEngine::setupDecoders() {
    const bool h263 = isH263.load() != 0;
    videoCodec = avcodec_find_decoder(h263 ? AV_CODEC_ID_H263 : AV_CODEC_ID_H264);
    if (videoCodec == nullptr) {
        return 0;
    }
    videoCtx = avcodec_alloc_context3(videoCodec);
    if (videoCtx == nullptr) {
        return 0;
    }
    videoCtx->width = sourceWidth.load();
    videoCtx->height = sourceHeight.load();
    // H.263 arrives in arbitrary pieces, which the parser joins into whole pictures; the
    // decoder itself never sees a cut picture.
    if (!h263) {
        // No codec-private data: the stream carries its parameter sets in-band.
        videoCtx->extradata = nullptr;
        videoCtx->extradata_size = 0;
    }
    if (avcodec_open2(videoCtx, videoCodec, nullptr) != 0) {
        return 0;
    }
    decodedFrame = av_frame_alloc();
    scaledPicture = av_frame_alloc();
    if (decodedFrame == nullptr || scaledPicture == nullptr) {
        return 0;
    }
    // The decoder may have adjusted the size while opening.
    sourceWidth.store(videoCtx->width);
    sourceHeight.store(videoCtx->height);

    decodersReady.store(1, std::memory_order_release);
    return 1;
}

void PlaybackEngine::teardownDecoders() {
    if (scaledBuffer != nullptr) {
        av_free(scaledBuffer);
        scaledBuffer = nullptr;
    }
    if (decodedFrame != nullptr) {
        av_frame_free(&decodedFrame);
    }
    if (scaledPicture != nullptr) {
        av_frame_free(&scaledPicture);
    }
    // Closing a context here also frees it: nothing uses a context after teardown.
    if (videoCtx != nullptr) {
        avcodec_free_context(&videoCtx);
    }
}

}  // namespace vidora
