#include "tools/krmtool/export.h"

#include <unistd.h>  // isatty (mingw-w64 has it too)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include "audio/amr_frame_decoder.h"
#include "platform/file.h"
#include "recording/record_index.h"
#include "recording/record_scan.h"
#include "recording/recording_format.h"
#include "recording/time_text.h"
#include "tools/krmtool/mp4_writer.h"
#include "tools/krmtool/recording_map.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace vidora {

namespace {

using namespace exporting;

std::atomic<bool> interrupted{false};

struct Options {
    std::string input;
    std::string output;
    std::optional<TypedMoment> from;
    std::string fromText;
    std::optional<TypedMoment> to;
    bool salvage = false;
    bool force = false;
};

std::optional<Options> parseArguments(const std::vector<std::string>& args) {
    Options o;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--salvage") {
            o.salvage = true;
        } else if (a == "--force") {
            o.force = true;
        } else if (a == "--from" || a == "--to") {
            if (i + 1 >= args.size()) {
                say("%s needs a time (\"1:30\" or \"2015.06.01 12:31:00\")", a.c_str());
                return std::nullopt;
            }
            const std::string& text = args[++i];
            const std::optional<TypedMoment> moment = parseCutPoint(text);
            if (!moment) {
                say("%s: \"%s\" is neither a time into the recording nor the camera's date and "
                    "time",
                    a.c_str(), text.c_str());
                return std::nullopt;
            }
            (a == "--from" ? o.from : o.to) = moment;
            if (a == "--from") {
                o.fromText = text;
            }
        } else if (a.size() > 1 && a[0] == '-') {
            say("unknown option %s", a.c_str());
            return std::nullopt;
        } else {
            files.push_back(a);
        }
    }
    if (files.size() != 2) {
        say("usage: krmtool export FILE OUT.mp4 [--from T] [--to T] [--salvage] [--force]");
        return std::nullopt;
    }
    o.input = files[0];
    o.output = files[1];
    return o;
}

// An H.264 record's video: length-prefixed access units, each one picture. A length past the
// record's end ends it there.
struct Span {
    size_t at;
    size_t size;
};
std::vector<Span> h264Packets(const uint8_t* video, size_t size) {
    std::vector<Span> packets;
    size_t at = 0;
    while (at + 4 <= size) {
        const size_t length = readLe32(video + at);
        if (length > size - at - 4) {
            break;
        }
        if (length > 0) {
            packets.push_back({at + 4, length});
        }
        at += 4 + length;
    }
    return packets;
}

// The sequence and picture parameter sets of an Annex B access unit, as Annex B extradata.
std::vector<uint8_t> parameterSets(const uint8_t* b, size_t size) {
    std::vector<uint8_t> sets;
    size_t i = 0;
    auto nextStart = [&](size_t from) {
        while (from + 3 <= size && !(b[from] == 0 && b[from + 1] == 0 && b[from + 2] == 1)) {
            ++from;
        }
        return from + 3 <= size ? from : size;
    };
    i = nextStart(0);
    while (i < size) {
        const size_t nal = i + 3;
        size_t end = nextStart(nal);
        const size_t following = end;
        while (end > nal && b[end - 1] == 0) {
            --end;  // zeros before the next start code belong to no unit
        }
        const int type = nal < size ? (b[nal] & 0x1F) : 0;
        if (type == 7 || type == 8) {
            sets.insert(sets.end(), {0, 0, 0, 1});
            sets.insert(sets.end(), b + nal, b + end);
        }
        i = following;
    }
    return sets;
}

