#include "cli/ModelCli.h"
#include "cli/SonorixControllerConsole.h"

#include "itunes/iTunesController.h"
#include "itunes/iTunesLibrary.h"
#include "itunes/iTunesTrack.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sonorix::cli {

namespace {

bool parseDecibels(const std::string& text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && errno != ERANGE && std::isfinite(value);
}

const char* modeWord(int32_t mode) {
    return mode == SonorixOptions::kIgnore ? "Ignore" : "Adjust Automatically";
}

} // namespace

int runSet(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("set");
        return kExitOk;
    }
    if (args.size() < 2) {
        return usageError("set needs an adjustment in dB and the ids of rows (see 'list --ids')");
    }
    double value = 0;
    if (!parseDecibels(args[0], value)) {
        return usageError("set needs an adjustment in dB, not '" + args[0] + "'");
    }
    std::vector<std::string> ids(args.begin() + 1, args.end());
    for (const auto& id : ids) {
        if (!id.empty() && id[0] == '-') {
            return usageError("unknown option '" + id + "'");
        }
    }
    SonorixControllerConsole::Options consoleOptions;
    consoleOptions.global = options;
    auto console = SonorixControllerConsole::create(std::move(consoleOptions));
    return console->run([&](SonorixControllerConsole& c) -> int {
        Selection selection;
        if (!resolveSelection(*c.model(), ids, selection)) {
            return kExitUsage;
        }
        const int32_t mode = selection.group->options().operationMode();
        if (mode != SonorixOptions::kAdjustManually) {
            std::fprintf(stderr,
                         "sonorix-cli: the group '%s' is set to '%s'; only rows of groups set to "
                         "'Adjust Manually' are set by hand (see 'group-options --mode')\n",
                         utf8(selection.group->title()).c_str(), modeWord(mode));
            return kExitUsage;
        }
        c.setCurrentGroup(selection.group, true);
        c.beginWork();
        // One final run at a time: a final run lets no other request in until it ended.
        for (const auto& item : selection.items) {
            auto album = std::dynamic_pointer_cast<SonorixAlbum>(item);
            auto track = std::dynamic_pointer_cast<iTunesTrack>(item);
            c.queueStep([&c, album, track, value] { c.adjustManually(album, track, value, true); });
        }
        return kExitOk;
    });
}

int runRemoveComments(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("remove-comments");
        return kExitOk;
    }
    bool interactive = false;
    std::vector<std::string> words;
    for (const auto& a : args) {
        if (a == "--interactive") {
            interactive = true;
        } else if (!a.empty() && a[0] == '-' && words.empty()) {
            return usageError("unknown option '" + a + "'");
        } else {
            words.push_back(a);
        }
    }
    std::string kind = words.empty() ? "all" : words[0];
    std::vector<std::string> rest;
    if (!words.empty()) {
        rest.assign(words.begin() + 1, words.end());
    }
    if (kind == "all") {
        if (!rest.empty()) {
            return usageError("'all' takes no arguments");
        }
    } else if (kind == "group") {
        if (rest.size() != 1) {
            return usageError("'group' takes one group title");
        }
    } else if (kind == "selected" || kind == "files") {
        if (rest.empty()) {
            return usageError("'" + kind + "' needs " +
                              (kind == "files" ? "audio file paths" : "track ids or album keys"));
        }
    } else {
        return usageError("unknown selection '" + kind + "' (all, group, selected, files)");
    }

    SonorixControllerConsole::Options consoleOptions;
    consoleOptions.global = options;
    consoleOptions.interactive = interactive;
    consoleOptions.commentsOnly = true;
    if (kind == "files") {
        consoleOptions.handedFiles = rest;
    }
    auto console = SonorixControllerConsole::create(std::move(consoleOptions));
    return console->run([&](SonorixControllerConsole& c) -> int {
        auto model = c.model();
        auto groups = model->groups();
        std::vector<OutlineItem> items;
        if (kind == "all") {
            for (size_t i = 0; i < groups->count(); ++i) {
                for (const auto& album : groups->groupAt(i)->albums()) {
                    items.push_back(album);
                }
            }
        } else if (kind == "group") {
            auto group = findGroup(*model, rest[0]);
            if (!group) {
                return kExitUsage;
            }
            c.setCurrentGroup(group, true);
            for (const auto& album : group->albums()) {
                items.push_back(album);
            }
        } else if (kind == "selected") {
            Selection selection;
            if (!resolveSelection(*model, rest, selection)) {
                return kExitUsage;
            }
            c.setCurrentGroup(selection.group, true);
            items = selection.items;
        } else if (auto iTunes = c.iTunes()) {
            try {
                for (const auto& track : iTunes->selectedTracks(*model->library())) {
                    items.push_back(track);
                }
            } catch (const SonorixModel::CantLoadiTunesException&) {
            }
            if (items.empty()) {
                std::fprintf(stderr, "sonorix-cli: none of these files is a track of the "
                                     "library\n");
                return kExitUsage;
            }
        }
        c.tracksTable().setSelectedItems(items);
        c.removeComments();
        return kExitOk;
    });
}

} // namespace sonorix::cli
