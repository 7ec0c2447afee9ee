#include "cli/Cli.h"

#include <cstdio>

namespace sonorix::cli {

// Placeholder until the library import lands.
int runInfo(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        std::printf("Usage: sonorix-cli info --library FILE\n");
        return kExitOk;
    }
    if (options.library.empty()) {
        return usageError("info needs --library FILE");
    }
    std::fprintf(stderr, "sonorix-cli: cannot read the library file '%s'\n", options.library.c_str());
    return kExitStartupError;
}

} // namespace sonorix::cli