// The picture size, from decoding the first picture.
bool probeSize(AVCodecID codec, const uint8_t* data, size_t size, int* width, int* height) {
    const AVCodec* decoder = avcodec_find_decoder(codec);
    AVCodecContext* context = avcodec_alloc_context3(decoder);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    if (context != nullptr && avcodec_open2(context, decoder, nullptr) == 0 && packet != nullptr &&
        frame != nullptr) {
        std::vector<uint8_t> padded(data, data + size);
        padded.resize(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        packet->data = padded.data();
        packet->size = static_cast<int>(size);
        avcodec_send_packet(context, packet);
        avcodec_send_packet(context, nullptr);
        while (avcodec_receive_frame(context, frame) == 0) {
            av_frame_unref(frame);
        }
        *width = context->width;
        *height = context->height;
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return *width > 0 && *height > 0;
}

// A picture of an H.264 export: where its bytes are and when it plays.
struct H264Picture {
    size_t record;  // index into the exported records
    Span bytes;
    int64_t decodeTicks;  // 90 kHz, in decode order
    int poc;
    bool key;
    int64_t pts = 0;
    int64_t dts = 0;
};

// On a terminal, the share done and the time left, rewritten in place.
class Progress {
  public:
    Progress() : shown_(isatty(STDERR_FILENO) != 0), start_(std::chrono::steady_clock::now()) {}
    void update(double done) {
        if (!shown_) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(250) || done <= 0.0) {
            return;
        }
        last_ = now;
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const int64_t leftUs = static_cast<int64_t>(elapsed * (1.0 - done) / done * 1e6);
        std::fprintf(stderr, "\rkrmtool: exporting %3d%%, %s left \x1b[K",
                     static_cast<int>(done * 100.0), formatPlayTime(leftUs).c_str());
        std::fflush(stderr);
        progressShown = true;
    }
    void clear() {
        if (progressShown) {
            std::fprintf(stderr, "\r\x1b[K");
            progressShown = false;
        }
    }

  private:
    bool shown_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_{};
};

class Exporter {
  public:
    Exporter(const Options& options, const RecordingMap& map, size_t first, size_t end)
        : options_(options),
          records_(map.records().begin() + static_cast<std::ptrdiff_t>(first),
                   map.records().begin() + static_cast<std::ptrdiff_t>(end)),
          h264_(map.h264()),
          reader_(options.input) {
        const int64_t zero = records_.front().playUs;
        for (Record& r : records_) {
            r.playUs -= zero;
        }
    }

    bool run(const std::string& temporary) {
        std::vector<uint8_t> extradata;
        int width = 0;
        int height = 0;
        if (h264_ ? !planH264(&extradata, &width, &height) : !probeH263(&width, &height)) {
            return false;
        }
        if (!writer_.open(temporary, h264_, width, height, extradata, records_.front().time)) {
            return false;
        }
        AVCodecParserContext* parser = h264_ ? nullptr : av_parser_init(AV_CODEC_ID_H263);
        AVCodecContext* parsing =
            h264_ ? nullptr : avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H263));
        const bool ok = writeAll(parser, parsing);
        av_parser_close(parser);
        avcodec_free_context(&parsing);
        progress_.clear();
        // The first record may decode without being a key picture, and salvaged stretches may
        // hold none: an MP4 without a picture is no export.
        if (ok && !h264_ && !h263KeySeen_) {
            say("%s holds no H.263 key picture to start from", options_.input.c_str());
            return false;
        }
        return ok && writer_.finish();
    }

  private:
    int64_t ticks(int64_t us) const { return av_rescale_q(us, kMicroseconds, kVideoTicks); }
    // How long record i lasts: to the next record, or as long as the one before it.
    int64_t recordUs(size_t i) const {
        if (i + 1 < records_.size()) {
            return records_[i + 1].playUs - records_[i].playUs;
        }
        return i > 0 ? records_[i].playUs - records_[i - 1].playUs : kDefaultPictureUs;
    }
    int64_t endUs() const {
        return records_.back().playUs + std::max<int64_t>(recordUs(records_.size() - 1), 1000);
    }

    bool readRecord(size_t i) {
        if (!reader_.read(records_[i].offset)) {
            say("cannot read %s at offset %llu", options_.input.c_str(),
                static_cast<unsigned long long>(records_[i].offset));
            return false;
        }
        return true;
    }

    // A first pass over the H.264 pictures: which are kept (from a key picture on after each
    // start), their order of display (picture order counts, which restart at each IDR picture)
    // and so their times. The n-th picture shown plays at the n-th picture time in, as the
    // player shows them; decode times run the reordering depth behind.
    bool planH264(std::vector<uint8_t>* extradata, int* width, int* height) {
        AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H264);
        AVCodecContext* parsing = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
        if (parser == nullptr || parsing == nullptr) {
            say("FFmpeg's H.264 parser is missing");
            return false;
        }
        parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
        bool needKey = true;
        bool ok = true;
        for (size_t i = 0; i < records_.size() && ok; ++i) {
            if (!(ok = readRecord(i))) {
                break;
            }
            needKey = needKey || records_[i].stretchStart;
            const std::vector<Span> packets = h264Packets(reader_.video.data(), reader_.videoBytes);
            for (size_t j = 0; j < packets.size(); ++j) {
                const uint8_t* au = reader_.video.data() + packets[j].at;
                const bool key = startsWithKeyPicture(au, packets[j].size, true);
                if (needKey && !key) {
                    continue;
                }
                needKey = false;
                if (extradata->empty()) {
                    *extradata = parameterSets(au, packets[j].size);
                    probeSize(AV_CODEC_ID_H264, au, packets[j].size, width, height);
                }
                uint8_t* out = nullptr;
                int outSize = 0;
                av_parser_parse2(parser, parsing, &out, &outSize, au,
                                 static_cast<int>(packets[j].size), AV_NOPTS_VALUE, AV_NOPTS_VALUE,
                                 0);
                // Pictures sharing a record share its time evenly.
                const int64_t us = records_[i].playUs + recordUs(i) * static_cast<int64_t>(j) /
                                                            static_cast<int64_t>(packets.size());
                pictures_.push_back({i, packets[j], ticks(us), parser->output_picture_number, key});
            }
        }
        av_parser_close(parser);
        avcodec_free_context(&parsing);
        if (!ok) {
            return false;
        }
        if (pictures_.empty() || extradata->empty() || *width <= 0) {
            say("%s holds no H.264 key picture to start from", options_.input.c_str());
            return false;
        }
        // Decode times strictly rising, then each IDR span's times handed out by display order.
        for (size_t i = 1; i < pictures_.size(); ++i) {
            pictures_[i].decodeTicks =
                std::max(pictures_[i].decodeTicks, pictures_[i - 1].decodeTicks + 1);
        }
        size_t depth = 0;
        std::vector<size_t> order;
        for (size_t begin = 0; begin < pictures_.size();) {
            size_t end = begin + 1;
            while (end < pictures_.size() && !pictures_[end].key) {
                ++end;
            }
            order.resize(end - begin);
            for (size_t k = 0; k < order.size(); ++k) {
                order[k] = begin + k;
            }
            std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
                return pictures_[a].poc < pictures_[b].poc;
            });
            for (size_t k = 0; k < order.size(); ++k) {
                H264Picture& p = pictures_[order[k]];
                p.pts = pictures_[begin + k].decodeTicks;
                depth = std::max(depth, order[k] > begin + k ? order[k] - (begin + k) : 0);
            }
            begin = end;
        }
        const int64_t step = pictures_.size() > 1
                                 ? pictures_[1].decodeTicks - pictures_[0].decodeTicks
                                 : ticks(kDefaultPictureUs);
        for (size_t i = 0; i < pictures_.size(); ++i) {
            pictures_[i].dts =
                i >= depth ? pictures_[i - depth].decodeTicks
                           : pictures_[0].decodeTicks - static_cast<int64_t>(depth - i) * step;
        }
        return true;
    }

    bool probeH263(int* width, int* height) {
        if (!readRecord(0) ||
            !probeSize(AV_CODEC_ID_H263, reader_.video.data(), reader_.videoBytes, width, height)) {
            say("%s does not begin with an H.263 picture", options_.input.c_str());
            return false;
        }
        return true;
    }

    // The time of the record that holds the stream's byte just before `end`.
    int64_t ticksEndingAt(int64_t end) const {
        const auto it = std::partition_point(
            videoStarts_.begin(), videoStarts_.end(),
            [&](const std::pair<int64_t, int64_t>& start) { return start.first < end; });
        return it == videoStarts_.begin() ? lastTicks_ + 1 : std::prev(it)->second;
    }

    bool writeH263(const uint8_t* data, int size, int64_t pts) {
        if (needKey_ && !startsWithKeyPicture(data, static_cast<size_t>(size), false)) {
            return true;
        }
        needKey_ = false;
        h263KeySeen_ = true;
        pts = std::max(pts, lastTicks_ + 1);
        if (pending_.empty()) {
            pending_.assign(data, data + size);
            pendingTicks_ = pts;
            lastTicks_ = pts;
            return true;
        }
        // Each picture waits for the next one, which tells how long it lasts.
        const bool ok = writer_.writePicture(
            pending_.data(), pending_.size(), pendingTicks_, pendingTicks_, pts - pendingTicks_,
            startsWithKeyPicture(pending_.data(), pending_.size(), false));
        pending_.assign(data, data + size);
        pendingTicks_ = pts;
        lastTicks_ = pts;
        return ok;
    }

    bool flushH263(AVCodecParserContext* parser, AVCodecContext* parsing, int64_t endTicks) {
        uint8_t* out = nullptr;
        int outSize = 0;
        av_parser_parse2(parser, parsing, &out, &outSize, nullptr, 0, AV_NOPTS_VALUE,
                         AV_NOPTS_VALUE, 0);
        if (outSize > 0 && !writeH263(out, outSize, ticksEndingAt(streamFed_))) {
            return false;
        }
        if (!pending_.empty()) {
            const bool ok =
                writer_.writePicture(pending_.data(), pending_.size(), pendingTicks_, pendingTicks_,
                                     std::max<int64_t>(endTicks - pendingTicks_, 1),
                                     startsWithKeyPicture(pending_.data(), pending_.size(), false));
            pending_.clear();
            return ok;
        }
        return true;
    }

    bool writeAll(AVCodecParserContext*& parser, AVCodecContext* parsing) {
        size_t picture = 0;
        RecordTime cueTime;
        int64_t cueStart = -1;
        const uint64_t firstOffset = records_.front().offset;
        const uint64_t span = records_.back().offset - firstOffset + 1;
        for (size_t i = 0; i < records_.size(); ++i) {
            if (interrupted.load()) {
                say("interrupted");
                return false;
            }
            progress_.update(static_cast<double>(records_[i].offset - firstOffset) /
                             static_cast<double>(span));
            if (!readRecord(i)) {
                return false;
            }
            const Record& r = records_[i];
            if (h264_) {
                for (; picture < pictures_.size() && pictures_[picture].record == i; ++picture) {
                    const H264Picture& p = pictures_[picture];
                    const int64_t next = picture + 1 < pictures_.size()
                                             ? pictures_[picture + 1].decodeTicks
                                             : ticks(endUs());
                    if (!writer_.writePicture(reader_.video.data() + p.bytes.at, p.bytes.size,
                                              p.pts, p.dts,
                                              std::max<int64_t>(next - p.decodeTicks, 1), p.key)) {
                        return false;
                    }
                }
            } else {
                if (r.stretchStart && i > 0) {
                    // Damaged bytes lie behind: the picture begun before them ends here, and
                    // pictures start again at a key picture.
                    if (!flushH263(parser, parsing, ticks(r.playUs))) {
                        return false;
                    }
                    av_parser_close(parser);
                    parser = av_parser_init(AV_CODEC_ID_H263);
                    needKey_ = true;
                    videoStarts_.clear();
                    streamFed_ = 0;
                }
                // The pictures run across records: each plays at the record that completes it,
                // which for a camera that writes a picture a record is its own.
                const int64_t base = streamFed_;
                if (reader_.videoBytes > 0) {
                    videoStarts_.push_back({base, ticks(r.playUs)});
                }
                size_t at = 0;
                while (at < reader_.videoBytes) {
                    uint8_t* out = nullptr;
                    int outSize = 0;
                    const int used =
                        av_parser_parse2(parser, parsing, &out, &outSize, reader_.video.data() + at,
                                         static_cast<int>(reader_.videoBytes - at), AV_NOPTS_VALUE,
                                         AV_NOPTS_VALUE, 0);
                    if (outSize > 0 && !writeH263(out, outSize,
                                                  ticksEndingAt(base + static_cast<int64_t>(at) +
                                                                std::max(used, 0)))) {
                        return false;
                    }
                    if (used <= 0) {
                        break;
                    }
                    at += static_cast<size_t>(used);
                }
                streamFed_ = base + static_cast<int64_t>(reader_.videoBytes);
            }
            if (r.stretchStart) {
                writer_.restartSound();
            }
            if (!writer_.addSound(reader_.audio.data(), reader_.audioBytes, r.playUs)) {
                return false;
            }
            // One cue a second: the camera's clock as the player prints it.
            if (cueStart < 0 || !(r.time == cueTime)) {
                if (cueStart >= 0 &&
                    !writer_.writeCue(formatRecordTime(cueTime), cueStart, r.playUs)) {
                    return false;
                }
                cueTime = r.time;
                cueStart = r.playUs;
            }
        }
        if (!h264_ && !flushH263(parser, parsing, ticks(endUs()))) {
            return false;
        }
        return writer_.writeCue(formatRecordTime(cueTime), cueStart, endUs());
    }

    const Options& options_;
    std::vector<Record> records_;
    bool h264_;
    RecordReader reader_;
    Mp4Writer writer_;
    Progress progress_;
    std::vector<H264Picture> pictures_;
    // H.263: the picture waiting for the next one, and whether a key picture must come first.
    std::vector<uint8_t> pending_;
    int64_t pendingTicks_ = 0;
    int64_t lastTicks_ = -1;
    bool needKey_ = true;
    bool h263KeySeen_ = false;
    // Where each record's video begins in the stream fed to the parser since the last start, and
    // its time.
    std::vector<std::pair<int64_t, int64_t>> videoStarts_;
    int64_t streamFed_ = 0;
};

