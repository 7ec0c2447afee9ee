#include "cli/ModelCli.h"
#include "cli/SonorixControllerConsole.h"
#include "cli/TrackChoice.h"

#include "itunes/iTunesTrack.h"
#include "model/SonorixModel.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"
#include "processing/RestoreTrack.h"

#include <cstdio>

namespace sonorix::cli {

int runRestore(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("restore");
        return kExitOk;
    }
    bool yes = false;
    bool interactive = false;
    TrackChoice choice;
    if (int status = parseSwitchesAndChoice(
            args, {{"--yes", &yes}, {"--interactive", &interactive}}, choice)) {
        return status;
    }
    SonorixControllerConsole::Options consoleOptions;
    consoleOptions.global = options;
    consoleOptions.interactive = interactive;
    consoleOptions.summaryKey = "CliSummaryRestore";
    if (choice.kind == "files") {
        consoleOptions.handedFiles = choice.rest;
    }
    auto console = SonorixControllerConsole::create(std::move(consoleOptions));
    return console->run([&](SonorixControllerConsole& c) -> int {
        std::vector<std::shared_ptr<iTunesTrack>> tracks;
        if (!chosenTracks(c, choice, tracks)) {
            return kExitUsage;
        }
        size_t back = 0;
        size_t removed = 0;
        size_t unknown = 0;
        auto library = c.model()->statusLibrary();
        for (const auto& track : tracks) {
            auto status = library->trackStatus(ta::persistentId(*track), false);
            SoundCheckValues backup{};
            switch (status ? restoreActionOf(*status, backup) : RestoreAction::Unknown) {
            case RestoreAction::WriteBackup:
                ++back;
                break;
            case RestoreAction::RemoveText:
                ++removed;
                break;
            case RestoreAction::Unknown:
                ++unknown;
                break;
            }
        }
        std::fprintf(stderr,
                     "%zu tracks: %zu get their first Sound Check values back, %zu lose the text "
                     "Sonorix added, %zu were never seen with one and keep what they have; "
                     "comment stamps are removed.\n",
                     tracks.size(), back, removed, unknown);
        if (tracks.empty()) {
            return kExitOk;
        }
        if (!yes && !confirm("Restore these files?")) {
            std::fprintf(stderr, "Nothing was changed.\n");
            return kExitOk;
        }
        c.restoreTracks(tracks, true);
        return kExitOk;
    });
}

} // namespace sonorix::cli
