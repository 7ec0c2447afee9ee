// Album formation, search filtering and the model file with a generated 40,000-track library.

#include "foundation/Paths.h"
#include "foundation/PropertyList.h"
#include "foundation/Text.h"
#include "foundation/Value.h"
#include "itunes/iTunesLibrary.h"
#include "model/ModelValues.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixStatus.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>

using namespace sonorix;

namespace {

std::string g_folder;

// A library of realistic shape: albums of 8 to 16 tracks, some on two discs, some
// compilations and gapless, shared artists, a share of non-ASCII names.
std::string writeLibrary(size_t trackCount) {
    std::mt19937_64 random(trackCount);
    const char* words[] = {"Blue",  "Night", "Öl",   "River", "Été",    "Moon",  "Fire", "Glass",
                           "Stone", "東京",  "Rain", "Gold",  "Echo",   "Heart", "Sky",  "Road",
                           "Ice",   "Wild",  "Sun",  "Deep",  "Velvet", "Iron",  "Café", "Dawn"};
    auto phrase = [&](int n) {
        std::string s;
        for (int i = 0; i < n; ++i) {
            s += (i ? " " : "") + std::string(words[random() % 24]);
        }
        return s;
    };
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                    "\t<key>Application Version</key><string>10.1.2</string>\n"
                    "\t<key>Library Persistent ID</key><string>0123456789ABCDEF</string>\n"
                    "\t<key>Tracks</key>\n\t<dict>\n";
    size_t made = 0;
    int albumNo = 0;
    while (made < trackCount) {
        int size = 8 + static_cast<int>(random() % 9);
        bool compilation = random() % 10 == 0;
        bool gapless = random() % 12 == 0;
        bool twoDiscs = random() % 15 == 0;
        std::string album = phrase(2) + " " + std::to_string(++albumNo % 700);
        std::string artist = phrase(1) + " " + std::to_string(random() % 900);
        for (int t = 0; t < size && made < trackCount; ++t, ++made) {
            char id[20];
            std::snprintf(id, sizeof id, "%016llX", static_cast<unsigned long long>(random()));
            x += "\t\t<key>" + std::to_string(1000 + made) + "</key>\n\t\t<dict>\n";
            x +=
                "\t\t\t<key>Track ID</key><integer>" + std::to_string(1000 + made) + "</integer>\n";
            x += std::string("\t\t\t<key>Persistent ID</key><string>") + id + "</string>\n";
            x += "\t\t\t<key>Name</key><string>" + phrase(3) + "</string>\n";
            x += "\t\t\t<key>Artist</key><string>" +
                 (compilation ? phrase(1) + " " + std::to_string(random() % 900) : artist) +
                 "</string>\n";
            x += "\t\t\t<key>Album</key><string>" + album + "</string>\n";
            x += "\t\t\t<key>Disc Number</key><integer>" +
                 std::to_string(twoDiscs && t >= size / 2 ? 2 : 1) + "</integer>\n";
            x += "\t\t\t<key>Track Number</key><integer>" + std::to_string(t + 1) + "</integer>\n";
            x += "\t\t\t<key>Total Time</key><integer>" +
                 std::to_string(120000 + random() % 240000) + "</integer>\n";
            if (compilation) {
                x += "\t\t\t<key>Compilation</key><true/>\n";
            }
            if (gapless) {
                x += "\t\t\t<key>Part Of Gapless Album</key><true/>\n";
            }
            x += "\t\t\t<key>Kind</key><string>MPEG audio file</string>\n";
            x += "\t\t\t<key>Date Modified</key><date>2012-05-01T10:00:00Z</date>\n";
            x += "\t\t\t<key>Location</key><string>file:///music/" + std::to_string(made) +
                 ".mp3</string>\n";
            x += "\t\t</dict>\n";
        }
    }
    x += "\t</dict>\n</dict>\n</plist>\n";
    std::string path = g_folder + "/library-" + std::to_string(trackCount) + ".xml";
    std::ofstream(path) << x;
    return path;
}

std::shared_ptr<SonorixModel> loadModel(const std::string& library) {
    auto model = SonorixModel::create();
    model->load(library);
    return model;
}

// CPU time of this thread: several builds share this machine, and wall time would mostly
// measure them. (Saving also waits for the disk; its wall time is printed separately.)
double cpuMillis() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

template <class F>
double millis(F&& f) {
    double start = cpuMillis();
    f();
    return cpuMillis() - start;
}

template <class F>
double wallMillis(F&& f) {
    auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

template <class F>
double bestOf(int runs, F&& f) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        best = std::min(best, millis(f));
    }
    return best;
}

void formAlbums(SonorixGroup& group, int albumMode) {
    group.options().setAlbumMode(albumMode);
    group.markAlbumsDirty();
    benchmark::DoNotOptimize(group.albums().size());
}

