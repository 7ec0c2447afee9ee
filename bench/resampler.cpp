// The sample-rate converter: libswresample's own filter (today's) against the SoX resampler it
// can use, over a corpus of every rate that needs converting (8, 22.05, 32, 48, 88.2, 96 kHz),
// mono and stereo, MP3, AAC and FLAC. For each file: the gain and peak with both, and the CPU time
// of FFmpeg decoding the file to nothing (the floor no analysis can beat), of the analysis with
// today's resampler (the baseline) and with the SoX one. Printed as ratios to the floor, and the
// largest gain difference against the 0.005 dB that a change of resampler may cost.
//
// The corpus is generated with ffmpeg (pink noise and a tone, 20 s) into the temporary folder and
// kept for the next run.

#include "audio/MediaLayer.h"
#include "audio/TrackAnalysis.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

using namespace sonorix;
namespace fs = std::filesystem;

namespace {

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

// FFmpeg decoding the file's audio and dropping it.
void decodeToNothing(const std::string& path) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) {
        return;
    }
    avformat_find_stream_info(format, nullptr);
    int stream = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    const AVCodecParameters* par = format->streams[stream]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(ctx, par);
    ctx->thread_count = 1;
    avcodec_open2(ctx, codec, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain = [&] {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == stream) {
            avcodec_send_packet(ctx, packet);
            drain();
        }
        av_packet_unref(packet);
    }
    avcodec_send_packet(ctx, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    avformat_close_input(&format);
}

// Best of three CPU times.
template <class F>
double bestCpu(F work) {
    double best = 1e300;
    for (int i = 0; i < 3; ++i) {
        double start = cpuSeconds();
        work();
        best = std::min(best, cpuSeconds() - start);
    }
    return best;
}

int fileRate(const std::string& path) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) {
        return 0;
    }
    avformat_find_stream_info(format, nullptr);
    int stream = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    int rate = stream >= 0 ? format->streams[stream]->codecpar->sample_rate : 0;
    avformat_close_input(&format);
    return rate;
}

struct Made {
    std::string path;
    std::string label;
};

std::vector<Made> makeCorpus(const fs::path& folder) {
    fs::create_directories(folder);
    std::vector<Made> corpus;
    const int rates[] = {8000, 22050, 32000, 48000, 88200, 96000};
    struct Codec {
        const char* name;
        const char* extension;
        const char* options;
    };
    const Codec codecs[] = {{"mp3", "mp3", "-c:a libmp3lame -b:a 128k"},
                            {"aac", "m4a", "-c:a aac -b:a 128k"},
                            {"flac", "flac", "-c:a flac"}};
    for (const auto& codec : codecs) {
        for (int rate : rates) {
            for (int channels : {1, 2}) {
                std::string label = std::string(codec.name) + " " + std::to_string(rate) + " " +
                                    (channels == 1 ? "mono" : "stereo");
                fs::path file = folder / (std::string(codec.name) + "-" + std::to_string(rate) +
                                          "-" + std::to_string(channels) + "." + codec.extension);
                if (!fs::exists(file)) {
                    std::string command =
                        "ffmpeg -nostdin -v quiet -y -f lavfi -i "
                        "'anoisesrc=d=20:c=pink:a=0.25:r=" +
                        std::to_string(rate) +
                        "' -f lavfi -i 'sine=f=997:d=20:r=" + std::to_string(rate) +
                        "' -filter_complex amix=inputs=2 -ac " + std::to_string(channels) + " " +
                        codec.options + " '" + file.string() + "'";
                    if (std::system(command.c_str()) != 0) {
                        fs::remove(file);
                        continue;
                    }
                }
                // MP3 has no 88.2 or 96 kHz: the encoder takes another rate, and the case is
                // left out.
                if (fileRate(file.string()) != rate) {
                    continue;
                }
                corpus.push_back({file.string(), label});
            }
        }
    }
    return corpus;
}

} // namespace

int main() {
    const fs::path folder = fs::temp_directory_path() / "sonorix-bench-resampler";
    std::vector<Made> corpus = makeCorpus(folder);
    if (corpus.empty()) {
        std::fprintf(stderr, "bench_resampler: ffmpeg made no test audio\n");
        return 1;
    }
    std::printf("%-20s %10s %10s %10s %8s %8s\n", "file", "gain swr", "gain soxr", "diff dB",
                "swr/flr", "soxr/flr");
    double floorTotal = 0;
    double swrTotal = 0;
    double soxrTotal = 0;
    double worst = 0;
    std::string worstLabel;
    for (const auto& made : corpus) {
        double floor = bestCpu([&] { decodeToNothing(made.path); });
        TrackAnalysis swr;
        TrackAnalysis soxr;
        useResampler(Resampler::Swr);
        double swrTime = bestCpu([&] { swr = analyzeFile(made.path); });
        useResampler(Resampler::Soxr);
        double soxrTime = bestCpu([&] { soxr = analyzeFile(made.path); });
        useResampler(Resampler::Swr);
        double diff = std::fabs(double(swr.gain) - double(soxr.gain));
        if (swr.error != AnalysisError::None || soxr.error != AnalysisError::None) {
            std::printf("%-20s failed\n", made.label.c_str());
            continue;
        }
        if (diff > worst) {
            worst = diff;
            worstLabel = made.label;
        }
        floorTotal += floor;
        swrTotal += swrTime;
        soxrTotal += soxrTime;
        std::printf("%-20s %10.4f %10.4f %10.4f %8.2f %8.2f\n", made.label.c_str(), swr.gain,
                    soxr.gain, diff, swrTime / floor, soxrTime / floor);
    }
    std::printf("\nWhole corpus, CPU time as a multiple of the decode floor:\n");
    std::printf("today's resampler (swr):   %6.2f x the floor (baseline)\n", swrTotal / floorTotal);
    std::printf("SoX resampler (soxr):      %6.2f x the floor\n", soxrTotal / floorTotal);
    std::printf("largest gain difference:   %6.4f dB (%s; allowed 0.005)\n", worst,
                worstLabel.c_str());
    const bool faster = soxrTotal < swrTotal;
    std::printf("decision: %s\n",
                worst <= 0.005 && faster
                    ? "the SoX resampler qualifies (faster, gains within 0.005 dB)"
                    : "keep today's resampler");
    return 0;
}
