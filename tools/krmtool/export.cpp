#include "tools/krmtool/export.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>

#include "audio/amr_frame_decoder.h"
#include "recording/record_index.h"
#include "recording/record_scan.h"
#include "recording/recording_format.h"
#include "recording/time_text.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace vidora {

namespace {

constexpr AVRational kMicroseconds{1, 1000000};
constexpr AVRational kVideoTicks{1, 90000};
constexpr AVRational kMilliseconds{1, 1000};
constexpr int kAmrRate = 8000;
constexpr int kAmrFrameSamples = 160;
// AAC-LC at 48 kHz mono: a rate every phone and browser decodes.
constexpr int kAacRate = 48000;
constexpr int64_t kAacBitRate = 64000;
// A picture's length when nothing follows it to tell.
constexpr int64_t kDefaultPictureUs = 40000;

std::atomic<bool> interrupted{false};
// A progress line stands on the terminal: a message first clears it.
bool progressShown = false;

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "%skrmtool: %s\n", progressShown ? "\r\x1b[K" : "", line);
    progressShown = false;
}

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

std::string seconds(int64_t us) {
    char text[32];
    const double s = static_cast<double>(us) / 1e6;
    std::snprintf(text, sizeof text,
                  us % 1000000 < 50000 || us % 1000000 >= 950000 ? "%.0f" : "%.1f", s);
    return text;
}

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

// One record to export, its play time counted over every stretch of the file.
struct Record {
    uint64_t offset = 0;
    uint32_t timestamp = 0;
    RecordTime time;
    bool key = false;
    bool stretchStart = false;  // the first record after damaged bytes
    int64_t playUs = 0;
};

struct Stretch {
    RecordIndex index;
    size_t first = 0;  // its first record in the list of all records
    int64_t startUs = 0;
};

// Every readable record of the file; with salvage, the stretches after damaged bytes too.
class RecordingMap {
  public:
    bool build(const Options& options) {
        const uint64_t fileBytes = fileSize(options.input);
        uint64_t from = kRecordingHeaderBytes;
        for (;;) {
            Stretch s;
            const RecordIndex::End end = s.index.build(options.input, from);
            if (end == RecordIndex::End::CannotOpen) {
                say("cannot open %s: %s", options.input.c_str(),
                    errno != 0 ? std::strerror(errno) : "not a regular file");
                return false;
            }
            if (end == RecordIndex::End::NotARecording) {
                say("%s is not a recording", options.input.c_str());
                return false;
            }
            h264_ = s.index.h264();
            // Taken before the stretch goes: one without records is not kept.
            const uint64_t bad = s.index.badOffset();
            const char* reason = s.index.badReason();
            append(std::move(s));
            if (end != RecordIndex::End::BadRecord) {
                break;
            }
            if (!options.salvage) {
                say("the recording is damaged at offset %llu (%s): the export ends there "
                    "(--salvage goes on past it)",
                    static_cast<unsigned long long>(bad), reason);
                break;
            }
            const std::string before =
                records_.empty() ? "its start" : formatRecordTime(records_.back().time);
            const std::optional<uint64_t> next = nextValidRecord(options.input, bad + 1);
            if (!next) {
                say("skipped %llu damaged bytes at offset %llu, from %s to the end of the file",
                    static_cast<unsigned long long>(fileBytes - std::min(fileBytes, bad)),
                    static_cast<unsigned long long>(bad), before.c_str());
                break;
            }
            const size_t known = records_.size();
            from = *next;
            skipped_.push_back({bad, *next, before, known});
        }
        for (const Skipped& s : skipped_) {
            const std::string after = s.recordsBefore < records_.size()
                                          ? formatRecordTime(records_[s.recordsBefore].time)
                                          : "the end";
            say("skipped %llu damaged bytes at offset %llu, between %s and %s",
                static_cast<unsigned long long>(s.next - s.bad),
                static_cast<unsigned long long>(s.bad), s.before.c_str(), after.c_str());
        }
        if (records_.empty()) {
            say("%s holds no readable record", options.input.c_str());
            return false;
        }
        return true;
    }

