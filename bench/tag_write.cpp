// One value-changing setAdjustment on a 10 MB MP3 that already carries a Sound Check text: in
// place through the mapped file, and through TagLib (with its crash-safe copy) on the same file.
#include "audio/iTunNORMTag.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

using namespace sonorix;

namespace {

std::string g_path;
double g_adjustment = 1; // flipped before every write, across runs
double g_rawSeconds = 0;
double g_tagLibSeconds = 0;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Pages of 4096 bytes that differ between two versions of the file.
int changedPages(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return -1;
    }
    int pages = 0;
    for (size_t p = 0; p < a.size(); p += 4096) {
        size_t n = std::min<size_t>(4096, a.size() - p);
        pages += a.compare(p, n, b, p, n) != 0;
    }
    return pages;
}

void setAdjustment(benchmark::State& state, iTunNORMTag::Search search, double& seconds) {
    int32_t hint = -1;
    double total = 0;
    int64_t count = 0;
    for (auto _ : state) {
        g_adjustment = -g_adjustment; // every call changes the value
        auto start = std::chrono::steady_clock::now();
        {
            iTunNORMTag tag;
            tag.open(g_path, hint, true, true, search);
            if (!tag.setAdjustment(g_adjustment)) {
                state.SkipWithError("the value did not change");
                break;
            }
        }
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++count;
    }
    seconds = count ? total / count : 0;
}

void BM_RawSetAdjustment(benchmark::State& state) {
    setAdjustment(state, iTunNORMTag::Search::RawThenTagLib, g_rawSeconds);
}
void BM_TagLibSetAdjustment(benchmark::State& state) {
    setAdjustment(state, iTunNORMTag::Search::TagLibOnly, g_tagLibSeconds);
}

BENCHMARK(BM_RawSetAdjustment)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TagLibSetAdjustment)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    auto folder = std::filesystem::temp_directory_path() / "sonorix-bench-tag-XXXXXX";
    std::string pattern = folder.string();
    if (!mkdtemp(pattern.data())) {
        return 1;
    }
    g_path = pattern + "/ten-megabytes.mp3";
    // 262 s at 320 kbit/s: about 10 MB.
    std::string command =
        "ffmpeg -nostdin -v error -y -f lavfi -i 'sine=frequency=440:duration=262' "
        "-ac 2 -c:a libmp3lame -b:a 320k -id3v2_version 3 -metadata title=Bench '" +
        g_path + "'";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "ffmpeg could not make the test file\n");
        return 1;
    }
    {
        int32_t hint = -1;
        iTunNORMTag tag;
        tag.open(g_path, hint, true, true);
        tag.setAdjustment(0.5);
    }
    std::printf("file: %.1f MB\n", std::filesystem::file_size(g_path) / 1e6);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();

    // One more write of each kind, to count the pages it changes.
    std::string before = readAll(g_path);
    int32_t hint = -1;
    {
        iTunNORMTag tag;
        tag.open(g_path, hint, true, true);
        tag.setAdjustment(7.25);
    }
    std::string afterRaw = readAll(g_path);
    {
        iTunNORMTag tag;
        tag.open(g_path, hint, true, true, iTunNORMTag::Search::TagLibOnly);
        tag.setAdjustment(-7.25);
    }
    std::string afterTagLib = readAll(g_path);

    std::printf("\nraw path:    %10.1f us per value-changing setAdjustment (open, write, close); "
                "pages changed: %d\n",
                g_rawSeconds * 1e6, changedPages(before, afterRaw));
    std::printf("TagLib path: %10.1f us per value-changing setAdjustment (verified copy, fsync, "
                "rename); file rewritten whole\n",
                g_tagLibSeconds * 1e6);
    if (g_rawSeconds > 0 && g_tagLibSeconds > 0) {
        std::printf("raw path is %.0fx faster (target: at least 100x)\n",
                    g_tagLibSeconds / g_rawSeconds);
    }
    (void)afterTagLib;
    std::filesystem::remove_all(pattern);
    benchmark::Shutdown();
    return 0;
}
