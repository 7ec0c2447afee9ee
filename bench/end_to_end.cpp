// End to end: `adjust all` (analysis, Sound Check write, comment stamp) against `analyze` over the
// same eight three-minute MP3s of the benchmark audio (scripts/make-bench-audio), both as whole
// console processes, on one worker and on two. Each adjust run starts from fresh copies of the
// files and an empty data folder, so that every track is measured and written. One worker is one
// allowed processor (taskset), as the job managers start one worker per allowed processor; the
// analyze command is given the same processors, the same number of threads and the workers' nice
// level (10 below the process). Figure: analyze's
// wall time over adjust's (target: at least 0.9, writing never the bottleneck), best of five: on a
// shared machine single runs of either move by a tenth.
//
// SONORIX_BENCH_AUDIO names another folder of audio (with album/track01.mp3 ... track08.mp3).

#include "bench/BenchSupport.h"
#include "tests/model/LibraryFile.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

using namespace sonorix;
namespace fs = std::filesystem;

using sonorix::bench::commandOutput;

namespace {

constexpr int kTracks = 8;

struct Run {
    double wall = 0;
    double cpu = 0;
    int status = -1;
};

Run runProcess(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const auto& a : command) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    Run run;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return run;
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
              (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// Fresh copies of the tracks, their library file and an empty data folder.
std::string prepare(const fs::path& folder, const std::string& audio) {
    fs::remove_all(folder);
    fs::create_directories(folder / "data");
    std::vector<test::LibraryTrack> tracks;
    for (int i = 1; i <= kTracks; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "track%02d.mp3", i);
        fs::copy_file(fs::path(audio) / "album" / name, folder / name);
        test::LibraryTrack track = test::track(static_cast<uint64_t>(i));
        track.album = "Bench Album " + std::to_string((i + 1) / 2); // four albums of two
        track.name = name;
        track.trackNumber = i;
        track.totalTimeMs = 180000;
        track.location = "file://" + (folder / name).string();
        tracks.push_back(track);
    }
    const std::string library = (folder / "Library.xml").string();
    std::ofstream(library) << test::libraryXml(tracks);
    return library;
}

} // namespace

int main() {
    std::string audio;
    if (const char* env = std::getenv("SONORIX_BENCH_AUDIO")) {
        audio = env;
    } else {
        audio = commandOutput(SONORIX_SOURCE_DIR "/scripts/make-bench-audio");
    }
    if (audio.empty() || !fs::exists(fs::path(audio) / "album" / "track08.mp3")) {
        std::fprintf(stderr, "bench_end_to_end: no bench audio (scripts/make-bench-audio)\n");
        return 1;
    }
    const fs::path folder = fs::temp_directory_path() / "sonorix-bench-end-to-end";
    const std::string cli = SONORIX_CLI_PATH;
    std::printf("%d three-minute MP3s; best of five, wall time (CPU time)\n\n", kTracks);
    std::printf("%-9s %18s %18s %8s %8s\n", "workers", "analyze", "adjust all", "ratio", "CPU");
    for (int workers : {1, 2}) {
        const std::string cpus = workers == 1 ? "0" : "0,1";
        Run bestAnalyze{1e300, 0, 0};
        Run bestAdjust{1e300, 0, 0};
        bool failed = false;
        for (int round = 0; round < 5; ++round) {
            const std::string library = prepare(folder, audio);
            setenv("XDG_DATA_HOME", (folder / "data").c_str(), 1);
            // The job managers' workers decode 10 nice levels below the process; analyze's own
            // threads do not. Run at the workers' level, analyze meets whatever else the machine
            // runs as they do.
            std::vector<std::string> analyze = {
                "nice", "-n", "10",      "taskset",   "-c",
                cpus,   cli,  "analyze", "--threads", std::to_string(workers)};
            for (int i = 1; i <= kTracks; ++i) {
                char name[32];
                std::snprintf(name, sizeof name, "track%02d.mp3", i);
                analyze.push_back((folder / name).string());
            }
            Run a = runProcess(analyze);
            Run b = runProcess({"taskset", "-c", cpus, cli, "--library", library, "adjust", "all"});
            if (a.status != 0 || b.status != 0) {
                std::printf("%-9d failed (analyze exit %d, adjust exit %d)\n", workers, a.status,
                            b.status);
                failed = true;
                break;
            }
            if (a.wall < bestAnalyze.wall) {
                bestAnalyze = a;
            }
            if (b.wall < bestAdjust.wall) {
                bestAdjust = b;
            }
        }
        if (!failed) {
            std::printf("%-9d %9.2f s (%5.2f) %9.2f s (%5.2f) %8.2f %8.2f\n", workers,
                        bestAnalyze.wall, bestAnalyze.cpu, bestAdjust.wall, bestAdjust.cpu,
                        bestAnalyze.wall / bestAdjust.wall, bestAnalyze.cpu / bestAdjust.cpu);
        }
    }
    std::printf("\nratio: analyze's wall time over adjust's (target: at least 0.9); CPU: the same "
                "for CPU time.\nA wall ratio well below the CPU ratio means the workers wait for "
                "the disk (each save is synced).\n");
    fs::remove_all(folder);
    return 0;
}