    bool h264() const { return h264_; }
    const std::vector<Record>& records() const { return records_; }

    // The record playing at `us` into the recording.
    size_t atPlayTime(int64_t us) const {
        size_t k = 0;
        while (k + 1 < stretches_.size() && stretches_[k + 1].startUs <= us) {
            ++k;
        }
        const Stretch& s = stretches_[k];
        return s.first + s.index.atPlayTime(us - s.startUs);
    }
    // The first record of the clock second `t` (or just after it, when it fell in a gap).
    size_t atClock(const RecordTime& t) const {
        for (const Stretch& s : stretches_) {
            const size_t i = s.index.atClock(t);
            if (i != RecordIndex::npos) {
                return s.first + i;
            }
        }
        return RecordIndex::npos;
    }
    // The key record at or before i, in i's stretch; npos when there is none.
    size_t keyAtOrBefore(size_t i) const {
        for (const Stretch& s : stretches_) {
            if (i >= s.first && i < s.first + s.index.size()) {
                const size_t key = s.index.keyAtOrBefore(i - s.first);
                return key == RecordIndex::npos ? key : s.first + key;
            }
        }
        return RecordIndex::npos;
    }

  private:
    struct Skipped {
        uint64_t bad;
        uint64_t next;
        std::string before;
        size_t recordsBefore;
    };

    static uint64_t fileSize(const std::string& path) {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
    }

    void append(Stretch&& s) {
        if (s.index.size() == 0) {
            return;
        }
        s.first = records_.size();
        if (!records_.empty()) {
            // The pacing rule carries on over the damage: at most a second between them.
            const uint32_t gapMs = s.index.at(0).timestamp - records_.back().timestamp;
            s.startUs = records_.back().playUs + int64_t{std::min<uint32_t>(gapMs, 1000)} * 1000;
        }
        for (size_t i = 0; i < s.index.size(); ++i) {
            const IndexedRecord r = s.index.at(i);
            records_.push_back(Record{r.offset, r.timestamp, r.time, r.key, i == 0 && s.first > 0,
                                      s.startUs + r.playUs});
        }
        stretches_.push_back(std::move(s));
    }

    bool h264_ = false;
    std::vector<Stretch> stretches_;
    std::vector<Record> records_;
    std::vector<Skipped> skipped_;
};

// Reads one record's payload at a time.
class RecordReader {
  public:
    explicit RecordReader(const std::string& path)
        : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~RecordReader() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    RecordReader(const RecordReader&) = delete;
    RecordReader& operator=(const RecordReader&) = delete;

