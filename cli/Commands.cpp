#include "cli/Cli.h"

namespace sonorix::cli {

int runInfo(const GlobalOptions& options, const std::vector<std::string>& args);
int runTag(const GlobalOptions& options, const std::vector<std::string>& args);

const std::vector<Command>& commands() {
    static const std::vector<Command> list = {
        {"info", "Show what an iTunes library file holds", runInfo},
        {"tag", "Show or set the Sound Check values of audio files", runTag},
    };
    return list;
}

} // namespace sonorix::cli
