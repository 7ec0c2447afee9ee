#include "cli/Cli.h"

#include "model/SonorixPreferences.h"

#include <cstdio>

namespace sonorix::cli {

namespace {

const char* typeName(SettingType type) {
    switch (type) {
    case SettingType::Real:
        return "number";
    case SettingType::Boolean:
        return "true/false";
    case SettingType::Text:
        return "text";
    case SettingType::Integer16:
        return "whole number";
    case SettingType::LocationMap:
        return "FROM TO pairs";
    }
    return "";
}

void printSetting(const SonorixPreferences& preferences, const SettingInfo& setting) {
    std::printf("%-24s = %s%s\n", setting.key, preferences.displayValue(setting).c_str(),
                preferences.isSet(setting) ? "" : "  (default)");
}

} // namespace

int runConfig(const GlobalOptions&, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        std::printf("Usage: sonorix-cli config [KEY [VALUE...]]\n\n"
                    "Without KEY lists every setting; with KEY shows it; with a VALUE stores it\n"
                    "in sonorix.plist of the data folder. Settings:\n");
        for (const auto& setting : settingsTable()) {
            std::printf("  %-24s %s (default %s)\n", setting.key, typeName(setting.type),
                        *setting.defaultText ? setting.defaultText : "empty");
        }
        std::printf("\nLocationPrefixMap takes FROM TO pairs, tried in order; \"\" clears it.\n");
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
        return usageError("unknown setting '" + args[0] + "' (see 'sonorix-cli config --help')");
    }
    if (args.size() == 1) {
        printSetting(preferences, *setting);
        return kExitOk;
    }
    std::string error;
    if (!preferences.setFromText(*setting, {args.begin() + 1, args.end()}, error)) {
        return usageError(error);
    }
    if (!preferences.save()) {
        std::fprintf(stderr, "sonorix-cli: could not write '%s'\n", preferences.path().c_str());
        return kExitFailures;
    }
    printSetting(preferences, *setting);
    return kExitOk;
}

} // namespace sonorix::cli