// The range to export as [first, end) of the map's records; false, having said why, when there
// is none.
bool chooseRange(const Options& o, const RecordingMap& map, size_t* first, size_t* end) {
    const std::vector<Record>& records = map.records();
    *first = 0;
    *end = records.size();
    if (o.from) {
        int64_t wantedUs = 0;
        size_t at = 0;
        std::string wanted;
        if (o.from->kind == TypedMoment::Kind::IntoRecording) {
            wantedUs = o.from->intoUs;
            if (wantedUs > records.back().playUs) {
                say("the recording does not last until %s (its last record plays at %s)",
                    formatPlayTime(wantedUs).c_str(),
                    formatPlayTime(records.back().playUs).c_str());
                return false;
            }
            at = map.atPlayTime(wantedUs);
            wanted = formatPlayTime(wantedUs);
        } else {
            at = map.atClock(o.from->time);
            if (at == RecordIndex::npos) {
                say("the recording does not cover %s", formatRecordTime(o.from->time).c_str());
                return false;
            }
            wantedUs = records[at].playUs;
            wanted = formatRecordTime(o.from->time);
        }
        *first = map.keyAtOrBefore(at);
        if (*first == RecordIndex::npos) {
            say("no key picture at or before %s", wanted.c_str());
            return false;
        }
        const int64_t earlier = wantedUs - records[*first].playUs;
        if (earlier > 0) {
            say("starting at the key picture at %s, %s s before %s",
                formatPlayTime(records[*first].playUs).c_str(), seconds(earlier).c_str(),
                wanted.c_str());
        }
    }
    if (o.to) {
        if (o.to->kind == TypedMoment::Kind::IntoRecording) {
            *end = static_cast<size_t>(
                std::partition_point(records.begin(), records.end(),
                                     [&](const Record& r) { return r.playUs < o.to->intoUs; }) -
                records.begin());
        } else {
            const size_t at = map.atClock(o.to->time);
            if (at != RecordIndex::npos) {
                *end = at;
            } else if (recordClockSeconds(o.to->time) < recordClockSeconds(records.front().time)) {
                *end = 0;
            }
        }
    }
    if (*end <= *first) {
        say("nothing to export: --to lies before the start");
        return false;
    }
    return true;
}

