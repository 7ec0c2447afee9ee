#include "cli/Cli.h"

namespace sonorix::cli {

int runAnalyze(const GlobalOptions& options, const std::vector<std::string>& args);
int runInfo(const GlobalOptions& options, const std::vector<std::string>& args);

const std::vector<Command>& commands() {
    static const std::vector<Command> list = {
        {"info", "Show what an iTunes library file holds", runInfo},
        {"analyze", "Measure the loudness and peak of audio files", runAnalyze},
    };
    return list;
}

} // namespace sonorix::cli
