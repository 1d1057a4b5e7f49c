// krmtool export: the MP4 file read back with libavformat against FFmpeg's own decoding of the
// recording's streams.

#include <gtest/gtest.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#else
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "recording/time_text.h"
#include "support/ffmpeg_reference.h"
#include "tools/krmtool/export.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/md5.h>
#include <libswresample/swresample.h>
}

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

uint32_t le32(const uint8_t* b) {
    return b[0] | (b[1] << 8) | (b[2] << 16) | (uint32_t{b[3]} << 24);
}
uint16_t le16(const uint8_t* b) {
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

// The recording read plainly, apart from the player's code: pictures (H.264 access units, or
// H.263 stream pieces), AMR frames, and each record's play time and clock.
struct Recording {
    bool h264 = false;
    int width = 0;
    int height = 0;
    std::vector<std::vector<Bytes>> video;  // per record
    std::vector<Bytes> audio;               // per record
    std::vector<int64_t> playUs;
    std::vector<std::string> clock;
    std::vector<size_t> offsets;
};

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

Recording readRecording(const fs::path& path) {
    const Bytes b = readFile(path);
    Recording r;
    r.h264 = (b[0] | 0x20) == 'h' && b[1] == '2' && b[2] == '6' && b[3] == '4';
    r.width = static_cast<int>(le32(&b[1016]));
    r.height = static_cast<int>(le32(&b[1020]));
    uint32_t previous = 0;
    for (size_t at = 1024; at + 32 <= b.size() && le32(&b[at]) == 0x12345678;) {
        const uint8_t* h = &b[at];
        const size_t v = le32(h + 24);
        const size_t a = le32(h + 28);
        const uint32_t ts = le32(h + 20);
        r.playUs.push_back(
            r.playUs.empty() ? 0 : r.playUs.back() + std::min(ts - previous, 1000u) * 1000);
        previous = ts;
        char text[64];
        std::snprintf(text, sizeof text, "%04u.%02u.%02u %02u:%02u:%02u", le16(h + 8), le16(h + 10),
                      le16(h + 12), le16(h + 14), le16(h + 16), le16(h + 18));
        r.clock.push_back(text);
        r.offsets.push_back(at);
        const uint8_t* video = h + 32;
        std::vector<Bytes> pieces;
        if (r.h264) {
            for (size_t p = 0; p + 4 <= v; p += 4 + le32(video + p)) {
                pieces.emplace_back(video + p + 4, video + p + 4 + le32(video + p));
            }
        } else {
            pieces.emplace_back(video, video + v);
        }
        r.video.push_back(pieces);
        r.audio.emplace_back(video + v, video + v + a);
        at += 32 + v + a;
    }
    return r;
}

std::string md5(const vidora::test::Picture& p) {
    uint8_t sum[16];
    av_md5_sum(sum, p.data(), static_cast<int>(p.size()));
    return std::string(reinterpret_cast<char*>(sum), 16);
}

std::vector<std::string> pictureSums(bool h263, const std::vector<Bytes>& pieces, int w, int h) {
    std::vector<std::string> sums;
    vidora::test::forEachReferencePicture(
        h263, pieces, w, h, [&](const vidora::test::Picture& p) { sums.push_back(md5(p)); });
    return sums;
}

// The export read back.
struct Mp4 {
    std::vector<Bytes> video;  // samples, H.264 turned back into Annex B
    std::vector<int64_t> videoPts;
    std::vector<int64_t> decodedPts;  // as the decoder gives the pictures out
    std::vector<float> sound8k;       // decoded, at 8 kHz
    std::vector<std::pair<int64_t, std::string>> cues;
    int64_t videoDurationUs = 0;
    std::string created;
};

Mp4 readMp4(const fs::path& path) {
    Mp4 m;
    AVFormatContext* f = nullptr;
    EXPECT_EQ(avformat_open_input(&f, path.string().c_str(), nullptr, nullptr), 0);
    EXPECT_GE(avformat_find_stream_info(f, nullptr), 0);
    if (const AVDictionaryEntry* e = av_dict_get(f->metadata, "creation_time", nullptr, 0)) {
        m.created = e->value;
    }
    int v = -1, a = -1, s = -1;
    for (unsigned i = 0; i < f->nb_streams; ++i) {
        const AVMediaType t = f->streams[i]->codecpar->codec_type;
        (t == AVMEDIA_TYPE_VIDEO ? v : t == AVMEDIA_TYPE_AUDIO ? a : s) = static_cast<int>(i);
    }
    EXPECT_TRUE(v >= 0 && a >= 0 && s >= 0);
    m.videoDurationUs =
        av_rescale_q(f->streams[v]->duration, f->streams[v]->time_base, AVRational{1, 1000000});
    AVBSFContext* bsf = nullptr;
    const bool h264 = f->streams[v]->codecpar->codec_id == AV_CODEC_ID_H264;
    if (h264) {
        av_bsf_alloc(av_bsf_get_by_name("h264_mp4toannexb"), &bsf);
        avcodec_parameters_copy(bsf->par_in, f->streams[v]->codecpar);
        av_bsf_init(bsf);
    }
    const AVCodec* aac = avcodec_find_decoder(f->streams[a]->codecpar->codec_id);
    AVCodecContext* dec = avcodec_alloc_context3(aac);
    avcodec_parameters_to_context(dec, f->streams[a]->codecpar);
    avcodec_open2(dec, aac, nullptr);
    const AVCodec* vcodec = avcodec_find_decoder(f->streams[v]->codecpar->codec_id);
    AVCodecContext* video = avcodec_alloc_context3(vcodec);
    avcodec_parameters_to_context(video, f->streams[v]->codecpar);
    avcodec_open2(video, vcodec, nullptr);
    SwrContext* swr = nullptr;
    AVChannelLayout mono;
    av_channel_layout_default(&mono, 1);
    swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_FLT, 8000, &dec->ch_layout, dec->sample_fmt,
                        dec->sample_rate, 0, nullptr);
    swr_init(swr);
    AVPacket* p = av_packet_alloc();
    AVFrame* fr = av_frame_alloc();
    auto takeSound = [&] {
        while (avcodec_receive_frame(dec, fr) == 0) {
            float out[8192];
            uint8_t* o[1] = {reinterpret_cast<uint8_t*>(out)};
            const int n = swr_convert(swr, o, 8192, const_cast<const uint8_t**>(fr->extended_data),
                                      fr->nb_samples);
            m.sound8k.insert(m.sound8k.end(), out, out + std::max(n, 0));
            av_frame_unref(fr);
        }
    };
    auto takePictures = [&] {
        while (avcodec_receive_frame(video, fr) == 0) {
            m.decodedPts.push_back(fr->pts);
            av_frame_unref(fr);
        }
    };
    while (av_read_frame(f, p) == 0) {
        const AVRational tb = f->streams[p->stream_index]->time_base;
        const int64_t us = av_rescale_q(p->pts, tb, AVRational{1, 1000000});
        if (p->stream_index == v) {
            m.videoPts.push_back(us);
            avcodec_send_packet(video, p);
            takePictures();
            if (bsf != nullptr) {
                av_bsf_send_packet(bsf, p);
                while (av_bsf_receive_packet(bsf, p) == 0) {
                    m.video.emplace_back(p->data, p->data + p->size);
                    av_packet_unref(p);
                }
            } else {
                m.video.emplace_back(p->data, p->data + p->size);
            }
        } else if (p->stream_index == a) {
            avcodec_send_packet(dec, p);
            takeSound();
        } else if (p->size > 2) {
            m.cues.emplace_back(
                us, std::string(p->data + 2, p->data + 2 + ((p->data[0] << 8) | p->data[1])));
        }
        av_packet_unref(p);
    }
    avcodec_send_packet(dec, nullptr);
    takeSound();
    avcodec_send_packet(video, nullptr);
    takePictures();
    avcodec_free_context(&video);
    std::sort(m.videoPts.begin(), m.videoPts.end());
    av_frame_free(&fr);
    av_packet_free(&p);
    swr_free(&swr);
    avcodec_free_context(&dec);
    av_bsf_free(&bsf);
    avformat_close_input(&f);
    return m;
}

