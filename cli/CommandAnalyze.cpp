#include "audio/TrackAnalysis.h"
#include "cli/Cli.h"
#include "foundation/Localization.h"
#include "foundation/Threads.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace sonorix::cli {

namespace {

std::string formatLength(int64_t frames) {
    double seconds = frames / 44100.0;
    int minutes = static_cast<int>(seconds / 60);
    char text[32];
    std::snprintf(text, sizeof text, "%d:%05.2f", minutes, seconds - minutes * 60.0);
    return text;
}

// The texts the window shows for these failures.
std::string errorText(AnalysisError error) {
    switch (error) {
    case AnalysisError::None:
        break;
    case AnalysisError::FileNotFound:
        return localizedString("Error_File_NotFound");
    case AnalysisError::DecodeError:
        return localizedString("Error_Decode");
    case AnalysisError::Protected:
        return localizedString("Error_Protected");
    case AnalysisError::TooShort:
        return localizedString("Error_Analyze");
    case AnalysisError::NotRegularFile:
        return localizedString("Error_File_NotRegular");
    }
    return analysisErrorText(error);
}

} // namespace

int runAnalyze(const GlobalOptions&, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("analyze");
        return kExitOk;
    }
    bool tsv = false;
    bool gstreamer = false;
    int threads = numberOfActiveProcessors();
    std::vector<std::string> files;
    bool optionsDone = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsDone || a.empty() || a[0] != '-' || a == "-") {
            files.push_back(a);
        } else if (a == "--") {
            optionsDone = true;
        } else if (a == "--format" || a == "--threads") {
            if (i + 1 >= args.size()) {
                return usageError(
                    formatString(localizedString("CliNeedsValue").c_str(), a.c_str()));
            }
            const std::string& v = args[++i];
            if (a == "--format") {
                if (v != "tsv" && v != "human") {
                    return usageError(sayf("unknown format '%s' (human or tsv)", v.c_str()));
                }
                tsv = v == "tsv";
            } else {
                try {
                    threads = std::stoi(v);
                } catch (...) {
                    threads = 0;
                }
                if (threads < 1 || threads > 1024) {
                    return usageError(say("--threads needs a number from 1 to 1024"));
                }
            }
        } else if (a == "--gstreamer") {
            gstreamer = true;
        } else {
            return usageError(sayf("unknown option '%s' for %s", a.c_str(), "analyze"));
        }
    }
    if (files.empty()) {
        return usageError(sayf("%s needs at least one FILE", "analyze"));
    }

    std::vector<std::optional<TrackAnalysis>> results(files.size());
    std::mutex mutex;
    std::condition_variable ready;
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i; (i = next++) < files.size();) {
            TrackAnalysis r = analyzeFile(files[i], gstreamer);
            std::lock_guard lock(mutex);
            results[i] = r;
            ready.notify_all();
        }
    };
    std::vector<std::thread> pool;
    threads = std::min<int>(threads, static_cast<int>(files.size()));
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back(worker);
    }

    if (tsv) {
        std::printf("path\tgain_db\tpeak\tframes\terror\n");
    }
    bool anyFailed = false;
    for (size_t i = 0; i < files.size(); ++i) {
        TrackAnalysis r;
        {
            std::unique_lock lock(mutex);
            ready.wait(lock, [&] { return results[i].has_value(); });
            r = *results[i];
        }
        const bool failed = r.error != AnalysisError::None;
        anyFailed |= failed;
        const char* path = files[i].c_str();
        if (tsv) {
            const std::string field = tsvField(files[i]);
            if (failed) {
                std::printf("%s\t\t\t%lld\t%s\n", field.c_str(), static_cast<long long>(r.frames),
                            analysisErrorText(r.error));
            } else {
                std::printf("%s\t%s\t%.2f\t%lld\t\n", field.c_str(),
                            decimalText(r.gain, 4, false).c_str(), r.peak,
                            static_cast<long long>(r.frames));
            }
        } else if (failed) {
            std::printf("%s: %s\n", path, errorText(r.error).c_str());
        } else {
            std::printf("%s\n",
                        sayf("%s: %s dB, peak %.2f, length %s", path,
                             decimalText(r.gain, 2).c_str(), r.peak, formatLength(r.frames).c_str())
                            .c_str());
        }
        std::fflush(stdout);
    }
    for (auto& t : pool) {
        t.join();
    }
    return anyFailed ? kExitFailures : kExitOk;
}

} // namespace sonorix::cli
