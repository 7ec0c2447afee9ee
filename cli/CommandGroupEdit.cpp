#include "cli/ModelCli.h"
#include "cli/SonorixControllerConsole.h"

#include "foundation/Text.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"

#include <cstdio>

namespace sonorix::cli {

namespace {

int64_t positionOf(SonorixModel& model, const std::shared_ptr<SonorixGroup>& group) {
    auto groups = model.groups();
    for (size_t i = 0; i < groups->count(); ++i) {
        if (groups->groupAt(i) == group) {
            return static_cast<int64_t>(i);
        }
    }
    return -1;
}

// Titles name groups on the command line, so two groups may not share one.
bool titleIsFree(SonorixModel& model, const std::string& title,
                 const std::shared_ptr<SonorixGroup>& except = nullptr) {
    auto other = model.groups()->groupWithTitle(toUtf16(title));
    if (other && other != except) {
        std::fprintf(stderr, "sonorix-cli: there is a group named '%s' already\n",
                     utf8(other->title()).c_str());
        return false;
    }
    return true;
}

bool refuseDefaultGroup(SonorixModel& model, const std::shared_ptr<SonorixGroup>& group,
                        const char* what) {
    if (group == model.groups()->groupAt(0)) {
        std::fprintf(stderr, "sonorix-cli: the default group '%s' cannot be %s\n",
                     utf8(group->title()).c_str(), what);
        return true;
    }
    return false;
}

SonorixControllerConsole::Options consoleOptionsFor(const GlobalOptions& options,
                                                    bool interactive = false) {
    SonorixControllerConsole::Options consoleOptions;
    consoleOptions.global = options;
    consoleOptions.interactive = interactive;
    return consoleOptions;
}

bool hasOption(const std::vector<std::string>& args) {
    for (const auto& a : args) {
        if (!a.empty() && a[0] == '-') {
            return usageError("unknown option '" + a + "'"), true;
        }
    }
    return false;
}

} // namespace

int runGroupNew(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("group-new");
        return kExitOk;
    }
    if (args.empty() || args[0].empty()) {
        return usageError("group-new needs a title");
    }
    if (hasOption(args)) {
        return kExitUsage;
    }
    const std::string title = args[0];
    const std::vector<std::string> ids(args.begin() + 1, args.end());
    auto console = SonorixControllerConsole::create(consoleOptionsFor(options));
    return console->run([&](SonorixControllerConsole& c) -> int {
        auto model = c.model();
        if (!titleIsFree(*model, title)) {
            return kExitUsage;
        }
        if (!ids.empty()) {
            Selection selection;
            if (!resolveSelection(*model, ids, selection)) {
                return kExitUsage;
            }
            c.setCurrentGroup(selection.group, true);
            c.tracksTable().setSelectedItems(selection.items);
        }
        auto group = c.newGroup();
        if (!group || !c.renameGroup(group, toUtf16(title))) {
            return kExitFailures;
        }
        std::printf("%lld\t%s\t%zu\n", static_cast<long long>(positionOf(*model, group)),
                    utf8(group->title()).c_str(), group->trackCount());
        return kExitOk;
    });
}

int runGroupDelete(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("group-delete");
        return kExitOk;
    }
    bool yes = false;
    std::vector<std::string> words;
    for (const auto& a : args) {
        if (a == "--yes" || a == "-y") {
            yes = true;
        } else {
            words.push_back(a);
        }
    }
    if (words.size() != 1) {
        return usageError("group-delete takes one group title");
    }
    if (hasOption(words)) {
        return kExitUsage;
    }
    auto console = SonorixControllerConsole::create(consoleOptionsFor(options, !yes));
    return console->run([&](SonorixControllerConsole& c) -> int {
        auto model = c.model();
        auto group = findGroup(*model, words[0]);
        if (!group || refuseDefaultGroup(*model, group, "deleted")) {
            return kExitUsage;
        }
        c.setCurrentGroup(group, true);
        if (!c.deleteGroup()) {
            std::fprintf(stderr, "sonorix-cli: the group '%s' was kept\n",
                         utf8(group->title()).c_str());
            return kExitFailures;
        }
        return kExitOk;
    });
}

int runMove(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("move");
        return kExitOk;
    }
    std::string target;
    bool haveTarget = false;
    std::vector<std::string> ids;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--to") {
            if (i + 1 >= args.size()) {
                return usageError("--to needs a group title");
            }
            target = args[++i];
            haveTarget = true;
        } else {
            ids.push_back(args[i]);
        }
    }
    if (!haveTarget || ids.empty()) {
        return usageError("move needs ids (see 'list --ids') and --to TITLE");
    }
    if (hasOption(ids)) {
        return kExitUsage;
    }
    auto console = SonorixControllerConsole::create(consoleOptionsFor(options));
    return console->run([&](SonorixControllerConsole& c) -> int {
        auto model = c.model();
        auto group = findGroup(*model, target);
        Selection selection;
        if (!group || !resolveSelection(*model, ids, selection)) {
            return kExitUsage;
        }
        if (group == selection.group) {
            std::fprintf(stderr, "sonorix-cli: these rows are in the group '%s' already\n",
                         utf8(group->title()).c_str());
            return kExitOk;
        }
        c.setCurrentGroup(selection.group, true);
        c.tracksTable().setSelectedItems(selection.items);
        if (!c.moveToGroup(static_cast<size_t>(positionOf(*model, group)))) {
            return kExitFailures;
        }
        return kExitOk;
    });
}

int runGroupRename(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("group-rename");
        return kExitOk;
    }
    if (args.size() != 2 || args[1].empty()) {
        return usageError("group-rename takes the old and the new title");
    }
    auto console = SonorixControllerConsole::create(consoleOptionsFor(options));
    return console->run([&](SonorixControllerConsole& c) -> int {
        auto model = c.model();
        auto group = findGroup(*model, args[0]);
        if (!group || refuseDefaultGroup(*model, group, "renamed") ||
            !titleIsFree(*model, args[1], group)) {
            return kExitUsage;
        }
        return c.renameGroup(group, toUtf16(args[1])) ? kExitOk : kExitFailures;
    });
}

} // namespace sonorix::cli
