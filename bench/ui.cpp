// The window's track outline on a generated 40,000-track library, offscreen: how long until the
// outline is filled after loading, switching to the big group, sorting by each column and
// applying a search (each with the model's own share measured alone as the baseline), repaints
// per second during a running adjustment against the row reports that asked for them, and the
// peak memory of a process with the outline against the console's on the same library.
//
// Usage: bench_ui [--tracks N] [--library FILE] [google-benchmark options]

#include "app/OutlinePresenter.h"
#include "app/OutlineSort.h"
#include "bench/BenchSupport.h"
#include "foundation/Text.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "support/OutlineHarness.h"
#include "ui/OutlineModel.h"
#include "ui/OutlineView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace sonorix;
using namespace sonorix::test;

using sonorix::bench::commandOutput;
using sonorix::bench::statusField;

namespace {

std::string g_library;
std::string g_folder;

// CPU time of the main thread, where all of this runs: several builds share this machine, and
// wall time would mostly measure them.
double cpuMillis() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double millisOf(const std::function<void()>& work) {
    const double start = cpuMillis();
    work();
    return cpuMillis() - start;
}

double bestOf(int runs, const std::function<void()>& work) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        best = std::min(best, millisOf(work));
    }
    return best;
}

// What the user waits for: the change, the rows rebuilt and the visible ones painted.
void paint(OutlineView& view) {
    view.viewport()->repaint();
    QCoreApplication::processEvents();
}

struct Figures {
    double fillMs = 0, fillBaseMs = 0;
    double switchMs = 0, switchBaseMs = 0;
    double sortMs[5] = {}, sortBaseMs[5] = {};
    double searchMs = 0, searchBaseMs = 0;
    double preparedMs = 0;
    double repaintsPerSecond = 0, reportsPerSecond = 0;
    size_t bigGroupTracks = 0;
};

// The model alone: the group's visible albums formed and every row of the outline made, as the
// console's list makes them.
double modelRowsMs(SonorixController& app, SonorixGroup& group) {
    return millisOf([&] {
        group.markDisplayDirty();
        benchmark::DoNotOptimize(OutlinePresenter(app.model()).rows(group).size());
    });
}

Figures measure() {
    Figures f;
    OutlineSession session(g_folder, g_library);
    session.view().show();
    if (!session.start(std::chrono::minutes(5))) {
        std::fprintf(stderr, "bench_ui: the library did not load\n");
        std::exit(1);
    }
    QElapsedTimer sinceLoad;
    sinceLoad.start();
    auto& app = *session.controller();
    auto& view = session.view();
    auto groups = app.model()->groups();
    auto big = groups->groupAt(0);
    f.bigGroupTracks = big->trackCount();

    // Filled after loading: the reload the load ends with, rows painted.
    f.fillMs = bestOf(3, [&] {
        view.reload();
        paint(view);
    });
    f.fillBaseMs = bestOf(3, [&] { modelRowsMs(app, *big); });

    // A small second group to switch from.
    app.tracksTable().setSelectedItems({big->tracks().front()});
    auto small = app.newGroup();
    f.bigGroupTracks = big->trackCount();
    f.switchMs = 1e300;
    for (int i = 0; i < 3; ++i) {
        app.setCurrentGroup(small, false);
        paint(view);
        f.switchMs = std::min(f.switchMs, millisOf([&] {
                                  app.setCurrentGroup(big, false);
                                  paint(view);
                              }));
    }
    f.switchBaseMs = bestOf(3, [&] { big->visibleAlbums(); });

    // A user's first click comes after the texts are made in the background; wait as long.
    OutlineSession::waitFor([&] { return view.outlineModel().textsPrepared(); },
                            std::chrono::minutes(1));
    f.preparedMs = sinceLoad.elapsed();

    // Each column by a header click, keys read afresh as the controller does.
    for (int column = 0; column < 5; ++column) {
        app.setCurrentGroup(small, false);
        app.setCurrentGroup(big, false);
        f.sortMs[column] = millisOf([&] {
            emit view.header()->sectionClicked(column);
            paint(view);
        });
        // The same order again without the outline: the options the click left in place.
        auto options = std::dynamic_pointer_cast<const OutlineSortOptions>(big->sortOptions());
        f.sortBaseMs[column] = millisOf([&] {
            if (options) {
                options->forgetKeys();
            }
            big->markDisplayDirty();
            benchmark::DoNotOptimize(big->visibleAlbums().size());
        });
    }

    app.setCurrentGroup(small, false);
    app.setCurrentGroup(big, false);
    f.searchMs = millisOf([&] {
        app.searchTextChanged(u"moon");
        paint(view);
    });
    big->setSearchText(u"");
    big->markDisplayDirty();
    big->visibleAlbums();
    f.searchBaseMs = millisOf([&] {
        big->setSearchText(u"moon");
        big->markDisplayDirty();
        benchmark::DoNotOptimize(big->visibleAlbums().size());
    });
    app.searchTextChanged(u"");

    // A running adjustment on files that are not there: every row reports as fast as the work
    // can fail, far more often than any real run.
    uint64_t reports = 0;
    const uint64_t repaintsBefore = view.outlineModel().repaintCount();
    app.reportCounter = &reports;
    if (app.startAdjusting(SonorixController::kModeAll)) {
        QElapsedTimer clock;
        clock.start();
        OutlineSession::waitFor([&] { return clock.elapsed() > 3000 || !app.isAdjusting(); },
                                std::chrono::seconds(10));
        const double seconds = clock.elapsed() / 1000.0;
        f.repaintsPerSecond = (view.outlineModel().repaintCount() - repaintsBefore) / seconds;
        f.reportsPerSecond = reports / seconds;
        app.stopAdjusting();
    }
    app.reportCounter = nullptr;
    return f;
}