struct Outcome {
    int code = -1;
    std::string err;
};
#ifdef _WIN32
// Windows has no fork: the export runs in this process, its standard error caught in a file for
// the time.
Outcome exportFile(const std::vector<std::string>& args) {
    const fs::path errPath =
        fs::temp_directory_path() / ("export_err_" + std::to_string(_getpid()));
    std::fflush(stderr);
    const int saved = _dup(_fileno(stderr));
    // Binary: the lines as the program writes them, without the text mode's carriage returns.
    FILE* err = std::freopen(errPath.string().c_str(), "wb", stderr);
    (void)err;
    Outcome r;
    r.code = vidora::exportCommand(args);
    std::fflush(stderr);
    _dup2(saved, _fileno(stderr));
    _close(saved);
    const Bytes e = readFile(errPath);
    r.err.assign(e.begin(), e.end());
    fs::remove(errPath);
    return r;
}
#else
// Runs the export in a child process, its standard error caught; `fileLimit` caps file sizes.
Outcome exportFile(const std::vector<std::string>& args, rlim_t fileLimit = RLIM_INFINITY) {
    const fs::path errPath = fs::temp_directory_path() / ("export_err_" + std::to_string(getpid()));
    const pid_t child = fork();
    if (child == 0) {
        FILE* err = std::freopen(errPath.c_str(), "w", stderr);
        (void)err;
        const rlimit limit{fileLimit, fileLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
        const int code = vidora::exportCommand(args);
        std::fflush(stderr);
        _exit(code);
    }
    int status = 0;
    waitpid(child, &status, 0);
    Outcome r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    const Bytes e = readFile(errPath);
    r.err.assign(e.begin(), e.end());
    fs::remove(errPath);
    return r;
}
#endif

class ExportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("export_test_" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    static fs::path data(const char* name) { return fs::path(VIDORA_TEST_DATA_DIR) / name; }

    // Every exported picture as FFmpeg decodes the recording's records [first, end), minus
    // `skip`; the times, sound, cues, duration and creation time as the records say.
    void expectExportOf(const Recording& rec, const Mp4& m, size_t first, size_t end) {
        std::vector<Bytes> pieces;
        std::vector<int64_t> times;
        std::vector<Bytes> amr;
        uint32_t window = 0xFFFFFFFF;
        bool started = false;
        size_t lastWithVideo = first;
        for (size_t i = first; i < end; ++i) {
            for (const Bytes& piece : rec.video[i]) {
                pieces.push_back(piece);
                if (rec.h264) {
                    times.push_back(rec.playUs[i] - rec.playUs[first]);
                    continue;
                }
                // H.263 pictures run across records; each plays at the record that completes
                // it, the one where the next picture begins (or the last).
                for (size_t b = 0; b < piece.size(); ++b) {
                    window = (window << 8) | piece[b];
                    if ((window & 0xFFFFFC00) == 0x00008000 && std::exchange(started, true)) {
                        times.push_back(rec.playUs[b > 2 ? i : lastWithVideo] - rec.playUs[first]);
                    }
                }
                lastWithVideo = piece.empty() ? lastWithVideo : i;
            }
        }
        if (!rec.h264) {
            times.push_back(rec.playUs[lastWithVideo] - rec.playUs[first]);
        }
        const int w = rec.width > 0 ? rec.width : 352;
        const int h = rec.height > 0 ? rec.height : 288;
        EXPECT_EQ(pictureSums(!rec.h264, m.video, w, h), pictureSums(!rec.h264, pieces, w, h));
        EXPECT_TRUE(std::is_sorted(m.decodedPts.begin(), m.decodedPts.end()))
            << "the pictures' times do not follow their order of display";
        ASSERT_EQ(m.videoPts.size(), times.size());
        for (size_t i = 0; i < times.size(); ++i) {
            EXPECT_NEAR(m.videoPts[i], times[i], 1000) << "picture " << i;
        }
        // The last picture stays until the last record's sound has played.
        EXPECT_NEAR(m.videoDurationUs, rec.playUs[end - 1] - rec.playUs[first] + 40000, 50000);
        EXPECT_EQ(m.created, rec.clock[first].substr(0, 4) + "-" + rec.clock[first].substr(5, 2) +
                                 "-" + rec.clock[first].substr(8, 2) + "T" +
                                 rec.clock[first].substr(11) + ".000000Z");
        // Sound: FFmpeg's AMR decoding against the AAC read back, per second after aligning.
        // The frames of the whole sound that begin within the exported records (records may
        // end inside a frame).
        Bytes sound;
        size_t from = 0;
        size_t to = 0;
        for (size_t i = 0; i < rec.audio.size(); ++i) {
            from = i == first ? sound.size() : from;
            sound.insert(sound.end(), rec.audio[i].begin(), rec.audio[i].end());
            to = i + 1 == end ? sound.size() : to;
        }
        size_t at = 0;
        for (const Bytes& f : vidora::test::amrFrames(sound)) {
            if (at >= from && at < to) {
                amr.push_back(f);
            }
            at += f.size();
        }
        const Bytes pcm = vidora::test::referenceSound(amr);
        std::vector<float> ref(pcm.size() / 2);
        for (size_t i = 0; i < ref.size(); ++i) {
            ref[i] = static_cast<float>(static_cast<int16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8))) /
                     32768.0f;
        }
        auto correlation = [&](size_t from, size_t n, int lag) {
            double xy = 0, xx = 0, yy = 0;
            for (size_t i = from; i < from + n; ++i) {
                const long j = static_cast<long>(i) + lag;
                if (j < 0 || static_cast<size_t>(j) >= m.sound8k.size() || i >= ref.size()) {
                    continue;
                }
                xy += ref[i] * m.sound8k[j];
                xx += ref[i] * ref[i];
                yy += m.sound8k[j] * m.sound8k[j];
            }
            return xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0.0;
        };
        int lag = 0;
        double best = -1;
        for (int l = -400; l <= 400; ++l) {
            const double c = correlation(0, std::min<size_t>(ref.size(), 8000), l);
            if (c > best) {
                best = c;
                lag = l;
            }
        }
        EXPECT_LE(std::abs(lag), 80) << "sound more than 10 ms off its pictures";
        for (size_t s = 0; s + 8000 <= ref.size(); s += 8000) {
            EXPECT_GT(correlation(s, 8000, lag), 0.95) << "second " << s / 8000;
        }
        // One cue a second, timed by the first record of that second.
        std::vector<std::pair<int64_t, std::string>> cues;
        for (size_t i = first; i < end; ++i) {
            if (cues.empty() || cues.back().second != rec.clock[i]) {
                cues.emplace_back(rec.playUs[i] - rec.playUs[first], rec.clock[i]);
            }
        }
        EXPECT_EQ(m.cues, cues);
    }

    fs::path dir_;
};

