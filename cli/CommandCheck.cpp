#include "cli/ModelCli.h"
#include "cli/SonorixControllerConsole.h"
#include "cli/TrackChoice.h"

#include "itunes/iTunesTrack.h"
#include "model/HealthCheck.h"
#include "model/SonorixModel.h"

#include <cstdio>

namespace sonorix::cli {

namespace {

std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\0') {
            out += "\\0";
        } else if (c < 0x20) {
            out += '?';
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void printReport(const HealthReport& report) {
    std::printf("%s\n", report.path.c_str());
    if (!report.note.empty()) {
        std::printf("  %s\n", report.note.c_str());
    }
    if (!report.readable) {
        return;
    }
    for (const auto& place : report.soundCheck) {
        std::printf("  %-40s \"%s\"\n", place.where.c_str(), printable(place.text).c_str());
    }
    for (const auto& place : report.replayGain) {
        std::printf("  %-40s \"%s\"\n", place.where.c_str(), printable(place.text).c_str());
    }
    std::string problems;
    for (auto problem : report.problems) {
        problems += (problems.empty() ? "" : ", ") + std::string(problemName(problem));
    }
    if (!problems.empty()) {
        std::printf("  problems: %s\n", problems.c_str());
    }
}

} // namespace

int runCheck(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("check");
        return kExitOk;
    }
    bool fix = false;
    bool yes = false;
    bool everyFile = false;
    TrackChoice choice;
    if (int status = parseSwitchesAndChoice(
            args, {{"--fix", &fix}, {"--yes", &yes}, {"--all-files", &everyFile}}, choice)) {
        return status;
    }
    SonorixControllerConsole::Options consoleOptions;
    consoleOptions.global = options;
    consoleOptions.summaryKey = "CliSummaryRepair";
    if (choice.kind == "files") {
        consoleOptions.handedFiles = choice.rest;
    }
    auto console = SonorixControllerConsole::create(std::move(consoleOptions));
    return console->run([&](SonorixControllerConsole& c) -> int {
        std::vector<std::shared_ptr<iTunesTrack>> tracks;
        if (!chosenTracks(c, choice, tracks)) {
            return kExitUsage;
        }
        std::vector<HealthReport> reports;
        std::vector<std::shared_ptr<iTunesTrack>> repairable;
        size_t withProblems = 0;
        for (const auto& track : tracks) {
            HealthReport report = checkTrack(*c.model(), *track);
            const bool problem = report.repairable() ||
                                 report.has(HealthReport::kReplayGainDisagrees) || !report.readable;
            if (problem) {
                ++withProblems;
            }
            if (problem || everyFile) {
                printReport(report);
            }
            if (report.repairable()) {
                repairable.push_back(track);
            }
            reports.push_back(std::move(report));
        }
        std::printf("%zu files checked, %zu with problems, %zu repairable.\n", reports.size(),
                    withProblems, repairable.size());
        for (const auto& [problem, count] : totals(reports)) {
            std::printf("  %5zu × %s\n", count, problemName(problem));
        }
        if (!fix) {
            return withProblems > 0 ? kExitFailures : kExitOk;
        }
        if (repairable.empty()) {
            return kExitOk;
        }
        if (!yes && !confirm("Leave one well-formed Sound Check text in each of these " +
                             std::to_string(repairable.size()) + " files?")) {
            std::fprintf(stderr, "Nothing was changed.\n");
            return kExitOk;
        }
        c.repairTracks(repairable, true);
        return kExitOk;
    });
}

} // namespace sonorix::cli
