#include "cli/Cli.h"
#include "cli/SonorixControllerConsole.h"

namespace sonorix::cli {

int runCheckUpdates(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("check-updates");
        return kExitOk;
    }
    if (!args.empty()) {
        return usageError("check-updates takes no arguments");
    }
    SonorixControllerConsole::Options consoleOptions;
    consoleOptions.global = options;
    return SonorixControllerConsole::create(consoleOptions)->runUpdateCheck();
}

} // namespace sonorix::cli
