#include "cli/ModelCli.h"

#include "app/OutlinePresenter.h"
#include "app/OutlineSort.h"
#include "cli/SonorixControllerConsole.h"
#include "foundation/Text.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace sonorix::cli {

namespace {

void printRow(const OutlineRow& row, bool ids) {
    const std::string adjustment =
        row.errorText.empty() && !row.adjustment ? say("no data") : row.adjustmentText();
    if (ids) {
        std::printf("%-18s ", row.id.c_str());
    }
    if (row.kind == OutlineRow::Kind::Album) {
        std::printf("%-12s %-22s [%s] %s | %s\n", row.statusWord.c_str(), adjustment.c_str(),
                    utf8(row.title).c_str(), utf8(row.artist).c_str(), utf8(row.album).c_str());
        return;
    }
    std::printf("%s%-12s %-22s %s | %s | %s\n", row.inAlbum ? "    " : "", row.statusWord.c_str(),
                adjustment.c_str(), utf8(row.title).c_str(), utf8(row.artist).c_str(),
                utf8(row.album).c_str());
}

// One group's albums and tracks, with its status line above them.
void printGroup(const std::shared_ptr<SonorixModel>& model, SonorixGroup& group, bool ids) {
    std::printf("%s\n%s\n\n", sayf("Group: %s", utf8(group.title()).c_str()).c_str(),
                utf8(statusLine(&group)).c_str());
    for (const auto& row : OutlinePresenter(model).rows(group)) {
        printRow(row, ids);
    }
}

// "artist,title": the first column decides first.
bool parseColumns(const std::string& text, std::vector<int32_t>& columns) {
    static const char* const kNames[] = {"status", "title", "artist", "album", "adjustment"};
    columns.clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string name = text.substr(start, end - start);
        for (auto& c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        int32_t column = -1;
        for (int32_t i = 0; i < 5; ++i) {
            if (name == kNames[i]) {
                column = i;
            }
        }
        if (column < 0) {
            return false;
        }
        if (std::find(columns.begin(), columns.end(), column) == columns.end()) {
            columns.push_back(column);
        }
        start = end + 1;
    }
    return !columns.empty();
}

} // namespace

int runList(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("list");
        return kExitOk;
    }
    std::string title;
    std::string search;
    bool check = false;
    bool ids = false;
    bool all = false;
    bool descending = false;
    std::vector<int32_t> columns;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--descending") {
            descending = true;
        } else if (args[i] == "--sort" && i + 1 < args.size()) {
            if (!parseColumns(args[++i], columns)) {
                return usageError(sayf("--sort takes columns from status, title, artist, album, "
                                       "adjustment, separated by commas, not '%s'",
                                       args[i].c_str()));
            }
        } else if (args[i] == "--check") {
            check = true;
        } else if (args[i] == "--ids") {
            ids = true;
        } else if (args[i] == "--all") {
            all = true;
        } else if ((args[i] == "--group" || args[i] == "--search") && i + 1 < args.size()) {
            (args[i] == "--group" ? title : search) = args[i + 1];
            ++i;
        } else {
            return usageError(sayf("unexpected argument '%s'", args[i].c_str()));
        }
    }
    SonorixControllerConsole::Options consoleOptions;
    consoleOptions.global = options;
    auto console = SonorixControllerConsole::create(std::move(consoleOptions));
    return console->run([&](SonorixControllerConsole& c) -> int {
        auto model = c.model();
        std::vector<std::shared_ptr<SonorixGroup>> groups;
        if (all) {
            for (size_t i = 0; i < model->groups()->count(); ++i) {
                groups.push_back(model->groups()->groupAt(i));
            }
        } else if (auto group = findGroup(*model, title)) {
            groups.push_back(group);
        } else {
            return kExitUsage;
        }
        std::shared_ptr<const TrackSortOptions> sort;
        if (!columns.empty() || descending) {
            sort = std::make_shared<OutlineSortOptions>(model, columns, descending);
        }
        for (const auto& group : groups) {
            group->setSearchText(toUtf16(search));
            group->setSortOptions(sort);
        }
        auto print = [model, groups, ids] {
            for (size_t i = 0; i < groups.size(); ++i) {
                if (i > 0) {
                    std::printf("\n");
                }
                printGroup(model, *groups[i], ids);
            }
        };
        if (!check) {
            print();
            return kExitOk;
        }
        // The rows are printed once every group's files were read.
        c.hold();
        auto pending = std::make_shared<size_t>(groups.size());
        for (const auto& group : groups) {
            c.checkTags(group, [&c, pending, print] {
                if (--*pending == 0) {
                    print();
                    c.release(kExitOk);
                }
            });
        }
        return kExitOk;
    });
}

} // namespace sonorix::cli