TEST_F(ExportTest, H264WithBFramesAndH263AreCopiedPictureForPicture) {
    long files = 0;
    for (const char* name : {"h264_1280x720_b.krm", "h263_352x288.krm"}) {
        SCOPED_TRACE(name);
        const fs::path out = dir_ / (std::string(name) + ".mp4");
        const Outcome run = exportFile({data(name).string(), out.string()});
        ASSERT_EQ(run.code, 0) << run.err;
        EXPECT_EQ(run.err, "");  // no progress line on a pipe, nothing else to say
        const Recording rec = readRecording(data(name));
        expectExportOf(rec, readMp4(out), 0, rec.playUs.size());
        EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), ++files)
            << "a temporary file was left behind";
    }
}

TEST_F(ExportTest, RangesByTimeAndByCameraClockStartAtAKeyPicture) {
    const fs::path in = data("h264_320x240.krm");  // a key picture a second, 4 s
    const Recording rec = readRecording(in);
    const fs::path out = dir_ / "a.mp4";
    Outcome run = exportFile({in.string(), out.string(), "--from", "1.5", "--to", "3"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.err, "krmtool: starting at the key picture at 0:01, 0.5 s before 0:01\n");
    expectExportOf(rec, readMp4(out), 25, 75);

    run = exportFile({in.string(), out.string(), "--force", "--from", "2015.06.01 12:00:02", "--to",
                      "2015.06.01 12:00:03"});
    ASSERT_EQ(run.code, 0) << run.err;
    expectExportOf(rec, readMp4(out), 50, 75);

    run = exportFile({in.string(), (dir_ / "b.mp4").string(), "--from", "2015.06.02 12:00:00"});
    EXPECT_NE(run.code, 0);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
    EXPECT_FALSE(fs::exists(dir_ / "b.mp4"));
}

TEST_F(ExportTest, SalvageGoesOnPastADamagedStretch) {
    const fs::path in = dir_ / "damaged.krm";
    const Recording rec = readRecording(data("h264_320x240.krm"));
    Bytes bytes = readFile(data("h264_320x240.krm"));
    // Records 40 to 42 overwritten; the pictures after them start again at the key at 50.
    std::fill(bytes.begin() + static_cast<long>(rec.offsets[40]) + 5,
              bytes.begin() + static_cast<long>(rec.offsets[43]) - 3, 0xA5);
    std::ofstream(in, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));

    Outcome run = exportFile({in.string(), (dir_ / "cut.mp4").string()});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.err.find("damaged at offset " + std::to_string(rec.offsets[40])),
              std::string::npos)
        << run.err;
    expectExportOf(rec, readMp4(dir_ / "cut.mp4"), 0, 40);

    run = exportFile({in.string(), (dir_ / "all.mp4").string(), "--salvage"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.err.find("skipped " + std::to_string(rec.offsets[43] - rec.offsets[40]) +
                           " damaged bytes at offset " + std::to_string(rec.offsets[40]) +
                           ", between 2015.06.01 12:00:01 and 2015.06.01 12:00:01"),
              std::string::npos)
        << run.err;
    const Mp4 m = readMp4(dir_ / "all.mp4");
    std::vector<Bytes> pieces;
    for (size_t i = 0; i < 100; ++i) {
        if (i < 40 || i >= 50) {
            pieces.push_back(rec.video[i][0]);
        }
    }
    EXPECT_EQ(pictureSums(false, m.video, 320, 240), pictureSums(false, pieces, 320, 240));
    // The stretch after the damage keeps the pacing: its timestamps follow on from before it.
    ASSERT_EQ(m.videoPts.size(), 90u);
    EXPECT_NEAR(m.videoPts[40], rec.playUs[50], 1000);

    // Damage in the first record: nothing comes before it, and salvage starts after it.
    bytes = readFile(data("h264_320x240.krm"));
    bytes[rec.offsets[0]] ^= 0xFF;
    std::ofstream(in, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    run = exportFile({in.string(), (dir_ / "none.mp4").string()});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("damaged at offset 1024"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir_ / "none.mp4"));
    run = exportFile({in.string(), (dir_ / "rest.mp4").string(), "--salvage"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(readMp4(dir_ / "rest.mp4").videoPts.size(), 75u);
}

TEST_F(ExportTest, NeverOverwritesAndLeavesNothingWhenWritingFails) {
    const fs::path in = data("h264_1280x720_b.krm");
    const fs::path out = dir_ / "out.mp4";
    std::ofstream(out) << "keep";
    Outcome run = exportFile({in.string(), out.string()});
    EXPECT_NE(run.code, 0);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(fs::file_size(out), 4u);

    fs::remove(out);
#ifndef _WIN32  // a limit on the size of files a process writes is POSIX's
    run = exportFile({in.string(), out.string()}, 64 * 1024);
    EXPECT_NE(run.code, 0);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(fs::is_empty(dir_)) << "a partial file was left behind";
#endif

    run = exportFile({in.string(), out.string(), "--force"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_GT(fs::file_size(out), 64u * 1024);
}

}  // namespace
