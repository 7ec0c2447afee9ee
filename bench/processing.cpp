// Analysing a library of 40 three-minute MP3 tracks in 8 albums through the job framework with
// album chaining, progress reports and display messages, on 1 and 2 workers, against the bare
// decode-and-analyse loop on the same files in the same run.
//
// SONORIX_BENCH_TRACK_SECONDS shortens the tracks (default 180); the generated files are kept
// in the temporary folder for the next run.

#include "audio/TrackAnalysis.h"
#include "foundation/Paths.h"
#include "foundation/Threads.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "processing/AlbumChain.h"
#include "processing/ControllerHooks.h"
#include "processing/DisplayMessage.h"
#include "processing/SonorixJob.h"
#include "tests/model/LibraryFile.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace sonorix;
namespace fs = std::filesystem;

namespace {

constexpr int kAlbums = 8;
constexpr int kTracksPerAlbum = 5;

int trackSeconds() {
    const char* text = std::getenv("SONORIX_BENCH_TRACK_SECONDS");
    int seconds = text ? std::atoi(text) : 180;
    return seconds > 0 ? seconds : 180;
}

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

struct Library {
    fs::path folder;
    std::vector<std::string> paths;
    std::string libraryFile;
    double audioSeconds = 0;
    bool ok = false;
};

// One encoded file per album, copied for its tracks: the analysis does not care that they are
// alike, and encoding 40 files would take longer than the benchmark.
Library& library() {
    static Library lib = [] {
        Library l;
        const int seconds = trackSeconds();
        l.folder =
            fs::temp_directory_path() / ("sonorix-bench-processing-" + std::to_string(seconds));
        fs::create_directories(l.folder);
        std::vector<test::LibraryTrack> tracks;
        const char* sources[] = {"pink", "brown", "white", "pink"};
        for (int a = 0; a < kAlbums; ++a) {
            const fs::path base = l.folder / ("album" + std::to_string(a) + ".mp3");
            if (!fs::exists(base)) {
                const std::string partial = base.string() + ".part.mp3";
                std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i 'anoisesrc=d=" +
                                      std::to_string(seconds) + ":c=" + sources[a % 4] + ":a=0." +
                                      std::to_string(2 + a % 5) +
                                      ":r=44100' -ac 2 -c:a libmp3lame -b:a 192k '" + partial + "'";
                if (std::system(command.c_str()) != 0) {
                    return l;
                }
                fs::rename(partial, base);
            }
            for (int t = 1; t <= kTracksPerAlbum; ++t) {
                const fs::path file =
                    l.folder / ("album" + std::to_string(a) + "-" + std::to_string(t) + ".mp3");
                if (!fs::exists(file)) {
                    fs::copy_file(base, file);
                }
                l.paths.push_back(file.string());
                test::LibraryTrack track = test::track(static_cast<uint64_t>(a * 100 + t + 1));
                track.album = "Album " + std::to_string(a);
                track.name = "Track " + std::to_string(t);
                track.trackNumber = t;
                track.totalTimeMs = seconds * 1000;
                track.location = "file://" + file.string();
                tracks.push_back(track);
                l.audioSeconds += seconds;
            }
        }
        l.libraryFile = (l.folder / "Library.xml").string();
        std::ofstream(l.libraryFile) << test::libraryXml(tracks);
        l.ok = true;
        return l;
    }();
    return lib;
}

// What the window would draw, counted.
class CountingController : public SonorixControllerHooks {
public:
    void refreshTrack(const std::shared_ptr<iTunesTrack>&) override { ++calls; }
    void refreshAlbum(const std::shared_ptr<SonorixAlbum>&) override { ++calls; }
    void revealTrack(const std::shared_ptr<iTunesTrack>&) override { ++calls; }
    void revealAlbum(const std::shared_ptr<SonorixAlbum>&) override { ++calls; }
    void showDisplayMessage(const std::shared_ptr<DisplayMessage>& m) override {
        if (m) {
            benchmark::DoNotOptimize(m->detail());
        }
        ++calls;
    }
    void showProgress(const std::shared_ptr<DisplayProgress>& p, bool) override {
        if (p) {
            benchmark::DoNotOptimize(p->fraction());
        }
        ++calls;
    }
    void setSpeedometerValue(double) override { ++calls; }
    int calls = 0;
    void processorFinished(const std::shared_ptr<JobManager>&) override {}
};

// Stands in for the adjustment job, so that the chaining blocks and releases as in a real run.
class IdleAdjustment : public SonorixJob {
public:
    using SonorixJob::SonorixJob;
    void run(const WorkerContext&) override {}
};

// Does what the automatic manager does around its jobs: the run message, a display line per
// worker, the speed to the speedometer with every track report.
class BenchManager : public SonorixAdjustmentJobManager {
public:
    BenchManager(std::shared_ptr<CountingController> controller, int workers)
        : SonorixAdjustmentJobManager(controller), m_workers(workers),
          m_counting(std::move(controller)) {}