// Baseline: a plain sort of the same tracks by album, disc and track number, fields cached.
double plainSortMillis(SonorixGroup& group) {
    struct Row {
        std::u16string album;
        int disc, number;
    };
    std::vector<Row> rows;
    for (const auto& t : group.tracks()) {
        rows.push_back({t->album(), t->discNumber(), t->trackNumber()});
    }
    return bestOf(3, [&] {
        auto copy = rows;
        std::stable_sort(copy.begin(), copy.end(), [](const Row& a, const Row& b) {
            return std::tie(a.album, a.disc, a.number) < std::tie(b.album, b.disc, b.number);
        });
        benchmark::DoNotOptimize(copy.data());
    });
}

void fillStatuses(SonorixModel& model) {
    auto date = mv::now(false);
    SoundCheckValues values = {1000, 1000, 2500, 2500, 0, 0, 30000, 30000, 0, 0};
    for (const auto& [id, track] : model.library()->tracks()) {
        auto status = model.statusLibrary()->trackStatus(id, true);
        status->setGainAndPeak(-7.25, 31000.5, date);
        status->setTag(values, date);
        status->setBackup(values);
        status->setTagHint(4096);
        status->setError(0);
    }
}

void printSummary() {
    std::printf("Model benchmarks (best of 3 runs each, CPU time of the measuring thread)\n");
    double formation[2] = {0, 0};
    const size_t sizes[2] = {10000, 40000};
    for (int i = 0; i < 2; ++i) {
        auto model = loadModel(writeLibrary(sizes[i]));
        auto group = model->groups()->groupAt(0);
        formAlbums(*group, 2); // warm the letters cache, as a running program has it
        formation[i] = bestOf(3, [&] { formAlbums(*group, 2); });
        double separate = bestOf(3, [&] { formAlbums(*group, 0); });
        double baseline = plainSortMillis(*group);
        double search = bestOf(3, [&] {
            group->setSearchText(u"river");
            benchmark::DoNotOptimize(group->visibleAlbums().size());
            group->setSearchText(u"");
            benchmark::DoNotOptimize(group->visibleAlbums().size());
        });
        std::printf("  %6zu tracks: album formation %.1f ms (combine albums), %.1f ms (each "
                    "song); baseline plain sort %.1f ms; search filter %.1f ms\n",
                    sizes[i], formation[i], separate, baseline, search);
    }
    double expected = 4.0 * std::log(40000.0) / std::log(10000.0);
    std::printf("  growth 10k -> 40k: %.2fx (n log n would be %.2fx); target: 40k under 300 ms\n",
                formation[1] / formation[0], expected);

    std::string library = g_folder + "/library-40000.xml";
    auto model = loadModel(library);
    fillStatuses(*model);
    double save = bestOf(3, [&] { model->save(); });
    double saveWall = 1e300;
    for (int i = 0; i < 3; ++i) {
        saveWall = std::min(saveWall, wallMillis([&] { model->save(); }));
    }
    auto size = std::filesystem::file_size(model->modelPath());
    double libraryOnly = bestOf(3, [&] { benchmark::DoNotOptimize(iTunesLibrary::load(library)); });
    double both = bestOf(3, [&] { benchmark::DoNotOptimize(loadModel(library)); });
    std::printf("  model save, 40000 track statuses (%.1f MB): %.1f ms CPU, %.1f ms wall with "
                "fsync; target under 1000 ms\n",
                size / 1e6, save, saveWall);
    std::printf("  load library and model together: %.1f ms (library alone %.1f ms); target "
                "under 2000 ms\n\n",
                both, libraryOnly);
}

void BM_AlbumFormation(benchmark::State& state) {
    auto model = loadModel(writeLibrary(static_cast<size_t>(state.range(0))));
    auto group = model->groups()->groupAt(0);
    formAlbums(*group, 2);
    for (auto _ : state) {
        formAlbums(*group, 2);
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_AlbumFormation)
    ->Arg(10000)
    ->Arg(40000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);

void BM_ModelSave(benchmark::State& state) {
    std::string library = g_folder + "/library-40000.xml";
    if (!std::filesystem::exists(library)) {
        writeLibrary(40000);
    }
    auto model = loadModel(library);
    fillStatuses(*model);
    for (auto _ : state) {
        model->save();
    }
}
BENCHMARK(BM_ModelSave)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    g_folder = (std::filesystem::temp_directory_path() / "sonorix-bench-model").string();
    std::filesystem::remove_all(g_folder);
    std::filesystem::create_directories(g_folder);
    setDataFolderOverride(g_folder + "/data");
    if (!std::getenv("SONORIX_BENCH_NO_SUMMARY")) {
        printSummary();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(g_folder);
    return 0;
}
