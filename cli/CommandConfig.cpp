#include "cli/Cli.h"

#include "foundation/Localization.h"
#include "foundation/Text.h"
#include "itunes/iTunesBackendLibraryFile.h"
#include "itunes/iTunesLibrary.h"
#include "model/SonorixPreferences.h"

#include <cstdio>

namespace sonorix::cli {

namespace {

// The key of the type's name in the help text.
const char* typeNameKey(SettingType type) {
    switch (type) {
    case SettingType::Real:
        return "CliTypeNumber";
    case SettingType::Boolean:
        return "CliTypeBoolean";
    case SettingType::Text:
        return "CliTypeText";
    case SettingType::Integer16:
        return "CliTypeWholeNumber";
    case SettingType::LocationMap:
        return "CliTypeLocationMap";
    }
    return "";
}

void printSetting(const SonorixPreferences& preferences, const SettingInfo& setting) {
    std::printf("%-24s = %s%s\n", setting.key, preferences.displayValue(setting).c_str(),
                preferences.isSet(setting) ? "" : say("  (default)").c_str());
}

// A prefix that matches none of the library's locations is most often a typing slip; it would
// only show later as files not found.
void warnUnusedPrefixes(const GlobalOptions& options, const SonorixPreferences& preferences) {
    auto map = preferences.locationPrefixMap();
    if (map.empty()) {
        return;
    }
    std::string path = iTunesBackendLibraryFile::findLibraryFile(
        options.library, preferences.iTunesLibraryXMLPath());
    if (path.empty()) {
        return;
    }
    std::shared_ptr<iTunesLibrary> library;
    try {
        library = iTunesLibrary::load(path);
    } catch (const std::exception&) {
        return; // the commands that use the library say why it cannot be read
    }
    std::vector<bool> used(map.size(), false);
    for (const auto& [id, track] : library->tracks()) {
        std::string location;
        try {
            location = pathFromLocation(toUtf8(track->location()));
        } catch (const std::exception&) {
            continue;
        }
        for (size_t i = 0; i < map.size(); ++i) {
            if (locationPrefixMatches(location, map[i].first)) {
                used[i] = true;
                break; // only the first matching prefix is applied
            }
        }
    }
    for (size_t i = 0; i < map.size(); ++i) {
        if (!used[i]) {
            std::fprintf(
                stderr, "sonorix-cli: %s\n",
                sayf("warning: '%s' maps no track of %s", map[i].first.c_str(), path.c_str())
                    .c_str());
        }
    }
}

} // namespace

int runConfig(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        std::string settings;
        for (const auto& setting : settingsTable()) {
            settings +=
                formatString(localizedString("CliHelpSetting").c_str(), setting.key,
                             localizedString(typeNameKey(setting.type)).c_str(),
                             *setting.defaultText ? setting.defaultText
                                                  : localizedString("CliHelpEmpty").c_str());
        }
        std::fputs(
            formatString(localizedString("CliHelp_config").c_str(), settings.c_str()).c_str(),
            stdout);
        return kExitOk;
    }
    SonorixPreferences preferences;
    preferences.load();
    if (args.empty()) {
        for (const auto& setting : settingsTable()) {
            printSetting(preferences, setting);
        }
        return kExitOk;
    }
    const SettingInfo* setting = findSetting(args[0]);
    if (!setting) {
        return usageError(
            sayf("unknown setting '%s' (see 'sonorix-cli config --help')", args[0].c_str()));
    }
    if (args.size() == 1) {
        printSetting(preferences, *setting);
        if (setting->type == SettingType::LocationMap) {
            warnUnusedPrefixes(options, preferences);
        }
        return kExitOk;
    }
    std::string error;
    if (!preferences.setFromText(*setting, {args.begin() + 1, args.end()}, error)) {
        return usageError(error);
    }
    if (!preferences.save()) {
        std::fprintf(stderr, "sonorix-cli: %s\n",
                     sayf("could not write '%s'", preferences.path().c_str()).c_str());
        return kExitFailures;
    }
    printSetting(preferences, *setting);
    if (setting->type == SettingType::LocationMap) {
        warnUnusedPrefixes(options, preferences);
    }
    return kExitOk;
}

} // namespace sonorix::cli