    void start() override {
        progress()->setActive(true);
        m_runMessage = DisplayMessage::create(u"Processing Tracks", u"", progress(),
                                              DisplayMessage::kRunMessage);
        m_runMessage->show();
        SonorixAdjustmentJobManager::start();
    }
    WorkerContext createWorkerContext() override {
        return {DisplayMessage::create(u"Processing Tracks", u"", progress(),
                                       DisplayMessage::kWorkerLine)};
    }
    void workerStarted(const WorkerContext&) override { t_cpuStart = threadCpuSeconds(); }
    void workerFinished(const WorkerContext&) override {
        const double used = threadCpuSeconds() - t_cpuStart;
        double seen = workerCpu.load();
        while (!workerCpu.compare_exchange_weak(seen, seen + used)) {
        }
    }
    void trackProgress(const std::shared_ptr<iTunesTrack>& track, bool jump) override {
        const double speed = progress()->speed();
        auto controller = m_counting;
        callOnMainThread([controller, speed] { controller->setSpeedometerValue(speed); }, false);
        SonorixAdjustmentJobManager::trackProgress(track, jump);
    }
    void allJobsFinished() override {
        m_runMessage->hide();
        finished = true;
    }

    std::atomic<double> workerCpu{0};
    bool finished = false;

protected:
    int usableProcessors() override { return m_workers; }

private:
    static thread_local double t_cpuStart;
    int m_workers;
    std::shared_ptr<CountingController> m_counting;
    std::shared_ptr<DisplayMessage> m_runMessage;
};

thread_local double BenchManager::t_cpuStart = 0;

struct Figures {
    double wall = 0;
    double cpu = 0; // of the workers and the main thread
    int controllerCalls = 0;
};

Figures g_bare, g_bareAgain, g_bareTwo, g_one, g_two;

// Run before and after the framework, so that a change in the machine's load shows.
void bareLoop(benchmark::State& state, Figures& figures) {
    Library& lib = library();
    if (!lib.ok) {
        state.SkipWithError("ffmpeg could not make the test audio");
        return;
    }
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = threadCpuSeconds();
        for (const auto& path : lib.paths) {
            TrackAnalysis result = analyzeFile(path);
            if (result.error != AnalysisError::None) {
                state.SkipWithError("a file could not be measured");
                return;
            }
            benchmark::DoNotOptimize(result.gain);
        }
        figures.cpu = threadCpuSeconds() - cpuStart;
        figures.wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(figures.wall);
    }
    state.counters["audio_s_per_s"] = lib.audioSeconds / figures.wall;
    state.counters["cpu_ms_per_audio_s"] = 1000 * figures.cpu / lib.audioSeconds;
}

void BM_BareLoop(benchmark::State& state) {
    bareLoop(state, g_bare);
}

// Two decoders at once share caches and memory bandwidth and cost more CPU per audio second
// than one, with or without the framework: the baseline for the two-worker run.
void BM_BareLoopTwoThreads(benchmark::State& state) {
    Library& lib = library();
    if (!lib.ok) {
        state.SkipWithError("ffmpeg could not make the test audio");
        return;
    }
    for (auto _ : state) {
        std::atomic<size_t> next{0};
        std::atomic<double> cpu{0};
        std::atomic<bool> failed{false};
        auto work = [&] {
            const double cpuStart = threadCpuSeconds();
            for (size_t i = next++; i < lib.paths.size(); i = next++) {
                TrackAnalysis result = analyzeFile(lib.paths[i]);
                failed = failed || result.error != AnalysisError::None;
                benchmark::DoNotOptimize(result.gain);
            }
            cpu.fetch_add(threadCpuSeconds() - cpuStart);
        };
        const auto start = std::chrono::steady_clock::now();
        std::thread a(work), b(work);
        a.join();
        b.join();
        if (failed) {
            state.SkipWithError("a file could not be measured");
            return;
        }
        g_bareTwo.cpu = cpu;
        g_bareTwo.wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(g_bareTwo.wall);
    }
    state.counters["audio_s_per_s"] = lib.audioSeconds / g_bareTwo.wall;
    state.counters["cpu_ms_per_audio_s"] = 1000 * g_bareTwo.cpu / lib.audioSeconds;
}
void BM_BareLoopAgain(benchmark::State& state) {
    bareLoop(state, g_bareAgain);
}