std::string folderOf(const std::string& path) {
    const std::string folder = utf8FromPath(pathFromUtf8(path).parent_path());
    return folder.empty() ? "." : folder;
}

std::string nameOf(const std::string& path) {
    return utf8FromPath(pathFromUtf8(path).filename());
}

void onInterrupt(int) {
    interrupted.store(true);
}

// Signal handling for the time of an export: a file-size limit becomes a write error, and an
// interrupt ends the export cleanly so that its temporary file goes too.
#ifdef _WIN32
// Windows has no sigaction: the console's Ctrl+C and a termination request come through
// signal(), and there is no file-size signal.
class SignalScope {
  public:
    SignalScope() {
        int_ = std::signal(SIGINT, onInterrupt);
        term_ = std::signal(SIGTERM, onInterrupt);
        interrupted.store(false);
    }
    ~SignalScope() {
        std::signal(SIGINT, int_);
        std::signal(SIGTERM, term_);
    }
    SignalScope(const SignalScope&) = delete;
    SignalScope& operator=(const SignalScope&) = delete;

  private:
    void (*int_)(int) = SIG_DFL;
    void (*term_)(int) = SIG_DFL;
};
#else
class SignalScope {
  public:
    SignalScope() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &xfsz_);
        struct sigaction stop {};
        stop.sa_handler = onInterrupt;
        sigaction(SIGINT, &stop, &int_);
        sigaction(SIGTERM, &stop, &term_);
        sigaction(SIGHUP, &stop, &hup_);
        interrupted.store(false);
    }
    ~SignalScope() {
        sigaction(SIGXFSZ, &xfsz_, nullptr);
        sigaction(SIGINT, &int_, nullptr);
        sigaction(SIGTERM, &term_, nullptr);
        sigaction(SIGHUP, &hup_, nullptr);
    }
    SignalScope(const SignalScope&) = delete;
    SignalScope& operator=(const SignalScope&) = delete;

  private:
    struct sigaction xfsz_ {};
    struct sigaction int_ {};
    struct sigaction term_ {};
    struct sigaction hup_ {};
};
#endif

}  // namespace

