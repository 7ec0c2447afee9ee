#include "cli/Cli.h"

#include "foundation/Paths.h"
#include "foundation/Text.h"
#include "foundation/Value.h"
#include "itunes/iTunesLibrary.h"
#include "model/SonorixPreferences.h"

#include <cstdio>

namespace sonorix::cli {

int runInfo(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("info");
        return kExitOk;
    }
    if (!args.empty()) {
        return usageError("info takes no arguments besides --library FILE");
    }
    if (options.library.empty()) {
        return usageError("info needs --library FILE");
    }
    // The files are looked for where the other commands look: through the location map.
    SonorixPreferences preferences;
    preferences.read();
    LocationMap map;
    for (const auto& [from, to] : preferences.locationPrefixMap()) {
        map.push_back(LocationPrefix{from, to});
    }
    std::shared_ptr<iTunesLibrary> library;
    try {
        library = iTunesLibrary::load(options.library, std::move(map));
    } catch (const iTunesLibrary::CantLoadiTunesXMLException&) {
        std::fprintf(stderr, "sonorix-cli: cannot read the iTunes library file '%s'%s\n",
                     options.library.c_str(), fileExists(options.library) ? "" : ": no such file");
        return kExitStartupError;
    }
    size_t songs = 0;
    size_t found = 0;
    size_t videos = 0;
    size_t streams = 0;
    size_t noId = 0;
    size_t noFile = 0;
    size_t notAudio = 0;
    for (const auto& [id, track] : library->tracks()) {
        switch (track->exclusion()) {
        case TrackExclusion::None:
            ++songs;
            found += fileExists(track->filePath(true, false, false)) ? 1 : 0;
            break;
        case TrackExclusion::Video:
            ++videos;
            break;
        case TrackExclusion::Stream:
            ++streams;
            break;
        case TrackExclusion::NoPersistentId:
            ++noId;
            break;
        case TrackExclusion::NoFile:
            ++noFile;
            break;
        case TrackExclusion::NotAudio:
            ++notAudio;
            break;
        }
    }
    std::printf("Library Persistent ID: %s\n", hexIdText(library->libraryPersistentId()).c_str());
    std::printf("Application Version: %s (0x%X)\n",
                toUtf8(library->applicationVersionText()).c_str(), library->applicationVersion());
    std::printf("Tracks: %zu\n", library->tracks().size());
    std::string left;
    auto add = [&left](size_t count, const char* what) {
        if (count > 0) {
            left += (left.empty() ? "" : ", ") + std::to_string(count) + " " + what;
        }
    };
    add(videos, videos == 1 ? "video" : "videos");
    add(streams, streams == 1 ? "stream" : "streams");
    add(notAudio, "not audio");
    add(noFile, "without a file");
    add(noId, "without a persistent id");
    if (!left.empty()) {
        std::printf("Not in any group: %s\n", left.c_str());
    }
    std::printf("Files found: %zu of %zu\n", found, songs);
    return kExitOk;
}

} // namespace sonorix::cli
