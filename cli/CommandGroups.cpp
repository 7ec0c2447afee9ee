#include "cli/ModelCli.h"

#include "cli/ITunesCli.h"
#include "itunes/iTunesController.h"

#include "foundation/Localization.h"
#include "foundation/Text.h"
#include "itunes/iTunesLibrary.h"
#include "model/ModelText.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixPreferences.h"
#include "model/TextCompare.h"

#include <boost/lexical_cast.hpp>

#include <cstdio>
#include <cstdlib>

namespace sonorix::cli {

std::string utf8(const std::u16string& text) {
    return toUtf8(text);
}

int loadModel(const GlobalOptions& options, SonorixPreferences& preferences,
              std::shared_ptr<SonorixModel>& model) {
    ITunesConnection connection;
    return loadModel(options, preferences, model, connection);
}

int loadModel(const GlobalOptions& options, SonorixPreferences& preferences,
              std::shared_ptr<SonorixModel>& model, ITunesConnection& connection) {
    preferences.load();
    int status = connectITunes(options, preferences, connection);
    if (status != kExitOk) {
        return status;
    }
    std::string path;
    try {
        path = connection.controller->libraryXMLPath();
    } catch (const SonorixModel::CantLoadiTunesException&) {
        return reportStartupError(connection, SonorixModel::kCantLoadiTunes);
    }
    model = SonorixModel::create();
    SonorixModel::setCurrent(model);
    auto result = model->loadForStartUp(path, preferences.locationPrefixMap(),
                                        connection.controller->trackFactory());
    if (result == SonorixModel::kLoaded) {
        return kExitOk;
    }
    return reportStartupError(connection, result, path);
}

std::shared_ptr<SonorixGroup> findGroup(SonorixModel& model, const std::string& title) {
    auto groups = model.groups();
    if (title.empty()) {
        return groups->groupAt(0);
    }
    if (auto group = groups->groupWithTitle(toUtf16(title))) {
        return group;
    }
    std::fprintf(stderr, "sonorix-cli: %s\n",
                 sayf("no group named '%s' (see 'sonorix-cli groups')", title.c_str()).c_str());
    return nullptr;
}

namespace {

const char* operationModeText(int32_t mode) {
    switch (mode) {
    case 0:
        return "|Adjust Automatically";
    case 1:
        return "|Adjust Manually";
    case 2:
        return "|Ignore";
    default:
        return "?";
    }
}

const char* albumModeText(int32_t mode) {
    switch (mode) {
    case 0:
        return "|Adjust Each Song Separately";
    case 1:
        return "|Combine Albums and Groupings";
    case 2:
        return "|Combine Albums";
    case 3:
        return "|Combine All Songs of this Group";
    default:
        return "?";
    }
}

std::string text(const char* key) {
    return utf8(modelText(key));
}

void printGroup(size_t position, SonorixGroup& group) {
    auto options = group.options();
    auto q = options.queries();
    std::printf("%zu\t%s\t%s\t%s\t%zu\t%zu\n", position, utf8(group.title()).c_str(),
                text(operationModeText(q.operationMode)).c_str(),
                text(albumModeText(q.rules.albumMode)).c_str(), group.trackCount(),
                group.albums().size());
}

bool parseFlag(const std::string& text, bool& value) {
    if (text == "true" || text == "1" || text == "yes") {
        value = true;
    } else if (text == "false" || text == "0" || text == "no") {
        value = false;
    } else {
        return false;
    }
    return true;
}

} // namespace

int runGroups(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("groups");
        return kExitOk;
    }
    if (!args.empty()) {
        return usageError(sayf("%s takes no arguments", "groups"));
    }
    SonorixPreferences preferences;
    std::shared_ptr<SonorixModel> model;
    if (int status = loadModel(options, preferences, model)) {
        return status;
    }
    auto groups = model->groups();
    std::printf("%s\n", say("#\tTitle\tMode\tAlbum mode\tTracks\tAlbums").c_str());
    for (size_t i = 0; i < groups->count(); ++i) {
        printGroup(i, *groups->groupAt(i));
    }
    return kExitOk;
}

int runGroupOptions(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("group-options");
        return kExitOk;
    }
    std::string title;
    std::vector<std::pair<std::string, std::string>> changes;
    for (size_t i = 0; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) {
            return usageError(
                formatString(localizedString("CliNeedsValue").c_str(), args[i].c_str()));
        }
        if (args[i] == "--group") {
            title = args[i + 1];
        } else {
            changes.emplace_back(args[i], args[i + 1]);
        }
    }
    SonorixPreferences preferences;
    std::shared_ptr<SonorixModel> model;
    if (int status = loadModel(options, preferences, model)) {
        return status;
    }
    auto group = findGroup(*model, title);
    if (!group) {
        return kExitUsage;
    }
    SonorixOptions groupOptions = group->options();
    for (const auto& [option, value] : changes) {
        bool flag = false;
        try {
            if (option == "--mode") {
                int mode = boost::lexical_cast<int>(value);
                if (mode < 0 || mode > 2) {
                    return usageError(say("--mode takes 0, 1 or 2"));
                }
                groupOptions.setOperationMode(mode);
            } else if (option == "--album-mode") {
                int mode = boost::lexical_cast<int>(value);
                if (mode < 0 || mode > 3) {
                    return usageError(say("--album-mode takes 0, 1, 2 or 3"));
                }
                groupOptions.setAlbumMode(mode);
            } else if (option == "--additional") {
                groupOptions.setAdditionalPerceivedLoudness(boost::lexical_cast<double>(value));
            } else if (option == "--gapless-always" || option == "--compilations-apart" ||
                       option == "--multiple-cd") {
                if (!parseFlag(value, flag)) {
                    return usageError(sayf("%s takes true or false", option.c_str()));
                }
                if (option == "--gapless-always") {
                    groupOptions.setGaplessAlwaysAlbums(flag);
                } else if (option == "--compilations-apart") {
                    groupOptions.setCompilationsNotAlbums(flag);
                } else {
                    groupOptions.setMultipleCDAlbums(flag);
                }
            } else {
                return usageError(
                    formatString(localizedString("CliUnknownOption").c_str(), option.c_str()));
            }
        } catch (const boost::bad_lexical_cast&) {
            return usageError(sayf("%s takes a number, not '%s'", option.c_str(), value.c_str()));
        }
    }
    if (!changes.empty()) {
        group->markAlbumsDirty();
        if (!model->save()) {
            std::fprintf(stderr, "sonorix-cli: %s\n",
                         sayf("could not write '%s'", model->modelPath().c_str()).c_str());
            return kExitFailures;
        }
    }
    auto q = groupOptions.queries();
    std::printf("%s\n", sayf("Group: %s", utf8(group->title()).c_str()).c_str());
    std::printf("OperationMode               %d (%s)\n", q.operationMode,
                text(operationModeText(q.operationMode)).c_str());
    std::printf("AlbumMode                   %d (%s)\n", q.rules.albumMode,
                text(albumModeText(q.rules.albumMode)).c_str());
    std::printf("GaplessAlwaysAlbums         %s\n", q.rules.gaplessAlwaysAlbums ? "true" : "false");
    std::printf("CompilationsNotAlbums       %s\n",
                q.rules.compilationsNotAlbums ? "true" : "false");
    std::printf("MultipleCDAlbums            %s\n", q.rules.multipleCDAlbums ? "true" : "false");
    std::printf("AdditionalPerceivedLoudness %s dB\n",
                decimalText(q.additionalLoudness, 1).c_str());
    std::printf("%s\n", utf8(statusLine(group.get())).c_str());
    return kExitOk;
}

} // namespace sonorix::cli
