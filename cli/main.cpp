#include "cli/Cli.h"

#include "foundation/Log.h"
#include "foundation/Paths.h"
#include "foundation/Text.h"

#include <cstdio>
#include <cstring>
#include <exception>

namespace sonorix::cli {

bool wantsHelp(const std::vector<std::string>& args) {
    for (const auto& a : args) {
        if (a == "--help" || a == "-h") {
            return true;
        }
    }
    return false;
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "sonorix-cli: %s\nTry 'sonorix-cli --help'.\n", message.c_str());
    return kExitUsage;
}

} // namespace sonorix::cli

namespace {

using namespace sonorix::cli;

void printUsage() {
    std::printf("Usage: sonorix-cli [--library FILE] [--data-dir DIR] [--language NAME] COMMAND "
                "[ARGS...]\n\nCommands:\n");
    for (const auto& c : commands()) {
        std::printf("  %-10s %s\n", c.name, c.summary);
    }
    std::printf("\nRun 'sonorix-cli COMMAND --help' for a command's options.\n");
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
            return usageError(arg + " needs a value");
        }
        *target = argv[++i];
    }
    if (rest.empty() || rest.front() == "--help" || rest.front() == "-h") {
        printUsage();
        return rest.empty() ? kExitUsage : kExitOk;
    }
    std::string name = rest.front();
    if (name[0] == '-') {
        return usageError("unknown option '" + name + "'");
    }
    std::vector<std::string> args(rest.begin() + 1, rest.end());
    if (!options.dataDir.empty()) {
        sonorix::setDataFolderOverride(options.dataDir);
    }
    for (const auto& c : commands()) {
        if (name == c.name) {
            return c.run(options, args);
        }
    }
    return usageError("unknown command '" + name + "'");
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