    // The video and the audio bytes of the record at `offset`, each followed by decoder padding.
    bool read(uint64_t offset) {
        uint8_t header[kRecordHeaderBytes];
        if (!readAt(offset, header, kRecordHeaderBytes)) {
            return false;
        }
        const RecordHeader h = parseRecordHeader(header);
        video.assign(h.videoBytes + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        audio.assign(h.audioBytes + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        videoBytes = h.videoBytes;
        audioBytes = h.audioBytes;
        return readAt(offset + kRecordHeaderBytes, video.data(), videoBytes) &&
               readAt(offset + kRecordHeaderBytes + videoBytes, audio.data(), audioBytes);
    }

    std::vector<uint8_t> video;
    std::vector<uint8_t> audio;
    size_t videoBytes = 0;
    size_t audioBytes = 0;

  private:
    bool readAt(uint64_t offset, uint8_t* to, size_t n) {
        size_t done = 0;
        while (done < n) {
            const ssize_t r = pread(fd_, to + done, n - done, static_cast<off_t>(offset + done));
            if (r < 0 && errno == EINTR) {
                continue;
            }
            if (r <= 0) {
                return false;
            }
            done += static_cast<size_t>(r);
        }
        return true;
    }

    int fd_;
};

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

// The MP4 file being written: its three tracks and the AAC encoding of the sound.
class Mp4Writer {
  public:
    ~Mp4Writer() {
        swr_free(&resampler_);
        av_audio_fifo_free(fifo_);
        av_frame_free(&frame_);
        avcodec_free_context(&encoder_);
        av_packet_free(&packet_);
        if (format_ != nullptr) {
            avio_closep(&format_->pb);
            avformat_free_context(format_);
        }
    }

    bool open(const std::string& path, bool h264, int width, int height,
              const std::vector<uint8_t>& extradata, const RecordTime& created) {
        // The MP4 muxer takes no H.263; its 3GPP sibling writes the same boxes with the brand that
        // names H.263, which is what phones expect of it.
        const char* muxer = h264 ? "mp4" : "3gp";
        if (avformat_alloc_output_context2(&format_, nullptr, muxer, path.c_str()) < 0) {
            say("the %s muxer is missing", muxer);
            return false;
        }
        packet_ = av_packet_alloc();
        video_ = avformat_new_stream(format_, nullptr);
        video_->time_base = kVideoTicks;
        AVCodecParameters* v = video_->codecpar;
        v->codec_type = AVMEDIA_TYPE_VIDEO;
        v->codec_id = h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_H263;
        v->width = width;
        v->height = height;
        if (!extradata.empty()) {
            v->extradata =
                static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            std::memcpy(v->extradata, extradata.data(), extradata.size());
            v->extradata_size = static_cast<int>(extradata.size());
        }
        if (!openSound()) {
            return false;
        }
        openText();
        char when[64];
        std::snprintf(when, sizeof when, "%04u-%02u-%02uT%02u:%02u:%02u.000000Z", created.year,
                      created.month, created.day, created.hour, created.minute, created.second);
        av_dict_set(&format_->metadata, "creation_time", when, 0);
        int r = avio_open(&format_->pb, path.c_str(), AVIO_FLAG_WRITE);
        if (r < 0) {
            say("cannot write %s: %s", path.c_str(), avError(r).c_str());
            return false;
        }
        AVDictionary* options = nullptr;
        // The index in front, so that a browser plays the file while it still loads.
        av_dict_set(&options, "movflags", "+faststart", 0);
        r = avformat_write_header(format_, &options);
        av_dict_free(&options);
        return check(r);
    }

    bool writePicture(const uint8_t* data, size_t size, int64_t pts, int64_t dts, int64_t duration,
                      bool key) {
        av_packet_unref(packet_);
        if (av_new_packet(packet_, static_cast<int>(size)) < 0) {
            return check(AVERROR(ENOMEM));
        }
        std::memcpy(packet_->data, data, size);
        packet_->pts = pts;
        packet_->dts = dts;
        packet_->duration = duration;
        packet_->flags = key ? AV_PKT_FLAG_KEY : 0;
        return write(video_, kVideoTicks);
    }

    // One record's sound bytes, which play from `us` into the export. The AMR-NB frames run on
    // across records (a record may end inside one); silence fills a gap in time before it, so
    // that the sound stays with the pictures.
    bool addSound(const uint8_t* audio, size_t size, int64_t us) {
        const int64_t due = us * kAmrRate / 1000000;
        if (due - soundSamples_ > 2 * kAmrFrameSamples) {
            pcm_.assign(static_cast<size_t>(due - soundSamples_), 0);
            if (!encode(pcm_)) {
                return false;
            }
        }
        stream_.insert(stream_.end(), audio, audio + size);
        pcm_.clear();
        size_t at = 0;
        while (at < stream_.size()) {
            if (!inStep_) {
                const Step step = findStep(at);
                if (step == Step::NeedMore) {
                    break;
                }
                if (step == Step::NotHere) {
                    ++at;
                    continue;
                }
                inStep_ = true;
            }
            if (!wellFormed(stream_[at])) {
                inStep_ = false;
                continue;
            }
            const size_t bytes = static_cast<size_t>(amrStorageFrameBytes(stream_[at]));
            if (at + bytes > stream_.size()) {
                break;  // the rest comes with the next record
            }
            const size_t was = pcm_.size();
            pcm_.resize(was + kAmrFrameSamples, 0);
            int32_t out = kAmrFrameSamples * 2;
            // A frame the decoder rejects (comfort noise, no data) is 20 ms of silence.
            if (amr_.decode(reinterpret_cast<uint8_t*>(pcm_.data() + was), &out, &stream_[at],
                            static_cast<int32_t>(bytes)) < 0 ||
                out != kAmrFrameSamples * 2) {
                std::fill(pcm_.begin() + static_cast<std::ptrdiff_t>(was), pcm_.end(), 0);
            }
            at += bytes;
        }
        stream_.erase(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(at));
        return encode(pcm_);
    }

    // Damaged bytes lie behind: the sound picks up at the next frame it can trust.
    void restartSound() {
        stream_.clear();
        inStep_ = false;
    }

    bool writeCue(const std::string& text, int64_t startUs, int64_t endUs) {
        av_packet_unref(packet_);
        if (av_new_packet(packet_, static_cast<int>(text.size() + 2)) < 0) {
            return check(AVERROR(ENOMEM));
        }
        packet_->data[0] = static_cast<uint8_t>(text.size() >> 8);
        packet_->data[1] = static_cast<uint8_t>(text.size());
        std::memcpy(packet_->data + 2, text.data(), text.size());
        packet_->pts = packet_->dts = startUs;
        packet_->duration = std::max<int64_t>(endUs - startUs, 1000);
        packet_->flags = AV_PKT_FLAG_KEY;
        return write(text_, kMicroseconds);
    }

    bool finish() {
        // The resampler's tail, then what the FIFO holds, then the encoder's own.
        if (!convert(nullptr, 0) || !encodeFifo(true) || !drainEncoder(nullptr)) {
            return false;
        }
        if (!check(av_write_trailer(format_))) {
            return false;
        }
        return check(avio_closep(&format_->pb));
    }

  private:
    bool openSound() {
        sound_ = avformat_new_stream(format_, nullptr);
        const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
        encoder_ = aac != nullptr ? avcodec_alloc_context3(aac) : nullptr;
        if (encoder_ == nullptr || !amr_.open()) {
            say("FFmpeg's AAC encoder or AMR-NB decoder is missing");
            return false;
        }
        encoder_->sample_rate = kAacRate;
        encoder_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        encoder_->bit_rate = kAacBitRate;
        encoder_->profile = FF_PROFILE_AAC_LOW;
        encoder_->time_base = AVRational{1, kAacRate};
        av_channel_layout_default(&encoder_->ch_layout, 1);
        encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        int r = avcodec_open2(encoder_, aac, nullptr);
        if (r < 0) {
            say("cannot open the AAC encoder: %s", avError(r).c_str());
            return false;
        }
        avcodec_parameters_from_context(sound_->codecpar, encoder_);
        sound_->time_base = encoder_->time_base;
        AVChannelLayout mono;
        av_channel_layout_default(&mono, 1);
        if (swr_alloc_set_opts2(&resampler_, &mono, AV_SAMPLE_FMT_FLTP, kAacRate, &mono,
                                AV_SAMPLE_FMT_S16, kAmrRate, 0, nullptr) < 0 ||
            swr_init(resampler_) < 0) {
            say("cannot set up the resampler");
            return false;
        }
        fifo_ = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, 1, encoder_->frame_size * 4);
        frame_ = av_frame_alloc();
        return fifo_ != nullptr && frame_ != nullptr;
    }

    void openText() {
        text_ = avformat_new_stream(format_, nullptr);
        text_->time_base = kMilliseconds;
        AVCodecParameters* t = text_->codecpar;
        t->codec_type = AVMEDIA_TYPE_SUBTITLE;
        t->codec_id = AV_CODEC_ID_MOV_TEXT;
        // The sample description's default style: centred at the bottom, white text on nothing,
        // one font.
        static const uint8_t kStyle[] = {
            0, 0,    0, 0,                                              // display flags
            1, 0xFF,                                                    // centred, at the bottom
            0, 0,    0, 0,                                              // background colour
            0, 0,    0, 0,    0,   0,   0,   0,                         // text box
            0, 0,    0, 0,    0,   1,   0,   0x12, 255, 255, 255, 255,  // style: font 1, 18, white
            0, 0,    0, 0x12, 'f', 't', 'a', 'b',  0,   1,   0,   1,   5, 'S', 'e', 'r', 'i', 'f'};
        t->extradata =
            static_cast<uint8_t*>(av_mallocz(sizeof kStyle + AV_INPUT_BUFFER_PADDING_SIZE));
        std::memcpy(t->extradata, kStyle, sizeof kStyle);
        t->extradata_size = sizeof kStyle;
    }

    // A storage frame header as an encoder writes it: padding bits zero, a speech, comfort-noise
    // or no-data frame type.
    static bool wellFormed(uint8_t header) {
        const int type = (header >> 3) & 0x0F;
        return (header & 0x83) == 0 && (type <= 8 || type == 15);
    }

    enum class Step { Found, NotHere, NeedMore };
    // Whether a frame starts at `at`: four well-formed headers one after another, as the player
    // finds its step in a sound it joins in the middle.
    Step findStep(size_t at) const {
        constexpr int kFramesToFindStep = 4;
        for (int frame = 0; frame < kFramesToFindStep; ++frame) {
            if (at >= stream_.size()) {
                return Step::NeedMore;
            }
            if (!wellFormed(stream_[at])) {
                return Step::NotHere;
            }
            at += static_cast<size_t>(amrStorageFrameBytes(stream_[at]));
        }
        return Step::Found;
    }

    bool encode(const std::vector<int16_t>& samples) {
        soundSamples_ += static_cast<int64_t>(samples.size());
        return convert(reinterpret_cast<const uint8_t*>(samples.data()),
                       static_cast<int>(samples.size())) &&
               encodeFifo(false);
    }

    // 8 kHz samples in (nullptr: the resampler's tail), 48 kHz into the FIFO.
    bool convert(const uint8_t* in, int count) {
        const int room = swr_get_out_samples(resampler_, count);
        if (room <= 0) {
            return true;
        }
        converted_.resize(static_cast<size_t>(room));
        uint8_t* out[1] = {reinterpret_cast<uint8_t*>(converted_.data())};
        const uint8_t* input[1] = {in};
        const int got = swr_convert(resampler_, out, room, in != nullptr ? input : nullptr, count);
        if (got < 0) {
            return check(got);
        }
        return got == 0 || av_audio_fifo_write(fifo_, reinterpret_cast<void**>(out), got) == got;
    }

    bool encodeFifo(bool all) {
        const int size = encoder_->frame_size;
        while (av_audio_fifo_size(fifo_) >= size || (all && av_audio_fifo_size(fifo_) > 0)) {
            const int n = std::min(size, av_audio_fifo_size(fifo_));
            av_frame_unref(frame_);
            frame_->nb_samples = n;
            frame_->format = AV_SAMPLE_FMT_FLTP;
            frame_->sample_rate = kAacRate;
            av_channel_layout_default(&frame_->ch_layout, 1);
            if (av_frame_get_buffer(frame_, 0) < 0) {
                return check(AVERROR(ENOMEM));
            }
            av_audio_fifo_read(fifo_, reinterpret_cast<void**>(frame_->data), n);
            frame_->pts = soundPts_;
            soundPts_ += n;
            if (!drainEncoder(frame_)) {
                return false;
            }
        }
        return true;
    }

    bool drainEncoder(AVFrame* frame) {
        int r = avcodec_send_frame(encoder_, frame);
        if (r < 0) {
            return check(r);
        }
        for (;;) {
            av_packet_unref(packet_);
            r = avcodec_receive_packet(encoder_, packet_);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) {
                return true;
            }
            if (r < 0 || !write(sound_, encoder_->time_base)) {
                return check(r < 0 ? r : -1);
            }
        }
    }