void runFramework(benchmark::State& state, Figures& figures) {
    Library& lib = library();
    if (!lib.ok) {
        state.SkipWithError("ffmpeg could not make the test audio");
        return;
    }
    const int workers = static_cast<int>(state.range(0));
    for (auto _ : state) {
        const fs::path data = lib.folder / "data";
        fs::remove_all(data);
        setDataFolderOverride(data.string());
        auto loop = std::make_shared<BasicRunLoop>();
        setMainRunLoop(loop);
        auto scheduler = DisplayMessageScheduler::sharedScheduler();
        auto controller = std::make_shared<CountingController>();
        scheduler->setTarget(controller);

        auto model = SonorixModel::create();
        model->setSaveTimerFactory(
            [](double, std::function<void()>) { return std::shared_ptr<SaveTimer>(); });
        model->load(lib.libraryFile);
        auto group = model->groups()->groupAt(0);
        group->options().setAlbumMode(SonorixOptions::kCombineAlbums);

        auto manager = std::make_shared<BenchManager>(controller, workers);
        for (const auto& album : group->albums()) {
            addAlbumJobs(manager, group, album, [&](const std::shared_ptr<iTunesTrack>&) {
                return std::make_shared<IdleAdjustment>(manager);
            });
        }
        const auto start = std::chrono::steady_clock::now();
        const double mainCpuStart = threadCpuSeconds();
        manager->start();
        loop->runUntil([&] { return manager->finished; }, std::chrono::hours(1));
        figures.wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // The main thread's share (deliveries, refreshes, display) counts as overhead too.
        figures.cpu = manager->workerCpu.load() + threadCpuSeconds() - mainCpuStart;
        loop->runUntil([] { return false; }, std::chrono::milliseconds(20));
        figures.controllerCalls = controller->calls;
        state.SetIterationTime(figures.wall);

        scheduler->setTarget(nullptr);
        clearMainRunLoop();
        setDataFolderOverride("");
    }
    state.counters["audio_s_per_s"] = lib.audioSeconds / figures.wall;
    state.counters["cpu_ms_per_audio_s"] = 1000 * figures.cpu / lib.audioSeconds;
    state.counters["controller_calls"] = figures.controllerCalls;
}

void BM_Framework(benchmark::State& state) {
    runFramework(state, state.range(0) == 1 ? g_one : g_two);
}

} // namespace

BENCHMARK(BM_BareLoop)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_Framework)->Arg(1)->Arg(2)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_BareLoopTwoThreads)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_BareLoopAgain)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const Library& lib = library();
    if (!lib.ok || g_bare.wall <= 0 || g_one.wall <= 0 || g_two.wall <= 0) {
        return 0;
    }
    std::printf("\n%d tracks of %d s in %d albums (%.0f s of audio)\n", kAlbums * kTracksPerAlbum,
                trackSeconds(), kAlbums, lib.audioSeconds);
    // Busy threads: CPU over wall time; on a loaded machine the workers get less than their
    // processors, and the wall-clock figures say more about the load than about the program.
    auto line = [&](const char* name, const Figures& f) {
        std::printf("%-22s %8.1f audio s/s   %7.3f CPU ms per audio s   %4.2f busy threads\n", name,
                    lib.audioSeconds / f.wall, 1000 * f.cpu / lib.audioSeconds, f.cpu / f.wall);
    };
    line("bare loop", g_bare);
    line("framework, 1 worker", g_one);
    line("framework, 2 workers", g_two);
    if (g_bareAgain.wall > 0) {
        line("bare loop again", g_bareAgain);
    }
    const double bareCpu = g_bareAgain.cpu > 0 ? (g_bare.cpu + g_bareAgain.cpu) / 2 : g_bare.cpu;
    std::printf("framework CPU over the bare loop (mean of its two runs): %+.1f %% (1 worker), "
                "%+.1f %% (2 workers)\n",
                100 * (g_one.cpu / bareCpu - 1), 100 * (g_two.cpu / bareCpu - 1));
    if (g_bareTwo.wall > 0) {
        line("bare loop, 2 threads", g_bareTwo);
        std::printf("framework, 2 workers, CPU over the bare loop on 2 threads: %+.1f %%\n",
                    100 * (g_two.cpu / g_bareTwo.cpu - 1));
    }
    if (g_two.wall > 0) {
        std::printf("2 workers against 1: %.2f x wall-clock\n", g_one.wall / g_two.wall);
    }
    return 0;
}