int exportCommand(const std::vector<std::string>& args) {
    const std::optional<Options> options = parseArguments(args);
    if (!options) {
        return 2;
    }
    const std::string& out = options->output;
    std::error_code error;
    const std::filesystem::file_status existing = std::filesystem::status(pathFromUtf8(out), error);
    if (std::filesystem::is_directory(existing)) {
        say("%s is a folder", out.c_str());
        return 1;
    }
    if (std::filesystem::exists(existing) && !options->force) {
        say("%s exists (--force replaces it)", out.c_str());
        return 1;
    }
    // FFmpeg's own complaints (a rejected sound frame) would drown the one line that matters.
    av_log_set_level(AV_LOG_FATAL);
    RecordingMap map;
    size_t first = 0;
    size_t end = 0;
    if (!map.build(options->input, options->salvage) || !chooseRange(*options, map, &first, &end)) {
        return 1;
    }

    SignalScope signals;
    // The muxer writes the file by its name; the replacement removes it again unless it is put
    // in place.
    FileReplacement file;
    std::string reason;
    if (!file.create(out, nameOf(out) + ".", &reason) || !file.close()) {
        say("cannot write in %s: %s", folderOf(out).c_str(), reason.c_str());
        return 1;
    }
    bool ok = false;
    {
        Exporter exporter(*options, map, first, end);
        ok = exporter.run(file.temporaryPath());
    }
    if (ok && interrupted.load()) {
        say("interrupted");
        ok = false;
    }
    if (!ok) {
        return 1;
    }
    // Without --force the file takes its name only where no file has it.
    switch (file.commit(options->force, &reason)) {
        case FileReplacement::Outcome::Done:
            return 0;
        case FileReplacement::Outcome::TargetExists:
            say("%s exists (--force replaces it)", out.c_str());
            return 1;
        case FileReplacement::Outcome::Failed:
            break;
    }
    say("cannot write %s: %s", out.c_str(), reason.c_str());
    return 1;
}

}  // namespace vidora