// Peak resident memory of a fresh process that loaded the library and shows the outline.
int windowMemoryInThisProcess() {
    {
        OutlineSession session(g_folder, g_library);
        session.view().show();
        if (!session.start(std::chrono::minutes(5))) {
            return 1;
        }
        paint(session.view());
        OutlineSession::waitFor([&] { return session.view().outlineModel().textsPrepared(); },
                                std::chrono::minutes(1));
        std::printf("%ld\n", statusField("VmHWM:"));
        std::fflush(stdout);
    }
    return 0;
}

long consoleMemoryKB(const std::string& dataFolder) {
    std::fflush(stdout); // or the child's stdout would print it again
    pid_t child = fork();
    if (child == 0) {
        if (!freopen("/dev/null", "w", stdout)) {
            _exit(127);
        }
        execl(SONORIX_CLI_PATH, "sonorix-cli", "--library", g_library.c_str(), "--data-dir",
              dataFolder.c_str(), "list", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(child, &status, 0, &usage);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? usage.ru_maxrss : -1;
}

void BM_OutlineReload(benchmark::State& state) {
    OutlineSession session(g_folder, g_library);
    session.view().show();
    if (!session.start(std::chrono::minutes(5))) {
        state.SkipWithError("library did not load");
        return;
    }
    for (auto _ : state) {
        session.view().reload();
        paint(session.view());
    }
}
BENCHMARK(BM_OutlineReload)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char** argv) {
    int tracks = 40000;
    bool windowMemory = false;
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--tracks") && i + 1 < argc) {
            tracks = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--library") && i + 1 < argc) {
            g_library = argv[++i];
        } else if (!std::strcmp(argv[i], "--window-memory")) {
            windowMemory = true;
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    if (g_library.empty()) {
        g_library = commandOutput("/usr/bin/python3 " SONORIX_SOURCE_DIR
                                  "/scripts/make-big-library --tracks " +
                                  std::to_string(tracks));
    }
    if (g_library.empty() || !std::filesystem::exists(g_library)) {
        std::fprintf(stderr, "bench_ui: no library file\n");
        return 2;
    }
    char folderTemplate[] = "/tmp/bench_ui.XXXXXX";
    if (!mkdtemp(folderTemplate)) {
        return 2;
    }
    g_folder = folderTemplate;
    if (windowMemory) {
        const int status = windowMemoryInThisProcess();
        std::filesystem::remove_all(g_folder);
        return status;
    }

    const Figures f = measure();
    std::printf("library: %s, %zu tracks in the big group; times are CPU time of the main "
                "thread\n",
                g_library.c_str(), f.bigGroupTracks);
    std::printf("outline filled after loading: %8.1f ms   (model rows alone, as list makes them: "
                "%8.1f ms; target < 1000 ms)\n",
                f.fillMs, f.fillBaseMs);
    std::printf("switch to the big group:      %8.1f ms   (its albums formed alone: %8.1f ms; "
                "target < 100 ms)\n",
                f.switchMs, f.switchBaseMs);
    std::printf("sort and search texts made:   %8.0f ms   after loading, in the background "
                "(wall time; the clicks below come after)\n",
                f.preparedMs);
    // Header sections in the order they were made (sortColumnOfHeader).
    static const char* const kNames[] = {"title", "status", "artist", "album", "adjustment"};
    for (int column = 0; column < 5; ++column) {
        std::printf("sort by %-10s            %8.1f ms   (the same sort alone: %8.1f ms; "
                    "target < 100 ms)\n",
                    kNames[column], f.sortMs[column], f.sortBaseMs[column]);
    }
    std::printf("search \"moon\":                %8.1f ms   (the group's filter alone: %8.1f ms; "
                "target < 100 ms)\n",
                f.searchMs, f.searchBaseMs);
    std::printf("repaints during adjusting:    %8.1f /s   (row reports: %8.1f /s; target <= 30)\n",
                f.repaintsPerSecond, f.reportsPerSecond);

    const std::string self = "/proc/" + std::to_string(getpid()) + "/exe";
    const long windowKB = std::atol(
        commandOutput("'" + self + "' --window-memory --library '" + g_library + "'").c_str());
    const long consoleKB = consoleMemoryKB(g_folder + "/console");
    std::printf("peak memory with the outline: %8.1f MB   (console list: %8.1f MB; ratio %.2f, "
                "target < 2)\n",
                windowKB / 1024.0, consoleKB / 1024.0,
                consoleKB > 0 ? double(windowKB) / double(consoleKB) : 0.0);
    std::fflush(stdout);

    int benchArgc = static_cast<int>(rest.size());
    benchmark::Initialize(&benchArgc, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(g_folder);
    return 0;
}