    bool write(AVStream* stream, AVRational from) {
        packet_->stream_index = stream->index;
        av_packet_rescale_ts(packet_, from, stream->time_base);
        return check(av_interleaved_write_frame(format_, packet_));
    }

    bool check(int r) {
        if (r >= 0) {
            return true;
        }
        if (!failed_) {
            say("writing the MP4 file failed: %s", avError(r).c_str());
        }
        failed_ = true;
        return false;
    }

    AVFormatContext* format_ = nullptr;
    AVStream* video_ = nullptr;
    AVStream* sound_ = nullptr;
    AVStream* text_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVCodecContext* encoder_ = nullptr;
    SwrContext* resampler_ = nullptr;
    AVAudioFifo* fifo_ = nullptr;
    AVFrame* frame_ = nullptr;
    AmrFrameDecoder amr_;
    std::vector<int16_t> pcm_;
    std::vector<uint8_t> stream_;  // sound bytes not yet decoded
    bool inStep_ = false;
    std::vector<float> converted_;
    int64_t soundSamples_ = 0;  // 8 kHz samples handed on so far
    int64_t soundPts_ = 0;      // 48 kHz samples sent to the encoder
    bool failed_ = false;
};

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
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void onInterrupt(int) {
    interrupted.store(true);
}

// Signal handling for the time of an export: a file-size limit becomes a write error, and an
// interrupt ends the export cleanly so that its temporary file goes too.
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

