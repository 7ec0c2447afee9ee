// Loudness measurement speed: GainAnalysis alone; whole-file analysis against FFmpeg decoding
// the same file to nothing (the floor no analysis can beat), both in this process; and the
// analyze command over 40 three-minute MP3s with one and two worker threads.
// Audio comes from scripts/make-bench-audio (cached); SONORIX_BENCH_AUDIO names another folder.

#include "audio/GainAnalysis.h"
#include "audio/MediaLayer.h"
#include "audio/TrackAnalysis.h"

#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace sonorix;
using Clock = std::chrono::steady_clock;

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

namespace {

std::string g_audio;
std::map<std::string, double> g_speed; // audio seconds per second, per measurement

std::string audioFolder() {
    if (const char* env = std::getenv("SONORIX_BENCH_AUDIO")) {
        return env;
    }
    std::string script = std::string(SONORIX_SOURCE_DIR) + "/scripts/make-bench-audio";
    FILE* p = popen(script.c_str(), "r");
    char line[4096] = {};
    if (!p || !fgets(line, sizeof line, p)) {
        return "";
    }
    pclose(p);
    std::string dir(line);
    while (!dir.empty() && (dir.back() == '\n' || dir.back() == '\r')) {
        dir.pop_back();
    }
    return dir;
}

// FFmpeg decoding the file's audio and dropping it: frames at the source rate and their rate.
std::pair<int64_t, int> decodeToNothing(const std::string& path) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) {
        return {0, 1};
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
    int64_t frames = 0;
    auto drain = [&] {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            frames += frame->nb_samples;
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
    int rate = par->sample_rate;
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    avformat_close_input(&format);
    return {frames, rate};
}

void BM_GainAnalysis(benchmark::State& state) {
    const size_t frames = 44100 * 30;
    std::vector<float> left(frames), right(frames);
    std::mt19937 rng(1);
    std::normal_distribution<float> noise(0, 3000);
    for (size_t i = 0; i < frames; ++i) {
        left[i] = noise(rng);
        right[i] = noise(rng);
    }
    const auto filters = static_cast<GainAnalysis::Filters>(state.range(0));
    if (!GainAnalysis::supports(filters)) {
        state.SkipWithError("not supported by this processor");
        return;
    }
    GainAnalysis::useFilters(filters);
    auto g = std::make_unique<GainAnalysis>(44100);
    double seconds = 0;
    for (auto _ : state) {
        for (size_t pos = 0; pos < frames; pos += 65536) {
            g->analyzeSamples(left.data() + pos, right.data() + pos,
                              std::min<size_t>(65536, frames - pos));
        }
        benchmark::DoNotOptimize(g->titleGain());
        seconds += frames / 44100.0;
    }
    GainAnalysis::useFilters(GainAnalysis::Filters::Best);
    state.counters["x_realtime"] = benchmark::Counter(seconds, benchmark::Counter::kIsRate);
}
// Figures per CPU second of the measuring thread: "on one core", even on a busy machine.
// Argument: the filter build (0 baseline SSE2, 1 AVX, 2 AVX with FMA); the baseline is the
// reference figure.
BENCHMARK(BM_GainAnalysis)
    ->Arg(static_cast<int>(GainAnalysis::Filters::AvxFma))
    ->Arg(static_cast<int>(GainAnalysis::Filters::Avx))
    ->Arg(static_cast<int>(GainAnalysis::Filters::Baseline))
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2);

