#include "cli/Cli.h"

#include "foundation/BuildVersion.h"
#include "foundation/InstanceLock.h"
#include "foundation/Localization.h"
#include "foundation/Log.h"
#include "foundation/Paths.h"
#include "foundation/Text.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

namespace sonorix::cli {

bool wantsHelp(const std::vector<std::string>& args) {
    for (const auto& a : args) {
        if (a == "--help" || a == "-h") {
            return true;
        }
    }
    return false;
}

void printCommandHelp(const std::string& command) {
    std::fputs(sonorix::localizedString("CliHelp_" + command).c_str(), stdout);
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "sonorix-cli: %s\n%s\n", message.c_str(),
                 sonorix::localizedString("CliTryHelp").c_str());
    return kExitUsage;
}

} // namespace sonorix::cli

namespace {

using namespace sonorix::cli;

using sonorix::formatString;
using sonorix::localizedString;

void printUsage() {
    std::printf("%s\n\n%s\n", localizedString("CliUsage").c_str(),
                localizedString("CliCommands").c_str());
    // A summary is written in English in the command table; its translations are found under
    // "|" + that text, and a summary without one is shown in English.
    for (const auto& c : commands()) {
        std::printf("  %-15s %s\n", c.name, localizedString("|" + std::string(c.summary)).c_str());
    }
    std::printf("\n%s\n\n%s\n\n%s\n", localizedString("CliOptions").c_str(),
                localizedString("CliExitStatus").c_str(),
                localizedString("CliCommandHelp").c_str());
}

// Applies --language: a display name from the language list in any letter case, or a locale
// code.
bool chooseLanguage(const std::string& wanted) {
    auto& l10n = sonorix::Localization::shared();
    std::string name = l10n.languageNamed(wanted);
    if (name.empty()) {
        std::string available;
        for (const auto& n : l10n.languageNames()) {
            available += (available.empty() ? "" : ", ") + n;
        }
        usageError(formatString(localizedString("CliUnknownLanguage").c_str(), wanted.c_str(),
                                available.c_str()));
        return false;
    }
    l10n.setLanguage(name);
    return true;
}

int run(int argc, char** argv) {
    // Global options may stand before or after the command name.
    GlobalOptions options;
    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string* target = nullptr;
        if (arg == "--library") {
            target = &options.library;
        } else if (arg == "--data-dir") {
            target = &options.dataDir;
        } else if (arg == "--language") {
            target = &options.language;
        }
        if (!target) {
            rest.push_back(arg);
            continue;
        }
        if (i + 1 >= argc) {
            return usageError(formatString(localizedString("CliNeedsValue").c_str(), arg.c_str()));
        }
        *target = argv[++i];
    }
    if (!options.language.empty() && !chooseLanguage(options.language)) {
        return kExitUsage;
    }
    if (rest.empty() || rest.front() == "--help" || rest.front() == "-h") {
        printUsage();
        return rest.empty() ? kExitUsage : kExitOk;
    }
    std::string name = rest.front();
    if (name == "--version") {
        std::printf("sonorix-cli %s\n", sonorix::buildVersion());
        return kExitOk;
    }
    if (name[0] == '-') {
        return usageError(formatString(localizedString("CliUnknownOption").c_str(), name.c_str()));
    }
    std::vector<std::string> args(rest.begin() + 1, rest.end());
    if (!options.dataDir.empty()) {
        sonorix::setDataFolderOverride(options.dataDir);
    }
    for (const auto& c : commands()) {
        if (name != c.name) {
            continue;
        }
        // Two processes writing one model file would lose one side's results.
        std::unique_ptr<sonorix::InstanceLock> lock;
        if (c.exclusive && !wantsHelp(args)) {
            std::string error;
            lock = sonorix::InstanceLock::acquire(&error);
            if (!lock) {
                std::fprintf(stderr, "sonorix-cli: %s\n", error.c_str());
                return kExitOtherInstance;
            }
        }
        return c.run(options, args);
    }
    return usageError(formatString(localizedString("CliUnknownCommand").c_str(), name.c_str()));
}

} // namespace

int main(int argc, char** argv) {
    sonorix::XercesGuard xerces;
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        sonorix::logUncaughtException(e, "Main Thread");
        std::fprintf(stderr, "sonorix-cli: %s\n", e.what());
        return kExitFailures;
    }
}