// Moves the finished file to its name; without `force` only where no file is.
bool publish(const std::string& temporary, const std::string& out, bool force) {
    if (force) {
        if (::rename(temporary.c_str(), out.c_str()) != 0) {
            say("cannot write %s: %s", out.c_str(), std::strerror(errno));
            return false;
        }
        return true;
    }
    if (::link(temporary.c_str(), out.c_str()) == 0) {
        ::unlink(temporary.c_str());
        return true;
    }
    if (errno == EEXIST) {
        say("%s exists (--force replaces it)", out.c_str());
        return false;
    }
    // A file system without hard links: the check above and the rename are as near as it gets.
    struct stat info {};
    if (::lstat(out.c_str(), &info) == 0) {
        say("%s exists (--force replaces it)", out.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), out.c_str()) != 0) {
        say("cannot write %s: %s", out.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

int exportCommand(const std::vector<std::string>& args) {
    const std::optional<Options> options = parseArguments(args);
    if (!options) {
        return 2;
    }
    struct stat info {};
    if (::stat(options->output.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            say("%s is a folder", options->output.c_str());
            return 1;
        }
        if (!options->force) {
            say("%s exists (--force replaces it)", options->output.c_str());
            return 1;
        }
    }
    // FFmpeg's own complaints (a rejected sound frame) would drown the one line that matters.
    av_log_set_level(AV_LOG_FATAL);
    RecordingMap map;
    size_t first = 0;
    size_t end = 0;
    if (!map.build(*options) || !chooseRange(*options, map, &first, &end)) {
        return 1;
    }

    SignalScope signals;
    std::string temporary = folderOf(options->output) + "/." + nameOf(options->output) + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        say("cannot write in %s: %s", folderOf(options->output).c_str(), std::strerror(errno));
        return 1;
    }
    // As a newly made file would be: readable by others as the umask allows.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    ::close(fd);
    bool ok = false;
    {
        Exporter exporter(*options, map, first, end);
        ok = exporter.run(temporary);
    }
    if (ok && interrupted.load()) {
        say("interrupted");
        ok = false;
    }
    if (!ok || !publish(temporary, options->output, options->force)) {
        ::unlink(temporary.c_str());
        return 1;
    }
    return 0;
}

}  // namespace vidora
