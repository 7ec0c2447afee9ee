#include "cli/ModelCli.h"
#include "cli/PreviewTable.h"
#include "cli/SonorixControllerConsole.h"

#include "foundation/Localization.h"
#include "foundation/Text.h"
#include "itunes/iTunesLibrary.h"
#include "itunes/iTunesTrack.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "processing/AdjustmentPlan.h"

#include <cstdio>
#include <cstdlib>

namespace sonorix::cli {

namespace {

struct ParsedAdjust {
    bool interactive = false;
    bool dryRun = false;
    bool replayGain = false;
    int32_t mode = SonorixController::kModeAll;
    std::string groupTitle;
    std::vector<std::string> ids;
    std::vector<std::string> files;
};

int parseAdjust(const std::vector<std::string>& args, ParsedAdjust& parsed) {
    std::vector<std::string> words;
    for (const auto& a : args) {
        if (a == "--interactive") {
            parsed.interactive = true;
        } else if (a == "--dry-run") {
            parsed.dryRun = true;
        } else if (a == "--replaygain") {
            parsed.replayGain = true;
        } else if (!a.empty() && a[0] == '-' && words.empty()) {
            return usageError("unknown option '" + a + "'");
        } else {
            words.push_back(a);
        }
    }
    if (words.empty() || words[0] == "all") {
        if (words.size() > 1) {
            return usageError("'all' takes no arguments");
        }
        return kExitOk;
    }
    std::vector<std::string> rest(words.begin() + 1, words.end());
    if (words[0] == "group") {
        if (rest.size() != 1) {
            return usageError("'group' takes one group title");
        }
        parsed.mode = SonorixController::kModeCurrentGroup;
        parsed.groupTitle = rest[0];
    } else if (words[0] == "selected") {
        if (rest.empty()) {
            return usageError("'selected' needs track ids or album keys");
        }
        parsed.mode = SonorixController::kModeSelectedInSonorix;
        parsed.ids = rest;
    } else if (words[0] == "files") {
        if (rest.empty()) {
            return usageError("'files' needs audio file paths");
        }
        parsed.mode = SonorixController::kModeSelectedInITunes;
        parsed.files = rest;
    } else {
        return usageError("unknown selection '" + words[0] + "' (all, group, selected, files)");
    }
    return kExitOk;
}

} // namespace

int runAdjust(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("adjust");
        return kExitOk;
    }
    ParsedAdjust parsed;
    if (int status = parseAdjust(args, parsed)) {
        return status;
    }
    SonorixControllerConsole::Options consoleOptions;
    consoleOptions.global = options;
    consoleOptions.interactive = parsed.interactive;
    consoleOptions.handedFiles = parsed.files;
    consoleOptions.noSummary = parsed.dryRun;
    auto console = SonorixControllerConsole::create(std::move(consoleOptions));
    SonorixController::RunOptions runOptions;
    runOptions.replayGain = parsed.replayGain;
    if (parsed.dryRun) {
        runOptions.preview = std::make_shared<AdjustmentPreview>();
    }
    const int status = console->run([&parsed, &runOptions](SonorixControllerConsole& c) -> int {
        auto model = c.model();
        switch (parsed.mode) {
        case SonorixController::kModeCurrentGroup: {
            auto group = findGroup(*model, parsed.groupTitle);
            if (!group) {
                return kExitUsage;
            }
            c.setCurrentGroup(group, true);
            break;
        }
        case SonorixController::kModeSelectedInSonorix: {
            Selection selection;
            if (!resolveSelection(*model, parsed.ids, selection)) {
                return kExitUsage;
            }
            c.setCurrentGroup(selection.group, true);
            c.tracksTable().setSelectedItems(selection.items);
            break;
        }
        default:
            break;
        }
        c.startAdjusting(parsed.mode, runOptions);
        return kExitOk;
    });
    if (runOptions.preview && status != kExitInterrupted) {
        printPreview(*runOptions.preview);
    }
    return status;
}

int runForget(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("forget");
        return kExitOk;
    }
    bool interactive = false;
    std::vector<std::string> ids;
    for (const auto& a : args) {
        if (a == "--interactive") {
            interactive = true;
        } else if (!a.empty() && a[0] == '-') {
            return usageError("unknown option '" + a + "'");
        } else {
            ids.push_back(a);
        }
    }
    bool all = ids.empty() || (ids.size() == 1 && ids[0] == "all");
    SonorixControllerConsole::Options consoleOptions;
    consoleOptions.global = options;
    consoleOptions.interactive = interactive;
    auto console = SonorixControllerConsole::create(std::move(consoleOptions));
    return console->run([&](SonorixControllerConsole& c) -> int {
        if (all) {
            c.forgetResults(false);
        } else {
            Selection selection;
            if (!resolveSelection(*c.model(), ids, selection)) {
                return kExitUsage;
            }
            c.setCurrentGroup(selection.group, true);
            c.tracksTable().setSelectedItems(selection.items);
            c.forgetResults(true);
        }
        return kExitOk;
    });
}

} // namespace sonorix::cli
