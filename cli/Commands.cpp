#include "cli/Cli.h"

namespace sonorix::cli {

int runAnalyze(const GlobalOptions& options, const std::vector<std::string>& args);
int runInfo(const GlobalOptions& options, const std::vector<std::string>& args);
int runConfig(const GlobalOptions& options, const std::vector<std::string>& args);
int runGroups(const GlobalOptions& options, const std::vector<std::string>& args);
int runGroupOptions(const GlobalOptions& options, const std::vector<std::string>& args);
int runList(const GlobalOptions& options, const std::vector<std::string>& args);
int runTag(const GlobalOptions& options, const std::vector<std::string>& args);
int runPlaylists(const GlobalOptions& options, const std::vector<std::string>& args);
int runComment(const GlobalOptions& options, const std::vector<std::string>& args);

const std::vector<Command>& commands() {
    static const std::vector<Command> list = {
        {"info", "Show what an iTunes library file holds", runInfo},
        {"config", "Show or change settings", runConfig},
        {"groups", "List the groups of the library", runGroups},
        {"group-options", "Show or change a group's options", runGroupOptions},
        {"list", "Show a group's albums and tracks", runList},
        {"analyze", "Measure the loudness and peak of audio files", runAnalyze},
        {"tag", "Show or set the Sound Check values of audio files", runTag},
        {"playlists", "List the playlists of the library with their track counts", runPlaylists},
        {"comment", "Show or set the comment of audio files", runComment},
    };
    return list;
}

} // namespace sonorix::cli
