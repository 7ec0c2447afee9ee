#include "cli/Cli.h"
#include "cli/ITunesCli.h"

#include "foundation/Text.h"
#include "itunes/iTunesController.h"
#include "model/SonorixModel.h"
#include "model/SonorixPreferences.h"

#include <cstdio>

namespace sonorix::cli {

int runPlaylists(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("playlists");
        return kExitOk;
    }
    if (!args.empty()) {
        return usageError(sayf("%s takes no arguments", "playlists"));
    }
    SonorixPreferences preferences;
    preferences.load();
    ITunesConnection connection;
    int status = connectITunes(options, preferences, connection);
    if (status != kExitOk) {
        return status;
    }
    auto& itunes = *connection.controller;
    std::string path = itunes.libraryXMLPath();
    std::shared_ptr<iTunesRemoteSource> source;
    std::shared_ptr<iTunesPlaylistCollection> playlists;
    if (iTunesCode::failed(SONORIX_ITUNES_CALL(itunes, itunes.backend()->librarySource(source))) ||
        !source || iTunesCode::failed(SONORIX_ITUNES_CALL(itunes, source->playlists(playlists))) ||
        !playlists) {
        return reportStartupError(connection, SonorixModel::kCantLoadiTunesXML, path);
    }
    int32_t count = 0;
    SONORIX_ITUNES_CALL(itunes, playlists->count(count));
    for (int32_t i = 1; i <= count; ++i) {
        std::shared_ptr<iTunesRemotePlaylist> playlist;
        SONORIX_ITUNES_CALL(itunes, playlists->item(i, playlist));
        if (!playlist) {
            continue;
        }
        std::u16string name;
        std::shared_ptr<iTunesTrackCollection> tracks;
        int32_t trackCount = 0;
        SONORIX_ITUNES_CALL(itunes, playlist->name(name));
        SONORIX_ITUNES_CALL(itunes, playlist->tracks(tracks));
        if (tracks) {
            SONORIX_ITUNES_CALL(itunes, tracks->count(trackCount));
        }
        std::printf("%d\t%s\n", trackCount, toUtf8(name).c_str());
    }
    return kExitOk;
}

} // namespace sonorix::cli