void BM_ScaleAndPeak(benchmark::State& state) {
    std::vector<float> left(65536, 0.25f), right(65536, -0.5f);
    float peak = 0;
    for (auto _ : state) {
        scaleAndPeak(left.data(), right.data(), 65536, peak);
        std::fill(left.begin(), left.end(), 0.25f); // keep the values bounded
        benchmark::DoNotOptimize(peak);
    }
    state.counters["x_realtime"] =
        benchmark::Counter(state.iterations() * 65536 / 44100.0, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ScaleAndPeak);

void BM_DecodeFloor(benchmark::State& state, const std::string& file) {
    const std::string path = g_audio + "/" + file;
    double seconds = 0;
    const double start = threadCpuSeconds();
    for (auto _ : state) {
        auto [frames, rate] = decodeToNothing(path);
        seconds += static_cast<double>(frames) / rate;
    }
    g_speed["floor " + file] = seconds / (threadCpuSeconds() - start);
    state.counters["x_realtime"] = benchmark::Counter(seconds, benchmark::Counter::kIsRate);
}

void BM_AnalyzeFile(benchmark::State& state, const std::string& file) {
    const std::string path = g_audio + "/" + file;
    double seconds = 0;
    const double start = threadCpuSeconds();
    for (auto _ : state) {
        TrackAnalysis r = analyzeFile(path);
        if (r.error != AnalysisError::None) {
            state.SkipWithError("analysis failed");
            return;
        }
        seconds += r.frames / 44100.0;
    }
    g_speed["analyze " + file] = seconds / (threadCpuSeconds() - start);
    state.counters["x_realtime"] = benchmark::Counter(seconds, benchmark::Counter::kIsRate);
}

const char* const kFiles[] = {"music.mp3", "music.m4a", "music.flac", "music-48k.mp3"};
constexpr int kRounds = 9;

struct CliRun {
    double seconds = 0;
    double cpuSeconds = 0;
    long maxRssKb = 0;
    int status = -1;
};

CliRun runAnalyzeCommand(int threads, const std::vector<std::string>& files) {
    std::string cli =
        std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "sonorix-cli";
    std::vector<std::string> args{cli,   "analyze",   "--format",
                                  "tsv", "--threads", std::to_string(threads)};
    args.insert(args.end(), files.begin(), files.end());
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    CliRun run;
    auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, cli.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        return run;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.maxRssKb = usage.ru_maxrss;
    run.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 + usage.ru_stime.tv_sec +
                     usage.ru_stime.tv_usec * 1e-6;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

} // namespace

int main(int argc, char** argv) {
    mediaLayer(); // quiets FFmpeg's log for the floor measurement too
    g_audio = audioFolder();
    if (g_audio.empty()) {
        std::fprintf(stderr, "no bench audio (scripts/make-bench-audio failed)\n");
        return 1;
    }
    for (const char* f : kFiles) {
        benchmark::RegisterBenchmark((std::string("BM_DecodeFloor/") + f).c_str(), BM_DecodeFloor,
                                     std::string(f))
            ->Unit(benchmark::kMillisecond)
            ->MinTime(3);
        benchmark::RegisterBenchmark((std::string("BM_AnalyzeFile/") + f).c_str(), BM_AnalyzeFile,
                                     std::string(f))
            ->Unit(benchmark::kMillisecond)
            ->MinTime(3);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();

    std::printf(
        "\nWhole analysis against the FFmpeg decode floor (per CPU second, same process):\n");
    std::printf("  %-16s %12s %12s %7s\n", "file", "floor x RT", "analyze x RT", "ratio");
    for (const char* f : kFiles) {
        double floor = g_speed["floor " + std::string(f)];
        double ours = g_speed["analyze " + std::string(f)];
        if (floor > 0 && ours > 0) {
            std::printf("  %-16s %12.0f %12.0f %7.2f\n", f, floor, ours, ours / floor);
        }
    }

    // The same ratio from alternating rounds, so that a machine whose speed drifts (other work
    // on it) weighs on both sides alike: median and range over the rounds.
    if (const char* skip = std::getenv("SONORIX_BENCH_SKIP_ROUNDS"); !skip || *skip != '1') {
        std::printf("\nThe same in %d alternating rounds (ratio median, min - max):\n", kRounds);
        for (const char* f : kFiles) {
            const std::string path = g_audio + "/" + f;
            std::vector<double> ratios;
            for (int round = 0; round < kRounds; ++round) {
                double start = threadCpuSeconds(), seconds = 0;
                for (int k = 0; k < 8; ++k) {
                    auto [frames, rate] = decodeToNothing(path);
                    seconds += static_cast<double>(frames) / rate;
                }
                const double floor = seconds / (threadCpuSeconds() - start);
                start = threadCpuSeconds();
                seconds = 0;
                for (int k = 0; k < 8; ++k) {
                    seconds += analyzeFile(path).frames / 44100.0;
                }
                ratios.push_back(seconds / (threadCpuSeconds() - start) / floor);
            }
            std::sort(ratios.begin(), ratios.end());
            std::printf("  %-16s %7.2f  (%.2f - %.2f)\n", f, ratios[ratios.size() / 2],
                        ratios.front(), ratios.back());
        }
    }

    std::vector<std::string> album;
    for (int i = 1; i <= 40; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/album/track%02d.mp3", i);
        album.push_back(g_audio + name);
    }
    if (const char* skip = std::getenv("SONORIX_BENCH_SKIP_CLI"); !skip || *skip != '1') {
        double load = 0;
        getloadavg(&load, 1);
        CliRun one = runAnalyzeCommand(1, album);
        CliRun two = runAnalyzeCommand(2, album);
        const double audio = 40 * 180.0;
        std::printf("\nanalyze command, 40 three-minute MP3s:\n");
        std::printf("  1 thread : %6.2f s wall, %6.2f s CPU, %6.0f x RT, peak memory %5.1f MB "
                    "(exit %d)\n",
                    one.seconds, one.cpuSeconds, audio / one.seconds, one.maxRssKb / 1024.0,
                    one.status);
        std::printf("  2 threads: %6.2f s wall, %6.2f s CPU, %6.0f x RT, peak memory %5.1f MB "
                    "(exit %d)\n",
                    two.seconds, two.cpuSeconds, audio / two.seconds, two.maxRssKb / 1024.0,
                    two.status);
        // On a machine shared with other work the wall figure understates the speed-up; the
        // CPU figures show whether the second thread costs extra work.
        std::printf("  speed-up with 2 threads: %.2fx (load average at the start: %.1f)\n",
                    one.seconds / two.seconds, load);
    }
    benchmark::Shutdown();
    return 0;
}
