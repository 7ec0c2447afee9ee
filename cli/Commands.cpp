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
int runAdjust(const GlobalOptions& options, const std::vector<std::string>& args);
int runForget(const GlobalOptions& options, const std::vector<std::string>& args);
int runDebug(const GlobalOptions& options, const std::vector<std::string>& args);
int runExport(const GlobalOptions& options, const std::vector<std::string>& args);
int runSet(const GlobalOptions& options, const std::vector<std::string>& args);
int runRemoveComments(const GlobalOptions& options, const std::vector<std::string>& args);
int runGroupNew(const GlobalOptions& options, const std::vector<std::string>& args);
int runGroupDelete(const GlobalOptions& options, const std::vector<std::string>& args);
int runGroupRename(const GlobalOptions& options, const std::vector<std::string>& args);
int runMove(const GlobalOptions& options, const std::vector<std::string>& args);
int runCheckUpdates(const GlobalOptions& options, const std::vector<std::string>& args);
int runRestore(const GlobalOptions& options, const std::vector<std::string>& args);
int runCheck(const GlobalOptions& options, const std::vector<std::string>& args);

const std::vector<Command>& commands() {
    static const std::vector<Command> list = {
        {"adjust", "Adjust the loudness of the library's tracks", runAdjust, true},
        {"forget", "Forget the analysis results of tracks", runForget, true},
        {"set", "Set the adjustment of rows of a manual group", runSet, true},
        {"remove-comments", "Remove the “Adjusted by Sonorix” stamps from comments",
         runRemoveComments, true},
        {"restore", "Put back the Sound Check values files had before Sonorix", runRestore, true},
        {"check", "Find misplaced, duplicate and damaged Sound Check texts", runCheck, true},
        {"info", "Show what an iTunes library file holds", runInfo, false},
        {"config", "Show or change settings", runConfig, true},
        {"groups", "List the groups of the library", runGroups, true},
        {"group-options", "Show or change a group's options", runGroupOptions, true},
        {"group-new", "Create a group, taking tracks into it", runGroupNew, true},
        {"group-delete", "Delete a group; its tracks go to the default group", runGroupDelete,
         true},
        {"group-rename", "Rename a group", runGroupRename, true},
        {"move", "Move tracks and albums into another group", runMove, true},
        {"list", "Show a group's albums and tracks", runList, true},
        {"tag", "Show or set the Sound Check values of audio files", runTag, false},
        {"analyze", "Measure the loudness and peak of audio files", runAnalyze, false},
        {"playlists", "List the playlists of the library with their track counts", runPlaylists,
         true},
        {"comment", "Show or set the comment of audio files", runComment, false},
        {"debug", "Show everything known about tracks and albums", runDebug, true},
        {"export", "Write the loudness results as a CSV file", runExport, true},
        {"check-updates", "Look for a newer version of Sonorix", runCheckUpdates, true},
    };
    return list;
}

} // namespace sonorix::cli
