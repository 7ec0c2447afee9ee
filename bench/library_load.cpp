// Reading a 40,000-track iTunes library file: readPropertyList alone and the whole library load,
// against Python's plistlib.load on the same file in the same run, plus the peak memory of our
// load next to the file's size. Then the figure a user sees: the whole `sonorix-cli info` process
// against a whole Python process that runs plistlib.load, each the best of three, interleaved,
// with their peak resident sizes (targets: at least 10 x faster, at most 150 MB).
//
// Usage: bench_library_load [--tracks N] [--library FILE] [google-benchmark options]
#include "bench/BenchSupport.h"
#include "foundation/PropertyList.h"
#include "foundation/Text.h"
#include "itunes/iTunesLibrary.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace sonorix;

using sonorix::bench::commandOutput;
using sonorix::bench::statusField;

namespace {

std::string g_library;

struct Memory {
    double peakMB = -1;     // highest resident size during the load, above the start
    double retainedMB = -1; // resident size once the load returned, above the start
};

long maxRssKB() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// In a freshly started process (--measure-memory): a forked one would reuse the heap pages that
// earlier loads left resident, and hide the peak.
int measureInThisProcess() {
    toUtf16("warm up the transcoder \xc3\xa4");
    long before = statusField("VmRSS:");
    long startPeak = maxRssKB();
    auto library = iTunesLibrary::load(g_library);
    long peak = std::max(maxRssKB(), startPeak);
    long after = statusField("VmRSS:");
    std::printf("%f %f\n", (peak - before) / 1024.0, (after - before) / 1024.0);
    return library->tracks().empty() ? 1 : 0;
}

Memory measureLoadMemory() {
    std::string answer = commandOutput("'/proc/" + std::to_string(getpid()) +
                                       "/exe' --measure-memory --library '" + g_library + "'");
    Memory m;
    if (std::sscanf(answer.c_str(), "%lf %lf", &m.peakMB, &m.retainedMB) != 2) {
        return {};
    }
    return m;
}

struct Timing {
    double wall = 1e300;
    double cpu = 1e300;
};

double cpuSeconds() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Best of several runs; CPU time too, since a busy machine stretches the wall-clock time.
Timing timeOf(const std::function<void()>& work, int runs) {
    Timing best;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        double cpuStart = cpuSeconds();
        work();
        best.cpu = std::min(best.cpu, cpuSeconds() - cpuStart);
        best.wall = std::min(
            best.wall,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

struct ProcessRun {
    double wall = 1e300;
    double cpu = 1e300;
    double peakMB = 0;
    bool ok = true;
};

// A whole process, its output thrown away: wall time, CPU time (user and system) and peak
// resident size, the best of the runs each.
void runProcess(const std::vector<std::string>& command, ProcessRun& best) {
    std::vector<char*> argv;
    for (const auto& a : command) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    struct rusage usage {};
    if (rc != 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        best.ok = false;
        return;
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    best.wall = std::min(best.wall, wall);
    best.cpu = std::min(best.cpu, cpu);
    best.peakMB = std::max(best.peakMB, usage.ru_maxrss / 1024.0);
}

void wholeProcesses(bool havePython) {
    char folder[] = "/tmp/sonorix-bench-data-XXXXXX";
    if (!mkdtemp(folder)) {
        return;
    }
    setenv("XDG_DATA_HOME", folder, 1); // the console program touches no real data folder
    ProcessRun cli;
    ProcessRun python;
    for (int i = 0; i < 3; ++i) {
        runProcess({SONORIX_CLI_PATH, "--library", g_library, "info"}, cli);
        if (havePython) {
            runProcess({"/usr/bin/python3", "-c",
                        "import plistlib, sys\nwith open(sys.argv[1], 'rb') as f: plistlib.load(f)",
                        g_library},
                       python);
        }
    }
    std::string cleanup = std::string("rm -rf '") + folder + "'";
    std::system(cleanup.c_str());
    std::printf("\nWhole processes, best of three:\n");
    if (!cli.ok) {
        std::printf("sonorix-cli info:          failed\n");
        return;
    }
    std::printf(
        "sonorix-cli info:          %8.3f s wall, %.3f s CPU, peak %.1f MB (target <= 150)\n",
        cli.wall, cli.cpu, cli.peakMB);
    if (havePython && python.ok) {
        std::printf("python plistlib process:   %8.3f s wall, %.3f s CPU, peak %.1f MB\n",
                    python.wall, python.cpu, python.peakMB);
        std::printf("speed-up over plistlib:    %8.1f x wall, %.1f x CPU (target >= 10)\n",
                    python.wall / cli.wall, python.cpu / cli.cpu);
    }
}

void BM_ReadPropertyList(benchmark::State& state) {
    for (auto _ : state) {
        DictRef root = readPropertyList(g_library);
        if (!root) {
            state.SkipWithError("library file did not read");
            return;
        }
        benchmark::DoNotOptimize(root);
    }
}
BENCHMARK(BM_ReadPropertyList)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_LibraryLoad(benchmark::State& state) {
    for (auto _ : state) {
        auto library = iTunesLibrary::load(g_library);
        benchmark::DoNotOptimize(library);
    }
}
BENCHMARK(BM_LibraryLoad)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    int tracks = 40000;
    bool measureMemory = false;
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--tracks") && i + 1 < argc) {
            tracks = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--measure-memory")) {
            measureMemory = true;
        } else if (!std::strcmp(argv[i], "--library") && i + 1 < argc) {
            g_library = argv[++i];
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (measureMemory) {
        return measureInThisProcess();
    }
    bool havePython = access("/usr/bin/python3", X_OK) == 0;
    if (g_library.empty()) {
        if (!havePython) {
            std::fprintf(stderr, "bench_library_load: /usr/bin/python3 makes the library file; "
                                 "name one with --library FILE\n");
            return 2;
        }
        g_library = commandOutput("/usr/bin/python3 " SONORIX_SOURCE_DIR
                                  "/scripts/make-big-library --tracks " +
                                  std::to_string(tracks));
    }
    struct stat st {};
    if (stat(g_library.c_str(), &st) != 0) {
        std::fprintf(stderr, "bench_library_load: no library file '%s'\n", g_library.c_str());
        return 2;
    }
    double fileMB = st.st_size / 1048576.0;
    std::printf("Library file: %s (%.1f MB)\n", g_library.c_str(), fileMB);

    // First, while this process is small: a child started from it begins with its peak resident
    // size.
    wholeProcesses(havePython);

    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    benchmark::RunSpecifiedBenchmarks();

    // The comparison in one run on the same file: best of three for ours.
    Timing ours = timeOf([] { benchmark::DoNotOptimize(iTunesLibrary::load(g_library)); }, 3);
    Timing readOnly = timeOf([] { benchmark::DoNotOptimize(readPropertyList(g_library)); }, 3);
    Memory memory = measureLoadMemory();
    std::printf("\nreadPropertyList:          %8.3f s wall, %.3f s CPU\n", readOnly.wall,
                readOnly.cpu);
    std::printf("iTunesLibrary::load:       %8.3f s wall, %.3f s CPU\n", ours.wall, ours.cpu);
    std::printf("peak memory of the load:   %8.1f MB = %.2f x the file size (target < 5)\n",
                memory.peakMB, memory.peakMB / fileMB);
    std::printf("held after the load:       %8.1f MB (values and tracks; the parse tree is gone)\n",
                memory.retainedMB);
    if (havePython) {
        std::string script = "import plistlib, resource, time\n"
                             "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
                             "start = time.perf_counter()\n"
                             "cpu = time.process_time()\n"
                             "with open('" +
                             g_library +
                             "', 'rb') as f: plistlib.load(f)\n"
                             "took = time.perf_counter() - start\n"
                             "cpu = time.process_time() - cpu\n"
                             "print(took, cpu, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss "
                             "- before) / 1024.0)\n";
        std::string scriptPath = "/tmp/sonorix-bench-plistlib.py";
        std::ofstream(scriptPath) << script;
        std::string answer = commandOutput("/usr/bin/python3 " + scriptPath);
        unlink(scriptPath.c_str());
        double pySeconds = 0;
        double pyCpu = 0;
        double pyMB = 0;
        if (std::sscanf(answer.c_str(), "%lf %lf %lf", &pySeconds, &pyCpu, &pyMB) == 3) {
            std::printf("python plistlib.load:      %8.3f s wall, %.3f s CPU, peak %.1f MB\n",
                        pySeconds, pyCpu, pyMB);
            std::printf("speed-up over plistlib:    %8.1f x wall, %.1f x CPU (target >= 5)\n",
                        pySeconds / ours.wall, pyCpu / ours.cpu);
        } else {
            std::printf("python plistlib.load:      failed (%s)\n", answer.c_str());
        }
    } else {
        std::printf("python plistlib.load:      skipped, no /usr/bin/python3\n");
    }
    return 0;
}
