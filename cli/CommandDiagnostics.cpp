#include "cli/ModelCli.h"

#include "foundation/PropertyList.h"
#include "model/Diagnostics.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixPreferences.h"

#include <cstdio>
#include <cstring>

namespace sonorix::cli {

namespace {

// The rows the ids name, in the order given; false (after printing which) when one names nothing.
bool resolveRows(SonorixModel& model, const std::vector<std::string>& ids,
                 std::vector<diagnostics::Row>& rows) {
    for (const auto& text : ids) {
        diagnostics::Row row;
        std::shared_ptr<SonorixGroup> group;
        if (!findRow(model, text, row, group)) {
            std::fprintf(stderr,
                         "sonorix-cli: no track or album '%s' (see 'sonorix-cli list --ids')\n",
                         text.c_str());
            return false;
        }
        rows.push_back(row);
    }
    return true;
}

bool writeAll(std::FILE* stream, const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), stream) == text.size() &&
           std::fflush(stream) == 0;
}

} // namespace

int runDebug(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("debug");
        return kExitOk;
    }
    for (const auto& a : args) {
        if (!a.empty() && a[0] == '-') {
            return usageError("unknown option '" + a + "'");
        }
    }
    if (args.empty()) {
        return usageError("debug needs track ids or album keys ('list --ids' shows them)");
    }
    SonorixPreferences preferences;
    std::shared_ptr<SonorixModel> model;
    if (int status = loadModel(options, preferences, model)) {
        return status;
    }
    std::vector<diagnostics::Row> rows;
    if (!resolveRows(*model, args, rows)) {
        return kExitUsage;
    }
    auto lines = diagnostics::debugLines(*model, rows, preferences.perceivedLoudness());
    diagnostics::logDebugLines(lines);
    for (const auto& line : lines) {
        std::printf("%s\n", line.c_str());
    }
    return kExitOk;
}

int runExport(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("export");
        return kExitOk;
    }
    std::string file;
    std::string title;
    bool byGroup = false;
    std::vector<std::string> ids;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--group") {
            if (i + 1 >= args.size()) {
                return usageError("--group needs a group title");
            }
            byGroup = true;
            title = args[++i];
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return usageError("unknown option '" + args[i] + "'");
        } else if (file.empty()) {
            file = args[i];
        } else {
            ids.push_back(args[i]);
        }
    }
    if (file.empty()) {
        return usageError("export needs a file name ('-' for standard output)");
    }
    if (byGroup && !ids.empty()) {
        return usageError("export takes either --group or ids, not both");
    }
    SonorixPreferences preferences;
    std::shared_ptr<SonorixModel> model;
    if (int status = loadModel(options, preferences, model)) {
        return status;
    }
    std::vector<diagnostics::Row> rows;
    if (!ids.empty()) {
        if (!resolveRows(*model, ids, rows)) {
            return kExitUsage;
        }
    } else {
        std::vector<std::shared_ptr<SonorixGroup>> groups;
        if (byGroup) {
            auto group = findGroup(*model, title);
            if (!group) {
                return kExitUsage;
            }
            groups.push_back(group);
        } else {
            for (size_t i = 0; i < model->groups()->count(); ++i) {
                groups.push_back(model->groups()->groupAt(i));
            }
        }
        rows = diagnostics::exportRows(groups);
    }
    std::string text = diagnostics::csvExport(*model, rows, preferences.perceivedLoudness());
    if (file == "-") {
        if (!writeAll(stdout, text)) {
            std::fprintf(stderr, "sonorix-cli: could not write to standard output: %s\n",
                         std::strerror(errno));
            return kExitFailures;
        }
        return kExitOk;
    }
    int error = 0;
    if (!writeFileSafely(file, text, &error)) {
        std::fprintf(stderr, "sonorix-cli: could not write '%s': %s\n", file.c_str(),
                     std::strerror(error));
        return kExitFailures;
    }
    return kExitOk;
}

} // namespace sonorix::cli
