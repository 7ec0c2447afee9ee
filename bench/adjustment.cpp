// Adjusting a generated library of one-second MP3 tracks in albums of 5 on 2 workers (1,000
// tracks, or --tracks N): (a) the first run, which measures and tags every track; (b) a second
// run with nothing to change; (c) a run after the master volume changed, which rewrites every
// value from the stored measurements. Baseline in the same run: reading every file's Sound Check
// text once.
//
// Targets: (b) at least 10,000 tracks/s, (c) at least 500 tracks/s.

#include "audio/iTunNORMTag.h"
#include "foundation/Paths.h"
#include "foundation/Threads.h"
#include "itunes/iTunesTrackLibraryFile.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixPreferences.h"
#include "processing/ControllerHooks.h"
#include "processing/DisplayMessage.h"
#include "processing/SonorixAutomaticAdjustmentJobManager.h"
#include "tests/model/LibraryFile.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace sonorix;
namespace fs = std::filesystem;

namespace {

constexpr int kTracksPerAlbum = 5;
int g_tracks = 1000;

class QuietController : public SonorixControllerHooks {
public:
    void refreshTrack(const std::shared_ptr<iTunesTrack>&) override {}
    void refreshAlbum(const std::shared_ptr<SonorixAlbum>&) override {}
    void revealTrack(const std::shared_ptr<iTunesTrack>&) override {}
    void revealAlbum(const std::shared_ptr<SonorixAlbum>&) override {}
    void showDisplayMessage(const std::shared_ptr<DisplayMessage>&) override {}
    void showProgress(const std::shared_ptr<DisplayProgress>&, bool) override {}
    void setSpeedometerValue(double) override {}
    void processorFinished(const std::shared_ptr<JobManager>&) override { ++finished; }
    int finished = 0;
};

class TwoWorkers : public SonorixAutomaticAdjustmentJobManager {
public:
    using SonorixAutomaticAdjustmentJobManager::SonorixAutomaticAdjustmentJobManager;

protected:
    int usableProcessors() override { return 2; }
};

struct Figures {
    double baseline = 0, first = 0, unchanged = 0, volume = 0; // tracks per second
};
Figures g_figures;

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void BM_Adjusting(benchmark::State& state) {
    const fs::path folder = fs::temp_directory_path() / "sonorix-bench-adjustment";
    fs::remove_all(folder);
    fs::create_directories(folder);
    const fs::path base = folder / "base.mp3";
    const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i "
                                "'anoisesrc=d=1:c=pink:a=0.3:r=44100' -ac 2 -c:a libmp3lame "
                                "-b:a 128k '" +
                                base.string() + "'";
    if (std::system(command.c_str()) != 0) {
        state.SkipWithError("ffmpeg could not make the test audio");
        return;
    }
    std::vector<test::LibraryTrack> tracks;
    std::vector<std::string> paths;
    for (int i = 0; i < g_tracks; ++i) {
        const fs::path file = folder / ("t" + std::to_string(i) + ".mp3");
        fs::copy_file(base, file);
        paths.push_back(file.string());
        test::LibraryTrack track = test::track(static_cast<uint64_t>(i + 1));
        track.album = "Album " + std::to_string(i / kTracksPerAlbum);
        track.name = "Track " + std::to_string(i);
        track.trackNumber = i % kTracksPerAlbum + 1;
        track.totalTimeMs = 1000;
        track.location = "file://" + file.string();
        tracks.push_back(track);
    }
    const std::string libraryFile = (folder / "Library.xml").string();
    std::ofstream(libraryFile) << test::libraryXml(tracks);

    setDataFolderOverride((folder / "data").string());
    auto loop = std::make_shared<BasicRunLoop>();
    setMainRunLoop(loop);
    auto controller = std::make_shared<QuietController>();
    auto scheduler = DisplayMessageScheduler::sharedScheduler();
    scheduler->setTarget(controller);
    auto preferences = std::make_shared<SonorixPreferences>();
    auto model = SonorixModel::create();
    model->setSaveTimerFactory(
        [](double, std::function<void()>) { return std::shared_ptr<SaveTimer>(); });
    model->load(libraryFile, {}, std::make_shared<iTunesTrackLibraryFileFactory>());
    auto group = model->groups()->groupAt(0);
    group->options().setAlbumMode(SonorixOptions::kCombineAlbums);

    auto run = [&] {
        auto manager = std::make_shared<TwoWorkers>(controller, 0, preferences);
        for (const auto& album : group->albums()) {
            manager->addAlbum(group, album);
        }
        const int before = controller->finished;
        const auto start = std::chrono::steady_clock::now();
        manager->start();
        loop->runUntil([&] { return controller->finished > before; }, std::chrono::hours(1));
        return g_tracks / seconds(start);
    };

    for (auto _ : state) {
        g_figures.first = run();
        g_figures.unchanged = run();
        preferences->setPerceivedLoudness(94);
        g_figures.volume = run();
        const auto start = std::chrono::steady_clock::now();
        for (const auto& path : paths) {
            int32_t hint = -1;
            benchmark::DoNotOptimize(createITunNORMTag(path, hint, false, false)->values());
        }
        g_figures.baseline = g_tracks / seconds(start);
        state.SetIterationTime(g_tracks / g_figures.first + g_tracks / g_figures.unchanged +
                               g_tracks / g_figures.volume);
    }
    state.counters["first_tracks_per_s"] = g_figures.first;
    state.counters["unchanged_tracks_per_s"] = g_figures.unchanged;
    state.counters["volume_tracks_per_s"] = g_figures.volume;

    loop->runUntil([] { return false; }, std::chrono::milliseconds(50));
    scheduler->setTarget(nullptr);
    clearMainRunLoop();
    setDataFolderOverride("");
    fs::remove_all(folder);
}

} // namespace

BENCHMARK(BM_Adjusting)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--tracks") {
            g_tracks = std::max(kTracksPerAlbum, std::atoi(argv[i + 1]));
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_figures.first <= 0) {
        return 0;
    }
    std::printf("\n%d one-second tracks in %d albums, 2 workers\n", g_tracks,
                (g_tracks + kTracksPerAlbum - 1) / kTracksPerAlbum);
    std::printf("baseline: reading every Sound Check text   %8.0f tracks/s\n", g_figures.baseline);
    std::printf("(a) first run, measure and tag             %8.0f tracks/s\n", g_figures.first);
    std::printf("(b) nothing to change (target 10000)       %8.0f tracks/s\n", g_figures.unchanged);
    std::printf("(c) master volume changed (target 500)     %8.0f tracks/s\n", g_figures.volume);
    return 0;
}
