#include "audio/MediaLayer.h"
#include "foundation/RegularFile.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace sonorix {

namespace {

std::atomic<bool> g_trimming{true};

struct FFmpegMovie {
    AVFormatContext* format = nullptr;
    int stream = -1;
    const AVCodec* codec = nullptr;
    bool encrypted = false;
    bool trim = true;

    ~FFmpegMovie() { avformat_close_input(&format); }
};

struct FFmpegExtraction {
    FFmpegMovie* movie = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwrContext* swr = nullptr;
    MediaLayer::StreamDescription output{};
    bool stereoLayout = false;
    // The converter's input format, to notice a stream that changes format midway.
    int swrRate = 0;
    int swrFormat = -1;
    AVChannelLayout swrLayout{};
    bool framePending = false;
    // Samples of the pending frame already delivered when it is copied without the converter.
    int frameOffset = 0;
    bool swrMayHoldOutput = false;
    bool demuxDone = false;
    bool decoderDone = false;
    bool complete = false;
    int64_t framesDecoded = 0;
    int decodeErrors = 0;

    ~FFmpegExtraction() {
        swr_free(&swr);
        av_channel_layout_uninit(&swrLayout);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
    }
};

bool isEncryptedStream(const AVStream* st) {
    // Sample entries of encrypted tracks: iTunes Store FairPlay ("drms", "drmi", "p608") and
    // common encryption ("enca"), which keep the original format in a "sinf" box.
    const uint32_t tag = st->codecpar->codec_tag;
    for (const char* t : {"drms", "drmi", "p608", "enca", "encv"}) {
        if (tag == MKTAG(t[0], t[1], t[2], t[3])) {
            return true;
        }
    }
    size_t size = 0;
    return av_stream_get_side_data(st, AV_PKT_DATA_ENCRYPTION_INIT_INFO, &size) != nullptr;
}

// A frame that needs no conversion at all: planar float at the output rate, stereo or mono (a
// mono source goes to both channels unchanged). Copied straight into the caller's buffers,
// which gives the same samples as the converter and saves its pass.
bool isPlainFrame(const FFmpegExtraction* x) {
    const AVFrame* f = x->frame;
    if (f->format != AV_SAMPLE_FMT_FLTP ||
        f->sample_rate != static_cast<int>(x->output.sampleRate)) {
        return false;
    }
    const AVChannelLayout& l = f->ch_layout;
    if (l.order == AV_CHANNEL_ORDER_UNSPEC) {
        return l.nb_channels == 1 || l.nb_channels == 2;
    }
    const AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO, stereo = AV_CHANNEL_LAYOUT_STEREO;
    return av_channel_layout_compare(&l, &mono) == 0 || av_channel_layout_compare(&l, &stereo) == 0;
}

std::atomic<Resampler> g_resampler{Resampler::Swr};

int configureConverter(FFmpegExtraction* x) {
    const AVFrame* f = x->frame;
    AVChannelLayout in{};
    if (f->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || f->ch_layout.nb_channels == 0) {
        av_channel_layout_default(&in, f->ch_layout.nb_channels > 0
                                           ? f->ch_layout.nb_channels
                                           : x->codec->ch_layout.nb_channels);
    } else if (int rc = av_channel_layout_copy(&in, &f->ch_layout); rc < 0) {
        return rc;
    }
    if (x->swr && x->swrRate == f->sample_rate && x->swrFormat == f->format &&
        av_channel_layout_compare(&x->swrLayout, &in) == 0) {
        av_channel_layout_uninit(&in);
        return 0;
    }
    swr_free(&x->swr);
    AVChannelLayout out = AV_CHANNEL_LAYOUT_STEREO;
    int rc = swr_alloc_set_opts2(
        &x->swr, &out, AV_SAMPLE_FMT_FLTP, static_cast<int>(x->output.sampleRate), &in,
        static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
    if (rc >= 0 && currentResampler() == Resampler::Soxr) {
        rc = av_opt_set_int(x->swr, "resampler", SWR_ENGINE_SOXR, 0);
    }
    if (rc >= 0 && in.nb_channels == 1) {
        // A mono source plays on both speakers unchanged; the default matrix would lower it
        // by 3 dB.
        const double unity[2] = {1.0, 1.0};
        rc = swr_set_matrix(x->swr, unity, 1);
    }
    if (rc >= 0) {
        rc = swr_init(x->swr);
    }
    av_channel_layout_uninit(&x->swrLayout);
    x->swrLayout = in;
    x->swrRate = f->sample_rate;
    x->swrFormat = f->format;
    if (rc < 0) {
        swr_free(&x->swr);
    }
    return rc;
}

// Next decoded frame into x->frame: 0, AVERROR_EOF at the end, another error on failure.
int decodeNext(FFmpegExtraction* x) {
    for (;;) {
        int rc = avcodec_receive_frame(x->codec, x->frame);
        if (rc == 0) {
            return 0;
        }
        if (rc == AVERROR_EOF) {
            return rc;
        }
        if (rc != AVERROR(EAGAIN)) {
            // A damaged frame: skip it as players do; the rest of the file still counts.
            ++x->decodeErrors;
            continue;
        }
        if (x->demuxDone) {
            return AVERROR_EOF;
        }
        rc = av_read_frame(x->movie->format, x->packet);
        if (rc < 0) {
            // End of file, or a read error in a truncated file: decode what arrived.
            x->demuxDone = true;
            avcodec_send_packet(x->codec, nullptr);
            continue;
        }
        if (x->packet->stream_index == x->movie->stream) {
            rc = avcodec_send_packet(x->codec, x->packet);
            if (rc < 0 && rc != AVERROR(EAGAIN)) {
                ++x->decodeErrors;
            }
        }
        av_packet_unref(x->packet);
    }
}

} // namespace

void FFmpegMediaLayer::setTrimming(bool trim) {
    g_trimming = trim;
}

void FFmpegMediaLayer::initialize() {
    // Damaged files are the decoder's business to report; FFmpeg's own chatter would land on
    // the console user's terminal.
    av_log_set_level(AV_LOG_QUIET);
}

void FFmpegMediaLayer::terminate() {}

uint32_t FFmpegMediaLayer::version() {
    unsigned v = avformat_version();
    unsigned major = (v >> 16) & 0xFF, minor = (v >> 8) & 0xFF, micro = v & 0xFF;
    return (major << 24) | (std::min(minor, 15u) << 20) | (std::min(micro, 15u) << 16);
}

int16_t FFmpegMediaLayer::initMovie(const std::string& path, Movie* movie) {
    *movie = nullptr;
    switch (checkRegularFile(path)) {
    case FileFault::None:
        break;
    case FileFault::NotFound:
        return kErrFileNotFound;
    default:
        // FIFOs and devices too: avformat would wait on them or read them for ever.
        return kErrCannotOpen;
    }
    auto m = std::make_unique<FFmpegMovie>();
    m->trim = g_trimming;
    if (avformat_open_input(&m->format, path.c_str(), nullptr, nullptr) < 0) {
        return kErrCannotOpen;
    }
    if (avformat_find_stream_info(m->format, nullptr) < 0) {
        return kErrCannotOpen;
    }
    m->stream = av_find_best_stream(m->format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (m->stream < 0) {
        return kErrNoAudioStream;
    }
    AVStream* audio = m->format->streams[m->stream];
    for (unsigned i = 0; i < m->format->nb_streams; ++i) {
        if (static_cast<int>(i) != m->stream) {
            m->format->streams[i]->discard = AVDISCARD_ALL;
        }
    }
    m->encrypted = isEncryptedStream(audio);
    if (!m->encrypted) {
        m->codec = avcodec_find_decoder(audio->codecpar->codec_id);
        if (!m->codec) {
            return kErrNoDecoder;
        }
    }
    *movie = m.release();
    return 0;
}

void FFmpegMediaLayer::disposeMovie(Movie movie) {
    delete static_cast<FFmpegMovie*>(movie);
}

bool FFmpegMediaLayer::isMovieProtected(Movie movie) {
    return static_cast<FFmpegMovie*>(movie)->encrypted;
}

int32_t FFmpegMediaLayer::movieTimeScale(Movie movie) {
    auto* m = static_cast<FFmpegMovie*>(movie);
    int rate = m->format->streams[m->stream]->codecpar->sample_rate;
    return rate > 0 ? rate : 44100;
}

int32_t FFmpegMediaLayer::movieDuration(Movie movie) {
    // In samples of the source rate: container time bases (1/14112000 for MP3) would overflow
    // 32 bits after two and a half minutes.
    auto* m = static_cast<FFmpegMovie*>(movie);
    const AVStream* st = m->format->streams[m->stream];
    AVRational scale{1, movieTimeScale(movie)};
    int64_t d = 0;
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
        d = av_rescale_q(st->duration, st->time_base, scale);
    } else if (m->format->duration != AV_NOPTS_VALUE && m->format->duration > 0) {
        d = av_rescale_q(m->format->duration, AVRational{1, AV_TIME_BASE}, scale);
    }
    // A stream that starts after zero has its encoder delay marked for removal (MP3); that
    // part is not delivered unless trimming is off.
    if (m->trim && st->start_time != AV_NOPTS_VALUE && st->start_time > 0) {
        d -= std::min(d, av_rescale_q(st->start_time, st->time_base, scale));
    }
    return static_cast<int32_t>(std::min<int64_t>(d, INT32_MAX));
}

int32_t FFmpegMediaLayer::movieAudioExtractionBegin(Movie movie, Extraction* extraction) {
    *extraction = nullptr;
    auto* m = static_cast<FFmpegMovie*>(movie);
    if (m->encrypted || !m->codec) {
        return AVERROR_DECODER_NOT_FOUND;
    }
    auto x = std::make_unique<FFmpegExtraction>();
    x->movie = m;
    x->codec = avcodec_alloc_context3(m->codec);
    x->packet = av_packet_alloc();
    x->frame = av_frame_alloc();
    if (!x->codec || !x->packet || !x->frame) {
        return AVERROR(ENOMEM);
    }
    int rc = avcodec_parameters_to_context(x->codec, m->format->streams[m->stream]->codecpar);
    if (rc < 0) {
        return rc;
    }
    // Files are decoded one per worker thread already.
    x->codec->thread_count = 1;
    if (!m->trim) {
        x->codec->flags2 |= AV_CODEC_FLAG2_SKIP_MANUAL;
    }
    if ((rc = avcodec_open2(x->codec, m->codec, nullptr)) < 0) {
        return rc;
    }
    const AVCodecParameters* par = m->format->streams[m->stream]->codecpar;
    x->output.sampleRate = par->sample_rate;
    x->output.formatId = kFormatLinearPCM;
    x->output.formatFlags = kFormatFlagFloat | kFormatFlagPacked | kFormatFlagNonInterleaved;
    x->output.bytesPerPacket = 4;
    x->output.framesPerPacket = 1;
    x->output.bytesPerFrame = 4;
    x->output.channelsPerFrame = static_cast<uint32_t>(par->ch_layout.nb_channels);
    x->output.bitsPerChannel = 32;
    *extraction = x.release();
    return 0;
}

void FFmpegMediaLayer::movieAudioExtractionEnd(Extraction extraction) {
    delete static_cast<FFmpegExtraction*>(extraction);
}

int32_t FFmpegMediaLayer::movieAudioExtractionGetProperty(Extraction extraction,
                                                          uint32_t propertyClass,
                                                          uint32_t propertyId, size_t size,
                                                          void* value, size_t* sizeUsed) {
    auto* x = static_cast<FFmpegExtraction*>(extraction);
    if (propertyClass != kPropertyClassAudio || propertyId != kPropertyStreamDescription ||
        size < sizeof(StreamDescription) || !value) {
        return AVERROR(EINVAL);
    }
    std::memcpy(value, &x->output, sizeof(StreamDescription));
    if (sizeUsed) {
        *sizeUsed = sizeof(StreamDescription);
    }
    return 0;
}

int32_t FFmpegMediaLayer::movieAudioExtractionSetProperty(Extraction extraction,
                                                          uint32_t propertyClass,
                                                          uint32_t propertyId, size_t size,
                                                          const void* value) {
    auto* x = static_cast<FFmpegExtraction*>(extraction);
    if (propertyClass != kPropertyClassAudio || !value) {
        return AVERROR(EINVAL);
    }
    if (propertyId == kPropertyStreamDescription && size == sizeof(StreamDescription)) {
        StreamDescription d;
        std::memcpy(&d, value, sizeof d);
        // Only what the decoder asks for: 32-bit float, one buffer per channel, stereo.
        const uint32_t wanted = kFormatFlagFloat | kFormatFlagNonInterleaved;
        if (d.sampleRate < 1000 || d.sampleRate > 768000 || (d.formatFlags & wanted) != wanted ||
            d.bitsPerChannel != 32 || d.channelsPerFrame != 2) {
            return AVERROR(EINVAL);
        }
        x->output = d;
        return 0;
    }
    if (propertyId == kPropertyChannelLayout && size == sizeof(ChannelLayout)) {
        ChannelLayout layout;
        std::memcpy(&layout, value, sizeof layout);
        if (layout.tag != kChannelLayoutStereo) {
            return AVERROR(EINVAL);
        }
        x->stereoLayout = true;
        return 0;
    }
    return AVERROR(EINVAL);
}

int32_t FFmpegMediaLayer::movieAudioExtractionFillBuffer(Extraction extraction, uint32_t* frames,
                                                         BufferList* buffers, uint32_t* flags) {
    auto* x = static_cast<FFmpegExtraction*>(extraction);
    const uint32_t wanted = *frames;
    *frames = 0;
    if (x->output.channelsPerFrame != 2 || buffers->count < 2) {
        return AVERROR(EINVAL);
    }
    uint32_t done = 0;
    auto out = [&](uint8_t** planes) {
        planes[0] = static_cast<uint8_t*>(buffers->buffers[0].data) + done * sizeof(float);
        planes[1] = static_cast<uint8_t*>(buffers->buffers[1].data) + done * sizeof(float);
    };
    static const uint8_t* const kNoInput[AV_NUM_DATA_POINTERS] = {};
    while (done < wanted && !x->complete) {
        uint8_t* planes[2];
        out(planes);
        const int room = static_cast<int>(wanted - done);
        if (x->framePending && isPlainFrame(x)) {
            if (x->swr) {
                // As on any change of format: what the converter still holds is dropped.
                swr_free(&x->swr);
                av_channel_layout_uninit(&x->swrLayout);
                x->swrFormat = -1;
            }
            const AVFrame* f = x->frame;
            const int n = std::min(room, f->nb_samples - x->frameOffset);
            const size_t bytes = static_cast<size_t>(n) * sizeof(float);
            const size_t from = static_cast<size_t>(x->frameOffset) * sizeof(float);
            std::memcpy(planes[0], f->extended_data[0] + from, bytes);
            std::memcpy(planes[1], f->extended_data[f->ch_layout.nb_channels > 1 ? 1 : 0] + from,
                        bytes);
            done += static_cast<uint32_t>(n);
            x->frameOffset += n;
            if (x->frameOffset == f->nb_samples) {
                x->framesDecoded += f->nb_samples;
                av_frame_unref(x->frame);
                x->framePending = false;
                x->frameOffset = 0;
            }
            continue;
        }
        if (x->framePending) {
            int rc = configureConverter(x);
            if (rc < 0) {
                return rc;
            }
            // Converted straight into the caller's buffers; swr keeps what does not fit.
            int n = swr_convert(x->swr, planes, room,
                                const_cast<const uint8_t**>(x->frame->extended_data),
                                x->frame->nb_samples);
            x->framesDecoded += x->frame->nb_samples;
            av_frame_unref(x->frame);
            x->framePending = false;
            if (n < 0) {
                return n;
            }
            done += static_cast<uint32_t>(n);
            x->swrMayHoldOutput = n == room;
            continue;
        }
        if (x->swrMayHoldOutput) {
            int n = swr_convert(x->swr, planes, room, const_cast<const uint8_t**>(kNoInput), 0);
            if (n < 0) {
                return n;
            }
            done += static_cast<uint32_t>(n);
            x->swrMayHoldOutput = n == room;
            continue;
        }
        if (!x->decoderDone) {
            int rc = decodeNext(x);
            if (rc == 0) {
                x->framePending = true;
            } else {
                x->decoderDone = true;
            }
            continue;
        }
        // The resampler's tail.
        int n = x->swr ? swr_convert(x->swr, planes, room, nullptr, 0) : 0;
        if (n < 0) {
            return n;
        }
        done += static_cast<uint32_t>(n);
        if (n < room) {
            x->complete = true;
        }
    }
    if (x->complete && x->framesDecoded == 0 && x->decodeErrors > 0) {
        return AVERROR_INVALIDDATA;
    }
    *frames = done;
    *flags = x->complete ? kExtractionComplete : 0;
    return 0;
}

std::shared_ptr<MediaLayer> mediaLayer() {
    static std::shared_ptr<MediaLayer> layer = [] {
        auto l = std::make_shared<FFmpegMediaLayer>();
        l->initialize();
        return l;
    }();
    return layer;
}

void useResampler(Resampler resampler) {
    g_resampler = resampler;
}

Resampler currentResampler() {
    return g_resampler;
}

} // namespace sonorix
